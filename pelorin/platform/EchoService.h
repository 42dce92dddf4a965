// ICMP echo on Linux, in the shape the ping module expects of the platform's
// echo service: IcmpCreateFile / IcmpSendEcho / IcmpCloseHandle.
// Uses an unprivileged ICMP datagram socket where net.ipv4.ping_group_range
// allows it, a raw socket otherwise (root or cap_net_raw).
#pragma once

#include <QByteArray>
#include <QString>
#include <QtGlobal>

#include <cstddef>

struct sockaddr_in;

namespace Pelorin {

// Well-known IP status values reported in ICMP_ECHO_REPLY::Status.
namespace IpStatus {
inline constexpr quint32 Success = 0;
inline constexpr quint32 DestNetUnreachable = 11002;
inline constexpr quint32 DestHostUnreachable = 11003;
inline constexpr quint32 RequestTimedOut = 11010;
inline constexpr quint32 BadDestination = 11018;
inline constexpr quint32 GeneralFailure = 11050;
} // namespace IpStatus

#pragma pack(push, 1)
struct IP_OPTION_INFORMATION {
    quint8 Ttl = 0;
    quint8 Tos = 0;
    quint8 Flags = 0;
    quint8 OptionsSize = 0;
    quint32 OptionsData = 0;
};
struct ICMP_ECHO_REPLY {
    quint32 Address = 0;
    quint32 Status = 0;
    quint32 RoundTripTime = 0;
    quint16 DataSize = 0;
    quint16 Reserved = 0;
    quint32 Data = 0;
    IP_OPTION_INFORMATION Options;
};
#pragma pack(pop)
static_assert(sizeof(IP_OPTION_INFORMATION) == 8);
static_assert(sizeof(ICMP_ECHO_REPLY) == 28);

// An open echo handle; -1 when none could be opened (every send then fails
// with a positive status).
using IcmpHandle = qintptr;
inline constexpr IcmpHandle kInvalidIcmpHandle = -1;

IcmpHandle IcmpCreateFile();
// Returns the number of replies (0 or 1). On 0, the first reply record's Status
// holds a positive IpStatus value. address is in network byte order.
quint32 IcmpSendEcho(IcmpHandle handle, quint32 address, const void *requestData, quint16 requestSize,
                     const IP_OPTION_INFORMATION *options, void *replyBuffer, quint32 replySize,
                     quint32 timeOutMs);
bool IcmpCloseHandle(IcmpHandle handle);

// Owns a handle for a scope.
class IcmpHandleGuard
{
public:
    explicit IcmpHandleGuard(IcmpHandle h) : m_handle(h) {}
    ~IcmpHandleGuard() { reset(); }
    IcmpHandleGuard(const IcmpHandleGuard &) = delete;
    IcmpHandleGuard &operator=(const IcmpHandleGuard &) = delete;
    IcmpHandle get() const { return m_handle; }
    void reset()
    {
        if (m_handle != kInvalidIcmpHandle)
            IcmpCloseHandle(m_handle);
        m_handle = kInvalidIcmpHandle;
    }

private:
    IcmpHandle m_handle;
};

// Which kind of socket an echo handle is. Automatic (the normal behaviour)
// tries a datagram socket first and a raw socket second.
enum class EchoSocketKind { Automatic, Datagram, Raw, None };
// The kind of an open handle (None for kInvalidIcmpHandle or a closed one).
EchoSocketKind IcmpHandleKind(IcmpHandle handle);
// Restricts IcmpCreateFile to one kind (None: no socket can be opened), so
// both paths and the no-permission path can be exercised. Process-wide;
// tests only. Automatic restores the normal behaviour.
void setEchoSocketKindForTesting(EchoSocketKind kind);

// How one received packet relates to an echo request in flight: its reply,
// an ICMP error about it, or unrelated. Used by IcmpSendEcho on every packet
// a socket reads; declared here so the rules can be checked without sockets.
namespace EchoMatch {
// One echo exchange on an open socket: what we sent and what we accept back.
struct Exchange {
    int fd = -1;
    EchoSocketKind kind = EchoSocketKind::None;
    quint32 address = 0;    // network order
    quint16 identifier = 0; // as it lies in the header
    quint16 sequence = 0;
    QByteArray data;
};
// The outcome of reading one packet.
struct Outcome {
    enum Kind { Unrelated, Reply, Error } kind = Unrelated;
    quint32 status = 0;
    quint8 ttl = 0;
};
// A packet of a raw socket, IP header first.
Outcome readRaw(const Exchange &ex, const quint8 *packet, std::size_t size);
// A packet of a datagram socket (no IP header) and where it came from.
Outcome readDatagram(const Exchange &ex, const quint8 *packet, std::size_t size, const sockaddr_in &from);
} // namespace EchoMatch

// Whether this process can send echo requests at all, and if not, why and how
// to grant it. Checked once by the server and told to the client at start-up.
struct EchoAvailability {
    bool usable = false;
    QString reason;
};
EchoAvailability echoAvailability();

} // namespace Pelorin
