#include "ArpPacket.h"

namespace Pelorin::ArpPacket {

namespace {

constexpr quint16 kEthernet = 1;
constexpr quint16 kIpv4 = 0x0800;
constexpr quint16 kRequest = 1;
constexpr quint16 kReply = 2;

void put(QByteArray &out, quint64 value, int bytes)
{
    for (int i = bytes - 1; i >= 0; --i)
        out.append(char((value >> (8 * i)) & 0xFF));
}

quint32 get(const QByteArray &in, int at, int bytes)
{
    quint32 value = 0;
    for (int i = 0; i < bytes; ++i)
        value = value << 8 | quint8(in[at + i]);
    return value;
}

} // namespace

QByteArray request(quint64 ownMac, quint32 ownAddress, quint32 target)
{
    QByteArray out;
    out.reserve(kSize);
    put(out, kEthernet, 2);
    put(out, kIpv4, 2);
    put(out, 6, 1);
    put(out, 4, 1);
    put(out, kRequest, 2);
    put(out, ownMac, 6);
    put(out, ownAddress, 4);
    put(out, 0, 6); // the target's hardware address is what is asked for
    put(out, target, 4);
    return out;
}

std::optional<quint32> answeredTarget(const QByteArray &packet, quint32 ownAddress, const QSet<quint32> &asked)
{
    if (packet.size() < kSize || get(packet, 0, 2) != kEthernet || get(packet, 2, 2) != kIpv4
        || get(packet, 4, 1) != 6 || get(packet, 5, 1) != 4 || get(packet, 6, 2) != kReply)
        return std::nullopt;
    const quint32 sender = get(packet, 14, 4);
    if (get(packet, 24, 4) != ownAddress || !asked.contains(sender))
        return std::nullopt;
    return sender;
}

} // namespace Pelorin::ArpPacket
