// The kernel's IPv4 neighbour (ARP) table, read without privileges from the
// text file the kernel publishes, or through rtnetlink where the time ARP
// last confirmed an entry matters. It holds only that file's path: every
// look-up reads the table afresh, because a host's entry appears only once
// its echo reply has arrived. Owned by whoever looks hosts up; any thread may
// use it.
#pragma once

#include <QByteArray>
#include <QElapsedTimer>
#include <QList>
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

    // One entry as rtnetlink lists it.
    struct Entry {
        quint32 address = 0; // host byte order
        quint16 state = 0;   // the kernel's NUD_ bits
        quint64 mac = 0;
        qint64 confirmedMsAgo = -1; // -1: not reported
    };
    // Whether ARP (or the host's own traffic) confirmed the entry within the
    // last withinMs: a resolved, learnt entry (not a failed, incomplete,
    // static or no-ARP one) with a MAC, confirmed no longer ago than that.
    static bool confirmedWithin(const Entry &entry, qint64 withinMs);
    // The entries of rtnetlink neighbour messages (a dump's replies); *done
    // is set at the dump's end or error. ticksPerSecond: the unit of the
    // confirmation times.
    static QList<Entry> parseMessages(const QByteArray &messages, long ticksPerSecond, bool *done);
    // The kernel's IPv4 entries now, as one rtnetlink dump lists them; none
    // when the table can't be read.
    static QList<Entry> dump();

private:
    QString m_path;
};

// The hosts ARP confirmed, looked up in one dump of the kernel's table for
// all the pings of a wave that failed together: a dump is taken again only
// once it is older than reuseMs. An entry confirmed by a ping's echo requests
// was confirmed before its last time-out, which comes 100 ms before its
// answer, so a dump younger than that holds it. Owned by whoever looks up
// the failed pings; one thread.
class RecentNeighbours
{
public:
    static constexpr qint64 kReuseMs = 50;

    explicit RecentNeighbours(qint64 reuseMs = kReuseMs) : m_reuseMs(reuseMs) {}
    // The MAC of the address (host byte order) whose entry ARP confirmed
    // within the last withinMs; empty when there is none.
    QString arpConfirmedMac(quint32 address, qint64 withinMs);

private:
    const qint64 m_reuseMs;
    QList<NeighbourTable::Entry> m_entries;
    QElapsedTimer m_taken; // when m_entries were dumped; invalid before the first
};
