// The probe object: one ping or one HTTP fetch at a time for its client, run
// on four timers, with the answer raised as an event every 100 ms until a
// request of the other kind or release. A request call stores its parameters
// and arms its work timer (10 ms); the work arms its notify timer (100 ms),
// whose ticks raise the answer. Every object of the server runs on the one
// event loop; its procedures are coroutines that await their waits, and its
// ObjectScheduler decides when each call and tick may run. Owned by
// PelorinServer (or a test).
#pragma once

#include "HostResolver.h"
#include "ObjectScheduler.h"
#include "Ping.h"
#include "ProbeInterface.h"
#include "ProbePorts.h"

#include <QObject>
#include <QString>

#include <memory>

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

class ProbeObject : public QObject, private PingContext
{
    Q_OBJECT

public:
    ProbeObject(EchoPort &echo, PageService &pages, HostResolver &resolver, QObject *parent = nullptr);
    ~ProbeObject() override;

    // Where events and message boxes go: to the client over writer, each
    // awaited until the client answers. Unset, events are the signals below
    // and boxes are logged.
    void setOutbox(FrameSink *writer, quint32 objectId);

    void HTTPRequest(const QString &host, qint32 port, const QString &file,
                     qint32 timeOut, quint8 retries);
    void PingRequest(const QString &ip, qint32 timeOut, quint8 retries);

    // The client's answers; false when nothing waits for that serial.
    bool eventReturned(quint32 serial);
    bool messageBoxAnswered(quint32 serial, qint32 answer);

    // Release: stops all four timers and ends every wait at once; nothing is
    // raised or shown afterwards. ended() follows once no procedure of the
    // object is left (at once when none runs).
    void shutdown();
    bool isBusy() const { return m_scheduler.isBusy(); }

signals:
    // Without an outbox: raised synchronously with the object's current answer.
    void PingResponse(const QString &ip, qint16 pingTime);
    void HTTPReqResponse(const QString &host, const QString &rawData);
    // Shut down and no procedure left.
    void ended();

private:
    using Wait = ObjectScheduler::Wait;
    enum Timer { PingTimer, FetchTimer, PingNotifyTimer, FetchNotifyTimer, TimerCount };

    Task<void> yield() override;
    Task<int> showMessageBox(QString text, int style) override;
    Task<EchoResult> echo(quint32 address, QByteArray data, qint32 timeOutMs) override;
    Task<std::optional<QString>> lookUp(QByteArray name) override;

    void runTick(int timer);
    Task<void> onPingTimer();
    Task<void> onFetchTimer();
    Task<void> onPingNotifyTimer();
    Task<void> onFetchNotifyTimer();
    Task<void> awaitPage(quint32 start);
    // Raises the event of the object's current answer and awaits its return.
    template <class Event>
    Task<void> raise();

    void arm(Timer timer);
    void enable(Timer timer);

    ObjectScheduler m_scheduler;
    EchoPort &m_echo;
    PageService &m_pages;
    HostResolver &m_resolver;
    FrameSink *m_writer = nullptr;
    quint32 m_objectId = 0;
    quint32 m_nextSerial = 0;
    quint32 m_raiseSerial = 0; // of the event the client handles now, 0: none
    quint32 m_boxSerial = 0;
    qint32 m_boxAnswer = 0;

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
    std::unique_ptr<PageFetch> m_http;
    std::unique_ptr<QTimer> m_timers[TimerCount];
};

} // namespace Pelorin
