#include "EchoSocket.h"

#include "Capabilities.h"

#include <QCoreApplication>
#include <QFile>
#include <QSocketNotifier>
#include <QTimerEvent>

#include <arpa/inet.h>
#include <linux/errqueue.h>
#include <linux/filter.h>
#include <linux/icmp.h>
#include <netinet/in.h>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>

namespace Pelorin {

// One socket that sends echo requests, and the requests that wait for room in it.
struct EchoSocket::Lane {
    int fd = -1;
    quint16 identifier = 0;            // as it lies in the header
    int users = 0;                     // probe objects that send on it
    std::deque<Exchange *> blocked;    // waiting for room, oldest first
    std::unique_ptr<QSocketNotifier> writable; // while blocked on a full send buffer
    int pauseTimer = 0;                // while blocked on a lack of buffers elsewhere

    ~Lane()
    {
        writable.reset();
        if (fd >= 0)
            ::close(fd);
    }
};

namespace {

// How long a lane waits before it tries again when the kernel had no buffers
// (rather than no room in the socket, which the socket itself reports).
constexpr int kPauseMs = 5;

qint64 nowNs()
{
    using namespace std::chrono;
    return duration_cast<nanoseconds>(steady_clock::now().time_since_epoch()).count();
}

// The raw ICMP sockets, as many as allowed up to count, opened under one raise of CAP_NET_RAW.
std::vector<int> openRawSockets(int count)
{
    std::vector<int> fds;
    Capabilities::withNetRaw([&fds, count] {
        while (int(fds.size()) < count) {
            const int fd = ::socket(AF_INET, SOCK_RAW | SOCK_CLOEXEC | SOCK_NONBLOCK, IPPROTO_ICMP);
            if (fd < 0)
                break;
            fds.push_back(fd);
        }
        return fds.empty() ? -1 : fds.front();
    });
    return fds;
}

// Echo requests go out with no flags (path-MTU discovery would mark each one
// don't-fragment) and a time-to-live of 255.
void setEchoOptions(int fd)
{
    const int dont = IP_PMTUDISC_DONT;
    const int ttl = 255;
    ::setsockopt(fd, IPPROTO_IP, IP_MTU_DISCOVER, &dont, sizeof dont);
    ::setsockopt(fd, IPPROTO_IP, IP_TTL, &ttl, sizeof ttl);
}

// A datagram echo socket and the identifier the kernel gave it; -1 when refused.
int openDatagramSocket(quint16 *identifier)
{
    const int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, IPPROTO_ICMP);
    sockaddr_in any {};
    any.sin_family = AF_INET;
    socklen_t length = sizeof any;
    if (fd < 0 || ::bind(fd, reinterpret_cast<sockaddr *>(&any), sizeof any) != 0
        || ::getsockname(fd, reinterpret_cast<sockaddr *>(&any), &length) != 0) {
        if (fd >= 0)
            ::close(fd);
        return -1;
    }
    const int on = 1;
    ::setsockopt(fd, SOL_IP, IP_RECVERR, &on, sizeof on);
    *identifier = any.sin_port;
    setEchoOptions(fd);
    return fd;
}

// Every raw ICMP socket gets a copy of every ICMP packet: one that only sends
// takes none (the kernel's ICMP type filter saves the copies, the socket
// filter drops whatever type it lets by), and drops what came before.
void makeSendOnly(int fd)
{
    icmp_filter none {~0U};
    ::setsockopt(fd, SOL_RAW, ICMP_FILTER, &none, sizeof none);
    sock_filter drop[] = {BPF_STMT(BPF_RET | BPF_K, 0)};
    const sock_fprog program {1, drop};
    ::setsockopt(fd, SOL_SOCKET, SO_ATTACH_FILTER, &program, sizeof program);
    char packet[128];
    while (::recv(fd, packet, sizeof packet, MSG_DONTWAIT) >= 0) {
    }
}

QString programPath()
{
    if (QCoreApplication::instance())
        return QCoreApplication::applicationFilePath();
    const QString target = QFile::symLinkTarget(QStringLiteral("/proc/self/exe"));
    return target.isEmpty() ? QStringLiteral("pelorin") : target;
}

} // namespace

