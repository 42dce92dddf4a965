// Guards on the layer-2 lab (198.18.0.0/24 on a bridge, most addresses empty, so ARP fails for them as on a real
// LAN): every host that answers echo is listed at 1, 50 and 255 workers with either kind of echo socket, each echo
// request counted on the host's side; a window's second scan lists them anew. Neighbour and router errors give the
// unreachable status. lanterra-scan also lists, as seen by ARP, the host that drops echo (with its page) and the late
// one, not a stale entry; --echo-only lists neither, with the same ARP requests on the wire. --arp lists every
// present host, each once it answered, at most one request a millisecond; echoes only to them and to targets off the
// segment; without CAP_NET_RAW it says so once and scans every address. lanterra-scan end to end: every exit status
// (0 1 3 130 143), the last address of a range, names, the equipment filter, a target without a route, output flushed
// on a signal; SIGINT and SIGTERM to the process group (pelorin in it) are an interrupt, never "pelorin has stopped".
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
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTest>

#include <arpa/inet.h>
#include <signal.h>
#include <unistd.h>


using namespace Pelorin;
using Lab::LanSegment;

namespace {

// Live hosts: the scanner (.1) and the router (.2) answer too. Pages at .200 and .254; .42's never comes.
const QList<int> kLive = {1, 2, 3, 42, 200, 230, 250, 254};
constexpr int kDropsEcho = 240; // answers ARP, serves a page, drops echo
constexpr int kLate = 245;      // answers echo LanSegment::kLateMs late

// One echo request to target, waiting up to 5 s.
Task<void> echoInto(EchoSocket &socket, const QString &target, std::optional<EchoResult> &result)
{
    EchoSocket::Exchange exchange = socket.echo(inet_addr(qPrintable(target)), "lab", 5000, &result);
    result = co_await exchange;
}

QStringList liveAddresses(int from = 0, const QList<int> &more = {})
{
    QStringList hosts;
    for (int octet : kLive + more)
        if (octet >= from)
            hosts << LanSegment::address(octet);
    hosts.sort();
    return hosts;
}

} // namespace

class LanLabTest : public QObject
{
    Q_OBJECT

    LanSegment m_lan;
    RecordingBoxes m_boxes;

    // Echo requests each host (.3 on) has received so far, and under 0 all of them.
    QHash<int, int> echoCounts() const
    {
        QHash<int, int> counts;
        for (int octet : kLive.mid(2) + QList<int>{kDropsEcho, kLate}) {
            counts[octet] = m_lan.echoRequestCount(octet);
            counts[0] += counts[octet];
        }
        return counts;
    }

    const QString m_scanner = QCoreApplication::applicationDirPath() + QStringLiteral("/lanterra-scan");
    QString m_err; // the last scan's stderr

    struct Run { int status = -1; QString out, err; };
    // command run as a shell's job; signal goes once 198.18.0.1 is listed: to the job's group, SIGKILL to pelorin.
    Run run(const QStringList &command, int signal = 0)
    {
        QProcess scan;
        scan.setChildProcessModifier([] { ::setpgid(0, 0); });
        scan.start(command.first(), command.mid(1));
        QByteArray out;
        if (signal) {
            [&] { QTRY_VERIFY_WITH_TIMEOUT((out += scan.readAllStandardOutput()).contains("198.18.0.1,"), 20000); }();
            QFile children(QStringLiteral("/proc/%1/task/%1/children").arg(scan.processId())); // pelorin
            const pid_t pelorin = children.open(QIODevice::ReadOnly) ? children.readAll().split(' ')[0].toInt() : 0;
            ::kill(signal == SIGKILL ? pelorin : pid_t(-scan.processId()), pelorin > 0 ? signal : 0); // 0: none
        }
        const bool ended = scan.waitForFinished(60000) && scan.exitStatus() == QProcess::NormalExit;
        return {ended ? scan.exitCode() : -1, QString::fromUtf8(out + scan.readAllStandardOutput()),
                QString::fromUtf8(scan.readAllStandardError())};
    }

