#include "netinfo/LocalSegments.h"

#include <arpa/inet.h>
#include <ifaddrs.h>
#include <net/if.h>
#include <netinet/in.h>

#include <memory>

LocalSegments LocalSegments::current()
{
    ifaddrs *list = nullptr;
    if (::getifaddrs(&list) != 0)
        return {};
    const std::unique_ptr<ifaddrs, decltype(&::freeifaddrs)> owned(list, &::freeifaddrs);
    QList<Segment> segments;
    for (const ifaddrs *a = list; a; a = a->ifa_next) {
        // A link without ARP (loopback, a tunnel, a VPN) is no segment: nothing on it answers ARP.
        if (!a->ifa_addr || !a->ifa_netmask || a->ifa_addr->sa_family != AF_INET
            || (a->ifa_flags & (IFF_LOOPBACK | IFF_NOARP)) || !(a->ifa_flags & IFF_UP))
            continue;
        const quint32 mask = ntohl(reinterpret_cast<const sockaddr_in *>(a->ifa_netmask)->sin_addr.s_addr);
        segments.append({QString::fromLocal8Bit(a->ifa_name), int(::if_nametoindex(a->ifa_name)),
                         ntohl(reinterpret_cast<const sockaddr_in *>(a->ifa_addr)->sin_addr.s_addr),
                         int(__builtin_popcount(mask))});
    }
    return LocalSegments(segments);
}

std::optional<LocalSegments::Segment> LocalSegments::segmentOf(quint32 address) const
{
    for (const Segment &s : m_segments) {
        // A /32 holds only this machine; a /31 has no network or broadcast address.
        if (s.prefixLength < 1 || s.prefixLength > 31 || address == s.address)
            continue;
        const quint32 mask = ~0U << (32 - s.prefixLength);
        if ((address & mask) != (s.address & mask))
            continue;
        const quint32 hostPart = address & ~mask;
        if (s.prefixLength <= 30 && (hostPart == 0 || hostPart == ~mask))
            continue;
        return s;
    }
    return std::nullopt;
}
