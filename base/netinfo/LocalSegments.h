// The IPv4 segments this machine sits on: each up interface's address and
// prefix, where ARP runs (not loopback, tunnels or VPNs), read once when made. Tells which targets lie on one of
// them (so that ARP can find them) and on which interface. Owned by whoever
// splits targets; holds no handle.
#pragma once

#include <QList>
#include <QString>

#include <optional>

class LocalSegments
{
public:
    struct Segment {
        QString interface;
        int interfaceIndex = 0;
        quint32 address = 0; // this machine's own, host byte order
        int prefixLength = 0;
    };

    LocalSegments() = default; // none
    explicit LocalSegments(QList<Segment> segments) : m_segments(std::move(segments)) {}
    // The machine's segments now.
    static LocalSegments current();

    // The segment that holds address (host byte order) as one of its hosts:
    // not this machine's own address, nor, on a segment of more than two
    // addresses, its network or broadcast address.
    std::optional<Segment> segmentOf(quint32 address) const;
    bool contains(quint32 address) const { return segmentOf(address).has_value(); }

    const QList<Segment> &segments() const { return m_segments; }

private:
    QList<Segment> m_segments;
};
