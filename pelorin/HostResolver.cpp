#include "HostResolver.h"

#include "Ping.h"

#include <condition_variable>
#include <deque>
#include <mutex>
#include <thread>
#include <utility>
#include <vector>

namespace Pelorin {

// What the thread and the resolver share. The resolver lets go of it when it
// is destroyed; a thread still inside a look-up then drops its answer and ends.
struct HostResolver::Shared {
    std::mutex mutex;
    std::condition_variable wake;
    std::deque<std::pair<quint64, QByteArray>> queue;
    HostResolver *owner = nullptr; // null once the resolver is gone

    void run()
    {
        std::unique_lock lock(mutex);
        for (;;) {
            wake.wait(lock, [this] { return !owner || !queue.empty(); });
            if (!owner)
                return;
            const quint64 ticket = queue.front().first;
            const QByteArray name = std::move(queue.front().second);
            queue.pop_front();
            lock.unlock();
            const std::optional<QString> answer = resolveHostName(name);
            lock.lock();
            // Posted while the owner can't go away: its destructor takes the lock.
            if (owner)
                QMetaObject::invokeMethod(owner, [o = owner, ticket, answer] { o->finish(ticket, answer); },
                                          Qt::QueuedConnection);
        }
    }
};

HostResolver::HostResolver(QObject *parent) : QObject(parent), m_shared(std::make_shared<Shared>())
{
    m_shared->owner = this;
}

HostResolver::~HostResolver()
{
    {
        const std::lock_guard lock(m_shared->mutex);
        m_shared->owner = nullptr;
        m_shared->queue.clear();
    }
    m_shared->wake.notify_all();
    for (auto &[ticket, lookUp] : m_waits)
        lookUp->m_ticket = 0;
}

HostResolver::LookUp HostResolver::lookUp(QByteArray name, const void *token)
{
    return LookUp(*this, std::move(name), token);
}

void HostResolver::cancel(const void *token)
{
    std::vector<quint64> tickets;
    for (const auto &[ticket, lookUp] : m_waits) {
        if (lookUp->m_token == token)
            tickets.push_back(ticket);
    }
    for (const quint64 ticket : tickets)
        finish(ticket, std::nullopt);
}

void HostResolver::finish(quint64 ticket, const std::optional<QString> &answer)
{
    const auto it = m_waits.find(ticket);
    if (it == m_waits.end())
        return; // cancelled meanwhile
    LookUp *lookUp = it->second;
    m_waits.erase(it);
    lookUp->m_ticket = 0;
    lookUp->m_answer = answer;
    // Resumed from the event loop, never inside the caller of finish().
    QMetaObject::invokeMethod(this, [h = lookUp->m_handle] { h.resume(); }, Qt::QueuedConnection);
}

HostResolver::LookUp::LookUp(HostResolver &resolver, QByteArray name, const void *token)
    : m_resolver(resolver), m_name(std::move(name)), m_token(token)
{
}

HostResolver::LookUp::~LookUp()
{
    if (m_ticket)
        m_resolver.m_waits.erase(m_ticket);
}

void HostResolver::LookUp::await_suspend(std::coroutine_handle<> h)
{
    m_handle = h;
    m_ticket = m_resolver.m_nextTicket++;
    m_resolver.m_waits.emplace(m_ticket, this);
    {
        const std::lock_guard lock(m_resolver.m_shared->mutex);
        m_resolver.m_shared->queue.emplace_back(m_ticket, m_name);
    }
    m_resolver.m_shared->wake.notify_one();
    if (!m_resolver.m_started) {
        m_resolver.m_started = true;
        // Detached: a look-up can't be interrupted, and pelorin must not wait
        // for a slow DNS server to end. It holds the shared part, not the resolver.
        std::thread([shared = m_resolver.m_shared] { shared->run(); }).detach();
    }
}

} // namespace Pelorin
