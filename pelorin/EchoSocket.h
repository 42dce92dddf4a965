// The probe server's ICMP echo: datagram sockets where net.ipv4.ping_group_range
// allows them, otherwise raw sockets opened at start with CAP_NET_RAW raised
// (Capabilities.h), after which it is dropped from every set for good. Owned by
// PelorinServer; every probe object's requests go through it.
//
// Each probe object sends on a socket of its own (its lane), because on a
// segment a request to an empty address waits in the kernel's neighbour queue
// until ARP gives up, charged to the socket that sent it: on one shared
// socket a wave of empty addresses would fill the send buffer and refuse every
// later request. A request the kernel has no room for yet waits for room; its
// time-out starts only once it has been handed to the kernel. The event loop
// reads the replies and hands each to the request that waits for it, by
// identifier, sequence and source address.
#pragma once

#include "EchoPacket.h"
#include "ProbePorts.h"

#include <QByteArray>
#include <QObject>
#include <QString>

#include <coroutine>
#include <deque>
#include <map>
#include <memory>
#include <vector>

class QSocketNotifier;
class QTimerEvent;

namespace Pelorin {

enum class EchoSocketKind { Datagram, Raw, None };

class EchoSocket : public QObject, public EchoPort
{
    Q_OBJECT

public:
    // Raw sockets opened at start, shared by the objects beyond that many.
    static constexpr int kRawLanes = 64;
    // Datagram sockets open at once, shared beyond that many (descriptors).
    static constexpr int kDatagramLanes = 512;

    // Opens sockets of the kind wanted (Datagram: datagram sockets, or raw
    // ones where those are refused; Raw: only raw ones).
    explicit EchoSocket(EchoSocketKind wanted = EchoSocketKind::Datagram, QObject *parent = nullptr);
    ~EchoSocket() override;

    EchoSocketKind kind() const { return m_kind; }
    // Why no socket could be opened, and how to allow one.
    QString unavailableReason() const;
    // Requests waiting for their answer or for room to be sent.
    int waiting() const;

    // One echo request to address (network order) with data, time-to-live
    // 255, no don't-fragment flag; awaits its reply or error, the time-out
    // or cancel(token). token names the waiter (its probe object), which
    // sends on a lane of its own.
    class Exchange;
    Exchange echo(quint32 address, QByteArray data, qint32 timeOutMs, const void *token);
    // The same, for a probe object.
    Task<EchoResult> request(quint32 address, QByteArray data, qint32 timeOutMs, const void *token) override;
    // Ends every wait of token at once, as failed, and gives its lane back.
    void cancel(const void *token) override;

protected:
    // An echo wait's time-out, or a lane's pause before sending again.
    void timerEvent(QTimerEvent *event) override;

private:
    friend class Exchange;
    struct Lane;
    Lane *laneFor(const void *token);
    std::unique_ptr<Lane> openLane();
    void readLanes();
    void readPackets(int fd, quint16 identifier);
    void readErrorQueue(int fd);
    void route(const EchoRoute::Packet &packet);
    void finish(quint64 key, const EchoResult &result);
    void sendBlocked(Lane &lane);
    void wantRoom(Lane &lane, int error);

    EchoSocketKind m_kind = EchoSocketKind::None;
    // Where replies are read: raw, the one socket that reads every reply;
    // datagram, an epoll set of the lanes.
    int m_receiver = -1;
    std::unique_ptr<QSocketNotifier> m_receiverNotifier;
    quint16 m_rawIdentifier = 0; // as it lies in the header
    quint16 m_nextSequence = 1;
    std::vector<std::unique_ptr<Lane>> m_lanes;
    std::map<const void *, Lane *> m_laneOf;
    std::map<quint64, Exchange *> m_waits;
    std::map<int, quint64> m_timeouts; // timer id to the key of its wait
    std::map<int, Lane *> m_pauses;    // timer id to the lane that waits to send again
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
    enum class State { Unsent, Blocked, Waiting, Done };
    // Hands the request to the kernel: Waiting, Blocked (no room yet: the
    // errno returned) or Done (refused).
    int send();
    void fail(quint32 status);
    void startTimer();
    void stopTimer();

    EchoSocket &m_socket;
    quint32 m_address;
    QByteArray m_data;
    qint32 m_timeOutMs;
    const void *m_token;
    Lane *m_lane = nullptr;
    State m_state = State::Unsent;
    quint64 m_key = 0;
    qint64 m_sentAt = 0; // nanoseconds of the steady clock
    int m_blockError = 0;
    int m_timerId = 0;
    std::coroutine_handle<> m_handle;
    EchoResult m_result;
};

} // namespace Pelorin
