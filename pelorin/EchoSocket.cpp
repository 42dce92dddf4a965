#include "EchoSocket.h"

#include "Capabilities.h"

#include <QCoreApplication>
#include <QFile>
#include <QSocketNotifier>
#include <QTimerEvent>

#include <arpa/inet.h>
#include <linux/errqueue.h>
#include <netinet/in.h>
#include <netinet/ip.h>
#include <netinet/ip_icmp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <vector>

namespace Pelorin {

namespace {

constexpr std::size_t kIcmpHeaderSize = 8;

qint64 nowMs()
{
    using namespace std::chrono;
    return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}

quint16 checksum(const quint8 *data, std::size_t size)
{
    quint32 sum = 0;
    for (std::size_t i = 0; i + 1 < size; i += 2)
        sum += static_cast<quint32>(data[i] << 8 | data[i + 1]);
    if (size % 2)
        sum += static_cast<quint32>(data[size - 1] << 8);
    while (sum >> 16)
        sum = (sum & 0xFFFF) + (sum >> 16);
    return htons(static_cast<quint16>(~sum));
}

quint32 statusForSendError(int error)
{
    switch (error) {
    case ENETUNREACH:
        return IpStatus::DestNetUnreachable;
    case EHOSTUNREACH:
        return IpStatus::DestHostUnreachable;
    case EACCES: // broadcast address
    case EINVAL:
    case EADDRNOTAVAIL:
        return IpStatus::BadDestination;
    default:
        return IpStatus::GeneralFailure;
    }
}

quint32 statusForIcmpError(quint8 type, quint8 code)
{
    if (type == ICMP_DEST_UNREACH)
        return code == ICMP_NET_UNREACH ? IpStatus::DestNetUnreachable : IpStatus::DestHostUnreachable;
    return IpStatus::GeneralFailure;
}

using EchoRoute::Packet;

// The echo header of type with identifier; its sequence, or nothing.
std::optional<quint16> echoSequence(const quint8 *icmp, std::size_t size, quint8 type, quint16 identifier)
{
    if (size < kIcmpHeaderSize || icmp[0] != type || icmp[1] != 0)
        return std::nullopt;
    quint16 id = 0;
    quint16 seq = 0;
    std::memcpy(&id, icmp + 4, 2);
    std::memcpy(&seq, icmp + 6, 2);
    if (id != identifier)
        return std::nullopt;
    return ntohs(seq);
}

Packet reply(quint32 peer, quint16 sequence, quint8 ttl, const quint8 *icmp, std::size_t size)
{
    Packet p{Packet::Reply, peer, sequence, IpStatus::Success, ttl, {}};
    p.data = QByteArray(reinterpret_cast<const char *>(icmp + kIcmpHeaderSize), qsizetype(size - kIcmpHeaderSize));
    return p;
}

QString programPath()
{
    if (QCoreApplication::instance())
        return QCoreApplication::applicationFilePath();
    const QString target = QFile::symLinkTarget(QStringLiteral("/proc/self/exe"));
    return target.isEmpty() ? QStringLiteral("pelorin") : target;
}

} // namespace

// A raw socket sees every ICMP packet of the machine, its own requests on
// loopback included: take the IP header apart and check everything.
Packet EchoRoute::readRaw(quint16 identifier, const quint8 *packet, std::size_t size)
{
    if (size < sizeof(iphdr))
        return {};
    iphdr ip {};
    std::memcpy(&ip, packet, sizeof ip);
    const std::size_t ipLength = static_cast<std::size_t>(ip.ihl) * 4;
    if (ip.protocol != IPPROTO_ICMP || ipLength < sizeof(iphdr) || size < ipLength + kIcmpHeaderSize)
        return {};
    const quint8 *icmp = packet + ipLength;
    const std::size_t icmpSize = size - ipLength;

    if (icmp[0] == ICMP_ECHOREPLY) {
        if (const auto seq = echoSequence(icmp, icmpSize, ICMP_ECHOREPLY, identifier))
            return reply(ip.saddr, *seq, ip.ttl, icmp, icmpSize);
        return {};
    }
    if (icmp[0] != ICMP_DEST_UNREACH && icmp[0] != ICMP_TIME_EXCEEDED)
        return {};
    // The error quotes the offending IP header and the first 8 bytes after it.
    const quint8 *quoted = icmp + kIcmpHeaderSize;
    const std::size_t quotedSize = icmpSize - kIcmpHeaderSize;
    if (quotedSize < sizeof(iphdr))
        return {};
    iphdr inner {};
    std::memcpy(&inner, quoted, sizeof inner);
    const std::size_t innerLength = static_cast<std::size_t>(inner.ihl) * 4;
    if (inner.protocol != IPPROTO_ICMP || innerLength < sizeof(iphdr) || quotedSize < innerLength + kIcmpHeaderSize)
        return {};
    const auto seq = echoSequence(quoted + innerLength, kIcmpHeaderSize, ICMP_ECHO, identifier);
    if (!seq)
        return {};
    return {Packet::Error, inner.daddr, *seq, statusForIcmpError(icmp[0], icmp[1]), 0, {}};
}

// A datagram socket gets only packets for its identifier, without IP header.
Packet EchoRoute::readDatagram(quint16 identifier, const quint8 *packet, std::size_t size, const sockaddr_in &from)
{
    if (const auto seq = echoSequence(packet, size, ICMP_ECHOREPLY, identifier))
        return reply(from.sin_addr.s_addr, *seq, 0, packet, size);
    return {};
}

bool EchoRoute::answers(const Packet &packet, quint16 sequence, quint32 peer, const QByteArray &data)
{
    return packet.kind != Packet::Unrelated && packet.sequence == sequence && packet.peer == peer
        && (packet.kind == Packet::Error || packet.data == data);
}

std::optional<quint16> EchoRoute::freeSequence(quint16 next, quint32 peer, const std::function<bool(quint64)> &waiting)
{
    for (int tries = 0; tries < 65536; ++tries, ++next) {
        if (!waiting(key(next, peer)))
            return next;
    }
    return std::nullopt;
}

EchoSocket::EchoSocket(EchoSocketKind wanted, QObject *parent) : QObject(parent)
{
    if (wanted == EchoSocketKind::Datagram) {
        m_fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, IPPROTO_ICMP);
        sockaddr_in any {};
        any.sin_family = AF_INET;
        socklen_t length = sizeof any;
        const int on = 1;
        if (m_fd >= 0 && ::bind(m_fd, reinterpret_cast<sockaddr *>(&any), sizeof any) == 0
            && ::getsockname(m_fd, reinterpret_cast<sockaddr *>(&any), &length) == 0) {
            ::setsockopt(m_fd, SOL_IP, IP_RECVERR, &on, sizeof on);
            m_identifier = any.sin_port; // the kernel's identifier for this socket
            m_kind = EchoSocketKind::Datagram;
        } else if (m_fd >= 0) {
            ::close(m_fd);
            m_fd = -1;
        }
    }
    if (m_fd < 0 && wanted != EchoSocketKind::None) {
        m_fd = Capabilities::withNetRaw(
            [] { return ::socket(AF_INET, SOCK_RAW | SOCK_CLOEXEC | SOCK_NONBLOCK, IPPROTO_ICMP); });
        m_identifier = htons(static_cast<quint16>(::getpid() & 0xFFFF));
        if (m_fd >= 0)
            m_kind = EchoSocketKind::Raw;
    }
    if (m_fd < 0)
        return;
    // Echo requests go out with no flags (path-MTU discovery would mark each
    // one don't-fragment) and a time-to-live of 255.
    const int dont = IP_PMTUDISC_DONT;
    const int ttl = 255;
    ::setsockopt(m_fd, IPPROTO_IP, IP_MTU_DISCOVER, &dont, sizeof dont);
    ::setsockopt(m_fd, IPPROTO_IP, IP_TTL, &ttl, sizeof ttl);
    m_notifier = std::make_unique<QSocketNotifier>(m_fd, QSocketNotifier::Read);
    connect(m_notifier.get(), &QSocketNotifier::activated, this, &EchoSocket::readPackets);
}

