// Host-name look-ups off the event loop: one thread of its own, started at
// the first name, does nothing but resolve names one after the other
// (resolveHostName in Ping.h, which may wait seconds on a slow DNS server);
// each answer comes back to the procedure that awaits it on the event loop,
// while every other probe object runs on. A released object's look-up is
// ended at once; its late answer is dropped. Owned by PelorinServer (or a
// test); the thread outlives it only while a look-up is still inside the resolver.
#pragma once

#include <QByteArray>
#include <QObject>
#include <QString>

#include <coroutine>
#include <map>
#include <memory>
#include <optional>

namespace Pelorin {

class HostResolver : public QObject
{
    Q_OBJECT

public:
    explicit HostResolver(QObject *parent = nullptr);
    ~HostResolver() override;

    // Awaits the look-up of name for token (its probe object): the first IPv4
    // address, dotted; an empty text when there is none; nothing when the
    // name is unknown or cancel(token) came first.
    class LookUp;
    LookUp lookUp(QByteArray name, const void *token);
    void cancel(const void *token);
    int waiting() const { return int(m_waits.size()); }
    bool hasThread() const { return m_started; }

private:
    struct Shared;
    void finish(quint64 ticket, const std::optional<QString> &answer);

    std::shared_ptr<Shared> m_shared; // the queue, shared with the thread
    std::map<quint64, LookUp *> m_waits;
    quint64 m_nextTicket = 1;
    bool m_started = false;
};

// The awaitable of one look-up.
class HostResolver::LookUp
{
public:
    LookUp(HostResolver &resolver, QByteArray name, const void *token);
    LookUp(LookUp &&) = delete;
    ~LookUp();
    bool await_ready() const noexcept { return false; }
    void await_suspend(std::coroutine_handle<> h);
    std::optional<QString> await_resume() { return m_answer; }

private:
    friend class HostResolver;
    HostResolver &m_resolver;
    QByteArray m_name;
    const void *m_token;
    quint64 m_ticket = 0;
    std::coroutine_handle<> m_handle;
    std::optional<QString> m_answer;
};

} // namespace Pelorin
