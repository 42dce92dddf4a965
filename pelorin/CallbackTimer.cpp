#include "clsTimer.h"

#include <QTimerEvent>

#include <time.h>

namespace Pelorin {

quint32 GetTickCount()
{
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    const quint64 ms = quint64(ts.tv_sec) * 1000u + quint64(ts.tv_nsec) / 1000000u;
    return quint32(ms);
}

bool TickWaitHolds(quint32 start, quint32 now, qint32 timeOut)
{
    const quint32 elapsed = now - start;
    return qint64(elapsed) <= qint64(timeOut);
}

clsTimer::clsTimer(QObject *parent) : QObject(parent) {}

clsTimer::~clsTimer()
{
    stopSystemTimer();
}

void clsTimer::startSystemTimer()
{
    // startTimer returns 0 when the thread has no event dispatcher; the timer
    // then stays enabled without ticking, like one with no positive period.
    lTimerID = startTimer(lInterval, Qt::PreciseTimer);
}

void clsTimer::stopSystemTimer()
{
    if (lTimerID != 0) {
        killTimer(lTimerID);
        lTimerID = 0;
    }
}

void clsTimer::setEnabled(const bool &bValue)
{
    const bool v = bValue; // bValue may alias a field changed below
    if (v) {
        if (lTimerID == 0 && lInterval > 0)
            startSystemTimer();
    } else {
        stopSystemTimer();
    }
    bEnabled = v;
}

void clsTimer::setInterval(const qint32 &i)
{
    const qint32 v = i;
    lInterval = v > 0 ? v : 0;
    if (bEnabled && lTimerID != 0) {
        stopSystemTimer();
        if (v > 0)
            startSystemTimer();
    }
}

void clsTimer::timerEvent(QTimerEvent *event)
{
    // A tick of a timer that has since been stopped or replaced is stale.
    if (lTimerID == 0 || event->timerId() != lTimerID)
        return;
    RaiseTimer();
}

void clsTimer::RaiseTimer()
{
    emit Timer();
}

} // namespace Pelorin