EchoSocket::EchoSocket(EchoSocketKind wanted, QObject *parent) : QObject(parent)
{
    if (wanted == EchoSocketKind::Datagram) {
        // The lanes' replies come back on their own sockets, watched through one
        // epoll set, so a wake-up of the event loop costs the same for 1 lane or 255.
        m_receiver = ::epoll_create1(EPOLL_CLOEXEC);
        std::unique_ptr<Lane> lane = m_receiver >= 0 ? openLane() : nullptr;
        if (lane) {
            m_kind = EchoSocketKind::Datagram;
            m_lanes.push_back(std::move(lane));
            m_receiverNotifier = std::make_unique<QSocketNotifier>(m_receiver, QSocketNotifier::Read);
            connect(m_receiverNotifier.get(), &QSocketNotifier::activated, this, &EchoSocket::readLanes);
        } else if (m_receiver >= 0) {
            ::close(m_receiver);
            m_receiver = -1;
        }
    }
    if (m_kind != EchoSocketKind::None || wanted == EchoSocketKind::None)
        return;
    // Raw: every socket is opened now, while the capability may still be raised:
    // one that reads every reply, and the lanes, which only send.
    const std::vector<int> raw = openRawSockets(1 + kRawLanes);
    if (raw.empty())
        return;
    m_kind = EchoSocketKind::Raw;
    m_receiver = raw.front();
    m_rawIdentifier = htons(static_cast<quint16>(::getpid() & 0xFFFF));
    m_receiverNotifier = std::make_unique<QSocketNotifier>(m_receiver, QSocketNotifier::Read);
    connect(m_receiverNotifier.get(), &QSocketNotifier::activated, this,
            [this] { readPackets(m_receiver, m_rawIdentifier); });
    for (std::size_t i = raw.size() > 1 ? 1 : 0; i < raw.size(); ++i) {
        auto lane = std::make_unique<Lane>();
        lane->fd = i ? raw[i] : ::dup(m_receiver); // alone, the receiver sends too
        lane->identifier = m_rawIdentifier;
        setEchoOptions(lane->fd);
        if (i)
            makeSendOnly(lane->fd);
        m_lanes.push_back(std::move(lane));
    }
}

EchoSocket::~EchoSocket()
{
    m_receiverNotifier.reset();
    m_lanes.clear();
    if (m_receiver >= 0)
        ::close(m_receiver);
}

// A new datagram lane, in the epoll set that reads the replies; null when refused.
std::unique_ptr<EchoSocket::Lane> EchoSocket::openLane()
{
    auto lane = std::make_unique<Lane>();
    lane->fd = openDatagramSocket(&lane->identifier);
    if (lane->fd < 0)
        return nullptr;
    epoll_event watch {};
    watch.events = EPOLLIN;
    watch.data.u64 = quint64(lane->identifier) << 32 | quint32(lane->fd);
    if (::epoll_ctl(m_receiver, EPOLL_CTL_ADD, lane->fd, &watch) != 0)
        return nullptr;
    return lane;
}

// Reads every datagram lane that has a reply or an error waiting (a closed
// lane leaves the set with its socket).
void EchoSocket::readLanes()
{
    epoll_event ready[64];
    int count;
    do {
        count = ::epoll_wait(m_receiver, ready, 64, 0);
        for (int i = 0; i < count; ++i)
            readPackets(int(ready[i].data.u64 & 0xFFFFFFFF), quint16(ready[i].data.u64 >> 32));
    } while (count == 64);
}

QString EchoSocket::unavailableReason() const
{
    return QStringLiteral("This process may not send ICMP echo requests (ping). Allow unprivileged ping "
                          "sockets with: sysctl -w net.ipv4.ping_group_range=\"0 2147483647\"; or give "
                          "the program raw sockets with: setcap cap_net_raw+p %1")
        .arg(programPath());
}

int EchoSocket::waiting() const
{
    std::size_t blocked = 0;
    for (const auto &lane : m_lanes)
        blocked += lane->blocked.size();
    return int(m_waits.size() + blocked);
}

