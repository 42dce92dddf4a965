#include "CallbackTimer.h"

#include <QTimerEvent>

#include <time.h>

namespace Pelorin {

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

CallbackTimer::CallbackTimer(QObject *parent) : QObject(parent) {}

CallbackTimer::~CallbackTimer()
{
    stopSystemTimer();
}

void CallbackTimer::startSystemTimer()
{
    // startTimer returns 0 when the thread has no event dispatcher; the timer
    // then stays enabled without ticking, like one with no positive period.
    m_timerId = startTimer(m_interval, Qt::PreciseTimer);
}

void CallbackTimer::stopSystemTimer()
{
    if (m_timerId != 0) {
        killTimer(m_timerId);
        m_timerId = 0;
    }
}

void CallbackTimer::setEnabled(const bool &enabled)
{
    const bool v = enabled; // enabled may alias a field changed below
    if (v) {
        if (m_timerId == 0 && m_interval > 0)
            startSystemTimer();
    } else {
        stopSystemTimer();
    }
    m_enabled = v;
}

void CallbackTimer::setInterval(const qint32 &i)
{
    const qint32 v = i;
    m_interval = v > 0 ? v : 0;
    if (m_enabled && m_timerId != 0) {
        stopSystemTimer();
        if (v > 0)
            startSystemTimer();
    }
}

void CallbackTimer::timerEvent(QTimerEvent *event)
{
    // A tick of a timer that has since been stopped or replaced is stale.
    if (m_timerId == 0 || event->timerId() != m_timerId)
        return;
    raiseTimer();
}

void CallbackTimer::raiseTimer()
{
    emit timeout();
}

} // namespace Pelorin
