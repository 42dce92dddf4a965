// The probe server's periodic timer: an interval in milliseconds, an isEnabled
// switch and a timeout event raised once per period while enabled. Backed by one
// of Qt's per-object timers on the thread the timer lives on; Qt's per-thread
// timer dispatch finds the object by the timer id. Owned by the probe object.
#pragma once

#include <QObject>

namespace Pelorin {

// The probe server's millisecond tick: a monotonic counter truncated to 32
// bits, so it wraps about every 49.7 days.
quint32 tickCount();

// Whether a wait begun at tick start with a time-out of timeOut milliseconds
// still holds at tick now: the deadline millisecond itself still waits, a
// time-out of 0 waits until the tick moves on, a negative one not at all.
// Safe across the wrap of the counter.
bool tickWaitHolds(quint32 start, quint32 now, qint32 timeOut);

class CallbackTimer : public QObject
{
    Q_OBJECT

public:
    explicit CallbackTimer(QObject *parent = nullptr);
    ~CallbackTimer() override; // stops the running timer

    qint32 interval() const { return m_interval; }
    void setInterval(const qint32 &i);
    bool isEnabled() const { return m_enabled; }
    void setEnabled(const bool &enabled);

    // The id of the running Qt timer, 0 when none runs.
    int timerId() const { return m_timerId; }

signals:
    // Emitted synchronously from the thread's event dispatch.
    void timeout();

protected:
    void timerEvent(QTimerEvent *event) override;

private:
    void startSystemTimer();
    void stopSystemTimer();
    void raiseTimer();

    bool m_enabled = false;
    qint32 m_interval = 0;
    int m_timerId = 0;
};

} // namespace Pelorin
