// Guards on the layer-2 lab (198.18.0.0/24 on a bridge, most addresses empty, so ARP fails for them as on a real
// LAN): every host that answers echo is listed at 1, 50 and 255 workers with either kind of echo socket, and again
// by a window's second scan started at once; each echo request is counted on the host's side, so "sent" is proven on
// the wire; neighbour and router errors give the unreachable host's status. lanterra-scan also lists, as seen by
// ARP and with their pages, the host that drops echo and the late one, but not a stale neighbour entry; --echo-only
// lists neither, and the ARP requests on the wire are the same either way. --arp lists every present host and sends
// echo requests only to them; without CAP_NET_RAW it says so once and scans every address.
#include "EchoSocket.h"
#include "Harness.h"
#include "LanSegment.h"
#include "ResultList.h"
#include "Task.h"
#include "engine/ScanEngine.h"

#include <QLabel>
#include <QProcess>
#include <QPushButton>
#include <QTest>

#include <arpa/inet.h>

using namespace Pelorin;
using Lab::LanSegment;

namespace {

// Live hosts: the scanner (.1) and the router (.2) answer too. Pages at .200 and .254.
const QList<int> kLive = {1, 2, 3, 200, 230, 250, 254};
constexpr int kDropsEcho = 240; // answers ARP, serves a page, drops echo
constexpr int kLate = 245;      // answers echo after LanSegment::kLateMs

// Which echo socket pelorin gets in this namespace: datagram where ping sockets are allowed, else raw.
void allowPingSockets(bool allow)
{
    const QString range = allow ? QStringLiteral("0 2147483647") : QStringLiteral("1 0");
    QCOMPARE(QProcess::execute(QStringLiteral("sysctl"), {QStringLiteral("-qw"),
                                                          QStringLiteral("net.ipv4.ping_group_range=") + range}), 0);
}

Task<void> echoInto(EchoSocket &socket, const QString &target, qint32 timeOutMs, std::optional<EchoResult> &result)
{
    EchoSocket::Exchange exchange = socket.echo(inet_addr(qPrintable(target)), "lab", timeOutMs, &result);
    result = co_await exchange;
}

QStringList sorted(QStringList hosts)
{
    std::sort(hosts.begin(), hosts.end(), [](const QString &a, const QString &b) {
        return QHostAddress(a).toIPv4Address() < QHostAddress(b).toIPv4Address();
    });
    return hosts;
}

QStringList liveAddresses(int from = 0)
{
    QStringList hosts;
    for (int octet : kLive)
        if (octet >= from)
            hosts << LanSegment::address(octet);
    return hosts;
}

} // namespace

class LanLabTest : public QObject
{
    Q_OBJECT

    LanSegment m_lan;
    RecordingBoxes m_boxes;

    // Echo requests each host has received so far.
    QHash<int, int> echoCounts() const
    {
        QHash<int, int> counts;
        for (int octet : kLive + QList<int>{kDropsEcho, kLate})
            counts.insert(octet, m_lan.echoRequestCount(octet));
        return counts;
    }

    int echoesSent() const
    {
        QProcess nft;
        nft.start(QStringLiteral("nft"), {"list", "counter", "ip", "scan", "echo"});
        nft.waitForFinished();
        const QString listed = QString::fromLatin1(nft.readAllStandardOutput());
        return listed.section(QStringLiteral("packets "), 1).section(u' ', 0, 0).toInt();
    }

