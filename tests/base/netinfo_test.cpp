// Guards the hardware look-ups: a host's MAC from the kernel's neighbour table and its maker from the IEEE registry;
// which addresses lie on this machine's segments; which neighbour entries ARP confirmed during a scan.
#include "Harness.h"
#include "netinfo/LocalSegments.h"
#include "netinfo/NeighbourTable.h"
#include "netinfo/VendorRegistry.h"

#include <QTemporaryDir>
#include <QtTest>

#include <linux/neighbour.h>

namespace {

// As the IEEE writes it (CRLF, quoted fields with commas, doubled quotes, line breaks, UTF-8); then rows to skip.
const char Registry[] =
    "Registry,Assignment,Organization Name,Organization Address\r\n"
    "MA-L,00D0EF,IGT,9295 PROTOTYPE DRIVE RENO NV US 89511 \r\n"
    "MA-L,001EFC,\"JSC \"\"MASSA-K\"\", Inc\",\"15, A, Pirogovskaya nab.\nSaint-Petersburg RU 194044 \"\r\n"
    "MA-L,94d86b,nass magnet Hung\xc3\xa1ria Kft.,\"Henger u.\n2/b Budapest HU 1027 \"\r\n"
    "MA-L,0001C8,THOMAS CONRAD CORP.,1908-R KRAMER LANE AUSTIN TX US 78758 \r\n"
    "MA-L,0001C8,CONRAD CORP.,     \r\n"
    "MA-L,12345,Short Prefix,\r\n"
    "MA-L,ABCDEF\r\n"
    "MA-L,0A0B0C,   ,nameless\r\n"
    "MA-L,A1B2C3,\"Unclosed quote,x\r\n"
    "MA-L,C0FFEE,After Unclosed,x\r\n";

} // namespace

class NetinfoTest : public QObject
{
    Q_OBJECT

private slots:
    void lookUp_data()
    {
        QTest::addColumn<QByteArray>("table"); // the lines after the header
        QTest::addColumn<QString>("mac");
        QTest::addColumn<QString>("vendor");
        auto entry = [](const char *flags, const char *mac) {
            return QByteArray("127.0.0.3 0x1 ") + flags + ' ' + mac + " * eth0\n";
        };
        auto row = [](const char *name, const QByteArray &table, const char *mac, const char *vendor) {
            QTest::newRow(name) << table << QString(mac) << QString::fromUtf8(vendor);
        };
        const QByteArray spaced = "127.0.0.3   0x1   0x2   00:d0:ef:0d:0e:0f   *   eth0\n";
        row("complete, lower case", spaced, "00:D0:EF:0D:0E:0F", "IGT");
        row("permanent; quotes, comma", entry("0x6", "00:1e:fc:ab:cd:ef"), "00:1E:FC:AB:CD:EF", "JSC \"MASSA-K\", Inc");
        row("UTF-8", entry("0x2", "94:d8:6b:00:00:00"), "94:D8:6B:00:00:00", "nass magnet Hungária Kft.");
        row("first of a prefix", entry("0x2", "00:01:c8:00:00:00"), "00:01:C8:00:00:00", "THOMAS CONRAD CORP.");
        row("assignment not six digits", entry("0x2", "01:23:45:00:00:00"), "01:23:45:00:00:00", "");
        row("no name column", entry("0x2", "ab:cd:ef:00:00:00"), "AB:CD:EF:00:00:00", "");
        row("blank name", entry("0x2", "0a:0b:0c:00:00:00"), "0A:0B:0C:00:00:00", "");
        row("unclosed quote", entry("0x2", "a1:b2:c3:00:00:00"), "A1:B2:C3:00:00:00", "");
        row("after unclosed quote", entry("0x2", "c0:ff:ee:00:00:00"), "C0:FF:EE:00:00:00", "After Unclosed");
        row("incomplete", entry("0x0", "00:d0:ef:12:34:56"), "", "");
        row("zero MAC", entry("0x2", "00:00:00:00:00:00"), "", "");
        const QByteArray others = "127.0.0.30 0x1 0x2 00:d0:ef:12:34:56 * eth0\n"
                                  "127.0.0.3x 0x1 0x2 00:d0:ef:12:34:56 * eth0\n";
        row("other address", others, "", "");
        const QByteArray wlan = "127.0.0.3 0x1 0x2 12:34:56:78:9a:bc * wlan0\n";
        row("other interface", entry("0x0", "00:00:00:00:00:00") + wlan, "12:34:56:78:9A:BC", "");
        const QByteArray malformed = "garbage\n\n127.0.0.3 0x1\n" + entry("zz", "00:d0:ef:11:11:11")
            + entry("0x2", "00:d0:ef:22:22") + entry("0x2", "00:d0:ef:33:33:33:33") + entry("0x2", "00:d0:ef:44:44:4g");
        row("malformed lines", malformed + "127.0.0.3 0x1 0x2 00:d0:ef:55:55:55 * eth1", "00:D0:EF:55:55:55", "IGT");
    }

