// The scanner's worker: owns exactly one probe object and forwards its two
// events. The window holds workers as the array ScanObjArr and adds the
// element's index to every event it passes on.
#pragma once

#include <QLabel>
#include <QWidget>

#include <memory>

namespace PelorinClient {
class clsMain;
}

class ScanObjShell : public QWidget
{
    Q_OBJECT

public:
    // Creates the shell's probe object (starting the server on first need).
    // When that fails, ScanObj() is null and error() says why.
    ScanObjShell(qint16 index, QWidget *parent = nullptr);
    ~ScanObjShell() override;

    qint16 index() const { return m_index; }
    PelorinClient::clsMain *ScanObj() const { return ScanThread.get(); }
    // Drops the probe object and takes a new one. False when none could be created.
    bool Reinit();
    QString error() const { return m_error; }

signals:
    void PingResponse(qint16 Index, QString &sIP, qint16 &iPingTime);
    void HTTPReqResponse(qint16 Index, QString &sIP, QString &sRaw);

protected:
    void resizeEvent(QResizeEvent *event) override;

private:
    bool connectNewObject();
    void releaseObject();

    qint16 m_index;
    std::unique_ptr<PelorinClient::clsMain> ScanThread;
    QLabel *lblDisp;
    QString m_error;
    bool m_fitting = false;
};
