// Guards on the layer-2 lab (198.18.0.0/24 on a bridge, most addresses empty, so ARP fails for them as on a real
// LAN): every host that answers echo is listed at 1, 50 and 255 workers with either kind of echo socket, and again
// by a window's second scan started at once; each echo request is counted on the host's side, so "sent" is proven on
// the wire; neighbour and router errors give the unreachable host's status. lanterra-scan also lists, as seen by
// ARP and with their pages, the host that drops echo and the late one, but not a stale neighbour entry; --echo-only
// lists neither, and the ARP requests on the wire are the same either way. --arp lists every present host and sends
// echo requests only to them, each once it answered; without CAP_NET_RAW it says so once and scans every address.
#include "EchoSocket.h"
#include "Harness.h"
#include "WindowHarness.h"
#include "LanSegment.h"
#include "ResultList.h"
#include "Task.h"
#include "engine/ScanEngine.h"

#include <QLabel>
#include <QProcess>
#include <QPushButton>
#include <QTest>

#include <arpa/inet.h>

#include <numeric>

using namespace Pelorin;
using Lab::LanSegment;

namespace {

// Live hosts: the scanner (.1) and the router (.2) answer too. Pages at .200 and .254.
const QList<int> kLive = {1, 2, 3, 200, 230, 250, 254};
constexpr int kDropsEcho = 240; // answers ARP, serves a page, drops echo
constexpr int kLate = 245;      // answers echo after LanSegment::kLateMs

// Which echo socket pelorin gets in this namespace: datagram where ping sockets are allowed, else raw.
bool allowPingSockets(bool allow)
{
    return Lab::shell(QByteArray("sysctl -qw net.ipv4.ping_group_range='") + (allow ? "0 2147483647'" : "1 0'"));
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

QStringList liveAddresses(int from = 0, const QList<int> &more = {})
{
    QStringList hosts;
    for (int octet : kLive + more)
        if (octet >= from)
            hosts << LanSegment::address(octet);
    return sorted(hosts);
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

    QHash<QString, QString> m_seen; // the last scan's "description,seen" of each host
    QString m_err;                  // and its stderr

    // lanterra-scan's hosts (the first CSV field), without CAP_NET_RAW when asked.
    QStringList scan(const QStringList &args, bool withoutNetRaw = false)
    {
        QProcess scan;
        const QString scanner = QCoreApplication::applicationDirPath() + QStringLiteral("/lanterra-scan");
        const QStringList dropNetRaw = {"--bounding-set=-net_raw", "--", scanner};
        scan.start(withoutNetRaw ? QStringLiteral("setpriv") : scanner,
                   (withoutNetRaw ? dropNetRaw : QStringList()) + args + QStringList{"-o", "csv"});
        if (!scan.waitForFinished(60000) || scan.exitCode() != 0)
            return {QStringLiteral("failed")};
        m_err = QString::fromUtf8(scan.readAllStandardError());
        QStringList hosts;
        const QStringList lines = QString::fromUtf8(scan.readAllStandardOutput()).split(QStringLiteral("\r\n"));
        for (const QString &line : lines.mid(1).filter(QStringLiteral(","))) {
            hosts << line.section(u',', 0, 0);
            m_seen.insert(hosts.last(), line.section(u',', 2, 2) + u',' + line.section(u',', -1));
        }
        return sorted(hosts);
    }

private slots:
    void initTestCase()
    {
        LAN_REQUIRE_SEGMENT(m_lan);
        MessageBoxes::install(&m_boxes);
        for (int octet : kLive.mid(2) + QList<int>{kDropsEcho}) {
            const auto device = Lab::Behaviour{Lab::Behaviour::Page, Lab::LabNetwork::idPage(QString::number(octet))};
            const bool page = octet == 200 || octet == 254 || octet == kDropsEcho;
            const auto kind = octet == kDropsEcho ? LanSegment::Host::DropsEcho : LanSegment::Host::Echo;
            QVERIFY(m_lan.addHost(octet, kind, page ? std::optional(device) : std::nullopt));
        }
        QVERIFY(m_lan.addHost(kLate, LanSegment::Host::Late));
        QVERIFY(m_lan.addFarHost(10));
        // Echo requests that leave the scanner on the segment, counted in the test's own namespace.
        QVERIFY(Lab::shell("nft 'add table ip scan; add counter ip scan echo; add chain ip scan out { type filter hook "
                           "output priority 0; }; add rule ip scan out oifname lan0 icmp type echo-request counter "
                           "name echo'"));
        QVERIFY(m_lan.rejectFar(20, QStringLiteral("host-unreachable")));
        QVERIFY(m_lan.rejectFar(21, QStringLiteral("admin-prohibited")));
    }

    void cleanup() { QVERIFY(allowPingSockets(true)); }

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
        QVERIFY(allowPingSockets(pingSockets));
        const QHash<int, int> before = echoCounts();
        // As at a first scan: entries ARP confirmed before this scan never count, whatever the earlier rows did.
        QVERIFY(Lab::shell("ip neigh flush dev lan0; ip neigh replace 198.18.0.99 dev lan0 nud stale lladdr "
                           + LanSegment::mac(99).toLatin1()));

        m_seen.clear();
        const QStringList args{target, "-w", workers, "-r", "1"};
        const QStringList hosts = scan(args + (echoOnly ? QStringList{"--echo-only"} : QStringList()));
        const bool arpHosts = !echoOnly && from <= kDropsEcho;
        QCOMPARE(hosts, liveAddresses(from, arpHosts ? QList<int>{kDropsEcho, kLate} : QList<int>()));
        QCOMPARE(m_seen.value(LanSegment::address(254)), QStringLiteral("254,echo"));
        QCOMPARE(m_seen.value(LanSegment::address(kDropsEcho)), arpHosts ? QStringLiteral("240,arp") : QString());
        QCOMPARE(m_seen.value(LanSegment::address(kLate)), arpHosts ? QStringLiteral(",arp") : QString());

        const QHash<int, int> after = echoCounts();
        for (int octet : kLive.mid(2))
            QCOMPARE(after[octet] - before[octet], octet >= from ? 1 : 0);
        if (from <= kDropsEcho)
            QCOMPARE(after[kDropsEcho] - before[kDropsEcho], 6);
    }

    // The scan without --echo-only sends no packet more: the scanner's ARP requests (each host sees every one)
    // are the same with and without it, one per host scanned.
    void noExtraArp()
    {
        for (bool echoOnly : {false, true}) {
            QVERIFY(Lab::shell("ip neigh flush dev lan0"));
            const int before = m_lan.arpRequestCount(3);
            const QStringList args{"198.18.0.3", "198.18.0.200", "198.18.0.240", "198.18.0.245", "-r", "1"};
            QCOMPARE(scan(args + (echoOnly ? QStringList{"--echo-only"} : QStringList())).size(), echoOnly ? 2 : 4);
            QCOMPARE(m_lan.arpRequestCount(3) - before, 4);
        }
    }

    // --arp lists every present host, the one that drops echo and the late one too; every echo request that left
    // the scanner reached one of them; the silent addresses were asked twice, the others once. Each host is probed
    // once it answers: the 6 s of echoes that .240 drops end before the sweep's two 1 s waits plus them (8.5 s).
    void arpSweep()
    {
        QVERIFY(Lab::shell("ip neigh flush dev lan0"));
        const QHash<int, int> before = echoCounts();
        const int sent = Lab::packets("nft list counter ip scan echo");
        const int arpBefore = m_lan.arpRequestCount(3);
        QCOMPARE(scan({"198.18.0.3-254", "--arp", "-T", "1000", "-r", "1"}), liveAddresses(3, {kDropsEcho, kLate}));
        QVERIFY2(m_err.section(u',', -1).section(u' ', 1, 1).toDouble() < 8.0, qPrintable(m_err));
        const QHash<int, int> after = echoCounts();
        const int received = std::accumulate(after.cbegin(), after.cend(), 0) - std::accumulate(before.cbegin(),
                                                                                               before.cend(), 0);
        QCOMPARE(Lab::packets("nft list counter ip scan echo") - sent, received);
        // The sweep asks each of the 252 addresses once and the 245 silent ones once more; the echoes make the
        // kernel ask for each present host once.
        QCOMPARE(m_lan.arpRequestCount(3) - arpBefore, 252 + 245 + 7);
    }

    // Without CAP_NET_RAW pelorin can't sweep: one line says so and how to allow it, and every address is scanned.
    void arpWithoutCapability()
    {
        QCOMPARE(scan({"198.18.0.249-254", "--arp", "-r", "1"}, true), liveAddresses(249));
        QCOMPARE(m_err.count(QStringLiteral("may not send ARP requests")), 1);
        QVERIFY2(m_err.contains(QStringLiteral("setcap cap_net_raw+p")), qPrintable(m_err));
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
            for (int i = 0; i < window.lstIPs->rowCount(); ++i)
                hosts << window.lstIPs->row(i)->text(0);
            QCOMPARE(sorted(hosts), liveAddresses());
            QCOMPARE(window.lstIPs->findRow(LanSegment::address(254))->text(2), QStringLiteral("254"));
        }
        QCOMPARE(m_boxes.boxes.size(), 0);
    }