    // lanterra-scan's hosts (the first CSV field, each as often as listed) with their "description,seen"; or "failed".
    QMultiMap<QString, QString> scan(const QStringList &args, const QStringList &prefix = {})
    {
        const Run r = run(prefix + QStringList{m_scanner, "-o", "csv"} + args);
        m_err = r.err;
        if (r.status != 0)
            return {{QStringLiteral("failed"), r.err}};
        QMultiMap<QString, QString> seen;
        for (const QString &line : r.out.split(QStringLiteral("\r\n")).mid(1).filter(QStringLiteral(",")))
            seen.insert(line.section(u',', 0, 0), line.section(u',', 2, 2) + u',' + line.section(u',', -1));
        return seen;
    }

private slots:
    void initTestCase()
    {
        if (::geteuid() != 0)
            QSKIP("the layer-2 lab needs root");
        QVERIFY2(m_lan.isBuilt(), "no layer-2 lab: run through run-in-netns.sh");
        LAB_REQUIRE_ISOLATED();
        MessageBoxes::install(&m_boxes);
        for (int octet : kLive.mid(2) + QList<int>{kDropsEcho}) {
            const auto device = Lab::Behaviour{octet == 42 ? Lab::Behaviour::NoAnswer : Lab::Behaviour::Page,
                                               Lab::LabNetwork::idPage(QString::number(octet))};
            const bool page = octet == 42 || octet == 200 || octet == 254 || octet == kDropsEcho;
            const auto kind = octet == kDropsEcho ? LanSegment::Host::DropsEcho : LanSegment::Host::Echo;
            QVERIFY(m_lan.addHost(octet, kind, page ? std::optional(device) : std::nullopt));
        }
        QVERIFY(m_lan.addHost(kLate, LanSegment::Host::Late));
        QVERIFY(QFile::symLinkTarget("/proc/self/ns/mnt") != QFile::symLinkTarget("/proc/1/ns/mnt"));
        QVERIFY(Lab::shell("echo '198.18.0.200 unit200' >/run/netns/hosts\nmount --bind /run/netns/hosts /etc/hosts"));
        QVERIFY(Lab::shell("nft 'add table ip scan; add counter ip scan echo; add chain ip scan out { type filter hook "
                           "output priority 0; }; add rule ip scan out ip daddr 198.18.0.0/24 icmp type echo-request "
                           "counter name echo'"));
    }

    void cleanup() { QVERIFY(Lab::allowPingSockets(true)); }

    void lanterraScan_data()
    {
        QTest::addColumn<bool>("pingSockets");
        QTest::addColumn<QString>("workers");
        QTest::addColumn<int>("from"); // the range's first address
        QTest::addColumn<bool>("echoOnly");
        for (bool datagram : {true, false}) {
            const char *kind = datagram ? "datagram" : "raw";
            QTest::addRow("%s, 1 worker, the top", kind) << datagram << "1" << 249 << false;
            QTest::addRow("%s, 50 workers, echo only", kind) << datagram << "50" << 0 << true;
            QTest::addRow("%s, 255 workers", kind) << datagram << "255" << 0 << false;
        }
    }

    // Each live host once, after one echo request; unless echo only, the ARP-found ones as such; a stale entry not.
    void lanterraScan()
    {
        QFETCH(bool, pingSockets);
        QFETCH(QString, workers);
        QFETCH(int, from);
        QFETCH(bool, echoOnly);
        QVERIFY(Lab::allowPingSockets(pingSockets));
        const QHash<int, int> before = echoCounts();
        QVERIFY(Lab::shell("ip neigh flush dev lan0; ip neigh replace 198.18.0.99 dev lan0 nud stale lladdr "
                           + LanSegment::mac(99).toLatin1()));

        const QStringList args{LanSegment::address(from) + (from ? "-254" : "/24"), "-w", workers, "-r", "1"};
        const QMultiMap<QString, QString> seen = scan(args + (echoOnly ? QStringList{"--echo-only"} : QStringList()));
        // Requests waiting in the neighbour queue for empty addresses hold up no other: 4 s here, 16 s on one socket.
        QCOMPARE_LT(m_err.section(u' ', -2, -2).toDouble(), 8.0); // the summary's seconds
        const bool arpHosts = !echoOnly && from <= kDropsEcho;
        QCOMPARE(seen.keys(), liveAddresses(from, arpHosts ? QList<int>{kDropsEcho, kLate} : QList<int>()));
        QCOMPARE(seen.value(LanSegment::address(254)), QStringLiteral("254,echo"));
        QCOMPARE(seen.value(LanSegment::address(kDropsEcho)), arpHosts ? QStringLiteral("240,arp") : QString());
        QCOMPARE(seen.value(LanSegment::address(kLate)), arpHosts ? QStringLiteral(",arp") : QString());

        const QHash<int, int> after = echoCounts();
        for (int octet : kLive.mid(2))
            QCOMPARE(after[octet] - before[octet], octet >= from ? 1 : 0);
        if (from <= kDropsEcho)
            QCOMPARE(after[kDropsEcho] - before[kDropsEcho], 6);
    }

