#include "ProbeObject.h"

#include "HttpClient.h"
#include "PelorinLog.h"
#include "PipeWriter.h"
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

// Suspends the innermost procedure in a wait of the given kind until wake()
// or the release marks it ready and it is innermost again.
struct ProbeObject::Suspend {
    ProbeObject &object;
    Wait wait;
    bool await_ready() const noexcept { return false; }
    void await_suspend(std::coroutine_handle<> h)
    {
        Frame &top = object.m_frames.back();
        top.wait = wait;
        top.handle = h;
        top.ready = wait == Wait::Yield || object.m_shutDown;
        object.scheduleSoon();
    }
    void await_resume() const noexcept {}
};

// A procedure's place on the object's stack, from its start to its end.
struct ProbeObject::FrameScope {
    ProbeObject &object;
    explicit FrameScope(ProbeObject &o) : object(o) { object.m_frames.push_back({}); }
    ~FrameScope()
    {
        object.m_frames.pop_back();
        // The procedure below goes on from its yield point and looks again.
        if (!object.m_frames.empty())
            object.m_frames.back().ready = true;
        object.scheduleSoon();
    }
};

ProbeObject::ProbeObject(EchoSocket &echo, HttpService &http, HostResolver &resolver, QObject *parent)
    : QObject(parent), m_echo(echo), m_httpService(http), m_resolver(resolver)
{
    for (int t = 0; t < TimerCount; ++t) {
        m_timers[t] = std::make_unique<QTimer>();
        m_timers[t]->setInterval(t == PingTimer || t == FetchTimer ? 10 : 100);
        connect(m_timers[t].get(), &QTimer::timeout, this, [this, t] { tick(Timer(t)); });
    }
}

ProbeObject::~ProbeObject()
{
    m_shutDown = true;
    Q_ASSERT(m_frames.empty());
}

void ProbeObject::setOutbox(PipeWriter *writer, quint32 objectId)
{
    m_writer = writer;
    m_objectId = objectId;
}

void ProbeObject::shutdown()
{
    if (m_shutDown)
        return;
    m_shutDown = true;
    for (const auto &t : m_timers)
        t->stop();
    m_pendingCalls.clear();
    m_pendingTicks.clear();
    if (m_http)
        m_http->abort();
    m_echo.cancel(this);
    m_resolver.cancel(this);
    for (Frame &f : m_frames)
        f.ready = true;
    scheduleSoon();
}

void ProbeObject::arm(Timer timer)
{
    if (!m_shutDown)
        enable(timer);
}

// A timer that already runs keeps its beat.
void ProbeObject::enable(Timer timer)
{
    if (!m_timers[timer]->isActive())
        m_timers[timer]->start();
}

bool ProbeObject::callsMayRun() const
{
    return m_frames.empty() || (m_frames.back().wait != Wait::Echo && m_frames.back().wait != Wait::LookUp);
}

bool ProbeObject::ticksMayRun() const
{
    if (m_frames.empty())
        return true;
    const Wait w = m_frames.back().wait;
    return w == Wait::Yield || w == Wait::PageWait;
}

void ProbeObject::HTTPRequest(const QString &host, const qint32 &port, const QString &file,
                              const qint32 &timeOut, const quint8 &retries)
{
    if (m_shutDown)
        return;
    if (!callsMayRun()) {
        m_pendingCalls.push_back([=, this] { HTTPRequest(host, port, file, timeOut, retries); });
        return;
    }
    m_timers[PingNotifyTimer]->stop();
    m_timers[FetchTimer]->stop();
    m_httpHost = host;
    m_httpPort = port;
    m_httpFile = file;
    m_httpTimeOut = timeOut;
    m_retryCount = 0;
    m_retries = retries;
    enable(FetchTimer);
}