    void echoSocket_data()
    {
        QTest::addColumn<EchoSocketKind>("kind");
        QTest::newRow("datagram") << EchoSocketKind::Datagram;
        QTest::newRow("raw") << EchoSocketKind::Raw;
    }

    // Each kind of echo socket: a live host answers with the data sent, a late one times out; an empty address is reported unreachable
    // once ARP gives up, and the router's errors give the same status; 0.0.0.0/8 is refused unsent (this machine
    // would answer it); a released request ends at once as failed; nothing is left waiting or open.
    void echoSocket()
    {
        QFETCH(EchoSocketKind, kind);
        const int descriptors = Harness::procEntries(0, "fd");
        {
            EchoSocket socket(kind);
            QCOMPARE(socket.kind(), kind);
            std::optional<EchoResult> live, late, released, thisHost, empty, prohibited, unreachable, far;
            spawn(echoInto(socket, LanSegment::address(200), 5000, live));
            spawn(echoInto(socket, LanSegment::address(kLate), LanSegment::kLateMs / 2, late));
            spawn(echoInto(socket, LanSegment::address(230), 5000, released));
            socket.cancel(&released);
            spawn(echoInto(socket, QStringLiteral("0.1.2.3"), 5000, thisHost));
            spawn(echoInto(socket, LanSegment::address(100 + int(kind)), 5000, empty));
            spawn(echoInto(socket, LanSegment::farAddress(20), 5000, unreachable));
            spawn(echoInto(socket, LanSegment::farAddress(21), 5000, prohibited));
            spawn(echoInto(socket, LanSegment::farAddress(10), 5000, far));
            QTRY_VERIFY_WITH_TIMEOUT(empty.has_value(), 4500);
            QTRY_VERIFY(far.has_value());
            QCOMPARE(live->status, IpStatus::Success);
            QCOMPARE(live->data, QByteArray("lab"));
            QCOMPARE(late->status, IpStatus::RequestTimedOut);
            QCOMPARE(released->status, IpStatus::GeneralFailure);
            QCOMPARE(thisHost->status, IpStatus::BadDestination);
            QCOMPARE(empty->status, IpStatus::DestHostUnreachable);
            QCOMPARE(unreachable->status, IpStatus::DestHostUnreachable);
            QCOMPARE(prohibited->status, IpStatus::DestHostUnreachable);
            QCOMPARE(far->status, IpStatus::Success);
            QCOMPARE(socket.waiting(), 0);
        }
        QCOMPARE(Harness::procEntries(0, "fd"), descriptors);
    }
};

QTEST_MAIN(LanLabTest)
#include "lan_lab_test.moc"
