// The scanner's worker: owns exactly one probe object and forwards its two
// events. The window holds workers as the array ScanObjArr and adds the
// element's index to every event it passes on.
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
    WorkerShell(qint16 index, QWidget *parent = nullptr);
    ~WorkerShell() override;

    qint16 index() const { return m_index; }
    PelorinClient::ProbeObjectProxy *probeObject() const { return m_probeObject.get(); }
    // Drops the probe object and takes a new one. False when none could be created.
    bool reinit();
    QString error() const { return m_error; }

signals:
    void PingResponse(qint16 index, QString &ip, qint16 &pingTime);
    void HTTPReqResponse(qint16 index, QString &ip, QString &raw);

protected:
    void resizeEvent(QResizeEvent *event) override;

private:
    bool connectNewObject();
    void releaseObject();

    qint16 m_index;
    std::unique_ptr<PelorinClient::ProbeObjectProxy> m_probeObject;
    QLabel *lblDisp;
    QString m_error;
};