// The token's lane; else an unused one (raw: the one unused longest), a new
// one while allowed, or the one with the fewest objects.
EchoSocket::Lane *EchoSocket::laneFor(const void *token)
{
    if (const auto it = m_laneOf.find(token); it != m_laneOf.end())
        return it->second;
    Lane *lane = nullptr;
    for (const auto &candidate : m_lanes) {
        if (candidate->users == 0 && candidate->blocked.empty()) {
            lane = candidate.get();
            break;
        }
    }
    if (!lane && m_kind == EchoSocketKind::Datagram && m_lanes.size() < kDatagramLanes) {
        if (std::unique_ptr<Lane> opened = openLane()) {
            lane = opened.get();
            m_lanes.push_back(std::move(opened));
        }
    }
    if (!lane) {
        lane = std::min_element(m_lanes.begin(), m_lanes.end(),
                                [](const auto &a, const auto &b) { return a->users < b->users; })->get();
    }
    if (m_kind == EchoSocketKind::Raw) { // taken lanes go last, so reuse comes as late as it can
        const auto it = std::find_if(m_lanes.begin(), m_lanes.end(), [lane](const auto &l) { return l.get() == lane; });
        std::rotate(it, it + 1, m_lanes.end());
    }
    ++lane->users;
    m_laneOf.emplace(token, lane);
    return lane;
}

EchoSocket::Exchange EchoSocket::echo(quint32 address, QByteArray data, qint32 timeOutMs, const void *token)
{
    return Exchange(*this, address, std::move(data), timeOutMs, token);
}

Task<EchoResult> EchoSocket::request(quint32 address, QByteArray data, qint32 timeOutMs, const void *token)
{
    Exchange exchange = echo(address, std::move(data), timeOutMs, token);
    co_return co_await exchange;
}

void EchoSocket::cancel(const void *token)
{
    std::vector<quint64> keys;
    for (const auto &[key, ex] : m_waits) {
        if (ex->m_token == token)
            keys.push_back(key);
    }
    for (quint64 key : keys)
        finish(key, EchoResult{});

    const auto it = m_laneOf.find(token);
    if (it == m_laneOf.end())
        return;
    Lane *lane = it->second;
    m_laneOf.erase(it);
    --lane->users;
    for (auto b = lane->blocked.begin(); b != lane->blocked.end();) {
        Exchange *ex = *b;
        if (ex->m_token != token) {
            ++b;
            continue;
        }
        b = lane->blocked.erase(b);
        ex->fail(IpStatus::GeneralFailure);
    }
    // A datagram socket of no object is closed: what it queued still goes out
    // or fails in the kernel, and the next object starts on an empty one.
    if (m_kind == EchoSocketKind::Datagram && lane->users == 0 && lane->blocked.empty() && m_lanes.size() > 1) {
        if (lane->pauseTimer) {
            killTimer(lane->pauseTimer);
            m_pauses.erase(lane->pauseTimer);
        }
        std::erase_if(m_lanes, [lane](const auto &l) { return l.get() == lane; });
    }
}

void EchoSocket::finish(quint64 key, const EchoResult &result)
{
    const auto it = m_waits.find(key);
    if (it == m_waits.end())
        return;
    Exchange *ex = it->second;
    m_waits.erase(it);
    ex->stopTimer();
    ex->m_result = result;
    ex->m_state = Exchange::State::Done;
    // Resumed from the event loop, never inside the caller of finish().
    QMetaObject::invokeMethod(this, [h = ex->m_handle] { h.resume(); }, Qt::QueuedConnection);
}

// Sends what waits for room in lane, in order, until the kernel has none again.
void EchoSocket::sendBlocked(Lane &lane)
{
    if (lane.writable)
        lane.writable->setEnabled(false);
    while (!lane.blocked.empty()) {
        Exchange *ex = lane.blocked.front();
        const int error = ex->send();
        if (ex->m_state == Exchange::State::Blocked) {
            wantRoom(lane, error);
            return;
        }
        lane.blocked.pop_front();
        if (ex->m_state == Exchange::State::Waiting)
            ex->startTimer();
        else
            QMetaObject::invokeMethod(this, [h = ex->m_handle] { h.resume(); }, Qt::QueuedConnection);
    }
}