    // A host's MAC and maker; the registry is read at its first look-up and only then.
    void lookUp()
    {
        QFETCH(QByteArray, table);
        QFETCH(QString, mac);
        QFETCH(QString, vendor);
        QTemporaryDir dir;
        const QString arp = dir.filePath(QStringLiteral("arp")), oui = dir.filePath(QStringLiteral("oui.csv"));
        QVERIFY(Harness::writeFile(arp, "IP address HW type Flags HW address Mask Device\n" + table));
        const VendorRegistry registry(oui);
        QVERIFY(Harness::writeFile(oui, Registry));
        const QString found = NeighbourTable(arp).macOf(QStringLiteral("127.0.0.3"));
        QCOMPARE(found, mac);
        QCOMPARE(registry.vendorOf(found), vendor);
        QVERIFY(QFile::remove(oui));
        QCOMPARE(registry.vendorOf(found), vendor);
    }

    // Hosts of a segment are on it; own address, past the prefix, network and broadcast above /31 are not.
    void onSegment_data()
    {
        QTest::addColumn<quint32>("address");
        QTest::addColumn<QString>("interface"); // empty: on no segment
        const quint32 net = 0xC6120000; // 198.18.0.0
        const struct { const char *name; quint32 address; const char *interface; } rows[] = {
            {"first host", net + 2, "lan0"}, {"last host", net + 254, "lan0"}, {"own address", net + 1, ""},
            {"network", net, ""}, {"broadcast", net + 255, ""}, {"next network", net + 256, ""},
            {"/31 low end", net + 0x1000, "p2p"}, {"/30 broadcast", net + 0x3003, ""}};
        for (const auto &r : rows)
            QTest::newRow(r.name) << r.address << QString::fromLatin1(r.interface);
    }

    void onSegment()
    {
        QFETCH(quint32, address);
        QFETCH(QString, interface);
        const LocalSegments segments({{"lan0", 2, 0xC6120001, 24}, {"p2p", 3, 0xC6121001, 31},
                                      {"tiny", 5, 0xC6123001, 30}});
        const std::optional<LocalSegments::Segment> found = segments.segmentOf(address);
        QCOMPARE(found ? found->interface : QString(), interface);
        QCOMPARE(segments.contains(address), !interface.isEmpty());
    }

    // An entry counts when learnt, with a MAC, confirmed since the scan began (500 ms); so in the kernel's own
    // table, read through rtnetlink, whose one dump serves the look-ups of its reuse time.
    void arpConfirmed()
    {
        const struct { const char *name; int state; quint64 mac; qint64 ago; bool counts; } rows[] = {
            {"reachable, within", NUD_REACHABLE, 1, 500, true}, {"reachable, before", NUD_REACHABLE, 1, 501, false},
            {"stale", NUD_STALE, 1, 0, true}, {"delay", NUD_DELAY, 1, 0, true}, {"probe", NUD_PROBE, 1, 0, true},
            {"incomplete", NUD_INCOMPLETE, 1, 0, false}, {"failed", NUD_FAILED, 1, 0, false},
            {"permanent", NUD_PERMANENT, 1, 0, false}, {"no ARP", NUD_NOARP, 1, 0, false},
            {"no MAC", NUD_REACHABLE, 0, 0, false}, {"no confirmation time", NUD_REACHABLE, 1, -1, false}};
        for (const auto &r : rows)
            QVERIFY2(NeighbourTable::confirmedWithin({1, quint16(r.state), r.mac, r.ago}, 500) == r.counts, r.name);
        QVERIFY(Lab::shell("ip link add lab0 type veth peer name lab1\nip link set lab0 up\n"
                           "ip addr add 198.18.0.1/24 dev lab0\n"
                           "ip neigh add 198.18.0.5 lladdr 02:1a:c6:00:00:05 dev lab0 nud reachable\n"
                           "ip neigh add 198.18.0.6 lladdr 02:1a:c6:00:00:06 dev lab0 nud stale"));
        RecentNeighbours reused(600000), fresh(-1);
        QCOMPARE(reused.arpConfirmedMac(0xC6120005, 10000), QStringLiteral("02:1A:C6:00:00:05"));
        QCOMPARE(reused.arpConfirmedMac(0xC6120006, 10000), QString());
        QCOMPARE(fresh.arpConfirmedMac(0xC6120008, 10000), QString());
        QVERIFY(Lab::shell("ip neigh add 198.18.0.8 lladdr 02:1a:c6:00:00:08 dev lab0 nud reachable"));
        QCOMPARE(reused.arpConfirmedMac(0xC6120008, 10000), QString());
        QCOMPARE(fresh.arpConfirmedMac(0xC6120008, 10000), QStringLiteral("02:1A:C6:00:00:08"));
    }
};

QTEST_GUILESS_MAIN(NetinfoTest)
#include "netinfo_test.moc"
