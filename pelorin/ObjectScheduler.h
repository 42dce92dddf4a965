// When each step of one probe object may run. The object's procedures are
// coroutines on one stack of frames, innermost last; the scheduler holds the
// frames, the client's calls and the timers' ticks that wait their turn, and
// runs each when it may, from the event loop:
// - a call or a tick runs when the object is idle or its innermost procedure
//   is at a yield point (the address-part yield, the page wait);
// - during an echo wait or a name look-up both wait;
// - during a raise or a message box only the client's calls run (its handler
//   may make them), ticks wait and run once it has answered;
// - a procedure started at a yield point ends before the one below goes on.
// Calls run in the order they came; a tick waits at most once per timer.
// Owned by its ProbeObject; everything runs on the object's thread.
#pragma once

#include <QObject>

#include <coroutine>
#include <deque>
#include <functional>
#include <vector>

namespace Pelorin {

class ObjectScheduler : public QObject
{
    Q_OBJECT

public:
    enum class Wait { Running, Yield, PageWait, Echo, LookUp, Raise, Box };

    // runTick starts the procedure of a timer's tick once the tick may run.
    explicit ObjectScheduler(std::function<void(int timer)> runTick, QObject *parent = nullptr);
    ~ObjectScheduler() override;

    // A client's call: runs now when calls may run, else in its turn; dropped after release.
    void call(std::function<void()> step);
    // A timer's tick: runs now when ticks may run and none waits, else in its turn.
    void tick(int timer);
    // Release: drops what waits and ends every wait; ended() follows once no frame is left.
    void release();
    bool isReleased() const { return m_released; }
    bool isBusy() const { return !m_frames.empty(); }

    // A procedure's frame on the object's stack, from its start to its end.
    class Procedure
    {
    public:
        explicit Procedure(ObjectScheduler &scheduler);
        Procedure(const Procedure &) = delete;
        Procedure &operator=(const Procedure &) = delete;
        ~Procedure();

    private:
        ObjectScheduler &m_scheduler;
        std::size_t m_depth;
    };

    // Suspends the innermost procedure until wake(wait) or the release, and
    // until it is innermost again. A Yield is over at once.
    struct Suspend {
        ObjectScheduler &scheduler;
        Wait wait;
        bool await_ready() const noexcept { return false; }
        void await_suspend(std::coroutine_handle<> handle);
        void await_resume() const noexcept {}
    };
    Suspend suspend(Wait wait) { return {*this, wait}; }
    // The innermost procedure waits for something outside the object (an echo
    // reply, a name) from now on, or runs again; not resumed from here.
    void setWait(Wait wait);
    // Every frame waiting in wait may go on.
    void wake(Wait wait);

signals:
    // Released and no procedure left.
    void ended();

private:
    struct Frame {
        Wait wait = Wait::Running;
        std::coroutine_handle<> handle;
        bool ready = false;
    };

    bool callsMayRun() const;
    bool ticksMayRun() const;
    void scheduleSoon();
    void schedule();
    void assertThread() const;

    std::function<void(int)> m_runTick;
    std::vector<Frame> m_frames;
    std::deque<std::function<void()>> m_pendingCalls;
    std::deque<int> m_pendingTicks; // each timer at most once
    bool m_scheduled = false;
    bool m_released = false;
    bool m_endedSent = false;
};

} // namespace Pelorin