EchoSocket::~EchoSocket()
{
    m_notifier.reset();
    if (m_fd >= 0)
        ::close(m_fd);
}

QString EchoSocket::unavailableReason() const
{
    return QStringLiteral("This process may not send ICMP echo requests (ping). Allow unprivileged ping "
                          "sockets with: sysctl -w net.ipv4.ping_group_range=\"0 2147483647\"; or give "
                          "the program raw sockets with: setcap cap_net_raw+p %1")
        .arg(programPath());
}

EchoSocket::Exchange EchoSocket::echo(quint32 address, QByteArray data, qint32 timeOutMs, const void *token)
{
    return Exchange(*this, address, std::move(data), timeOutMs, token);
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
}

void EchoSocket::finish(quint64 key, const EchoResult &result)
{
    const auto it = m_waits.find(key);
    if (it == m_waits.end())
        return;
    Exchange *ex = it->second;
    m_waits.erase(it);
    ex->m_waiting = false;
    ex->stopTimer();
    ex->m_result = result;
    // Resumed from the event loop, never inside the caller of finish().
    QMetaObject::invokeMethod(this, [h = ex->m_handle] { h.resume(); }, Qt::QueuedConnection);
}

// ICMP errors for a datagram socket arrive on its error queue; false when
// the queue is empty.
bool EchoSocket::readErrorQueue()
{
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
    const ssize_t got = ::recvmsg(m_fd, &msg, MSG_ERRQUEUE | MSG_DONTWAIT);
    if (got < 0)
        return errno == EINTR;
    if (got < static_cast<ssize_t>(kIcmpHeaderSize))
        return true;
    quint16 seq = 0;
    std::memcpy(&seq, payload + 6, 2);
    for (cmsghdr *c = CMSG_FIRSTHDR(&msg); c; c = CMSG_NXTHDR(&msg, c)) {
        if (c->cmsg_level != SOL_IP || c->cmsg_type != IP_RECVERR)
            continue;
        sock_extended_err err {};
        std::memcpy(&err, CMSG_DATA(c), sizeof err);
        if (err.ee_origin == SO_EE_ORIGIN_ICMP) {
            EchoResult r;
            r.status = statusForIcmpError(err.ee_type, err.ee_code);
            finish(EchoRoute::key(ntohs(seq), original.sin_addr.s_addr), r);
        }
    }
    return true;
}

