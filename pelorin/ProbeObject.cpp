#include "ProbeObject.h"

#include "PelorinLog.h"
#include "ProbeProtocol.h"

#include <QTimer>

#include <algorithm>
#include <exception>

#include <time.h>

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

} // namespace

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

quint32 tickCount()
{
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    const quint64 ms = quint64(ts.tv_sec) * 1000u + quint64(ts.tv_nsec) / 1000000u;
    return quint32(ms);
}

bool tickWaitHolds(quint32 start, quint32 now, qint32 timeOut)
{
    const quint32 elapsed = now - start;
    return qint64(elapsed) <= qint64(timeOut);
}

ProbeObject::ProbeObject(EchoPort &echo, PageService &pages, HostResolver &resolver, QObject *parent)
    : QObject(parent), m_scheduler([this](int timer) { runTick(timer); }), m_echo(echo), m_pages(pages),
      m_resolver(resolver)
{
    for (int t = 0; t < TimerCount; ++t) {
        m_timers[t] = std::make_unique<QTimer>();
        m_timers[t]->setTimerType(Qt::PreciseTimer);
        m_timers[t]->setInterval(t == PingTimer || t == FetchTimer ? 10 : 100);
        connect(m_timers[t].get(), &QTimer::timeout, this, [this, t] { m_scheduler.tick(t); });
    }
    connect(&m_scheduler, &ObjectScheduler::ended, this, &ProbeObject::ended);
}

ProbeObject::~ProbeObject() = default;

void ProbeObject::setOutbox(FrameSink *writer, quint32 objectId)
{
    m_writer = writer;
    m_objectId = objectId;
}

void ProbeObject::shutdown()
{
    if (m_scheduler.isReleased())
        return;
    m_scheduler.release();
    for (const auto &t : m_timers)
        t->stop();
    if (m_http)
        m_http->abort();
    m_echo.cancel(this);
    m_resolver.cancel(this);
}

void ProbeObject::arm(Timer timer)
{
    if (!m_scheduler.isReleased())
        enable(timer);
}

// A timer that already runs keeps its beat.
void ProbeObject::enable(Timer timer)
{
    if (!m_timers[timer]->isActive())
        m_timers[timer]->start();
}

void ProbeObject::HTTPRequest(const QString &host, qint32 port, const QString &file,
                              qint32 timeOut, quint8 retries)
{
    m_scheduler.call([=, this] {
        m_timers[PingNotifyTimer]->stop();
        m_timers[FetchTimer]->stop();
        m_httpHost = host;
        m_httpPort = port;
        m_httpFile = file;
        m_httpTimeOut = timeOut;
        m_retryCount = 0;
        m_retries = retries;
        enable(FetchTimer);
    });
}

void ProbeObject::PingRequest(const QString &ip, qint32 timeOut, quint8 retries)
{
    m_scheduler.call([=, this] {
        m_timers[FetchNotifyTimer]->stop();
        m_timers[PingTimer]->stop();
        m_pingHost = ip;
        m_pingTimeOut = timeOut;
        m_retryCount = 0;
        m_retries = retries;
        enable(PingTimer);
    });
}

void ProbeObject::runTick(int timer)
{
    // A tick that waited counts only while its timer still runs.
    if (m_scheduler.isReleased() || !m_timers[timer]->isActive())
        return;
    switch (timer) {
    case PingTimer:
        spawn(onPingTimer());
        break;
    case FetchTimer:
        spawn(onFetchTimer());
        break;
    case PingNotifyTimer:
        spawn(onPingNotifyTimer());
        break;
    case FetchNotifyTimer:
        spawn(onFetchNotifyTimer());
        break;
    default:
        break;
    }
}

Task<void> ProbeObject::yield()
{
    co_await m_scheduler.suspend(Wait::Yield);
}

Task<EchoResult> ProbeObject::echo(quint32 address, QByteArray data, qint32 timeOutMs)
{
    if (m_scheduler.isReleased())
        co_return EchoResult{};
    m_scheduler.setWait(Wait::Echo); // calls and ticks wait from the send on
    Task<EchoResult> exchange = m_echo.request(address, std::move(data), timeOutMs, this);
    EchoResult r = co_await exchange;
    m_scheduler.setWait(Wait::Running);
    co_return r;
}

// The look-up runs on the resolver's thread; the object waits as in an echo
// wait, every other object runs on.
Task<std::optional<QString>> ProbeObject::lookUp(QByteArray name)
{
    if (m_scheduler.isReleased())
        co_return std::nullopt;
    m_scheduler.setWait(Wait::LookUp);
    HostResolver::LookUp lookUp = m_resolver.lookUp(std::move(name), this);
    std::optional<QString> answer = co_await lookUp;
    m_scheduler.setWait(Wait::Running);
    co_return answer;
}

Task<int> ProbeObject::showMessageBox(QString text, int style)
{
    if (!m_writer) {
        qCWarning(lcPelorin).noquote() << text;
        co_return MsgBox::AnswerOK;
    }
    if (m_scheduler.isReleased())
        co_return MsgBox::AnswerOK;
    Wire::MessageBox m;
    m.serial = ++m_nextSerial;
    m.style = style;
    m.text = text;
    m.title = QString::fromLatin1(kLibraryName);
    m_boxSerial = m.serial;
    m_boxAnswer = MsgBox::AnswerOK;
    if (m_writer->write(Wire::encode(m_objectId, m)))
        co_await m_scheduler.suspend(Wait::Box);
    m_boxSerial = 0;
    co_return m_boxAnswer;
}

