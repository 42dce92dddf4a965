#include "LanSegment.h"

#include <QSocketNotifier>
#include <QTimer>

#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

namespace Lab {

namespace {

QByteArray hostNamespace(int octet) { return "lan-h" + QByteArray::number(octet); }

// Makes namespace ns with eth0 (of mac) at address/24, on the bridge through veth port.
QByteArray linkScript(const QByteArray &ns, const QByteArray &port, const QString &address, const QString &mac)
{
    return QStringLiteral("ip netns add %1\nip -n lan-br link add %2 type veth peer name eth0 address %4 netns %1\n"
                          "ip -n lan-br link set %2 master br0 up\nip -n %1 addr add %3/24 dev eth0\n"
                          "ip -n %1 link set lo up\nip -n %1 link set eth0 up\n")
        .arg(QString::fromLatin1(ns), QString::fromLatin1(port), address, mac)
        .toLatin1();
}

// Answers the echo request waiting on notifier's raw socket LanSegment::kLateMs late (the kernel's own answer is off).
void answerLate(QSocketNotifier *notifier)
{
    const int fd = int(notifier->socket());
    char packet[1500];
    sockaddr_in from {};
    socklen_t length = sizeof from;
    const ssize_t got = ::recvfrom(fd, packet, sizeof packet, 0, reinterpret_cast<sockaddr *>(&from), &length);
    const int ipLength = got > 0 ? (packet[0] & 0x0F) * 4 : 0;
    if (got < ipLength + 8 || packet[ipLength] != 8)
        return;
    QByteArray reply(packet + ipLength, got - ipLength);
    // Type 8 becomes 0: the checksum grows by 0x0800, ones' complement.
    const quint32 sum = (quint32(quint8(reply[2])) << 8 | quint8(reply[3])) + 0x0800;
    reply[0] = 0;
    reply[2] = char((sum + (sum >> 16)) >> 8);
    reply[3] = char(sum + (sum >> 16));
    QTimer::singleShot(LanSegment::kLateMs, notifier, [fd, reply, from] {
        ::sendto(fd, reply.constData(), std::size_t(reply.size()), 0, reinterpret_cast<const sockaddr *>(&from),
                 sizeof from);
    });
}

} // namespace

LanSegment::LanSegment()
{
    if (::geteuid() != 0 || !Lab::isIsolated())
        return;
    // Named namespaces on a tmpfs of the test's own mount namespace: nothing of them outlives the test. The router
    // forwards 198.19.0.0/24 to a veth pair of its own, and refuses all of it with "host unreachable".
    m_built = shell("mkdir -p /run/netns\nmount -t tmpfs lanterra-lab /run/netns\nip netns add lan-br\n"
                    "ip -n lan-br link add br0 type bridge\nip -n lan-br link set br0 up\n"
                    "ip link add lan0 type veth peer name scanner netns lan-br\n"
                    "ip -n lan-br link set scanner master br0 up\n"
                    "ip addr add 198.18.0.1/24 dev lan0\nip link set lan0 up\n"
                    + linkScript("lan-router", "router0", address(2), mac(2))
                    + "ip netns exec lan-router sysctl -qw net.ipv4.ip_forward=1\n"
                      "ip -n lan-router link add eth1 type veth peer name eth2\nip -n lan-router link set eth2 up\n"
                      "ip -n lan-router addr add 198.19.0.1/24 dev eth1\nip -n lan-router link set eth1 up\n"
                      "ip netns exec lan-router nft 'add table ip lab; add chain ip lab forward { type filter hook "
                      "forward priority 0; }; add rule ip lab forward reject with icmp type host-unreachable'\n"
                      "ip route add 198.19.0.0/24 via 198.18.0.2\n");
}

bool LanSegment::addHost(int octet, Host kind, const std::optional<Behaviour> &page, const QString &macAddress)
{
    const QByteArray ns = hostNamespace(octet);
    // Its nft rules: echo requests counted as pelorin sends them, and dropped when asked; the scanner's ARP requests
    // counted (each is broadcast, so every host sees them all).
    QByteArray script = linkScript(ns, "h" + QByteArray::number(octet), address(octet),
                                   macAddress.isEmpty() ? mac(octet) : macAddress)
        + "ip netns exec " + ns + " nft -f - <<'EOF'\n"
          "table ip lab {\n counter echo { }\n chain in {\n  type filter hook input priority 0; policy accept;\n"
          "  icmp type echo-request icmp code 0 ip ttl 255 ip length 60 ip frag-off & 0xe000 == 0 counter name echo\n"
        + (kind == Host::DropsEcho ? QByteArray("  icmp type echo-request drop\n") : QByteArray()) + " }\n}\n"
          "table arp lab {\n counter request { }\n chain in {\n  type filter hook input priority 0; policy accept;\n"
          "  arp operation request arp saddr ip 198.18.0.1 counter name request\n }\n}\nEOF\n";
    if (kind == Host::Late)
        script += "ip netns exec " + ns + " sysctl -qw net.ipv4.icmp_echo_ignore_all=1\n";
    if (!m_built || !Lab::isIsolated() || !shell(script))
        return false;
    if (page && !m_devices.addDevice(address(octet), *page, QString::fromLatin1(ns)))
        return false;
    return kind != Host::Late || m_devices.inNamespace(QString::fromLatin1(ns), [](QObject *parent) {
        const int fd = ::socket(AF_INET, SOCK_RAW | SOCK_CLOEXEC, IPPROTO_ICMP);
        if (fd < 0)
            return false;
        auto *notifier = new QSocketNotifier(fd, QSocketNotifier::Read, parent); // the owner of fd
        QObject::connect(notifier, &QObject::destroyed, [fd] { ::close(fd); });
        QObject::connect(notifier, &QSocketNotifier::activated, notifier, [notifier] { answerLate(notifier); });
        return true;
    });
}

int LanSegment::counter(int octet, const char *name) const
{
    return packets("ip netns exec " + hostNamespace(octet) + " nft list counter " + name); // -1: no such host
}

} // namespace Lab
