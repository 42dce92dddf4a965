// The bytes of an ARP sweep: the request pelorin sends for one address, and
// which received packets answer a request of the sweep. Pure functions of
// bytes (every packet read is untrusted), used by ArpSweeper.
#pragma once

#include <QByteArray>
#include <QSet>

#include <optional>

namespace Pelorin::ArpPacket {

// The payload of an Ethernet ARP packet.
inline constexpr int kSize = 28;

// A broadcast ARP request (IPv4 over Ethernet) from ownMac (low 48 bits) and
// ownAddress for target; addresses in host byte order.
QByteArray request(quint64 ownMac, quint32 ownAddress, quint32 target);

// The sender address of an ARP reply to ownAddress from one of the targets
// asked about; nothing for anything else (requests, replies to another
// address or from one not asked about, other hardware, short packets).
std::optional<quint32> answeredTarget(const QByteArray &packet, quint32 ownAddress, const QSet<quint32> &asked);

} // namespace Pelorin::ArpPacket