bool ProbeObject::messageBoxAnswered(quint32 serial, qint32 answer)
{
    if (serial == 0 || serial != m_boxSerial)
        return false;
    m_boxSerial = 0;
    m_boxAnswer = answer;
    m_scheduler.wake(Wait::Box);
    return true;
}

template <class Event>
Task<void> ProbeObject::raise()
{
    if (m_scheduler.isReleased())
        co_return;
    if (!m_writer) {
        trapped(Wire::typeName(Event::kType), [&] {
            if constexpr (std::is_same_v<Event, Wire::PingResponse>)
                emit PingResponse(m_pingHost, m_pingResult);
            else
                emit HTTPReqResponse(m_httpHost, m_httpResponse);
        });
        co_return;
    }
    Event m;
    if constexpr (std::is_same_v<Event, Wire::PingResponse>)
        m = {++m_nextSerial, m_pingHost, m_pingResult};
    else
        m = {++m_nextSerial, m_httpHost, m_httpResponse};
    m_raiseSerial = m.serial;
    if (m_writer->write(Wire::encode(m_objectId, m)))
        co_await m_scheduler.suspend(Wait::Raise);
    m_raiseSerial = 0;
}

bool ProbeObject::eventReturned(quint32 serial)
{
    if (serial == 0 || serial != m_raiseSerial)
        return false;
    m_raiseSerial = 0;
    m_scheduler.wake(Wait::Raise);
    return true;
}

Task<void> ProbeObject::onPingTimer()
{
    ObjectScheduler::Procedure frame(m_scheduler);
    if (m_scheduler.isReleased())
        co_return;
    m_timers[PingTimer]->stop();
    try {
        Task<qint16> ping = pingAddress(*this, m_pingHost, m_pingTimeOut);
        m_pingResult = co_await ping;
    } catch (...) {
        qCWarning(lcPelorin, "ProbeObject: ping failed");
    }
    if (m_scheduler.isReleased())
        co_return;
    if (m_pingResult < 0 && m_retryCount < m_retries) {
        ++m_retryCount;
        arm(PingTimer);
    } else {
        arm(PingNotifyTimer);
    }
}

Task<void> ProbeObject::onFetchTimer()
{
    ObjectScheduler::Procedure frame(m_scheduler);
    if (m_scheduler.isReleased())
        co_return;
    m_timers[FetchTimer]->stop();

    const QString url = QStringLiteral("http://") + m_httpHost + QLatin1Char(':') + QString::number(m_httpPort)
                        + QLatin1Char('/') + m_httpFile;
    trapped("fetch: get", [&] {
        if (!m_http)
            m_http = m_pages.newFetch([this] { m_scheduler.wake(Wait::PageWait); });
        if (hostIsPlain(m_httpHost)) {
            m_http->get(url);
        } else {
            m_http->abort();
            qCWarning(lcPelorin, "ProbeObject: refusing host text %s", qPrintable(m_httpHost));
        }
    });

    Task<void> wait = awaitPage(tickCount());
    co_await wait;
    if (m_scheduler.isReleased())
        co_return;

    trapped("fetch: read", [&] {
        if (m_http) {
            if (std::optional<QString> text = m_http->responseText())
                m_httpResponse = *text;
        }
    });
    if (m_httpResponse.isEmpty() && m_retryCount < m_retries) {
        ++m_retryCount;
        arm(FetchTimer);
    } else {
        arm(FetchNotifyTimer);
    }
}

// Waits (calls and ticks of the object run meanwhile) until the request is
// done, the time-out of the latest request has passed, or the object is shut
// down. Each pass re-reads the state: a fetch asked for meanwhile ran inside.
Task<void> ProbeObject::awaitPage(quint32 start)
{
    QTimer deadline;
    deadline.setSingleShot(true);
    deadline.setTimerType(Qt::PreciseTimer);
    connect(&deadline, &QTimer::timeout, this, [this] { m_scheduler.wake(Wait::PageWait); });
    for (;;) {
        if (m_scheduler.isReleased())
            co_return;
        const bool done = m_http && m_http->isDone();
        const quint32 now = tickCount();
        const qint32 timeOut = m_httpTimeOut;
        if (done || !tickWaitHolds(start, now, timeOut))
            co_return;
        const qint64 remaining = qint64(timeOut) - qint64(quint32(now - start)) + 1;
        deadline.start(int(std::clamp<qint64>(remaining, 1, 0x7fffffff)));
        co_await m_scheduler.suspend(Wait::PageWait);
    }
}

Task<void> ProbeObject::onPingNotifyTimer()
{
    ObjectScheduler::Procedure frame(m_scheduler);
    Task<void> raised = raise<Wire::PingResponse>();
    co_await raised;
}

Task<void> ProbeObject::onFetchNotifyTimer()
{
    ObjectScheduler::Procedure frame(m_scheduler);
    Task<void> raised = raise<Wire::HttpReqResponse>();
    co_await raised;
}

} // namespace Pelorin
