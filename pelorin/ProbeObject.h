// The probe object: one ping or one HTTP fetch at a time for its client, done
// on timers of its own thread, with the answer raised as an event every 100 ms
// until a request of the other kind or release. Lives on one thread for its
// whole life; the server's ObjectHost owns it and carries its events out.
#pragma once

#include <QObject>
#include <QString>

#include <memory>
#include <vector>

class QEventLoop;

namespace Pelorin {

class clsTimer;
class HttpClient;

class clsMain : public QObject
{
    Q_OBJECT

public:
    explicit clsMain(QObject *parent = nullptr);
    ~clsMain() override;

    void HTTPRequest(const QString &sHost, const qint32 &lPort, const QString &sFile,
                     const qint32 &lTimeOut, const quint8 &Retries);
    void PingRequest(const QString &sIP, const qint32 &lTimeOut, const quint8 &Retries);

    // Release: stops all four timers and ends a fetch's wait at once; nothing
    // is raised afterwards. The object is deleted later by its owner, once no
    // handler of it is on the stack.
    void Shutdown();

signals:
    // Raised synchronously: the connected handler runs to its end before the
    // notify handler returns. Arguments refer to the object's own fields.
    void PingResponse(QString &sIP, qint16 &iPingTime);
    void HTTPReqResponse(QString &sHost, QString &sRawData);

private:
    void pingTmr_Timer();
    void httpReqTmr_Timer();
    void pingTmrNotify_Timer();
    void httpReqTmrNotify_Timer();

    void arm(clsTimer &timer);
    void waitForFetch(quint32 start);

    quint8 bRetries = 0;
    quint8 bRetryCnt = 0;
    QString sHTTPHost;
    qint32 lHTTPPort = 0;
    QString sHTTPFile;
    qint32 lHTTPTimeOut = 0;
    QString sHTTPResponse;
    QString sPingHost;
    qint32 lPingTimeOut = 0;
    qint16 iPingResult = 0;
    std::unique_ptr<HttpClient> objHTTP;
    std::unique_ptr<clsTimer> pingTmr;
    std::unique_ptr<clsTimer> httpReqTmr;
    std::unique_ptr<clsTimer> pingTmrNotify;
    std::unique_ptr<clsTimer> httpReqTmrNotify;

    bool m_shutDown = false;
    // The event loops of the fetch waits on the stack, innermost last.
    std::vector<QEventLoop *> m_waitLoops;
};

} // namespace Pelorin