void ProbeObject::PingRequest(const QString &ip, const qint32 &timeOut, const quint8 &retries)
{
    if (m_shutDown)
        return;
    if (!callsMayRun()) {
        m_pendingCalls.push_back([=, this] { PingRequest(ip, timeOut, retries); });
        return;
    }
    m_timers[FetchNotifyTimer]->stop();
    m_timers[PingTimer]->stop();
    m_pingHost = ip;
    m_pingTimeOut = timeOut;
    m_retryCount = 0;
    m_retries = retries;
    enable(PingTimer);
}

void ProbeObject::tick(Timer timer)
{
    if (m_shutDown)
        return;
    if (ticksMayRun() && m_pendingTicks.empty())
        runTick(timer);
    else if (std::find(m_pendingTicks.begin(), m_pendingTicks.end(), timer) == m_pendingTicks.end())
        m_pendingTicks.push_back(timer);
    scheduleSoon();
}

void ProbeObject::runTick(Timer timer)
{
    // A tick that waited counts only while its timer still runs.
    if (m_shutDown || !m_timers[timer]->isActive())
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
    case TimerCount:
        break;
    }
}

void ProbeObject::wake(Wait kind)
{
    for (Frame &f : m_frames) {
        if (f.wait == kind)
            f.ready = true;
    }
    scheduleSoon();
}

void ProbeObject::scheduleSoon()
{
    if (m_scheduled)
        return;
    m_scheduled = true;
    QMetaObject::invokeMethod(this, [this] { schedule(); }, Qt::QueuedConnection);
}

// From the event loop: runs what waits and may run now, then lets the
// innermost procedure go on when its wait is over.
void ProbeObject::schedule()
{
    m_scheduled = false;
    while (!m_pendingCalls.empty() && callsMayRun()) {
        const std::function<void()> next = std::move(m_pendingCalls.front());
        m_pendingCalls.pop_front();
        next();
    }
    while (!m_pendingTicks.empty() && ticksMayRun()) {
        const Timer next = m_pendingTicks.front();
        m_pendingTicks.pop_front();
        runTick(next);
    }
    if (!m_frames.empty()) {
        Frame &top = m_frames.back();
        if (top.ready && top.handle) {
            const std::coroutine_handle<> h = std::exchange(top.handle, {});
            top.wait = Wait::Running;
            top.ready = false;
            h.resume();
        }
    } else if (m_shutDown && !m_endedSent) {
        m_endedSent = true;
        emit ended();
    }
}

Task<void> ProbeObject::yield()
{
    co_await Suspend{*this, Wait::Yield};
}

Task<EchoResult> ProbeObject::echo(quint32 address, QByteArray data, qint32 timeOutMs)
{
    if (m_shutDown)
        co_return EchoResult{};
    m_frames.back().wait = Wait::Echo; // calls and ticks wait from the send on
    EchoSocket::Exchange exchange = m_echo.echo(address, std::move(data), timeOutMs, this);
    EchoResult r = co_await exchange;
    m_frames.back().wait = Wait::Running;
    co_return r;
}

// The look-up runs on the resolver's thread; the object waits as in an echo
// wait, every other object runs on.
Task<std::optional<QString>> ProbeObject::lookUp(QByteArray name)
{
    if (m_shutDown)
        co_return std::nullopt;
    m_frames.back().wait = Wait::LookUp;
    HostResolver::LookUp lookUp = m_resolver.lookUp(std::move(name), this);
    std::optional<QString> answer = co_await lookUp;
    m_frames.back().wait = Wait::Running;
    co_return answer;
}

Task<int> ProbeObject::showMessageBox(QString text, int style)
{
    if (!m_writer) {
        qCWarning(lcPelorin).noquote() << text;
        co_return MsgBox::AnswerOK;
    }
    if (m_shutDown)
        co_return MsgBox::AnswerOK;
    Wire::MessageBox m;
    m.objectId = m_objectId;
    m.serial = ++m_nextSerial;
    m.style = style;
    m.text = text;
    m.title = QString::fromLatin1(kLibraryName);
    m_boxSerial = m.serial;
    m_boxAnswer = MsgBox::AnswerOK;
    if (m_writer->write(Wire::encode(m)))
        co_await Suspend{*this, Wait::Box};
    m_boxSerial = 0;
    co_return m_boxAnswer;
}

