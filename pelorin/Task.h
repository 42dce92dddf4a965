// Coroutines for the probe server's one event loop: a procedure that waits
// (for an echo reply, a page, the client's answer) is written as a Task and
// awaits; the event loop goes on with everything else meanwhile.
//
// Task<T>: started when awaited, hands its value to the awaiting coroutine.
// spawn(): starts a Task<void> that nobody awaits; it frees itself at its end.
// runInline(): runs a Task whose awaits all complete at once (tests).
// Await a named Task (Task<int> t = f(text); co_await t;): g++ 12 may destroy
// the temporaries of a co_await expression twice.
#pragma once

#include <QtGlobal>

#include <coroutine>
#include <exception>
#include <optional>
#include <utility>

namespace Pelorin {

template <class T>
class Task;

namespace Detail {

struct PromiseBase {
    std::coroutine_handle<> continuation;
    std::exception_ptr error;

    std::suspend_always initial_suspend() noexcept { return {}; }
    auto final_suspend() noexcept
    {
        struct Resume {
            std::coroutine_handle<> next;
            bool await_ready() noexcept { return false; }
            std::coroutine_handle<> await_suspend(std::coroutine_handle<>) noexcept
            {
                return next ? next : std::noop_coroutine();
            }
            void await_resume() noexcept {}
        };
        return Resume{continuation};
    }
    void unhandled_exception() { error = std::current_exception(); }
};

template <class T>
struct Promise : PromiseBase {
    std::optional<T> value;
    Task<T> get_return_object();
    void return_value(T v) { value = std::move(v); }
    T take()
    {
        if (error)
            std::rethrow_exception(error);
        return std::move(*value);
    }
};

template <>
struct Promise<void> : PromiseBase {
    Task<void> get_return_object();
    void return_void() {}
    void take()
    {
        if (error)
            std::rethrow_exception(error);
    }
};

} // namespace Detail

template <class T = void>
class [[nodiscard]] Task
{
public:
    using promise_type = Detail::Promise<T>;
    using Handle = std::coroutine_handle<promise_type>;

    explicit Task(Handle h) : m_handle(h) {}
    Task(Task &&other) noexcept : m_handle(std::exchange(other.m_handle, {})) {}
    Task &operator=(Task &&) = delete;
    ~Task()
    {
        if (m_handle)
            m_handle.destroy();
    }

    bool await_ready() const noexcept { return false; }
    std::coroutine_handle<> await_suspend(std::coroutine_handle<> awaiting) noexcept
    {
        m_handle.promise().continuation = awaiting;
        return m_handle;
    }
    T await_resume() { return m_handle.promise().take(); }

    // Runs the task to its end on the caller's stack; every await inside must
    // complete at once.
    T runInline()
    {
        m_handle.resume();
        Q_ASSERT(m_handle.done());
        return m_handle.promise().take();
    }

private:
    Handle m_handle;
};

namespace Detail {
template <class T>
Task<T> Promise<T>::get_return_object()
{
    return Task<T>(std::coroutine_handle<Promise<T>>::from_promise(*this));
}
inline Task<void> Promise<void>::get_return_object()
{
    return Task<void>(std::coroutine_handle<Promise<void>>::from_promise(*this));
}

// A coroutine that starts at once and frees itself at its end.
struct Detached {
    struct promise_type {
        Detached get_return_object() { return {}; }
        std::suspend_never initial_suspend() noexcept { return {}; }
        std::suspend_never final_suspend() noexcept { return {}; }
        void return_void() {}
        void unhandled_exception() { std::terminate(); }
    };
};
} // namespace Detail

// Starts task; it runs until its first wait, then on from the event loop.
// The task must trap its own errors.
inline void spawn(Task<void> task)
{
    [](Task<void> t) -> Detail::Detached { co_await t; }(std::move(task));
}

} // namespace Pelorin
