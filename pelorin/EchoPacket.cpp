#include "EchoPacket.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/ip.h>
#include <netinet/ip_icmp.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace Pelorin::EchoRoute {

namespace {

constexpr std::size_t kIcmpHeaderSize = 8;

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

} // namespace

QByteArray request(quint16 identifier, quint16 sequence, const QByteArray &data)
{
    QByteArray packet(qsizetype(kIcmpHeaderSize) + data.size(), '\0');
    auto *bytes = reinterpret_cast<quint8 *>(packet.data());
    bytes[0] = ICMP_ECHO;
    const quint16 seq = htons(sequence);
    std::memcpy(bytes + 4, &identifier, 2);
    std::memcpy(bytes + 6, &seq, 2);
    if (!data.isEmpty())
        std::memcpy(bytes + kIcmpHeaderSize, data.constData(), std::size_t(data.size()));
    const quint16 sum = checksum(bytes, std::size_t(packet.size()));
    std::memcpy(bytes + 2, &sum, 2);
    return packet;
}

// A raw socket sees every ICMP packet of the machine, its own requests on
// loopback included: take the IP header apart and check everything.
Packet readRaw(quint16 identifier, const quint8 *packet, std::size_t size)
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
Packet readDatagram(quint16 identifier, const quint8 *packet, std::size_t size, const sockaddr_in &from)
{
    if (const auto seq = echoSequence(packet, size, ICMP_ECHOREPLY, identifier))
        return reply(from.sin_addr.s_addr, *seq, 0, packet, size);
    return {};
}

quint32 statusForIcmpError(quint8 type, quint8 code)
{
    if (type == ICMP_DEST_UNREACH)
        return code == ICMP_NET_UNREACH ? IpStatus::DestNetUnreachable : IpStatus::DestHostUnreachable;
    return IpStatus::GeneralFailure;
}

std::optional<quint32> statusForSendError(int error)
{
    switch (error) {
    case EAGAIN: // the socket's send buffer is full: requests wait in the neighbour queue
    case ENOBUFS:
    case EINTR:
        return std::nullopt;
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

quint32 roundTripMs(qint64 elapsedNs)
{
    return quint32(std::clamp<qint64>(elapsedNs / 1000000, 0, 0x7fffffff));
}

bool answers(const Packet &packet, quint16 sequence, quint32 peer, const QByteArray &data)
{
    return packet.kind != Packet::Unrelated && packet.sequence == sequence && packet.peer == peer
        && (packet.kind == Packet::Error || packet.data == data);
}

std::optional<quint16> freeSequence(quint16 next, quint32 peer, const std::function<bool(quint64)> &waiting)
{
    for (int tries = 0; tries < 65536; ++tries, ++next) {
        if (!waiting(key(next, peer)))
            return next;
    }
    return std::nullopt;
}

} // namespace Pelorin::EchoRoute