bool ProbeObject::messageBoxAnswered(quint32 serial, qint32 answer)
{
    if (serial == 0 || serial != m_boxSerial)
        return false;
    m_boxSerial = 0;
    m_boxAnswer = answer;
    wake(Wait::Box);
    return true;
}

template <class Event>
Task<void> ProbeObject::raise()
{
    if (m_shutDown)
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
    m.objectId = m_objectId;
    m.serial = ++m_nextSerial;
    if constexpr (std::is_same_v<Event, Wire::PingResponse>)
        m.event = {m_pingHost, m_pingResult};
    else
        m.event = {m_httpHost, m_httpResponse};
    m_raiseSerial = m.serial;
    if (m_writer->write(Wire::encode(m)))
        co_await Suspend{*this, Wait::Raise};
    m_raiseSerial = 0;
}

bool ProbeObject::eventReturned(quint32 serial)
{
    if (serial == 0 || serial != m_raiseSerial)
        return false;
    m_raiseSerial = 0;
    wake(Wait::Raise);
    return true;
}

Task<void> ProbeObject::onPingTimer()
{
    FrameScope frame(*this);
    if (m_shutDown)
        co_return;
    m_timers[PingTimer]->stop();
    try {
        Task<qint16> ping = pingAddress(*this, m_pingHost, m_pingTimeOut);
        m_pingResult = co_await ping;
    } catch (...) {
        qCWarning(lcPelorin, "ProbeObject: ping failed");
    }
    if (m_shutDown)
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
    FrameScope frame(*this);
    if (m_shutDown)
        co_return;
    m_timers[FetchTimer]->stop();

    const QString url = QStringLiteral("http://") + m_httpHost + QLatin1Char(':') + QString::number(m_httpPort)
                        + QLatin1Char('/') + m_httpFile;
    bool opened = false;
    trapped("fetch: open", [&] {
        if (!m_http) {
            m_http = std::make_unique<HttpClient>(m_httpService);
            connect(m_http.get(), &HttpClient::completed, this, [this] { wake(Wait::PageWait); });
        }
        if (hostIsPlain(m_httpHost)) {
            opened = m_http->open(QStringLiteral("GET"), url);
        } else {
            m_http->abort();
            qCWarning(lcPelorin, "ProbeObject: refusing host text %s", qPrintable(m_httpHost));
        }
    });
    if (opened)
        trapped("fetch: send", [&] { m_http->send(); });

    Task<void> wait = awaitPage(tickCount());
    co_await wait;
    if (m_shutDown)
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
    connect(&deadline, &QTimer::timeout, this, [this] { wake(Wait::PageWait); });
    for (;;) {
        if (m_shutDown)
            co_return;
        const bool done = m_http && m_http->readyState() == HttpClient::Done;
        const quint32 now = tickCount();
        const qint32 timeOut = m_httpTimeOut;
        if (done || !tickWaitHolds(start, now, timeOut))
            co_return;
        const qint64 remaining = qint64(timeOut) - qint64(quint32(now - start)) + 1;
        deadline.start(int(std::clamp<qint64>(remaining, 1, 0x7fffffff)));
        co_await Suspend{*this, Wait::PageWait};
    }
}

Task<void> ProbeObject::onPingNotifyTimer()
{
    FrameScope frame(*this);
    Task<void> raised = raise<Wire::PingResponse>();
    co_await raised;
}

Task<void> ProbeObject::onFetchNotifyTimer()
{
    FrameScope frame(*this);
    Task<void> raised = raise<Wire::HttpReqResponse>();
    co_await raised;
}

} // namespace Pelorin
