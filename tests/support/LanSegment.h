// The layer-2 lab: one Ethernet segment of network namespaces that the test makes inside the private
// namespace of run-in-netns.sh, so that ARP, neighbour queues and send buffers behave as on a real LAN.
// The test's own namespace is the scanner's: veth lan0 (198.18.0.1/24) on a bridge, and a route to
// 198.19.0.0/24 through the router at 198.18.0.2. Every host has its own namespace, MAC and kernel; an
// address with no host stays empty, so ARP for it fails. Only 198.18.0.0/15 is used, and nothing links to
// the machine's namespace. Needs root; every call refuses to act unless the test's namespace was isolated.
#pragma once

#include "LabNetwork.h"

#include <QSet>

#include <optional>

#include <unistd.h>

namespace Lab {

class LanSegment
{
public:
    enum class Host {
        Echo,      // the kernel answers echo and ARP
        DropsEcho, // answers ARP (and serves its page) but drops every echo request
    };

    LanSegment(); // builds the bridge, the scanner's link and the router; the namespaces go with the test's

    bool isBuilt() const { return m_built; }
    // True while the test's namespace has only lo and lan0, and no route out of 198.18.0.0/15.
    static bool isIsolated();

    static QString address(int octet) { return QStringLiteral("198.18.0.%1").arg(octet); }
    static QString farAddress(int octet) { return QStringLiteral("198.19.0.%1").arg(octet); }
    static QString mac(int octet) { return QStringLiteral("02:1a:c6:00:00:%1").arg(octet, 2, 16, QLatin1Char('0')); }

    // A host at address(octet) with mac(octet) (or macAddress), serving page on port 80 when given.
    bool addHost(int octet, Host kind = Host::Echo, const std::optional<Behaviour> &page = {},
                 const QString &macAddress = {});
    // A host behind the router at farAddress(octet).
    bool addFarHost(int octet);
    // The router answers echo requests to farAddress(octet) with this ICMP error ("host-unreachable").
    bool rejectFar(int octet, const QString &icmpType);

    // Echo requests the host received exactly as pelorin sends them (type 8, code 0, TTL 255, 32 data bytes),
    // and the scanner's ARP requests for any address that reached it; -1: no such host.
    int echoRequestCount(int octet) const { return counter(octet, "ip lab echo"); }
    int arpRequestCount(int octet) const { return counter(octet, "arp lab request"); }

private:
    bool usable() const { return m_built && isIsolated(); }
    int counter(int octet, const char *name) const;

    bool m_built = false;
    QSet<int> m_hosts;
    LabNetwork m_devices; // the HTTP servers, each listening inside its host's namespace
};

// For QtTest initTestCase(): skips the run without root (the segment needs it), fails it where the
// segment was not built or is not isolated.
#define LAN_REQUIRE_SEGMENT(segment) \
    do { \
        if (::geteuid() != 0) \
            QSKIP("the layer-2 lab needs root"); \
        if (!(segment).isBuilt() || !Lab::LanSegment::isIsolated()) \
            QFAIL("no isolated layer-2 lab: run through run-in-netns.sh"); \
    } while (0)

} // namespace Lab
