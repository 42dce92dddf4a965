#include "netinfo/NeighbourTable.h"

#include "netinfo/MacAddress.h"

#include <QFile>

#include <arpa/inet.h>
#include <linux/neighbour.h>
#include <linux/netlink.h>
#include <linux/rtnetlink.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace {

// The kernel's flag for a resolved entry (ATF_COM); incomplete and failed
// entries lack it.
constexpr uint CompleteFlag = 0x2;

// A descriptor closed with its scope.
struct Descriptor {
    explicit Descriptor(int descriptor) : fd(descriptor) {}
    const int fd;
    Descriptor(const Descriptor &) = delete;
    Descriptor &operator=(const Descriptor &) = delete;
    ~Descriptor()
    {
        if (fd >= 0)
            ::close(fd);
    }
};

} // namespace

NeighbourTable::NeighbourTable(QString path)
    : m_path(std::move(path))
{
}

QString NeighbourTable::macOf(const QString &address) const
{
    QFile file(m_path);
    if (address.isEmpty() || !file.open(QIODevice::ReadOnly))
        return {};
    const QByteArray wanted = address.toLatin1();
    // Lines: IP address, HW type, Flags, HW address, Mask, Device (after one header line,
    // which never matches an address). The same address may be listed on several interfaces.
    for (const QByteArray &line : file.readAll().split('\n')) {
        const QList<QByteArray> fields = line.simplified().split(' ');
        if (fields.size() < 4 || fields[0] != wanted)
            continue;
        bool ok = false;
        const uint flags = fields[2].toUInt(&ok, 0);
        const std::optional<quint64> mac = MacAddress::parse(QString::fromLatin1(fields[3]));
        if (ok && (flags & CompleteFlag) && mac && *mac != 0)
            return MacAddress::text(*mac);
    }
    return {};
}

bool NeighbourTable::confirmedWithin(const Entry &entry, qint64 withinMs)
{
    constexpr quint16 learnt = NUD_REACHABLE | NUD_STALE | NUD_DELAY | NUD_PROBE;
    return (entry.state & learnt) && !(entry.state & (NUD_PERMANENT | NUD_NOARP)) && entry.mac != 0
        && entry.confirmedMsAgo >= 0 && entry.confirmedMsAgo <= withinMs;
}

QList<NeighbourTable::Entry> NeighbourTable::parseMessages(const QByteArray &messages, long ticksPerSecond,
                                                           bool *done)
{
    QList<Entry> entries;
    *done = false;
    qsizetype at = 0;
    while (at + qsizetype(sizeof(nlmsghdr)) <= messages.size()) {
        nlmsghdr header;
        std::memcpy(&header, messages.constData() + at, sizeof header);
        if (header.nlmsg_len < sizeof header || at + qsizetype(header.nlmsg_len) > messages.size()) {
            *done = true; // cut short: nothing more can be read in step
            break;
        }
        const char *payload = messages.constData() + at + NLMSG_HDRLEN;
        const qsizetype payloadSize = qsizetype(header.nlmsg_len) - NLMSG_HDRLEN;
        at += NLMSG_ALIGN(header.nlmsg_len);
        if (header.nlmsg_type == NLMSG_DONE || header.nlmsg_type == NLMSG_ERROR) {
            *done = true;
            break;
        }
        if (header.nlmsg_type != RTM_NEWNEIGH || payloadSize < qsizetype(sizeof(ndmsg)))
            continue;
        ndmsg neighbour;
        std::memcpy(&neighbour, payload, sizeof neighbour);
        if (neighbour.ndm_family != AF_INET)
            continue;
        Entry entry;
        entry.state = neighbour.ndm_state;
        bool hasAddress = false;
        // The attributes follow the aligned ndmsg, each aligned in turn.
        for (qsizetype a = NLMSG_ALIGN(sizeof(ndmsg)); a + qsizetype(sizeof(rtattr)) <= payloadSize;) {
            rtattr attribute;
            std::memcpy(&attribute, payload + a, sizeof attribute);
            if (attribute.rta_len < sizeof attribute || a + attribute.rta_len > payloadSize)
                break;
            const char *data = payload + a + RTA_LENGTH(0);
            const qsizetype size = attribute.rta_len - qsizetype(RTA_LENGTH(0));
            if (attribute.rta_type == NDA_DST && size == 4) {
                quint32 address;
                std::memcpy(&address, data, 4);
                entry.address = ntohl(address);
                hasAddress = true;
            } else if (attribute.rta_type == NDA_LLADDR && size == 6) {
                for (qsizetype i = 0; i < 6; ++i)
                    entry.mac = entry.mac << 8 | quint8(data[i]);
            } else if (attribute.rta_type == NDA_CACHEINFO && size >= qsizetype(sizeof(nda_cacheinfo))) {
                nda_cacheinfo info;
                std::memcpy(&info, data, sizeof info);
                entry.confirmedMsAgo = qint64(info.ndm_confirmed) * 1000 / std::max(ticksPerSecond, 1L);
            }
            a += RTA_ALIGN(attribute.rta_len);
        }
        if (hasAddress)
            entries.append(entry);
    }
    return entries;
}

QList<NeighbourTable::Entry> NeighbourTable::dump()
{
    const Descriptor socket{::socket(AF_NETLINK, SOCK_RAW | SOCK_CLOEXEC, NETLINK_ROUTE)};
    const int fd = socket.fd;
    if (fd < 0)
        return {};
    struct {
        nlmsghdr header;
        ndmsg neighbour;
    } request {};
    request.header.nlmsg_len = sizeof request;
    request.header.nlmsg_type = RTM_GETNEIGH;
    request.header.nlmsg_flags = NLM_F_REQUEST | NLM_F_DUMP;
    request.header.nlmsg_seq = 1;
    request.neighbour.ndm_family = AF_INET;
    if (::send(fd, &request, sizeof request, 0) != ssize_t(sizeof request))
        return {};
    const long ticksPerSecond = ::sysconf(_SC_CLK_TCK);
    // The kernel answers a dump at once, a buffer at a time.
    QByteArray buffer(32768, Qt::Uninitialized);
    QList<Entry> entries;
    for (bool done = false; !done;) {
        const ssize_t got = ::recv(fd, buffer.data(), std::size_t(buffer.size()), 0);
        if (got < 0 && errno == EINTR)
            continue;
        if (got <= 0)
            break;
        entries.append(parseMessages(buffer.first(got), ticksPerSecond, &done));
    }
    return entries;
}

QString RecentNeighbours::arpConfirmedMac(quint32 address, qint64 withinMs)
{
    if (!m_taken.isValid() || m_taken.elapsed() > m_reuseMs) {
        m_entries = NeighbourTable::dump();
        m_taken.start();
    }
    // The dump's confirmation times were counted when it was taken.
    const qint64 dumpWithinMs = withinMs - m_taken.elapsed();
    QString found;
    for (const NeighbourTable::Entry &entry : std::as_const(m_entries)) {
        if (entry.address == address && NeighbourTable::confirmedWithin(entry, dumpWithinMs))
            found = MacAddress::text(entry.mac);
    }
    return found;
}
