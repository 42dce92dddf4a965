#include "LanSegment.h"

#include <QFile>
#include <QProcess>
#include <QRegularExpression>
#include <QSocketNotifier>
#include <QTimer>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>

namespace Lab {

namespace {

QString hostNamespace(int octet) { return QStringLiteral("lan-h%1").arg(octet); }
QString farNamespace(int octet) { return QStringLiteral("lan-f%1").arg(octet); }

QByteArray latin1(const QString &text) { return text.toLatin1(); }

// nft rules of a host: echo requests counted as pelorin sends them, and dropped when asked; the scanner's ARP
// requests counted (each is broadcast, so every host sees them all).
QByteArray counterScript(const QString &netns, bool dropEcho)
{
    return "ip netns exec " + latin1(netns) + " nft -f - <<'EOF'\n"
           "table ip lab {\n counter echo { }\n chain in {\n  type filter hook input priority 0; policy accept;\n"
           "  icmp type echo-request icmp code 0 ip ttl 255 ip length 60 ip frag-off & 0xe000 == 0 counter name echo\n"
           + (dropEcho ? QByteArray("  icmp type echo-request drop\n") : QByteArray()) + " }\n}\n"
           "table arp lab {\n counter request { }\n chain in {\n  type filter hook input priority 0; policy accept;\n"
           "  arp operation request arp saddr ip 198.18.0.1 counter name request\n }\n}\nEOF\n";
}

quint16 checksum(const QByteArray &bytes)
{
    quint32 sum = 0;
    const auto *b = reinterpret_cast<const quint8 *>(bytes.constData());
    for (qsizetype i = 0; i + 1 < bytes.size(); i += 2)
        sum += quint32(b[i] << 8 | b[i + 1]);
    if (bytes.size() % 2)
        sum += quint32(b[bytes.size() - 1] << 8);
    while (sum >> 16)
        sum = (sum & 0xFFFF) + (sum >> 16);
    return quint16(~sum);
}

// Answers every echo request that reaches its namespace, delayMs late (the kernel's own answer is off there).
class LateResponder : public QObject
{
public:
    LateResponder(int fd, int delayMs, QObject *parent) : QObject(parent), m_fd(fd), m_notifier(fd, QSocketNotifier::Read)
    {
        connect(&m_notifier, &QSocketNotifier::activated, this, [this, delayMs] {
            char packet[1500];
            sockaddr_in from {};
            socklen_t length = sizeof from;
            const ssize_t got = ::recvfrom(m_fd, packet, sizeof packet, 0, reinterpret_cast<sockaddr *>(&from), &length);
            const int ipLength = got > 0 ? (packet[0] & 0x0F) * 4 : 0;
            if (got < ipLength + 8 || packet[ipLength] != 8)
                return;
            QByteArray reply(packet + ipLength, got - ipLength);
            reply[0] = 0;
            reply[2] = reply[3] = 0;
            const quint16 sum = checksum(reply);
            reply[2] = char(sum >> 8);
            reply[3] = char(sum & 0xFF);
            QTimer::singleShot(delayMs, this, [this, reply, from] {
                ::sendto(m_fd, reply.constData(), std::size_t(reply.size()), 0,
                         reinterpret_cast<const sockaddr *>(&from), sizeof from);
            });
        });
    }
    ~LateResponder() override { ::close(m_fd); }

private:
    int m_fd;
    QSocketNotifier m_notifier;
};

} // namespace

bool LanSegment::run(const QByteArray &script) const
{
    QProcess sh;
    sh.start(QStringLiteral("sh"), {QStringLiteral("-ec"), QString::fromLatin1(script)});
    const bool ok = sh.waitForFinished(30000) && sh.exitStatus() == QProcess::NormalExit && sh.exitCode() == 0;
    if (!ok)
        qWarning("layer-2 lab: %s", sh.readAllStandardError().constData());
    return ok;
}

LanSegment::LanSegment()
{
    if (::geteuid() != 0 || !Lab::isIsolated())
        return;
    // Named namespaces on a tmpfs of the test's own mount namespace: nothing of them outlives the test.
    m_built = run("mkdir -p /run/netns\nmount -t tmpfs lanterra-lab /run/netns\n"
                  "ip netns add lan-br\n"
                  "ip -n lan-br link add br0 type bridge\nip -n lan-br link add br1 type bridge\n"
                  "ip -n lan-br link set br0 up\nip -n lan-br link set br1 up\n"
                  "ip link add lan0 type veth peer name scanner netns lan-br\n"
                  "ip -n lan-br link set scanner master br0 up\n"
                  "ip addr add 198.18.0.1/24 dev lan0\nip link set lan0 up\n"
                  "ip netns add lan-router\n"
                  "ip -n lan-br link add router0 type veth peer name eth0 netns lan-router\n"
                  "ip -n lan-br link add router1 type veth peer name eth1 netns lan-router\n"
                  "ip -n lan-br link set router0 master br0 up\nip -n lan-br link set router1 master br1 up\n"
                  "ip -n lan-router addr add 198.18.0.2/24 dev eth0\nip -n lan-router addr add 198.19.0.1/24 dev eth1\n"
                  "ip -n lan-router link set lo up\nip -n lan-router link set eth0 up\nip -n lan-router link set eth1 up\n"
                  "ip netns exec lan-router sysctl -qw net.ipv4.ip_forward=1\n"
                  "ip netns exec lan-router nft add table ip lab\n"
                  "ip netns exec lan-router nft 'add chain ip lab forward { type filter hook forward priority 0; }'\n"
                  "ip route add 198.19.0.0/24 via 198.18.0.2\n");
}

LanSegment::~LanSegment() = default;

bool LanSegment::isIsolated()
{
    QFile dev(QStringLiteral("/proc/self/net/dev"));
    if (!dev.open(QIODevice::ReadOnly))
        return false;
    QStringList links;
    for (const QByteArray &line : dev.readAll().trimmed().split('\n').mid(2))
        links << QString::fromLatin1(line.trimmed().split(':').first());
    links.sort();
    if (links != QStringList{QStringLiteral("lan0"), QStringLiteral("lo")})
        return false;
    // Every route stays inside 198.18.0.0/15: no default, nothing else.
    QFile routes(QStringLiteral("/proc/self/net/route"));
    if (!routes.open(QIODevice::ReadOnly))
        return false;
    for (const QByteArray &line : routes.readAll().trimmed().split('\n').mid(1)) {
        const QList<QByteArray> f = line.simplified().split(' ');
        bool ok = f.size() > 7;
        const quint32 destination = ntohl(f.value(1).toUInt(&ok, 16));
        const quint32 mask = ntohl(f.value(7).toUInt(nullptr, 16));
        if (!ok || mask < 0xFFFE0000 || (destination & 0xFFFE0000) != 0xC6120000)
            return false;
    }
    return true;
}

bool LanSegment::addHost(int octet, Host kind, const std::optional<Behaviour> &page, const QString &macAddress)
{
    if (!m_built || !isIsolated() || octet < 3 || octet > 254 || m_hosts.contains(octet))
        return false;
    const QByteArray ns = latin1(hostNamespace(octet)), n = QByteArray::number(octet);
    QByteArray script = "ip netns add " + ns + "\n"
        "ip -n lan-br link add h" + n + " type veth peer name eth0 netns " + ns + "\n"
        "ip -n " + ns + " link set eth0 address " + latin1(macAddress.isEmpty() ? mac(octet) : macAddress) + "\n"
        "ip -n lan-br link set h" + n + " master br0 up\n"
        "ip -n " + ns + " addr add " + latin1(address(octet)) + "/24 dev eth0\n"
        "ip -n " + ns + " link set lo up\nip -n " + ns + " link set eth0 up\n"
        "ip -n " + ns + " route add 198.19.0.0/24 via 198.18.0.2\n"
        + counterScript(hostNamespace(octet), kind == Host::DropsEcho);
    if (kind == Host::Late)
        script += "ip netns exec " + ns + " sysctl -qw net.ipv4.icmp_echo_ignore_all=1\n";
    if (!run(script))
        return false;
    m_hosts.insert(octet);
    if (page && !m_devices.listen(address(octet), *page, hostNamespace(octet)))
        return false;
    return kind != Host::Late || m_devices.inNamespace(hostNamespace(octet), [](QObject *parent) {
        const int fd = ::socket(AF_INET, SOCK_RAW | SOCK_CLOEXEC, IPPROTO_ICMP);
        if (fd >= 0)
            new LateResponder(fd, kLateMs, parent);
        return fd >= 0;
    });
}

bool LanSegment::addFarHost(int octet)
{
    if (!m_built || !isIsolated() || octet < 2 || octet > 254)
        return false;
    const QByteArray ns = latin1(farNamespace(octet)), n = QByteArray::number(octet);
    return run("ip netns add " + ns + "\n"
               "ip -n lan-br link add f" + n + " type veth peer name eth0 netns " + ns + "\n"
               "ip -n lan-br link set f" + n + " master br1 up\n"
               "ip -n " + ns + " addr add " + latin1(farAddress(octet)) + "/24 dev eth0\n"
               "ip -n " + ns + " link set lo up\nip -n " + ns + " link set eth0 up\n"
               "ip -n " + ns + " route add 198.18.0.0/24 via 198.19.0.1\n");
}

bool LanSegment::rejectFar(int octet, const QString &icmpType)
{
    return m_built && isIsolated()
        && run("ip netns exec lan-router nft add rule ip lab forward ip daddr " + latin1(farAddress(octet))
               + " reject with icmp type " + latin1(icmpType) + "\n");
}

int LanSegment::echoRequestCount(int octet) const
{
    return counter(octet, "ip", "echo");
}

int LanSegment::counter(int octet, const char *family, const char *name) const
{
    if (!m_hosts.contains(octet))
        return -1;
    QProcess nft;
    nft.start(QStringLiteral("ip"), {QStringLiteral("netns"), QStringLiteral("exec"), hostNamespace(octet),
                                     QStringLiteral("nft"), QStringLiteral("list"), QStringLiteral("counter"),
                                     QString::fromLatin1(family), QStringLiteral("lab"), QString::fromLatin1(name)});
    nft.waitForFinished(10000);
    const QRegularExpressionMatch m =
        QRegularExpression(QStringLiteral("packets (\\d+)")).match(QString::fromLatin1(nft.readAllStandardOutput()));
    return m.hasMatch() ? m.captured(1).toInt() : -1;
}

} // namespace Lab
