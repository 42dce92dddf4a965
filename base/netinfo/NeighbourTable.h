// The kernel's IPv4 neighbour (ARP) table, read without privileges from the
// text file the kernel publishes. It holds only that file's path: every
// look-up reads the table afresh, because a host's entry appears only once
// its echo reply has arrived. Owned by whoever looks hosts up; any thread may
// use it.
#pragma once

#include <QString>

class NeighbourTable
{
public:
    static constexpr const char *DefaultPath = "/proc/net/arp";

    explicit NeighbourTable(QString path = QString::fromLatin1(DefaultPath));

    // The MAC ("AA:BB:CC:DD:EE:FF") of the complete entry for the dotted IPv4
    // address, on whichever interface; empty when there is none, as for
    // loopback hosts and hosts off the local segment.
    QString macOf(const QString &address) const;

private:
    QString m_path;
};
