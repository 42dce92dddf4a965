// The layer-2 lab: an Ethernet segment of network namespaces made inside run-in-netns.sh's private one, so that
// ARP, neighbour queues and send buffers behave as on a real LAN. The test's namespace is the scanner's: lan0
// (198.18.0.1/24) on a bridge, 198.19.0.0/24 behind the router at .2, which answers "host unreachable" for all of
// it. Each host has its own namespace, MAC and kernel; an empty address fails ARP. Only 198.18.0.0/15, nothing
// linked out; needs root and isolation.
#pragma once

#include "LabNetwork.h"

#include <optional>

namespace Lab {

class LanSegment
{
public:
    enum class Host {
        Echo,      // the kernel answers echo and ARP
        DropsEcho, // answers ARP (and serves its page) but drops every echo request
        Late,      // answers echo kLateMs after each request
    };
    static constexpr int kLateMs = 400;

    LanSegment(); // builds the bridge, the scanner's link and the router; the namespaces go with the test's

    bool isBuilt() const { return m_built; }

    static QString address(int octet) { return QStringLiteral("198.18.0.%1").arg(octet); }
    static QString mac(int octet) { return QStringLiteral("02:1a:c6:00:00:%1").arg(octet, 2, 16, QLatin1Char('0')); }

    // A host at address(octet) with mac(octet) (or macAddress), serving page on port 80 when given.
    bool addHost(int octet, Host kind = Host::Echo, const std::optional<Behaviour> &page = {},
                 const QString &macAddress = {});

    // Echo requests received as pelorin sends them (TTL 255, 32 data bytes), and ARP requests from the scanner.
    int echoRequestCount(int octet) const { return counter(octet, "ip lab echo"); }
    int arpRequestCount(int octet) const { return counter(octet, "arp lab request"); }

private:
    int counter(int octet, const char *name) const;

    bool m_built = false;
    LabNetwork m_devices; // the HTTP servers, each listening inside its host's namespace
};

} // namespace Lab
