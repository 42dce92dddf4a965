// The probe server's one ICMP echo socket, opened once at start: a datagram
// socket where net.ipv4.ping_group_range allows it, otherwise a raw socket
// opened with CAP_NET_RAW raised (Capabilities.h). Every request of every
// probe object goes out on it; the event loop reads the replies and hands each
// to the request that waits for it, by identifier, sequence and source
// address. Owned by PelorinServer.
#pragma once

#include <QByteArray>
#include <QObject>
#include <QString>

#include <coroutine>
#include <functional>
#include <optional>
#include <cstddef>
#include <map>
#include <memory>
#include <utility>

class QSocketNotifier;
class QTimerEvent;
struct sockaddr_in;

namespace Pelorin {

// The status of one echo exchange, with the classic numbers a failed ping reports.
namespace IpStatus {
inline constexpr quint32 Success = 0;
inline constexpr quint32 DestNetUnreachable = 11002;
inline constexpr quint32 DestHostUnreachable = 11003;
inline constexpr quint32 RequestTimedOut = 11010;
inline constexpr quint32 BadDestination = 11018;
inline constexpr quint32 GeneralFailure = 11050;
} // namespace IpStatus

enum class EchoSocketKind { Datagram, Raw, None };

// How one received packet relates to the requests in flight. Pure, so the
// rules can be checked without sockets.
namespace EchoRoute {
struct Packet {
    enum Kind { Unrelated, Reply, Error } kind = Unrelated;
    quint32 peer = 0;     // the request's destination, network order
    quint16 sequence = 0; // host order
    quint32 status = 0;   // Error: the IpStatus
    quint8 ttl = 0;
    QByteArray data;      // Reply: the echoed data
};
// A packet of a raw socket, IP header first; identifier as it lies in the header.
Packet readRaw(quint16 identifier, const quint8 *packet, std::size_t size);
// A packet of a datagram socket (no IP header) and where it came from.
Packet readDatagram(quint16 identifier, const quint8 *packet, std::size_t size, const sockaddr_in &from);
// The key of a waiting request: sequence and destination are unique among them.
inline quint64 key(quint16 sequence, quint32 peer) { return quint64(sequence) << 32 | peer; }
// Whether packet answers the request sent to peer with sequence and data:
// a reply must echo the data, an error quotes the request's header.
bool answers(const Packet &packet, quint16 sequence, quint32 peer, const QByteArray &data);
// The sequence for a new request to peer: next, or the first one after it
// (wrapping at 65,536) that no waiting request to peer holds; nothing when all do.
std::optional<quint16> freeSequence(quint16 next, quint32 peer, const std::function<bool(quint64 key)> &waiting);
} // namespace EchoRoute

struct EchoResult {
    quint32 status = IpStatus::GeneralFailure;
    quint32 roundTripMs = 0;
    quint8 ttl = 0;
    QByteArray data;
};

class EchoSocket : public QObject
{
    Q_OBJECT

public:
    // Opens a socket of the kind wanted (Datagram: the datagram socket, or
    // the raw one where that is refused; Raw: only the raw one).
    explicit EchoSocket(EchoSocketKind wanted = EchoSocketKind::Datagram, QObject *parent = nullptr);
    ~EchoSocket() override;

    EchoSocketKind kind() const { return m_kind; }
    // Why no socket could be opened, and how to allow one.
    QString unavailableReason() const;
    int waiting() const { return int(m_waits.size()); }

    // One echo request to address (network order) with data, time-to-live
    // 255, no don't-fragment flag; awaits its reply or error, the time-out
    // or cancel(token). token names the waiter (its probe object).
    class Exchange;
    Exchange echo(quint32 address, QByteArray data, qint32 timeOutMs, const void *token);
    // Ends every wait of token at once, as failed.
    void cancel(const void *token);

protected:
    // An echo wait's time-out.
    void timerEvent(QTimerEvent *event) override;

private:
    friend class Exchange;
    void readPackets();
    void finish(quint64 key, const EchoResult &result);
    bool readErrorQueue();

    int m_fd = -1;
    EchoSocketKind m_kind = EchoSocketKind::None;
    quint16 m_identifier = 0; // as it lies in the header
    quint16 m_nextSequence = 1;
    std::unique_ptr<QSocketNotifier> m_notifier;
    std::map<quint64, Exchange *> m_waits;
    std::map<int, quint64> m_timeouts; // timer id to the key of its wait
};

// The awaitable of one echo request.
class EchoSocket::Exchange
{
public:
    Exchange(EchoSocket &socket, quint32 address, QByteArray data, qint32 timeOutMs, const void *token);
    Exchange(Exchange &&) = delete;
    ~Exchange();
    bool await_ready();
    void await_suspend(std::coroutine_handle<> h);
    EchoResult await_resume() { return m_result; }

private:
    friend class EchoSocket;
    void stopTimer();

    EchoSocket &m_socket;
    quint32 m_address;
    QByteArray m_data;
    qint32 m_timeOutMs;
    const void *m_token;
    quint64 m_key = 0;
    qint64 m_sentAt = 0;
    bool m_waiting = false;
    int m_timerId = 0;
    std::coroutine_handle<> m_handle;
    EchoResult m_result;
};

} // namespace Pelorin