// A full send buffer says when it has room again; a lack of buffers elsewhere
// (ENOBUFS) does not, so the lane tries again after a pause.
void EchoSocket::wantRoom(Lane &lane, int error)
{
    if (error == EAGAIN || error == EWOULDBLOCK) {
        if (!lane.writable) {
            lane.writable = std::make_unique<QSocketNotifier>(lane.fd, QSocketNotifier::Write);
            connect(lane.writable.get(), &QSocketNotifier::activated, this, [this, l = &lane] { sendBlocked(*l); });
        }
        lane.writable->setEnabled(true);
    } else if (!lane.pauseTimer) {
        lane.pauseTimer = startTimer(kPauseMs, Qt::PreciseTimer);
        m_pauses.emplace(lane.pauseTimer, &lane);
    }
}

// ICMP errors for a datagram socket arrive on its error queue.
void EchoSocket::readErrorQueue(int fd)
{
    for (;;) {
        quint8 payload[576];
        char control[512];
        sockaddr_in original {};
        iovec iov {payload, sizeof payload};
        msghdr msg {};
        msg.msg_name = &original;
        msg.msg_namelen = sizeof original;
        msg.msg_iov = &iov;
        msg.msg_iovlen = 1;
        msg.msg_control = control;
        msg.msg_controllen = sizeof control;
        const ssize_t got = ::recvmsg(fd, &msg, MSG_ERRQUEUE | MSG_DONTWAIT);
        if (got < 0 && errno == EINTR)
            continue;
        if (got < 0)
            return;
        if (got < 8)
            continue;
        quint16 seq = 0;
        std::memcpy(&seq, payload + 6, 2);
        for (cmsghdr *c = CMSG_FIRSTHDR(&msg); c; c = CMSG_NXTHDR(&msg, c)) {
            if (c->cmsg_level != SOL_IP || c->cmsg_type != IP_RECVERR)
                continue;
            sock_extended_err err {};
            std::memcpy(&err, CMSG_DATA(c), sizeof err);
            if (err.ee_origin == SO_EE_ORIGIN_ICMP) {
                EchoResult r;
                r.status = EchoRoute::statusForIcmpError(err.ee_type, err.ee_code);
                finish(EchoRoute::key(ntohs(seq), original.sin_addr.s_addr), r);
            }
        }
    }
}

void EchoSocket::readPackets(int fd, quint16 identifier)
{
    if (m_kind == EchoSocketKind::Datagram)
        readErrorQueue(fd);
    quint8 packet[65536];
    for (;;) {
        sockaddr_in from {};
        socklen_t fromLength = sizeof from;
        const ssize_t got = ::recvfrom(fd, packet, sizeof packet, MSG_DONTWAIT, reinterpret_cast<sockaddr *>(&from),
                                       &fromLength);
        if (got < 0) {
            if (errno == EINTR)
                continue;
            return;
        }
        const auto size = static_cast<std::size_t>(got);
        route(m_kind == EchoSocketKind::Raw ? EchoRoute::readRaw(identifier, packet, size)
                                            : EchoRoute::readDatagram(identifier, packet, size, from));
    }
}

void EchoSocket::route(const EchoRoute::Packet &p)
{
    using EchoRoute::Packet;
    if (p.kind == Packet::Unrelated)
        return;
    const auto it = m_waits.find(EchoRoute::key(p.sequence, p.peer));
    // Nobody waits for a late reply, or one for a released object.
    if (it == m_waits.end() || !EchoRoute::answers(p, p.sequence, it->second->m_address, it->second->m_data))
        return;
    EchoResult r;
    r.status = p.kind == Packet::Reply ? IpStatus::Success : p.status;
    if (p.kind == Packet::Reply) {
        r.roundTripMs = EchoRoute::roundTripMs(nowNs() - it->second->m_sentAt);
        r.ttl = p.ttl;
        r.data = p.data;
    }
    finish(it->first, r);
}

void EchoSocket::timerEvent(QTimerEvent *event)
{
    if (const auto pause = m_pauses.find(event->timerId()); pause != m_pauses.end()) {
        Lane *lane = pause->second;
        killTimer(lane->pauseTimer);
        lane->pauseTimer = 0;
        m_pauses.erase(pause);
        sendBlocked(*lane);
        return;
    }
    const auto it = m_timeouts.find(event->timerId());
    if (it == m_timeouts.end())
        return;
    EchoResult r;
    r.status = IpStatus::RequestTimedOut;
    finish(it->second, r); // stops the timer
}

