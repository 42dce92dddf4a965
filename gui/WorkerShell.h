// The window's worker shell: owns one probe object, so that the probe server is
// started with the window, and shows the small label ScanObjArr. The scan
// itself runs on the engine's own workers.
#pragma once

#include <QLabel>
#include <QWidget>

#include <memory>

namespace PelorinClient {
class ProbeObjectProxy;
}

class WorkerShell : public QWidget
{
    Q_OBJECT

public:
    // Creates the shell's probe object (starting the server on first need).
    // When that fails, probeObject() is null and error() says why.
    explicit WorkerShell(QWidget *parent = nullptr);
    ~WorkerShell() override;

    PelorinClient::ProbeObjectProxy *probeObject() const { return m_probeObject.get(); }
    // Drops the probe object and takes a new one. False when none could be created.
    bool reinit();
    QString error() const { return m_error; }

protected:
    void resizeEvent(QResizeEvent *event) override;

private:
    bool connectNewObject();

    std::unique_ptr<PelorinClient::ProbeObjectProxy> m_probeObject;
    QLabel *lblDisp;
    QString m_error;
};