    // Without --echo-only no packet more: the same ARP requests (each host sees every one), one per host scanned.
    void noExtraArp()
    {
        for (bool echoOnly : {false, true}) {
            QVERIFY(Lab::shell("ip neigh flush dev lan0"));
            const int before = m_lan.arpRequestCount(3);
            const QStringList args{"198.18.0.3", "198.18.0.42", "198.18.0.200", "198.18.0.240", "-r", "1"};
            QCOMPARE(scan(args + (echoOnly ? QStringList{"--echo-only"} : QStringList())).size(), echoOnly ? 3 : 4);
            QCOMPARE(m_lan.arpRequestCount(3) - before, 4);
        }
    }

    // --arp lists every present host, each probed once it answered (.240's 6 s end before 8 s); echoes only to them.
    // A target off the segment is not swept but pinged (the router refuses it).
    void arpSweep()
    {
        QVERIFY(Lab::shell("ip neigh flush dev lan0"));
        const QHash<int, int> before = echoCounts();
        const int sent = Lab::packets("nft list counter ip scan echo");
        const int arpBefore = m_lan.arpRequestCount(3);
        const QStringList hosts = scan({"198.18.0.3-254", "198.19.0.20", "--arp", "-T", "1000", "-r", "1"}).keys();
        QCOMPARE(hosts, liveAddresses(3, {kDropsEcho, kLate}));
        QCOMPARE_LT(m_err.section(u' ', -2, -2).toDouble(), 8.0); // the summary's seconds
        QVERIFY2(m_err.contains(QStringLiteral("no route to 198.19.0.20")), qPrintable(m_err));
        QCOMPARE(Lab::packets("nft list counter ip scan echo") - sent, echoCounts()[0] - before[0]);
        // ARP requests: the sweep's 252, again to the 244 silent ones; the kernel's to the 8 hosts and the router.
        QCOMPARE(m_lan.arpRequestCount(3) - arpBefore, 252 + 244 + 8 + 1);
        scan({"198.18.0.3-254", "--arp", "-T", "1", "-r", "1"}); // one request a millisecond at most: 0.5 s at least
        QCOMPARE_GE(m_err.section(u' ', -2, -2).toDouble(), 0.5);
    }

    // Without CAP_NET_RAW no sweep: one line says so and how to allow it, and every address is scanned.
    void arpWithoutCapability()
    {
        const QStringList withoutNetRaw = {"setpriv", "--bounding-set=-net_raw", "--"};
        QCOMPARE(scan({"198.18.0.249-254", "--arp", "-r", "1"}, withoutNetRaw).keys(), liveAddresses(249));
        QCOMPARE(m_err.count(QStringLiteral("may not send ARP requests")), 1);
        QVERIFY2(m_err.contains(QStringLiteral("setcap cap_net_raw+p")), qPrintable(m_err));
    }

    void cli_data()
    {
        QTest::addColumn<QStringList>("args");
        QTest::addColumn<int>("exitCode");
        QTest::addColumn<QString>("out"); // the sorted host lines, | between
        QTest::addColumn<QString>("err"); // how stderr begins
        QTest::newRow("targets, names, equipment")
            << QStringList{"-n", "-e", "-o", "csv", "198.18.0.254", "198.18.0.1-3", "198.18.0.200"} << 0
            << "198.18.0.200,unit200,ms,200,02:1A:C6:00:00:C8,,echo|198.18.0.254,,ms,254,02:1A:C6:00:00:FE,,echo|"
               "host,name,ping_ms,description,mac,vendor,seen"
            << "lanterra-scan: 5 addresses scanned, 5 hosts found (5 by echo, 0 by ARP), 2 with a description, ";
        QTest::newRow("none answered, no route")
            << QStringList{"198.19.0.20", "198.18.0.41", "-r", "1", "-o", "jsonl"} << 1 << ""
            << "lanterra-scan: no route to 198.19.0.20\n"
               "lanterra-scan: 2 addresses scanned, 0 hosts found (0 by echo, 0 by ARP), 0 with a description, ";
    }

    // lanterra-scan's exit status, its host lines, and stderr: what went before the summary, the summary, its time.
    void cli()
    {
        QFETCH(QStringList, args);
        QFETCH(QString, err);
        const Run r = run(QStringList{m_scanner} + args);
        QTEST(r.status, "exitCode");
        QStringList lines = r.out.split(QStringLiteral("\r\n"), Qt::SkipEmptyParts);
        lines.replaceInStrings(QRegularExpression(",\\d+,"), ",ms,"); // a ping's time varies
        lines.sort();
        QTEST(lines.join(u'|'), "out");
        QCOMPARE(r.err.left(err.size()), err);
        QVERIFY2(QRegularExpression(" \\d+\\.\\d s\n$").match(r.err).hasMatch(), qPrintable(r.err));
        QCOMPARE(r.err.count(u'\n'), err.count(u'\n') + 1);
    }