EchoSocket::Exchange::Exchange(EchoSocket &socket, quint32 address, QByteArray data, qint32 timeOutMs,
                               const void *token)
    : m_socket(socket), m_address(address), m_data(std::move(data)), m_timeOutMs(timeOutMs), m_token(token)
{
}

EchoSocket::Exchange::~Exchange()
{
    stopTimer();
    if (m_state == State::Waiting)
        m_socket.m_waits.erase(m_key);
    if (m_state == State::Blocked && m_lane)
        std::erase(m_lane->blocked, this);
}

void EchoSocket::Exchange::stopTimer()
{
    if (m_timerId) {
        m_socket.killTimer(m_timerId);
        m_socket.m_timeouts.erase(m_timerId);
        m_timerId = 0;
    }
}

// The time-out runs from the moment the kernel took the request.
void EchoSocket::Exchange::startTimer()
{
    // A timer of the socket's own, not a QTimer object per request.
    m_timerId = m_socket.startTimer(std::max(0, m_timeOutMs), Qt::PreciseTimer);
    if (m_timerId)
        m_socket.m_timeouts.emplace(m_timerId, m_key);
}

void EchoSocket::Exchange::fail(quint32 status)
{
    m_result = EchoResult{};
    m_result.status = status;
    m_state = State::Done;
    QMetaObject::invokeMethod(&m_socket, [h = m_handle] { h.resume(); }, Qt::QueuedConnection);
}

int EchoSocket::Exchange::send()
{
    // Sequence numbers wrap; with the address they are unique among the waits.
    const std::optional<quint16> free = EchoRoute::freeSequence(
        m_socket.m_nextSequence, m_address, [this](quint64 key) { return m_socket.m_waits.count(key) > 0; });
    if (!free) {
        m_result.status = IpStatus::GeneralFailure;
        m_state = State::Done;
        return 0;
    }
    const QByteArray packet = EchoRoute::request(m_lane->identifier, *free, m_data);
    sockaddr_in to {};
    to.sin_family = AF_INET;
    to.sin_addr.s_addr = m_address;
    m_sentAt = nowNs();
    ssize_t sent;
    do {
        sent = ::sendto(m_lane->fd, packet.constData(), std::size_t(packet.size()), 0,
                        reinterpret_cast<const sockaddr *>(&to), sizeof to);
    } while (sent < 0 && errno == EINTR);
    if (sent < 0) {
        const int error = errno;
        if (const std::optional<quint32> status = EchoRoute::statusForSendError(error)) {
            m_result.status = *status;
            m_state = State::Done;
        } else {
            m_state = State::Blocked; // not sent: no answer can be missed yet
        }
        return error;
    }
    m_socket.m_nextSequence = quint16(*free + 1);
    m_key = EchoRoute::key(*free, m_address);
    m_socket.m_waits.emplace(m_key, this);
    m_state = State::Waiting;
    return 0;
}

// Sends the request; true (no wait) when it was refused.
bool EchoSocket::Exchange::await_ready()
{
    // 0.0.0.0/8 is "this host" on Linux: it would be answered by this machine.
    if ((ntohl(m_address) >> 24) == 0) {
        m_result.status = IpStatus::BadDestination;
        return true;
    }
    if (m_socket.m_kind == EchoSocketKind::None) {
        m_result.status = IpStatus::GeneralFailure;
        return true;
    }
    m_lane = m_socket.laneFor(m_token);
    if (!m_lane->blocked.empty()) { // in line behind the requests that wait for room
        m_state = State::Blocked;
        return false;
    }
    m_blockError = send();
    return m_state == State::Done;
}

void EchoSocket::Exchange::await_suspend(std::coroutine_handle<> h)
{
    m_handle = h;
    if (m_state == State::Waiting) {
        startTimer();
        return;
    }
    m_lane->blocked.push_back(this);
    if (m_blockError)
        m_socket.wantRoom(*m_lane, m_blockError);
}

} // namespace Pelorin
