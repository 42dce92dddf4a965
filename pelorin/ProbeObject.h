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

class CallbackTimer;
class HttpClient;

class ProbeObject : public QObject
{
    Q_OBJECT

public:
    explicit ProbeObject(QObject *parent = nullptr);
    ~ProbeObject() override;

    void HTTPRequest(const QString &host, const qint32 &port, const QString &file,
                     const qint32 &timeOut, const quint8 &retries);
    void PingRequest(const QString &ip, const qint32 &timeOut, const quint8 &retries);

    // Release: stops all four timers and ends a fetch's wait at once; nothing
    // is raised afterwards. The object is deleted later by its owner, once no
    // handler of it is on the stack.
    void shutdown();

signals:
    // Raised synchronously: the connected handler runs to its end before the
    // notify handler returns. Arguments refer to the object's own fields.
    void PingResponse(QString &ip, qint16 &pingTime);
    void HTTPReqResponse(QString &host, QString &rawData);

private:
    void onPingTimer();
    void onFetchTimer();
    void onPingNotifyTimer();
    void onFetchNotifyTimer();

    void arm(CallbackTimer &timer);
    void waitForFetch(quint32 start);

    quint8 m_retries = 0;
    quint8 m_retryCount = 0;
    QString m_httpHost;
    qint32 m_httpPort = 0;
    QString m_httpFile;
    qint32 m_httpTimeOut = 0;
    QString m_httpResponse;
    QString m_pingHost;
    qint32 m_pingTimeOut = 0;
    qint16 m_pingResult = 0;
    std::unique_ptr<HttpClient> m_http;
    std::unique_ptr<CallbackTimer> m_pingTimer;
    std::unique_ptr<CallbackTimer> m_fetchTimer;
    std::unique_ptr<CallbackTimer> m_pingNotifyTimer;
    std::unique_ptr<CallbackTimer> m_fetchNotifyTimer;

    bool m_shutDown = false;
    // The event loops of the fetch waits on the stack, innermost last.
    std::vector<QEventLoop *> m_waitLoops;
};

} // namespace Pelorin