void EchoSocket::readPackets()
{
    if (m_kind == EchoSocketKind::Datagram) {
        while (readErrorQueue()) {
        }
    }
    quint8 packet[65536];
    for (;;) {
        sockaddr_in from {};
        socklen_t fromLength = sizeof from;
        const ssize_t got = ::recvfrom(m_fd, packet, sizeof packet, MSG_DONTWAIT, reinterpret_cast<sockaddr *>(&from),
                                       &fromLength);
        if (got < 0) {
            if (errno == EINTR)
                continue;
            return;
        }
        const auto size = static_cast<std::size_t>(got);
        const Packet p = m_kind == EchoSocketKind::Raw ? EchoRoute::readRaw(m_identifier, packet, size)
                                                       : EchoRoute::readDatagram(m_identifier, packet, size, from);
        if (p.kind == Packet::Unrelated)
            continue;
        const auto it = m_waits.find(EchoRoute::key(p.sequence, p.peer));
        // Nobody waits for a late reply, or one for a released object.
        if (it == m_waits.end() || !EchoRoute::answers(p, p.sequence, it->second->m_address, it->second->m_data))
            continue;
        EchoResult r;
        r.status = p.kind == Packet::Reply ? IpStatus::Success : p.status;
        if (p.kind == Packet::Reply) {
            const qint64 elapsed = nowMs() - it->second->m_sentAt;
            r.roundTripMs = quint32(std::clamp<qint64>(elapsed, 0, 0x7fffffff));
            r.ttl = p.ttl;
            r.data = p.data;
        }
        finish(it->first, r);
    }
}