    // lanterra-scan's hosts (the first CSV field), each one's "description,seen" and its stderr; without CAP_NET_RAW
    // when asked.
    static QStringList scan(const QStringList &args, QHash<QString, QString> *seen = nullptr, QString *err = nullptr,
                            bool withoutNetRaw = false)
    {
        QProcess scan;
        const QString scanner = QCoreApplication::applicationDirPath() + QStringLiteral("/lanterra-scan");
        const QStringList dropNetRaw = {"--bounding-set=-net_raw", "--", scanner};
        scan.start(withoutNetRaw ? QStringLiteral("setpriv") : scanner,
                   (withoutNetRaw ? dropNetRaw : QStringList()) + args + QStringList{"-o", "csv"});
        if (!scan.waitForFinished(60000) || scan.exitCode() != 0)
            return {QStringLiteral("failed")};
        if (err)
            *err = QString::fromUtf8(scan.readAllStandardError());
        QStringList hosts;
        const QString out = QString::fromUtf8(scan.readAllStandardOutput());
        for (const QString &line : out.split(QStringLiteral("\r\n")).mid(1)) {
            if (!line.isEmpty())
                hosts << line.section(QLatin1Char(','), 0, 0);
            if (seen)
                seen->insert(line.section(u',', 0, 0), line.section(u',', 2, 2) + u',' + line.section(u',', -1));
        }
        return sorted(hosts);
    }

private slots:
    void initTestCase()
    {
        LAN_REQUIRE_SEGMENT(m_lan);
        MessageBoxes::install(&m_boxes);
        for (int octet : kLive.mid(2)) {
            const bool page = octet == 200 || octet == 254;
            const auto device = Lab::Behaviour{Lab::Behaviour::Page, Lab::LabNetwork::idPage(QString::number(octet))};
            QVERIFY(m_lan.addHost(octet, LanSegment::Host::Echo, page ? std::optional(device) : std::nullopt));
        }
        const auto dropsEchoPage = Lab::Behaviour{Lab::Behaviour::Page, Lab::LabNetwork::idPage(QStringLiteral("240"))};
        QVERIFY(m_lan.addHost(kDropsEcho, LanSegment::Host::DropsEcho, dropsEchoPage));
        QVERIFY(m_lan.addHost(kLate, LanSegment::Host::Late));
        QVERIFY(m_lan.addFarHost(10));
        // Echo requests that leave the scanner on the segment, counted in the test's own namespace.
        QProcess nft;
        nft.start(QStringLiteral("nft"), {QStringLiteral("-f"), QStringLiteral("-")});
        nft.write("table ip scan {\n counter echo { }\n chain out {\n  type filter hook output priority 0;\n"
                  "  oifname \"lan0\" icmp type echo-request counter name echo\n }\n}\n");
        nft.closeWriteChannel();
        QVERIFY(nft.waitForFinished());
        QCOMPARE(nft.exitCode(), 0);
        QVERIFY(m_lan.rejectFar(20, QStringLiteral("host-unreachable")));
        QVERIFY(m_lan.rejectFar(21, QStringLiteral("admin-prohibited")));
    }

    void cleanup() { allowPingSockets(true); }

    void lanterraScan_data()
    {
        QTest::addColumn<bool>("pingSockets");
        QTest::addColumn<QString>("workers");
        QTest::addColumn<QString>("target");
        QTest::addColumn<int>("from"); // the first octet scanned
        QTest::addColumn<bool>("echoOnly");
        for (bool datagram : {true, false}) {
            const char *kind = datagram ? "datagram" : "raw";
            QTest::addRow("%s, 1 worker, the top", kind) << datagram << "1" << "198.18.0.249-254" << 249 << false;
            QTest::addRow("%s, 50 workers, echo only", kind) << datagram << "50" << "198.18.0.0/24" << 1 << true;
            QTest::addRow("%s, 255 workers", kind) << datagram << "255" << "198.18.0.0/24" << 1 << false;
        }
    }

    // Every live host of the range listed once, whatever waits in the neighbour queue for the empty addresses;
    // each one got exactly the one echo request it answered, the host that drops echo all six of its requests.
    // Unless echo only, the hosts that ARP found are listed too, as such, with their pages; a stale entry is not.
    void lanterraScan()
    {
        QFETCH(bool, pingSockets);
        QFETCH(QString, workers);
        QFETCH(QString, target);
        QFETCH(int, from);
        QFETCH(bool, echoOnly);
        allowPingSockets(pingSockets);
        const QHash<int, int> before = echoCounts();
        // As at a first scan: entries ARP confirmed before this scan never count, whatever the earlier rows did.
        const QString stale = "neigh replace 198.18.0.99 lladdr " + LanSegment::mac(99) + " dev lan0 nud stale";
        QCOMPARE(QProcess::execute(QStringLiteral("ip"), {"neigh", "flush", "dev", "lan0"}), 0);
        QCOMPARE(QProcess::execute(QStringLiteral("ip"), stale.split(u' ')), 0);

        QHash<QString, QString> seen;
        const QStringList args{target, "-w", workers, "-r", "1"};
        const QStringList hosts = scan(args + (echoOnly ? QStringList{"--echo-only"} : QStringList()), &seen);
        const bool arpHosts = !echoOnly && from <= kDropsEcho;
        QCOMPARE(hosts, sorted(liveAddresses(from) + (arpHosts ? QStringList{LanSegment::address(kDropsEcho),
                                                                                        LanSegment::address(kLate)}
                                                                         : QStringList())));
        QCOMPARE(seen.value(LanSegment::address(254)), QStringLiteral("254,echo"));
        QCOMPARE(seen.value(LanSegment::address(kDropsEcho)), arpHosts ? QStringLiteral("240,arp") : QString());
        QCOMPARE(seen.value(LanSegment::address(kLate)), arpHosts ? QStringLiteral(",arp") : QString());

        const QHash<int, int> after = echoCounts();
        for (int octet : kLive.mid(2))
            if (octet >= from)
                QCOMPARE(after[octet] - before[octet], 1);
        if (from <= kDropsEcho)
            QCOMPARE(after[kDropsEcho] - before[kDropsEcho], 6);
    }

