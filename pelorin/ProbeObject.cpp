#include "ProbeObject.h"

#include "HttpClient.h"
#include "PelorinLog.h"
#include "CallbackTimer.h"
#include "Ping.h"

#include <QEventLoop>
#include <QTimer>

#include <algorithm>
#include <exception>

namespace Pelorin {

namespace {

// Runs one step of a handler; a step that throws is abandoned and the handler
// goes on with the next one.
template <typename Step>
void trapped(const char *where, Step &&step)
{
    try {
        step();
    } catch (const std::exception &e) {
        qCWarning(lcPelorin, "ProbeObject: %s failed: %s", where, e.what());
    } catch (...) {
        qCWarning(lcPelorin, "ProbeObject: %s failed", where);
    }
}

// A host text that would change the meaning of the URL around it (another
// host, port, path or user part) makes the URL unusable.
bool hostIsPlain(const QString &host)
{
    if (host.isEmpty())
        return false;
    for (const QChar c : host) {
        if (c.unicode() <= 0x20 || c.unicode() == 0x7f)
            return false;
        if (QStringLiteral("/\\?#@:[]%").contains(c))
            return false;
    }
    return true;
}

} // namespace

ProbeObject::ProbeObject(QObject *parent) : QObject(parent)
{
    // Parented as well, so that moving the probe object to its thread moves its timers.
    m_pingTimer = std::make_unique<CallbackTimer>(this);
    connect(m_pingTimer.get(), &CallbackTimer::timeout, this, &ProbeObject::onPingTimer);
    m_fetchTimer = std::make_unique<CallbackTimer>(this);
    connect(m_fetchTimer.get(), &CallbackTimer::timeout, this, &ProbeObject::onFetchTimer);
    m_pingNotifyTimer = std::make_unique<CallbackTimer>(this);
    connect(m_pingNotifyTimer.get(), &CallbackTimer::timeout, this, &ProbeObject::onPingNotifyTimer);
    m_fetchNotifyTimer = std::make_unique<CallbackTimer>(this);
    connect(m_fetchNotifyTimer.get(), &CallbackTimer::timeout, this, &ProbeObject::onFetchNotifyTimer);

    m_pingTimer->setInterval(10);
    m_fetchTimer->setInterval(10);
    m_pingNotifyTimer->setInterval(100);
    m_fetchNotifyTimer->setInterval(100);
}

ProbeObject::~ProbeObject()
{
    shutdown();
    m_pingTimer.reset();
    m_fetchTimer.reset();
    m_pingNotifyTimer.reset();
    m_fetchNotifyTimer.reset();
    m_http.reset();
}

void ProbeObject::shutdown()
{
    m_shutDown = true;
    for (CallbackTimer *t : {m_pingTimer.get(), m_fetchTimer.get(), m_pingNotifyTimer.get(), m_fetchNotifyTimer.get()}) {
        if (t)
            t->setEnabled(false);
    }
    for (QEventLoop *loop : m_waitLoops)
        loop->quit();
    if (m_http)
        m_http->abort();
}

void ProbeObject::arm(CallbackTimer &timer)
{
    if (!m_shutDown)
        timer.setEnabled(true);
}

void ProbeObject::HTTPRequest(const QString &host, const qint32 &port, const QString &file,
                          const qint32 &timeOut, const quint8 &retries)
{
    if (m_shutDown)
        return;
    m_pingNotifyTimer->setEnabled(false);
    m_fetchTimer->setEnabled(false);
    m_httpHost = host;
    m_httpPort = port;
    m_httpFile = file;
    m_httpTimeOut = timeOut;
    m_retryCount = 0;
    m_retries = retries;
    m_fetchTimer->setEnabled(true);
}

void ProbeObject::PingRequest(const QString &ip, const qint32 &timeOut, const quint8 &retries)
{
    if (m_shutDown)
        return;
    m_fetchNotifyTimer->setEnabled(false);
    m_pingTimer->setEnabled(false);
    m_pingHost = ip;
    m_pingTimeOut = timeOut;
    m_retryCount = 0;
    m_retries = retries;
    m_pingTimer->setEnabled(true);
}

void ProbeObject::onPingTimer()
{
    if (m_shutDown)
        return;
    trapped("ping", [&] {
        m_pingTimer->setEnabled(false);
        m_pingResult = pingAddress(m_pingHost, m_pingTimeOut);
        if (m_shutDown)
            return;
        if (m_pingResult < 0 && m_retryCount < m_retries) {
            ++m_retryCount;
            arm(*m_pingTimer);
        } else {
            arm(*m_pingNotifyTimer);
        }
    });
}

void ProbeObject::onFetchTimer()
{
    if (m_shutDown)
        return;
    trapped("fetch: stop timer", [&] { m_fetchTimer->setEnabled(false); });

    const QString url = QStringLiteral("http://") + m_httpHost + QLatin1Char(':') + QString::number(m_httpPort)
                        + QLatin1Char('/') + m_httpFile;
    bool opened = false;
    trapped("fetch: open", [&] {
        if (!m_http)
            m_http = std::make_unique<HttpClient>();
        if (hostIsPlain(m_httpHost)) {
            opened = m_http->open(QStringLiteral("GET"), url);
        } else {
            m_http->abort();
            qCWarning(lcPelorin, "ProbeObject: refusing host text %s", qPrintable(m_httpHost));
        }
    });
    if (opened)
        trapped("fetch: send", [&] { m_http->send(); });

    const quint32 start = tickCount();
    trapped("fetch: wait", [&] { waitForFetch(start); });
    if (m_shutDown)
        return;

    trapped("fetch: read", [&] {
        if (m_http) {
            if (std::optional<QString> text = m_http->responseText())
                m_httpResponse = *text;
        }
    });

    trapped("fetch: next", [&] {
        if (m_httpResponse.isEmpty() && m_retryCount < m_retries) {
            ++m_retryCount;
            arm(*m_fetchTimer);
        } else {
            arm(*m_fetchNotifyTimer);
        }
    });
}

// Blocks on the thread's event loop (incoming calls and timer ticks run nested
// inside it) until the request is done, the time-out of the latest request has
// passed, or the object is shut down.
void ProbeObject::waitForFetch(quint32 start)
{
    for (;;) {
        if (m_shutDown)
            return;
        const bool done = m_http && m_http->readyState() == HttpClient::Done;
        const quint32 now = tickCount();
        const qint32 timeOut = m_httpTimeOut;
        if (done || !tickWaitHolds(start, now, timeOut))
            return;

        QEventLoop loop;
        QTimer deadline;
        deadline.setSingleShot(true);
        deadline.setTimerType(Qt::PreciseTimer);
        connect(&deadline, &QTimer::timeout, &loop, &QEventLoop::quit);
        if (m_http)
            connect(m_http.get(), &HttpClient::completed, &loop, &QEventLoop::quit);
        const qint64 remaining = qint64(timeOut) - qint64(quint32(now - start)) + 1;
        deadline.start(int(std::clamp<qint64>(remaining, 1, 0x7fffffff)));

        m_waitLoops.push_back(&loop);
        struct Pop {
            std::vector<QEventLoop *> &loops;
            QEventLoop *loop;
            ~Pop() { loops.erase(std::remove(loops.begin(), loops.end(), loop), loops.end()); }
        } pop{m_waitLoops, &loop};
        // -1: the thread's event loop is ending, so nothing would wake a new wait.
        if (loop.exec() < 0)
            return;
    }
}

void ProbeObject::onPingNotifyTimer()
{
    if (m_shutDown)
        return;
    trapped("PingResponse", [&] { emit PingResponse(m_pingHost, m_pingResult); });
}

void ProbeObject::onFetchNotifyTimer()
{
    if (m_shutDown)
        return;
    trapped("HTTPReqResponse", [&] { emit HTTPReqResponse(m_httpHost, m_httpResponse); });
}

} // namespace Pelorin