    // Run from a folder without pelorin: status 3, one line that says so, nothing on stdout.
    void pelorinMissing()
    {
        QTemporaryDir dir;
        const QString alone = dir.filePath(QStringLiteral("lanterra-scan"));
        QVERIFY(QFile::copy(m_scanner, alone));
        const Run r = run({alone, "198.18.0.1"});
        QCOMPARE(r.status, 3);
        QVERIFY2(r.err.contains("pelorin could not be started"), qPrintable(r.err));
        QCOMPARE(r.err.count(u'\n'), 1);
        QCOMPARE(r.out, QString());
    }

    void interrupted_data()
    {
        QTest::addColumn<int>("signal");
        QTest::addColumn<int>("exitCode");
        QTest::newRow("pelorin killed") << SIGKILL << 3;
        for (int i = 0; i < 20; ++i) { // to the group as from a terminal or a job's kill
            QTest::addRow("SIGINT %d", i) << SIGINT << 130;
            QTest::addRow("SIGTERM %d", i) << SIGTERM << 143;
        }
    }

    // Once a host is listed, a signal to the group is an interrupt, pelorin killed a stop; what was listed is out.
    void interrupted()
    {
        QFETCH(int, signal);
        const Run r = run({m_scanner, "198.18.0.1-60", "-T", "3000", "-r", "1", "-o", "csv"}, signal);
        QTEST(r.status, "exitCode");
        const QString line = QStringLiteral("(^|\n)198\\.18\\.0\\.%1,\\d+,,[^,]*,,echo\r\n");
        QVERIFY(r.out.contains(QRegularExpression(line.arg(signal == SIGKILL ? 1 : 42))));
        QCOMPARE(r.err.contains("pelorin has stopped"), signal == SIGKILL);
        const QRegularExpression interrupted("interrupted after \\d+ of 60 addresses, ");
        QCOMPARE(r.err.contains(interrupted), signal != SIGKILL);
    }

    // The window scans the segment twice in a row on its own pelorin: each time a new list of every host, with pages.
    void windowScansTwice()
    {
        MainWindow window;
        Harness::fill(window, QStringLiteral("198|18|0|1|255|1|100"));
        for (int scan = 0; scan < 2; ++scan) {
            window.cmdScan->click();
            QTRY_VERIFY(window.engine().isScanning());
            QTRY_VERIFY_WITH_TIMEOUT(!window.engine().isScanning(), 30000);
            QCOMPARE(window.lblThreads->text(), QStringLiteral("Scan Completed"));
            QCOMPARE(window.lstIPs->rowCount(), kLive.size());
            QCOMPARE(window.lstIPs->findRow(LanSegment::address(254))->text(2), QStringLiteral("254"));
        }
        QCOMPARE(m_boxes.boxes.size(), 0);
    }

    void echoSocket_data()
    {
        QTest::addColumn<EchoSocketKind>("kind");
        QTest::addColumn<QString>("target");
        QTest::addColumn<quint32>("status");
        for (const EchoSocketKind kind : {EchoSocketKind::Datagram, EchoSocketKind::Raw}) {
            const char *k = kind == EchoSocketKind::Raw ? "raw" : "datagram";
            const auto row = [=](const char *name, const QString &target, quint32 status) {
                QTest::addRow("%s, %s", k, name) << kind << target << status;
            };
            row("released", LanSegment::address(230), IpStatus::GeneralFailure);
            row("this machine's 0.0.0.0/8", QStringLiteral("0.1.2.3"), IpStatus::BadDestination);
            row("empty", LanSegment::address(100 + int(kind)), IpStatus::DestHostUnreachable);
            row("router: host unreachable", QStringLiteral("198.19.0.20"), IpStatus::DestHostUnreachable);
        }
    }

    // Each echo socket: ARP failure and router errors unreachable, 0.0.0.0/8 refused, release at once; nothing left.
    void echoSocket()
    {
        QFETCH(EchoSocketKind, kind);
        QFETCH(QString, target);
        const int descriptors = Harness::procEntries(0, "fd");
        {
            EchoSocket socket(kind);
            QCOMPARE(socket.kind(), kind);
            std::optional<EchoResult> result;
            spawn(echoInto(socket, target, result));
            if (target == LanSegment::address(230))
                socket.cancel(&result);
            QTRY_VERIFY_WITH_TIMEOUT(result.has_value(), 4500);
            QTEST(result->status, "status");
            QCOMPARE(socket.waiting(), 0);
        }
        QCOMPARE(Harness::procEntries(0, "fd"), descriptors);
    }
};

QTEST_MAIN(LanLabTest)
#include "lan_lab_test.moc"
