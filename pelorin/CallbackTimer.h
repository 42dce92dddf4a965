// The probe server's periodic timer: an Interval in milliseconds, an Enabled
// switch and a Timer event raised once per period while enabled. Backed by one
// of Qt's per-object timers on the thread the timer lives on; Qt's per-thread
// timer dispatch finds the object by the timer id. Owned by the probe object.
#pragma once

#include <QObject>

namespace Pelorin {

// The probe server's millisecond tick: a monotonic counter truncated to 32
// bits, so it wraps about every 49.7 days.
quint32 GetTickCount();

// Whether a wait begun at tick start with a time-out of timeOut milliseconds
// still holds at tick now: the deadline millisecond itself still waits, a
// time-out of 0 waits until the tick moves on, a negative one not at all.
// Safe across the wrap of the counter.
bool TickWaitHolds(quint32 start, quint32 now, qint32 timeOut);

class clsTimer : public QObject
{
    Q_OBJECT

public:
    explicit clsTimer(QObject *parent = nullptr);
    ~clsTimer() override; // stops the running timer

    qint32 Interval() const { return lInterval; }
    void setInterval(const qint32 &i);
    bool Enabled() const { return bEnabled; }
    void setEnabled(const bool &bValue);

    // The id of the running Qt timer, 0 when none runs.
    int timerId() const { return lTimerID; }

signals:
    // Emitted synchronously from the thread's event dispatch.
    void Timer();

protected:
    void timerEvent(QTimerEvent *event) override;

private:
    void startSystemTimer();
    void stopSystemTimer();
    void RaiseTimer();

    bool bEnabled = false;
    qint32 lInterval = 0;
    int lTimerID = 0;
};

} // namespace Pelorin
