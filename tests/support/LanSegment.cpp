#include "LanSegment.h"

#include <QFile>

#include <arpa/inet.h>

namespace Lab {

namespace {

QString hostNamespace(int octet) { return QStringLiteral("lan-h%1").arg(octet); }

// Makes namespace ns, with eth0 (of the given MAC, if any) at address/24 on the bridge through veth port, routed
// to the other subnet when given.
QByteArray linkScript(const QString &ns, const QString &port, const char *bridge, const QString &address,
                      const QString &mac, const char *route)
{
    const QByteArray n = ns.toLatin1(), in = "ip -n " + n + ' ';
    return "ip netns add " + n + "\nip -n lan-br link add " + port.toLatin1() + " type veth peer name eth0"
           + (mac.isEmpty() ? QByteArray() : " address " + mac.toLatin1()) + " netns " + n + "\nip -n lan-br link set "
           + port.toLatin1() + " master " + bridge + " up\n" + in + "addr add " + address.toLatin1() + "/24 dev eth0\n"
           + in + "link set lo up\n" + in + "link set eth0 up\n"
           + (route ? in + "route add " + route + "\n" : QByteArray());
}

// nft rules of a host: echo requests counted as pelorin sends them, and dropped when asked; the scanner's ARP
// requests counted (each is broadcast, so every host sees them all).
QByteArray counterScript(const QString &netns, bool dropEcho)
{
    return "ip netns exec " + netns.toLatin1() + " nft -f - <<'EOF'\n"
           "table ip lab {\n counter echo { }\n chain in {\n  type filter hook input priority 0; policy accept;\n"
           "  icmp type echo-request icmp code 0 ip ttl 255 ip length 60 ip frag-off & 0xe000 == 0 counter name echo\n"
           + (dropEcho ? QByteArray("  icmp type echo-request drop\n") : QByteArray()) + " }\n}\n"
           "table arp lab {\n counter request { }\n chain in {\n  type filter hook input priority 0; policy accept;\n"
           "  arp operation request arp saddr ip 198.18.0.1 counter name request\n }\n}\nEOF\n";
}

} // namespace

LanSegment::LanSegment()
{
    if (::geteuid() != 0 || !Lab::isIsolated())
        return;
    // Named namespaces on a tmpfs of the test's own mount namespace: nothing of them outlives the test.
    m_built = shell("mkdir -p /run/netns\nmount -t tmpfs lanterra-lab /run/netns\nip netns add lan-br\n"
                    "ip -n lan-br link add br0 type bridge\nip -n lan-br link add br1 type bridge\n"
                    "ip -n lan-br link set br0 up\nip -n lan-br link set br1 up\n"
                    "ip link add lan0 type veth peer name scanner netns lan-br\n"
                    "ip -n lan-br link set scanner master br0 up\n"
                    "ip addr add 198.18.0.1/24 dev lan0\nip link set lan0 up\n"
                    + linkScript("lan-router", "router0", "br0", address(2), {}, nullptr)
                    + "ip -n lan-br link add router1 type veth peer name eth1 netns lan-router\n"
                      "ip -n lan-br link set router1 master br1 up\n"
                      "ip -n lan-router addr add 198.19.0.1/24 dev eth1\nip -n lan-router link set eth1 up\n"
                      "ip netns exec lan-router sysctl -qw net.ipv4.ip_forward=1\n"
                      "ip netns exec lan-router nft 'add table ip lab; add chain ip lab forward "
                      "{ type filter hook forward priority 0; }'\nip route add 198.19.0.0/24 via 198.18.0.2\n");
}

bool LanSegment::isIsolated()
{
    QFile dev(QStringLiteral("/proc/self/net/dev")), routes(QStringLiteral("/proc/self/net/route"));
    QStringList links;
    const QByteArray table = dev.open(QIODevice::ReadOnly) ? dev.readAll().trimmed() : QByteArray();
    for (const QByteArray &line : table.split('\n').mid(2))
        links << QString::fromLatin1(line.trimmed().split(':').first());
    links.sort();
    if (links != QStringList{QStringLiteral("lan0"), QStringLiteral("lo")} || !routes.open(QIODevice::ReadOnly))
        return false;
    // Every route stays inside 198.18.0.0/15: no default, nothing else.
    for (const QByteArray &line : routes.readAll().trimmed().split('\n').mid(1)) {
        const QList<QByteArray> f = line.simplified().split(' ');
        const quint32 destination = ntohl(f.value(1).toUInt(nullptr, 16)), mask = ntohl(f.value(7).toUInt(nullptr, 16));
        if (mask < 0xFFFE0000 || (destination & 0xFFFE0000) != 0xC6120000)
            return false;
    }
    return true;
}

bool LanSegment::addHost(int octet, Host kind, const std::optional<Behaviour> &page, const QString &macAddress)
{
    if (!usable() || octet < 3 || octet > 254 || m_hosts.contains(octet))
        return false;
    const QString ns = hostNamespace(octet);
    const QByteArray script = linkScript(ns, QStringLiteral("h%1").arg(octet), "br0", address(octet),
                                   macAddress.isEmpty() ? mac(octet) : macAddress, "198.19.0.0/24 via 198.18.0.2")
        + counterScript(ns, kind == Host::DropsEcho);
    if (!shell(script))
        return false;
    m_hosts.insert(octet);
    return !page || m_devices.listen(address(octet), *page, ns);
}

bool LanSegment::addFarHost(int octet)
{
    return usable() && octet > 1 && octet < 255
        && shell(linkScript(QStringLiteral("lan-f%1").arg(octet), QStringLiteral("f%1").arg(octet), "br1",
                            farAddress(octet), {}, "198.18.0.0/24 via 198.19.0.1"));
}

bool LanSegment::rejectFar(int octet, const QString &icmpType)
{
    return usable() && shell("ip netns exec lan-router nft add rule ip lab forward ip daddr "
                             + farAddress(octet).toLatin1() + " reject with icmp type " + icmpType.toLatin1());
}

int LanSegment::counter(int octet, const char *name) const
{
    return m_hosts.contains(octet) ? packets("ip netns exec " + hostNamespace(octet).toLatin1() + " nft list counter "
                                             + name) : -1;
}

} // namespace Lab
