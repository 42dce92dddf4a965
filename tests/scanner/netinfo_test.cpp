// A host's MAC from the kernel's neighbour table, and its maker from the IEEE registry file.
#include "NeighbourTable.h"
#include "VendorRegistry.h"

#include <QTemporaryDir>
#include <QtTest>

namespace {

// As the IEEE writes it: CRLF line ends, quoted fields with commas, doubled
// quotes and line breaks, UTF-8 names; then rows that must be skipped.
const char Registry[] =
    "Registry,Assignment,Organization Name,Organization Address\r\n"
    "MA-L,00D0EF,IGT,9295 PROTOTYPE DRIVE RENO NV US 89511 \r\n"
    "MA-L,F4BD9E,\"Cisco Systems, Inc\",80 West Tasman Drive San Jose CA US 94568 \r\n"
    "MA-L,001EFC,\"JSC \"\"MASSA-K\"\"\",\"15, A, Pirogovskaya nab.\nSaint-Petersburg RU 194044 \"\r\n"
    "MA-L,94d86b,nass magnet Hung\xc3\xa1ria Kft.,\"Henger u.\n2/b Budapest HU 1027 \"\r\n"
    "MA-L,0001C8,THOMAS CONRAD CORP.,1908-R KRAMER LANE AUSTIN TX US 78758 \r\n"
    "MA-L,0001C8,CONRAD CORP.,     \r\n"
    "MA-L,012345x,Long Prefix,\r\n"
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
    void macOf_data()
    {
        QTest::addColumn<QByteArray>("table"); // the lines after the header; null: no file at all
        QTest::addColumn<QString>("address");
        QTest::addColumn<QString>("mac");

        QTest::newRow("complete") << QByteArray("127.0.0.3         0x1         0x2         aa:bb:cc:0d:0e:0f     *        eth0\n")
                                  << "127.0.0.3" << "AA:BB:CC:0D:0E:0F";
        QTest::newRow("permanent") << QByteArray("127.0.0.3 0x1 0x6 02:00:00:00:00:01 * eth0\n")
                                   << "127.0.0.3" << "02:00:00:00:00:01";
        QTest::newRow("incomplete") << QByteArray("127.0.0.3 0x1 0x0 aa:bb:cc:dd:ee:ff * eth0\n")
                                    << "127.0.0.3" << "";
        QTest::newRow("zero MAC") << QByteArray("127.0.0.3 0x1 0x2 00:00:00:00:00:00 * eth0\n")
                                  << "127.0.0.3" << "";
        QTest::newRow("other address") << QByteArray("127.0.0.30 0x1 0x2 aa:bb:cc:dd:ee:ff * eth0\n"
                                                     "127.0.0.3x 0x1 0x2 aa:bb:cc:dd:ee:ff * eth0\n")
                                       << "127.0.0.3" << "";
        QTest::newRow("other interface") << QByteArray("127.0.0.3 0x1 0x0 00:00:00:00:00:00 * eth0\n"
                                                       "127.0.0.3 0x1 0x2 12:34:56:78:9a:bc * wlan0\n")
                                         << "127.0.0.3" << "12:34:56:78:9A:BC";
        QTest::newRow("malformed lines") << QByteArray("garbage\n\n127.0.0.3 0x1\n"
                                                       "127.0.0.3 0x1 zz 11:11:11:11:11:11 * eth0\n"
                                                       "127.0.0.3 0x1 0x2 22:22:22:22:22 * eth0\n"
                                                       "127.0.0.3 0x1 0x2 33:33:33:33:33:33:33 * ib0\n"
                                                       "127.0.0.3 0x1 0x2 44:44:44:44:44:4g * eth0\n"
                                                       "127.0.0.3 0x1 0x2 55:55:55:55:55:55 * eth1")
                                         << "127.0.0.3" << "55:55:55:55:55:55";
        QTest::newRow("header only") << QByteArray("") << "127.0.0.3" << "";
        QTest::newRow("missing file") << QByteArray() << "127.0.0.3" << "";
    }

    void macOf()
    {
        QFETCH(QByteArray, table);
        QFETCH(QString, address);
        QFETCH(QString, mac);

        QTemporaryDir dir;
        QVERIFY(dir.isValid());
        const QString path = dir.filePath(QStringLiteral("arp"));
        if (!table.isNull()) {
            QFile file(path);
            QVERIFY(file.open(QIODevice::WriteOnly));
            file.write("IP address       HW type     Flags       HW address            Mask     Device\n" + table);
        }
        QCOMPARE(NeighbourTable(path).macOf(address), mac);
    }

    void vendorOf_data()
    {
        QTest::addColumn<QString>("mac");
        QTest::addColumn<QString>("vendor");

        QTest::newRow("plain, lower case") << "00:d0:ef:12:34:56" << "IGT";
        QTest::newRow("comma in quotes, upper case") << "F4:BD:9E:00:00:01" << "Cisco Systems, Inc";
        QTest::newRow("inner quotes, dashes") << "00-1E-FC-AB-CD-EF" << "JSC \"MASSA-K\"";
        QTest::newRow("UTF-8 name after a multi-line row") << "94:D8:6B:00:00:00" << "nass magnet Hungária Kft.";
        QTest::newRow("first row of a prefix wins") << "00:01:C8:00:00:00" << "THOMAS CONRAD CORP.";
        QTest::newRow("unknown prefix") << "00:00:01:00:00:00" << "";
        QTest::newRow("not a MAC") << "00d0ef123456" << "";
        QTest::newRow("assignment not six digits") << "01:23:45:00:00:00" << "";
        QTest::newRow("no name column") << "AB:CD:EF:00:00:00" << "";
        QTest::newRow("blank name") << "0A:0B:0C:00:00:00" << "";
        QTest::newRow("unclosed quote") << "A1:B2:C3:00:00:00" << "";
        QTest::newRow("row after unclosed quote") << "C0:FF:EE:00:00:00" << "After Unclosed";
    }

    // The registry is made before its file exists and looks up after the file
    // is gone: it reads the file at the first look-up and only then.
    void vendorOf()
    {
        QFETCH(QString, mac);
        QFETCH(QString, vendor);

        QTemporaryDir dir;
        QVERIFY(dir.isValid());
        const QString path = dir.filePath(QStringLiteral("oui.csv"));
        const VendorRegistry registry(path);
        QFile file(path);
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write(Registry);
        file.close();

        QCOMPARE(registry.vendorOf(mac), vendor);
        QVERIFY(file.remove());
        QCOMPARE(registry.vendorOf(mac), vendor);
    }

    void missingFileLogsOnceAndFindsNothing()
    {
        QTest::ignoreMessage(QtWarningMsg, QRegularExpression(QStringLiteral("cannot read .*absent\\.csv")));
        QTest::failOnWarning(QRegularExpression(QStringLiteral(".*")));
        const VendorRegistry registry(QStringLiteral("/nonexistent/absent.csv"));
        QCOMPARE(registry.vendorOf(u"00:D0:EF:12:34:56"), QString());
        QCOMPARE(registry.vendorOf(u"00:D0:EF:12:34:56"), QString());
    }
};

QTEST_GUILESS_MAIN(NetinfoTest)
#include "netinfo_test.moc"