EchoSocket::Exchange::Exchange(EchoSocket &socket, quint32 address, QByteArray data, qint32 timeOutMs,
                               const void *token)
    : m_socket(socket), m_address(address), m_data(std::move(data)), m_timeOutMs(timeOutMs), m_token(token)
{
}

EchoSocket::Exchange::~Exchange()
{
    stopTimer();
    if (m_waiting)
        m_socket.m_waits.erase(m_key);
}

void EchoSocket::Exchange::stopTimer()
{
    if (m_timerId) {
        m_socket.killTimer(m_timerId);
        m_socket.m_timeouts.erase(m_timerId);
        m_timerId = 0;
    }
}

void EchoSocket::timerEvent(QTimerEvent *event)
{
    const auto it = m_timeouts.find(event->timerId());
    if (it == m_timeouts.end())
        return;
    EchoResult r;
    r.status = IpStatus::RequestTimedOut;
    finish(it->second, r); // stops the timer
}

// Sends the request; true (no wait) when it could not be sent.
bool EchoSocket::Exchange::await_ready()
{
    const auto fail = [this](quint32 status) {
        m_result.status = status;
        return true;
    };
    // 0.0.0.0/8 is "this host" on Linux: it would be answered by this machine.
    if ((ntohl(m_address) >> 24) == 0)
        return fail(IpStatus::BadDestination);
    if (m_socket.m_fd < 0)
        return fail(IpStatus::GeneralFailure);
    // Sequence numbers wrap; with the address they are unique among the waits.
    const std::optional<quint16> free = EchoRoute::freeSequence(
        m_socket.m_nextSequence, m_address, [this](quint64 key) { return m_socket.m_waits.count(key) > 0; });
    if (!free)
        return fail(IpStatus::GeneralFailure);
    const quint16 sequence = *free;
    m_socket.m_nextSequence = quint16(sequence + 1);

    std::vector<quint8> packet(kIcmpHeaderSize + std::size_t(m_data.size()), 0);
    packet[0] = ICMP_ECHO;
    const quint16 seq = htons(sequence);
    std::memcpy(packet.data() + 4, &m_socket.m_identifier, 2);
    std::memcpy(packet.data() + 6, &seq, 2);
    if (!m_data.isEmpty())
        std::memcpy(packet.data() + kIcmpHeaderSize, m_data.constData(), std::size_t(m_data.size()));
    const quint16 sum = checksum(packet.data(), packet.size());
    std::memcpy(packet.data() + 2, &sum, 2);

    sockaddr_in to {};
    to.sin_family = AF_INET;
    to.sin_addr.s_addr = m_address;
    m_sentAt = nowMs();
    ssize_t sent;
    do {
        sent = ::sendto(m_socket.m_fd, packet.data(), packet.size(), 0, reinterpret_cast<const sockaddr *>(&to),
                        sizeof to);
    } while (sent < 0 && errno == EINTR);
    if (sent < 0)
        return fail(statusForSendError(errno));
    m_key = EchoRoute::key(sequence, m_address);
    m_socket.m_waits.emplace(m_key, this);
    m_waiting = true;
    return false;
}

void EchoSocket::Exchange::await_suspend(std::coroutine_handle<> h)
{
    m_handle = h;
    // A timer of the socket's own, not a QTimer object per request.
    m_timerId = m_socket.startTimer(std::max(0, m_timeOutMs), Qt::PreciseTimer);
    if (m_timerId)
        m_socket.m_timeouts.emplace(m_timerId, m_key);
}

} // namespace Pelorin
