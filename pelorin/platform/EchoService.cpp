#include "platform/EchoService.h"

#include "platform/RawSocketCapability.h"
#include "platform/SocketLayer.h"

#include <QCoreApplication>
#include <QFile>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/ip.h>
#include <netinet/ip_icmp.h>
#include <linux/errqueue.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstring>
#include <vector>

namespace Pelorin {

namespace {

using Clock = std::chrono::steady_clock;

constexpr std::size_t kIcmpHeaderSize = 8;
constexpr quint16 kMaxRequestSize = 65500;

std::atomic<EchoSocketKind> g_forcedKind{EchoSocketKind::Automatic};
// Every request of the process gets its own sequence number, so a reply to an
// earlier attempt or to another thread's request never matches.
std::atomic<quint16> g_nextSequence{1};

quint16 rawIdentifier()
{
    static const quint16 id = htons(static_cast<quint16>(::getpid() & 0xFFFF));
    return id;
}

// Echo requests go out with no flags: path-MTU discovery would mark each one
// don't-fragment, so it is turned off on every echo socket.
int openSocket(int type)
{
    const int fd = ::socket(AF_INET, type | SOCK_CLOEXEC, IPPROTO_ICMP);
    const int dont = IP_PMTUDISC_DONT;
    if (fd >= 0)
        ::setsockopt(fd, IPPROTO_IP, IP_MTU_DISCOVER, &dont, sizeof dont);
    return fd;
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

using EchoMatch::Exchange;
using EchoMatch::Outcome;

bool matchesEchoHeader(const quint8 *icmp, std::size_t size, quint8 type, const Exchange &ex)
{
    if (size < kIcmpHeaderSize || icmp[0] != type || icmp[1] != 0)
        return false;
    quint16 id = 0;
    quint16 seq = 0;
    std::memcpy(&id, icmp + 4, 2);
    std::memcpy(&seq, icmp + 6, 2);
    return id == ex.identifier && ntohs(seq) == ex.sequence;
}

bool matchesReply(const quint8 *icmp, std::size_t size, const Exchange &ex)
{
    if (!matchesEchoHeader(icmp, size, ICMP_ECHOREPLY, ex))
        return false;
    const std::size_t dataSize = size - kIcmpHeaderSize;
    return dataSize == static_cast<std::size_t>(ex.data.size())
        && std::memcmp(icmp + kIcmpHeaderSize, ex.data.constData(), dataSize) == 0;
}

} // namespace

// A raw socket sees every ICMP packet of the machine, its own requests on
// loopback included: take the IP header apart and check everything.
Outcome EchoMatch::readRaw(const Exchange &ex, const quint8 *packet, std::size_t size)
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
        if (ip.saddr == ex.address && matchesReply(icmp, icmpSize, ex))
            return {Outcome::Reply, IpStatus::Success, ip.ttl};
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
    if (inner.protocol != IPPROTO_ICMP || inner.daddr != ex.address || innerLength < sizeof(iphdr)
        || quotedSize < innerLength + kIcmpHeaderSize)
        return {};
    if (!matchesEchoHeader(quoted + innerLength, kIcmpHeaderSize, ICMP_ECHO, ex))
        return {};
    return {Outcome::Error, statusForIcmpError(icmp[0], icmp[1]), 0};
}

// A datagram socket gets only packets for its identifier, without IP header.
Outcome EchoMatch::readDatagram(const Exchange &ex, const quint8 *packet, std::size_t size, const sockaddr_in &from)
{
    if (from.sin_addr.s_addr != ex.address || !matchesReply(packet, size, ex))
        return {};
    return {Outcome::Reply, IpStatus::Success, 0};
}

namespace {

// ICMP errors for a datagram socket arrive on its error queue; false when
// the queue is empty.
bool readErrorQueue(const Exchange &ex, Outcome &outcome)
{
    outcome = {};
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
    const ssize_t got = ::recvmsg(ex.fd, &msg, MSG_ERRQUEUE | MSG_DONTWAIT);
    if (got < 0)
        return errno == EINTR;
    if (original.sin_addr.s_addr != ex.address)
        return true;
    if (got >= static_cast<ssize_t>(kIcmpHeaderSize)) {
        quint16 seq = 0;
        std::memcpy(&seq, payload + 6, 2);
        if (ntohs(seq) != ex.sequence)
            return true;
    }
    for (cmsghdr *c = CMSG_FIRSTHDR(&msg); c; c = CMSG_NXTHDR(&msg, c)) {
        if (c->cmsg_level != SOL_IP || c->cmsg_type != IP_RECVERR)
            continue;
        sock_extended_err err {};
        std::memcpy(&err, CMSG_DATA(c), sizeof err);
        if (err.ee_origin == SO_EE_ORIGIN_ICMP)
            outcome = {Outcome::Error, statusForIcmpError(err.ee_type, err.ee_code), 0};
    }
    return true;
}

// Reads what is waiting without blocking; stops at the first packet that
// decides the exchange.
Outcome drain(const Exchange &ex, bool errorPending, std::vector<quint8> &packet)
{
    if (errorPending && ex.kind == EchoSocketKind::Datagram) {
        Outcome o;
        while (readErrorQueue(ex, o)) {
            if (o.kind != Outcome::Unrelated)
                return o;
        }
    }
    for (;;) {
        sockaddr_in from {};
        socklen_t fromLength = sizeof from;
        const ssize_t got = ::recvfrom(ex.fd, packet.data(), packet.size(), MSG_DONTWAIT,
                                       reinterpret_cast<sockaddr *>(&from), &fromLength);
        if (got < 0) {
            if (errno == EINTR)
                continue;
            return {};
        }
        const auto size = static_cast<std::size_t>(got);
        const Outcome o = ex.kind == EchoSocketKind::Raw ? EchoMatch::readRaw(ex, packet.data(), size)
                                                         : EchoMatch::readDatagram(ex, packet.data(), size, from);
        if (o.kind != Outcome::Unrelated)
            return o;
    }
}

void writeReply(void *replyBuffer, quint32 replySize, const ICMP_ECHO_REPLY &reply, const QByteArray &data)
{
    std::memcpy(replyBuffer, &reply, sizeof reply);
    const quint32 room = replySize - quint32(sizeof reply);
    const auto copied = std::min<quint32>(room, static_cast<quint32>(data.size()));
    if (copied)
        std::memcpy(static_cast<quint8 *>(replyBuffer) + sizeof reply, data.constData(), copied);
}

QString programPath()
{
    if (QCoreApplication::instance())
        return QCoreApplication::applicationFilePath();
    const QString target = QFile::symLinkTarget(QStringLiteral("/proc/self/exe"));
    return target.isEmpty() ? QStringLiteral("pelorin") : target;
}

} // namespace

EchoSocketKind IcmpHandleKind(IcmpHandle handle)
{
    if (handle < 0 || handle > INT_MAX)
        return EchoSocketKind::None;
    const int fd = static_cast<int>(handle);
    int type = 0;
    int protocol = 0;
    socklen_t length = sizeof type;
    if (::getsockopt(fd, SOL_SOCKET, SO_TYPE, &type, &length) != 0)
        return EchoSocketKind::None;
    length = sizeof protocol;
    if (::getsockopt(fd, SOL_SOCKET, SO_PROTOCOL, &protocol, &length) != 0 || protocol != IPPROTO_ICMP)
        return EchoSocketKind::None;
    if (type == SOCK_DGRAM)
        return EchoSocketKind::Datagram;
    if (type == SOCK_RAW)
        return EchoSocketKind::Raw;
    return EchoSocketKind::None;
}

void setEchoSocketKindForTesting(EchoSocketKind kind)
{
    g_forcedKind.store(kind);
}

IcmpHandle IcmpCreateFile()
{
    const EchoSocketKind wanted = g_forcedKind.load();
    UniqueFd fd;
    if (wanted == EchoSocketKind::Automatic || wanted == EchoSocketKind::Datagram) {
        fd.reset(openSocket(SOCK_DGRAM));
        if (fd.valid()) {
            const int on = 1;
            ::setsockopt(fd.get(), SOL_IP, IP_RECVERR, &on, sizeof on);
        }
    }
    if (!fd.valid() && (wanted == EchoSocketKind::Automatic || wanted == EchoSocketKind::Raw)) {
        RawSocketCapabilityGuard raised;
        fd.reset(openSocket(SOCK_RAW));
    }
    return fd.valid() ? static_cast<IcmpHandle>(fd.release()) : kInvalidIcmpHandle;
}

bool IcmpCloseHandle(IcmpHandle handle)
{
    if (handle < 0 || handle > INT_MAX)
        return false;
    return ::close(static_cast<int>(handle)) == 0;
}

quint32 IcmpSendEcho(IcmpHandle handle, quint32 address, const void *requestData, quint16 requestSize,
                     const IP_OPTION_INFORMATION *options, void *replyBuffer, quint32 replySize,
                     quint32 timeOutMs)
{
    if (!replyBuffer || replySize < sizeof(ICMP_ECHO_REPLY))
        return 0;

    ICMP_ECHO_REPLY reply;
    reply.Address = address;
    auto fail = [&](quint32 status) -> quint32 {
        reply.Status = status;
        writeReply(replyBuffer, replySize, reply, QByteArray());
        return 0;
    };

    // 0.0.0.0/8 is "this host" on Linux: it would be answered by this machine.
    if ((ntohl(address) >> 24) == 0)
        return fail(IpStatus::BadDestination);
    const EchoSocketKind kind = IcmpHandleKind(handle);
    if (kind == EchoSocketKind::None)
        return fail(IpStatus::GeneralFailure);
    if ((requestSize && !requestData) || requestSize > kMaxRequestSize)
        return fail(IpStatus::GeneralFailure);

    Exchange ex;
    ex.fd = static_cast<int>(handle);
    ex.kind = kind;
    ex.address = address;
    ex.sequence = g_nextSequence.fetch_add(1);
    ex.data = QByteArray(static_cast<const char *>(requestData), requestSize);
    ex.identifier = kind == EchoSocketKind::Raw ? rawIdentifier() : 0;

    const int ttl = options && options->Ttl ? options->Ttl : 64;
    const int tos = options ? options->Tos : 0;
    ::setsockopt(ex.fd, IPPROTO_IP, IP_TTL, &ttl, sizeof ttl);
    ::setsockopt(ex.fd, IPPROTO_IP, IP_TOS, &tos, sizeof tos);

    std::vector<quint8> packet(kIcmpHeaderSize + requestSize, 0);
    packet[0] = ICMP_ECHO;
    const quint16 seq = htons(ex.sequence);
    std::memcpy(packet.data() + 4, &ex.identifier, 2);
    std::memcpy(packet.data() + 6, &seq, 2);
    if (requestSize)
        std::memcpy(packet.data() + kIcmpHeaderSize, requestData, requestSize);
    const quint16 sum = checksum(packet.data(), packet.size());
    std::memcpy(packet.data() + 2, &sum, 2);

    sockaddr_in to {};
    to.sin_family = AF_INET;
    to.sin_addr.s_addr = address;

    const auto start = Clock::now();
    const auto deadline = start + std::chrono::milliseconds(timeOutMs);
    ssize_t sent;
    do {
        sent = ::sendto(ex.fd, packet.data(), packet.size(), 0, reinterpret_cast<const sockaddr *>(&to), sizeof to);
    } while (sent < 0 && errno == EINTR);
    if (sent < 0)
        return fail(statusForSendError(errno));

    if (kind == EchoSocketKind::Datagram) {
        // The kernel put the socket's own identifier into the request.
        sockaddr_in bound {};
        socklen_t length = sizeof bound;
        if (::getsockname(ex.fd, reinterpret_cast<sockaddr *>(&bound), &length) != 0)
            return fail(IpStatus::GeneralFailure);
        ex.identifier = bound.sin_port;
    }

    std::vector<quint8> received(65536);
    for (;;) {
        const auto now = Clock::now();
        const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - now).count();
        pollfd pfd {ex.fd, POLLIN, 0};
        const int waitMs = left <= 0 ? 0 : static_cast<int>(std::min<long long>(left, INT_MAX));
        const int ready = ::poll(&pfd, 1, waitMs);
        if (ready < 0 && errno != EINTR)
            return fail(IpStatus::GeneralFailure);
        if (ready > 0) {
            const Outcome o = drain(ex, pfd.revents & POLLERR, received);
            if (o.kind == Outcome::Reply) {
                const auto elapsed = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start);
                reply.Status = IpStatus::Success;
                reply.RoundTripTime = static_cast<quint32>(std::min<long long>(elapsed.count(), UINT_MAX));
                reply.DataSize = requestSize;
                reply.Options.Ttl = o.ttl;
                writeReply(replyBuffer, replySize, reply, ex.data);
                return 1;
            }
            if (o.kind == Outcome::Error)
                return fail(o.status);
        }
        if (Clock::now() >= deadline)
            return fail(IpStatus::RequestTimedOut);
    }
}

EchoAvailability echoAvailability()
{
    EchoAvailability result;
    IcmpHandleGuard handle(IcmpCreateFile());
    if (handle.get() != kInvalidIcmpHandle) {
        result.usable = true;
        return result;
    }
    result.reason = QStringLiteral(
                        "This process may not send ICMP echo requests (ping). Allow unprivileged ping "
                        "sockets with: sysctl -w net.ipv4.ping_group_range=\"0 2147483647\"; or give "
                        "the program raw sockets with: setcap cap_net_raw+p %1")
                        .arg(programPath());
    return result;
}

} // namespace Pelorin