    // The scan without --echo-only sends no packet more: the scanner's ARP requests (each host sees every one)
    // are the same with and without it, one per host scanned.
    void noExtraArp()
    {
        const QString targets = QStringLiteral("198.18.0.3,198.18.0.200,198.18.0.240,198.18.0.245");
        QList<int> requests;
        for (bool echoOnly : {false, true}) {
            QCOMPARE(QProcess::execute(QStringLiteral("ip"), {"neigh", "flush", "dev", "lan0"}), 0);
            const int before = m_lan.arpRequestCount(3);
            QStringList args = targets.split(u',') + QStringList{"-r", "1"};
            if (echoOnly)
                args << QStringLiteral("--echo-only");
            QCOMPARE(scan(args).size(), echoOnly ? 2 : 4);
            requests << m_lan.arpRequestCount(3) - before;
        }
        QCOMPARE(requests.first(), 4);
        QCOMPARE(requests.last(), requests.first());
    }

    // --arp lists every present host, the one that drops echo and the late one too; every echo request that left
    // the scanner reached one of them; the silent addresses were asked twice, the others once.
    void arpSweep()
    {
        QCOMPARE(QProcess::execute(QStringLiteral("ip"), {"neigh", "flush", "dev", "lan0"}), 0);
        const QHash<int, int> before = echoCounts();
        const int sent = echoesSent();
        const int arpBefore = m_lan.arpRequestCount(3);
        const QStringList present = liveAddresses(3) + QStringList{LanSegment::address(kDropsEcho),
                                                                   LanSegment::address(kLate)};
        QCOMPARE(scan({"198.18.0.3-254", "--arp"}), sorted(present));
        const QHash<int, int> after = echoCounts();
        int received = 0;
        for (auto it = after.cbegin(); it != after.cend(); ++it)
            received += it.value() - before.value(it.key());
        QCOMPARE(echoesSent() - sent, received);
        // The sweep asks each of the 252 addresses once and the 245 silent ones once more; the echoes make the
        // kernel ask for each present host once.
        QCOMPARE(m_lan.arpRequestCount(3) - arpBefore, 252 + 245 + 7);
    }

    // Without CAP_NET_RAW pelorin can't sweep: one line says so and how to allow it, and every address is scanned.
    void arpWithoutCapability()
    {
        QString err;
        const QStringList hosts = scan({"198.18.0.249-254", "--arp", "-r", "1"}, nullptr, &err, true);
        QCOMPARE(hosts, liveAddresses(249));
        QCOMPARE(err.count(QStringLiteral("may not send ARP requests")), 1);
        QVERIFY2(err.contains(QStringLiteral("setcap cap_net_raw+p")), qPrintable(err));
    }

    // The window scans the whole segment twice in a row on one pelorin: the same hosts both times, with the pages.
    void windowScansTwice()
    {
        MainWindow window;
        window.show();
        QVERIFY(QTest::qWaitForWindowExposed(&window));
        Harness::fill(window, QStringLiteral("198|18|0|1|255|1|100"));
        for (int scan = 0; scan < 2; ++scan) {
            QTest::mouseClick(window.cmdScan, Qt::LeftButton);
            QTRY_VERIFY(window.engine().isScanning());
            QTRY_VERIFY_WITH_TIMEOUT(!window.engine().isScanning(), 30000);
            QTRY_COMPARE(window.lblThreads->text(), QStringLiteral("Scan Completed"));
            QStringList hosts;
            for (int i = 1; i <= window.lstIPs->rowCount(); ++i)
                hosts << window.lstIPs->row(i)->text(0);
            QCOMPARE(sorted(hosts), liveAddresses());
            QCOMPARE(window.lstIPs->findRow(LanSegment::address(254))->text(2), QStringLiteral("254"));
        }
        QCOMPARE(m_boxes.boxes.size(), 0);
    }

    // An empty address on the segment is reported unreachable once ARP gives up, and the router's errors give
    // the same status; a host behind the router answers. Both kinds of socket.
    void unreachable()
    {
        for (auto kind : {EchoSocketKind::Datagram, EchoSocketKind::Raw}) {
            EchoSocket socket(kind);
            QCOMPARE(socket.kind(), kind);
            std::optional<EchoResult> empty, prohibited, unreachable, far;
            spawn(echoInto(socket, LanSegment::address(100 + int(kind)), 5000, empty));
            spawn(echoInto(socket, LanSegment::farAddress(20), 5000, unreachable));
            spawn(echoInto(socket, LanSegment::farAddress(21), 5000, prohibited));
            spawn(echoInto(socket, LanSegment::farAddress(10), 5000, far));
            QTRY_VERIFY_WITH_TIMEOUT(empty.has_value(), 4500);
            QTRY_VERIFY(far.has_value());
            QCOMPARE(empty->status, IpStatus::DestHostUnreachable);
            QCOMPARE(unreachable->status, IpStatus::DestHostUnreachable);
            QCOMPARE(prohibited->status, IpStatus::DestHostUnreachable);
            QCOMPARE(far->status, IpStatus::Success);
        }
    }
};

QTEST_MAIN(LanLabTest)
#include "lan_lab_test.moc"
