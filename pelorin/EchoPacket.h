// The bytes of ICMP echo: the request pelorin sends, and how a received packet relates to the
// requests in flight. Pure functions of bytes, so every rule can be checked, and fuzzed, without
// sockets; every packet they read is untrusted. Used by EchoSocket.
#pragma once

#include "ProbeInterface.h"

#include <QByteArray>

#include <cstddef>
#include <functional>
#include <optional>

struct sockaddr_in;

namespace Pelorin {

namespace EchoRoute {

struct Packet {
    enum Kind { Unrelated, Reply, Error } kind = Unrelated;
    quint32 peer = 0;     // the request's destination, network order
    quint16 sequence = 0; // host order
    quint32 status = 0;   // Error: the IpStatus
    quint8 ttl = 0;
    QByteArray data;      // Reply: the echoed data
};

// The echo request with identifier (as it lies in the header), sequence and data, checksum filled in.
QByteArray request(quint16 identifier, quint16 sequence, const QByteArray &data);
// A packet of a raw socket, IP header first; identifier as it lies in the header.
Packet readRaw(quint16 identifier, const quint8 *packet, std::size_t size);
// A packet of a datagram socket (no IP header) and where it came from.
Packet readDatagram(quint16 identifier, const quint8 *packet, std::size_t size, const sockaddr_in &from);
// The status an ICMP error of type and code gives the request it quotes.
quint32 statusForIcmpError(quint8 type, quint8 code);
// The status a refused send (errno) gives the request; nothing when the kernel only had no room
// yet, so the request must be sent again later.
std::optional<quint32> statusForSendError(int error);
// The round-trip time a ping reports for a reply elapsedNs after its request: whole
// milliseconds, truncated, so a reply under 1 ms is 0 however the clock's milliseconds fall.
quint32 roundTripMs(qint64 elapsedNs);
// The key of a waiting request: sequence and destination are unique among them.
inline quint64 key(quint16 sequence, quint32 peer) { return quint64(sequence) << 32 | peer; }
// Whether packet answers the request sent to peer with sequence and data:
// a reply must echo the data, an error quotes the request's header.
bool answers(const Packet &packet, quint16 sequence, quint32 peer, const QByteArray &data);
// The sequence for a new request to peer: next, or the first one after it
// (wrapping at 65,536) that no waiting request to peer holds; nothing when all do.
std::optional<quint16> freeSequence(quint16 next, quint32 peer, const std::function<bool(quint64 key)> &waiting);

} // namespace EchoRoute
} // namespace Pelorin
