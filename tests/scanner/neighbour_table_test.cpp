// Finding a host's MAC in the kernel's neighbour table.
#include "NeighbourTable.h"

#include <QTemporaryDir>
#include <QtTest>

class NeighbourTableTest : public QObject
{
    Q_OBJECT

private slots:
    void macOf_data()
    {
        QTest::addColumn<QByteArray>("table"); // the lines after the header; null: no file at all
        QTest::addColumn<QString>("address");
        QTest::addColumn<QString>("mac");

        QTest::newRow("complete") << QByteArray("10.1.2.3         0x1         0x2         aa:bb:cc:0d:0e:0f     *        eth0\n")
                                  << "10.1.2.3" << "AA:BB:CC:0D:0E:0F";
        QTest::newRow("permanent") << QByteArray("10.1.2.3 0x1 0x6 02:00:00:00:00:01 * eth0\n")
                                   << "10.1.2.3" << "02:00:00:00:00:01";
        QTest::newRow("incomplete") << QByteArray("10.1.2.3 0x1 0x0 aa:bb:cc:dd:ee:ff * eth0\n")
                                    << "10.1.2.3" << "";
        QTest::newRow("zero MAC") << QByteArray("10.1.2.3 0x1 0x2 00:00:00:00:00:00 * eth0\n")
                                  << "10.1.2.3" << "";
        QTest::newRow("other address") << QByteArray("10.1.2.30 0x1 0x2 aa:bb:cc:dd:ee:ff * eth0\n"
                                                     "10.1.2.3x 0x1 0x2 aa:bb:cc:dd:ee:ff * eth0\n")
                                       << "10.1.2.3" << "";
        QTest::newRow("other interface") << QByteArray("10.1.2.3 0x1 0x0 00:00:00:00:00:00 * eth0\n"
                                                       "10.1.2.3 0x1 0x2 12:34:56:78:9a:bc * wlan0\n")
                                         << "10.1.2.3" << "12:34:56:78:9A:BC";
        QTest::newRow("malformed lines") << QByteArray("garbage\n\n10.1.2.3 0x1\n"
                                                       "10.1.2.3 0x1 zz 11:11:11:11:11:11 * eth0\n"
                                                       "10.1.2.3 0x1 0x2 22:22:22:22:22 * eth0\n"
                                                       "10.1.2.3 0x1 0x2 33:33:33:33:33:33:33 * ib0\n"
                                                       "10.1.2.3 0x1 0x2 44:44:44:44:44:4g * eth0\n"
                                                       "10.1.2.3 0x1 0x2 55:55:55:55:55:55 * eth1")
                                         << "10.1.2.3" << "55:55:55:55:55:55";
        QTest::newRow("header only") << QByteArray("") << "10.1.2.3" << "";
        QTest::newRow("missing file") << QByteArray() << "10.1.2.3" << "";
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
};

QTEST_GUILESS_MAIN(NeighbourTableTest)
#include "neighbour_table_test.moc"
