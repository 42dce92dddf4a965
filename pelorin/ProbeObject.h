// The probe object: one ping or one HTTP fetch at a time for its client, run
// on timers, with the answer raised as an event every 100 ms until a request
// of the other kind or release. Every object of the server runs on the one
// event loop; its procedures are coroutines that await their waits.
//
// One thing at a time per object: a call or a tick runs when the object is
// idle or at one of its yield points (the address-part yield, the page
// wait), never during an echo wait or a name look-up; during a raise or a message box only the
// client's calls run (its handler may make them). What can't run yet waits
// in the object's queue. A handler that starts inside another's yield point
// ends before that one goes on. Owned by PelorinServer (or a test).
#pragma once

#include "HostResolver.h"
#include "Ping.h"
#include "ProbeInterface.h"

#include <QObject>
#include <QString>

#include <coroutine>
#include <deque>
#include <functional>
#include <memory>
#include <vector>

class QTimer;

namespace Pelorin {

// False for a host text that would change the meaning of the URL around it (another
// host, port, path or user part): empty, a control character, space, or one of /\?#@:[]%.
bool hostIsPlain(const QString &host);

// The probe server's millisecond tick: a monotonic counter truncated to 32
// bits, so it wraps about every 49.7 days.
quint32 tickCount();

// Whether a wait begun at tick start with a time-out of timeOut milliseconds
// still holds at tick now: the deadline millisecond itself still waits, a
// time-out of 0 waits until the tick moves on, a negative one not at all.
// Safe across the wrap of the counter.
bool tickWaitHolds(quint32 start, quint32 now, qint32 timeOut);

class HttpClient;
class HttpService;
class PipeWriter;

class ProbeObject : public QObject, private PingContext
{
    Q_OBJECT

public:
    ProbeObject(EchoSocket &echo, HttpService &http, HostResolver &resolver, QObject *parent = nullptr);
    ~ProbeObject() override;

    // Where events and message boxes go: to the client over writer, each
    // awaited until the client answers. Unset, events are the signals below
    // and boxes are logged.
    void setOutbox(PipeWriter *writer, quint32 objectId);

    void HTTPRequest(const QString &host, const qint32 &port, const QString &file,
                     const qint32 &timeOut, const quint8 &retries);
    void PingRequest(const QString &ip, const qint32 &timeOut, const quint8 &retries);

    // The client's answers; false when nothing waits for that serial.
    bool eventReturned(quint32 serial);
    bool messageBoxAnswered(quint32 serial, qint32 answer);

    // Release: stops all four timers and ends every wait at once; nothing is
    // raised or shown afterwards. ended() follows once no procedure of the
    // object is left (at once when none runs).
    void shutdown();
    bool isBusy() const { return !m_frames.empty(); }

signals:
    // Without an outbox: raised synchronously, arguments refer to the
    // object's own fields.
    void PingResponse(QString &ip, qint16 &pingTime);
    void HTTPReqResponse(QString &host, QString &rawData);
    // Shut down and no procedure left.
    void ended();

private:
    enum class Wait { Running, Yield, PageWait, Echo, LookUp, Raise, Box };
    enum Timer { PingTimer, FetchTimer, PingNotifyTimer, FetchNotifyTimer, TimerCount };
    // One procedure on the object's stack, innermost last.
    struct Frame {
        Wait wait = Wait::Running;
        std::coroutine_handle<> handle;
        bool ready = false;
    };
    struct Suspend;
    struct FrameScope;

    Task<void> yield() override;
    Task<int> showMessageBox(QString text, int style) override;
    Task<EchoResult> echo(quint32 address, QByteArray data, qint32 timeOutMs) override;
    Task<std::optional<QString>> lookUp(QByteArray name) override;

    void tick(Timer timer);
    void runTick(Timer timer);
    Task<void> onPingTimer();
    Task<void> onFetchTimer();
    Task<void> onPingNotifyTimer();
    Task<void> onFetchNotifyTimer();
    Task<void> awaitPage(quint32 start);
    // Raises the event of the object's current answer and awaits its return.
    template <class Event>
    Task<void> raise();

    bool callsMayRun() const;
    bool ticksMayRun() const;
    void wake(Wait kind);
    void scheduleSoon();
    void schedule();
    void arm(Timer timer);
    void enable(Timer timer);

    EchoSocket &m_echo;
    HttpService &m_httpService;
    HostResolver &m_resolver;
    PipeWriter *m_writer = nullptr;
    quint32 m_objectId = 0;
    quint32 m_nextSerial = 0;
    quint32 m_raiseSerial = 0; // of the event the client handles now, 0: none
    quint32 m_boxSerial = 0;
    qint32 m_boxAnswer = 0;

    std::vector<Frame> m_frames;
    std::deque<std::function<void()>> m_pendingCalls;
    std::deque<Timer> m_pendingTicks; // each timer at most once
    bool m_scheduled = false;

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
    std::unique_ptr<QTimer> m_timers[TimerCount];
    bool m_shutDown = false;
    bool m_endedSent = false;
};

} // namespace Pelorin
