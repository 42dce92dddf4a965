#include "clsMain.h"

#include "HttpClient.h"
#include "PelorinLog.h"
#include "clsTimer.h"
#include "modPing.h"

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
        qCWarning(lcPelorin, "clsMain: %s failed: %s", where, e.what());
    } catch (...) {
        qCWarning(lcPelorin, "clsMain: %s failed", where);
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

clsMain::clsMain(QObject *parent) : QObject(parent)
{
    // Parented as well, so that moving the probe object to its thread moves its timers.
    pingTmr = std::make_unique<clsTimer>(this);
    connect(pingTmr.get(), &clsTimer::Timer, this, &clsMain::pingTmr_Timer);
    httpReqTmr = std::make_unique<clsTimer>(this);
    connect(httpReqTmr.get(), &clsTimer::Timer, this, &clsMain::httpReqTmr_Timer);
    pingTmrNotify = std::make_unique<clsTimer>(this);
    connect(pingTmrNotify.get(), &clsTimer::Timer, this, &clsMain::pingTmrNotify_Timer);
    httpReqTmrNotify = std::make_unique<clsTimer>(this);
    connect(httpReqTmrNotify.get(), &clsTimer::Timer, this, &clsMain::httpReqTmrNotify_Timer);

    pingTmr->setInterval(10);
    httpReqTmr->setInterval(10);
    pingTmrNotify->setInterval(100);
    httpReqTmrNotify->setInterval(100);
}

clsMain::~clsMain()
{
    Shutdown();
    pingTmr.reset();
    httpReqTmr.reset();
    pingTmrNotify.reset();
    httpReqTmrNotify.reset();
    objHTTP.reset();
}

void clsMain::Shutdown()
{
    m_shutDown = true;
    for (clsTimer *t : {pingTmr.get(), httpReqTmr.get(), pingTmrNotify.get(), httpReqTmrNotify.get()}) {
        if (t)
            t->setEnabled(false);
    }
    for (QEventLoop *loop : m_waitLoops)
        loop->quit();
    if (objHTTP)
        objHTTP->abort();
}

void clsMain::arm(clsTimer &timer)
{
    if (!m_shutDown)
        timer.setEnabled(true);
}

void clsMain::HTTPRequest(const QString &sHost, const qint32 &lPort, const QString &sFile,
                          const qint32 &lTimeOut, const quint8 &Retries)
{
    if (m_shutDown)
        return;
    pingTmrNotify->setEnabled(false);
    httpReqTmr->setEnabled(false);
    sHTTPHost = sHost;
    lHTTPPort = lPort;
    sHTTPFile = sFile;
    lHTTPTimeOut = lTimeOut;
    bRetryCnt = 0;
    bRetries = Retries;
    httpReqTmr->setEnabled(true);
}

void clsMain::PingRequest(const QString &sIP, const qint32 &lTimeOut, const quint8 &Retries)
{
    if (m_shutDown)
        return;
    httpReqTmrNotify->setEnabled(false);
    pingTmr->setEnabled(false);
    sPingHost = sIP;
    lPingTimeOut = lTimeOut;
    bRetryCnt = 0;
    bRetries = Retries;
    pingTmr->setEnabled(true);
}

void clsMain::pingTmr_Timer()
{
    if (m_shutDown)
        return;
    trapped("ping", [&] {
        pingTmr->setEnabled(false);
        iPingResult = PingAddr(sPingHost, lPingTimeOut);
        if (m_shutDown)
            return;
        if (iPingResult < 0 && bRetryCnt < bRetries) {
            ++bRetryCnt;
            arm(*pingTmr);
        } else {
            arm(*pingTmrNotify);
        }
    });
}

void clsMain::httpReqTmr_Timer()
{
    if (m_shutDown)
        return;
    trapped("fetch: stop timer", [&] { httpReqTmr->setEnabled(false); });

    const QString url = QStringLiteral("http://") + sHTTPHost + QLatin1Char(':') + QString::number(lHTTPPort)
                        + QLatin1Char('/') + sHTTPFile;
    bool opened = false;
    trapped("fetch: open", [&] {
        if (!objHTTP)
            objHTTP = std::make_unique<HttpClient>();
        if (hostIsPlain(sHTTPHost)) {
            opened = objHTTP->open(QStringLiteral("GET"), url);
        } else {
            objHTTP->abort();
            qCWarning(lcPelorin, "clsMain: refusing host text %s", qPrintable(sHTTPHost));
        }
    });
    if (opened)
        trapped("fetch: send", [&] { objHTTP->send(); });

    const quint32 start = GetTickCount();
    trapped("fetch: wait", [&] { waitForFetch(start); });
    if (m_shutDown)
        return;

    trapped("fetch: read", [&] {
        if (objHTTP) {
            if (std::optional<QString> text = objHTTP->responseText())
                sHTTPResponse = *text;
        }
    });

    trapped("fetch: next", [&] {
        if (sHTTPResponse.isEmpty() && bRetryCnt < bRetries) {
            ++bRetryCnt;
            arm(*httpReqTmr);
        } else {
            arm(*httpReqTmrNotify);
        }
    });
}

// Blocks on the thread's event loop (incoming calls and timer ticks run nested
// inside it) until the request is done, the time-out of the latest request has
// passed, or the object is shut down.
void clsMain::waitForFetch(quint32 start)
{
    for (;;) {
        if (m_shutDown)
            return;
        const bool done = objHTTP && objHTTP->readyState() == HttpClient::Done;
        const quint32 now = GetTickCount();
        const qint32 timeOut = lHTTPTimeOut;
        if (done || !TickWaitHolds(start, now, timeOut))
            return;

        QEventLoop loop;
        QTimer deadline;
        deadline.setSingleShot(true);
        deadline.setTimerType(Qt::PreciseTimer);
        connect(&deadline, &QTimer::timeout, &loop, &QEventLoop::quit);
        if (objHTTP)
            connect(objHTTP.get(), &HttpClient::completed, &loop, &QEventLoop::quit);
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

void clsMain::pingTmrNotify_Timer()
{
    if (m_shutDown)
        return;
    trapped("PingResponse", [&] { emit PingResponse(sPingHost, iPingResult); });
}

void clsMain::httpReqTmrNotify_Timer()
{
    if (m_shutDown)
        return;
    trapped("HTTPReqResponse", [&] { emit HTTPReqResponse(sHTTPHost, sHTTPResponse); });
}

} // namespace Pelorin
