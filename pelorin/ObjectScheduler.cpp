#include "ObjectScheduler.h"

#include <QThread>

#include <algorithm>
#include <utility>

namespace Pelorin {

ObjectScheduler::ObjectScheduler(std::function<void(int timer)> runTick, QObject *parent)
    : QObject(parent), m_runTick(std::move(runTick))
{
}

ObjectScheduler::~ObjectScheduler()
{
    Q_ASSERT(m_frames.empty());
}

// The object has no locks: every step runs on its thread.
void ObjectScheduler::assertThread() const
{
    Q_ASSERT(QThread::currentThread() == thread());
}

bool ObjectScheduler::callsMayRun() const
{
    if (m_frames.empty())
        return true;
    const Wait w = m_frames.back().wait;
    return w != Wait::Echo && w != Wait::LookUp;
}

bool ObjectScheduler::ticksMayRun() const
{
    if (m_frames.empty())
        return true;
    const Wait w = m_frames.back().wait;
    return w == Wait::Yield || w == Wait::PageWait;
}

void ObjectScheduler::call(std::function<void()> step)
{
    assertThread();
    if (m_released)
        return;
    if (callsMayRun() && m_pendingCalls.empty())
        step();
    else
        m_pendingCalls.push_back(std::move(step));
    scheduleSoon();
}

void ObjectScheduler::tick(int timer)
{
    assertThread();
    if (m_released)
        return;
    if (ticksMayRun() && m_pendingTicks.empty())
        m_runTick(timer);
    else if (std::find(m_pendingTicks.begin(), m_pendingTicks.end(), timer) == m_pendingTicks.end())
        m_pendingTicks.push_back(timer);
    scheduleSoon();
}

void ObjectScheduler::release()
{
    assertThread();
    if (m_released)
        return;
    m_released = true;
    m_pendingCalls.clear();
    m_pendingTicks.clear();
    for (Frame &f : m_frames)
        f.ready = true;
    scheduleSoon();
}

ObjectScheduler::Procedure::Procedure(ObjectScheduler &scheduler)
    : m_scheduler(scheduler), m_depth(scheduler.m_frames.size())
{
    m_scheduler.assertThread();
    m_scheduler.m_frames.push_back({});
}

ObjectScheduler::Procedure::~Procedure()
{
    // Only the innermost procedure ends; the one below goes on from its yield point and looks again.
    Q_ASSERT(m_scheduler.m_frames.size() == m_depth + 1);
    m_scheduler.m_frames.pop_back();
    if (!m_scheduler.m_frames.empty())
        m_scheduler.m_frames.back().ready = true;
    m_scheduler.scheduleSoon();
}

void ObjectScheduler::Suspend::await_suspend(std::coroutine_handle<> handle)
{
    scheduler.assertThread();
    Q_ASSERT(!scheduler.m_frames.empty());
    Frame &top = scheduler.m_frames.back();
    Q_ASSERT(!top.handle);
    top.wait = wait;
    top.handle = handle;
    top.ready = wait == Wait::Yield || scheduler.m_released;
    scheduler.scheduleSoon();
}

void ObjectScheduler::setWait(Wait wait)
{
    assertThread();
    Q_ASSERT(!m_frames.empty());
    m_frames.back().wait = wait;
}

void ObjectScheduler::wake(Wait wait)
{
    for (Frame &f : m_frames) {
        if (f.wait == wait)
            f.ready = true;
    }
    scheduleSoon();
}

void ObjectScheduler::scheduleSoon()
{
    if (m_scheduled)
        return;
    m_scheduled = true;
    QMetaObject::invokeMethod(this, [this] { schedule(); }, Qt::QueuedConnection);
}

// From the event loop: runs what waits and may run now, then lets the
// innermost procedure go on when its wait is over.
void ObjectScheduler::schedule()
{
    assertThread();
    m_scheduled = false;
    while (!m_pendingCalls.empty() && callsMayRun()) {
        const std::function<void()> next = std::move(m_pendingCalls.front());
        m_pendingCalls.pop_front();
        next();
    }
    while (!m_pendingTicks.empty() && ticksMayRun()) {
        const int next = m_pendingTicks.front();
        m_pendingTicks.pop_front();
        m_runTick(next);
    }
    if (!m_frames.empty()) {
        Frame &top = m_frames.back();
        if (top.ready && top.handle) {
            const std::coroutine_handle<> h = std::exchange(top.handle, {});
            top.wait = Wait::Running;
            top.ready = false;
            h.resume();
        }
    } else if (m_released && !m_endedSent) {
        m_endedSent = true;
        emit ended();
    }
}

} // namespace Pelorin
