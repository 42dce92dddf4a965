// Guards pelorin's exposed edges on 127.0.0.x: after start no capability is left in any set (permitted, effective,
// inheritable, ambient) with either kind of echo socket, and the bounding set is CAP_NET_RAW alone; a refused
// capability call ends pelorin with one line and status 1, which lanterra-scan reports in its one line, status 3.
// A host name resolving slowly (a stand-in DNS server on 127.0.0.53) holds up no other object's echo answer, keeps
// the unresolved name's answer, and may be released while it is looked up.
#include "Harness.h"
#include "HttpClient.h"
#include "ProbeObject.h"

#include <QtTest>
#include <QNetworkDatagram>
#include <QUdpSocket>

#include <sys/mount.h>

using namespace Pelorin;

namespace {

const QString kNameServer = QStringLiteral("127.0.0.53");
const QByteArray kOpenGroups = "0 2147483647", kClosedGroups = "1 0"; // ping sockets for everyone, for no one

bool writeFile(const QString &path, const QByteArray &text)
{
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(text) == text.size();
}

// The fields of /proc/<pid>/status, by name.
QHash<QByteArray, QByteArray> procStatus(qint64 pid)
{
    QFile file(QStringLiteral("/proc/%1/status").arg(pid));
    QHash<QByteArray, QByteArray> fields;
    if (file.open(QIODevice::ReadOnly))
        for (const QByteArray &line : file.readAll().split('\n'))
            fields.insert(line.left(line.indexOf(':')), line.mid(line.indexOf(':') + 1).trimmed());
    return fields;
}

// Which table of /proc/net lists a socket of pid: "icmp" (ping socket), "raw", or empty.
QString echoSocketTable(qint64 pid)
{
    QStringList inodes;
    const QDir fds(QStringLiteral("/proc/%1/fd").arg(pid));
    for (const QFileInfo &fd : fds.entryInfoList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::System))
        if (const QString target = fd.symLinkTarget(); target.contains(QLatin1String("socket:[")))
            inodes << target.section(u'[', 1).chopped(1);
    for (const char *table : {"icmp", "raw"}) {
        QFile file(QStringLiteral("/proc/%1/net/%2").arg(pid).arg(QLatin1String(table)));
        const QString text = file.open(QIODevice::ReadOnly) ? QString::fromLatin1(file.readAll()) : QString();
        for (const QString &inode : inodes)
            if (text.contains(QLatin1Char(' ') + inode + QLatin1Char(' ')))
                return QLatin1String(table);
    }
    return {};
}

// A DNS server on kNameServer:53 that answers every question after delayMs: A records of names in addresses,
// "no such name" for the others.
struct SlowNameServer : QObject {
    QUdpSocket socket;
    QHash<QByteArray, QByteArray> addresses; // name as asked, 4 address bytes
    int delayMs = 2000;
    int asked = 0, answered = 0;
    SlowNameServer()
    {
        connect(&socket, &QUdpSocket::readyRead, this, [this] {
            while (socket.hasPendingDatagrams()) {
                const QNetworkDatagram query = socket.receiveDatagram();
                ++asked;
                QTimer::singleShot(delayMs, this, [this, query] { answer(query); });
            }
        });
    }
    void answer(const QNetworkDatagram &query)
    {
        const QByteArray q = query.data();
        QByteArray name;
        qsizetype at = 12;
        for (int length; at < q.size() && (length = quint8(q[at])) != 0; at += length + 1)
            name += (name.isEmpty() ? "" : ".") + q.mid(at + 1, length);
        const bool typeA = q.mid(at + 1, 2) == QByteArray("\0\1", 2), known = addresses.contains(name.toLower());
        QByteArray reply = q.left(2) + QByteArray(known ? "\x81\x80" : "\x81\x83", 2) + QByteArray("\0\1\0", 3)
            + char(known && typeA) + QByteArray(4, 0) + q.mid(12, at + 5 - 12);
        if (known && typeA)
            reply += QByteArray("\xc0\x0c\0\1\0\1\0\0\0\x3c\0\4", 12) + addresses.value(name.toLower());
        socket.writeDatagram(reply, query.senderAddress(), quint16(query.senderPort()));
        ++answered;
    }
};

// The first PingResponse of an object, with the milliseconds since the recorder was made.
struct FirstPing : QObject {
    QElapsedTimer clock;
    std::optional<QString> ip;
    qint16 time = 0;
    qint64 at = -1;
    explicit FirstPing(ProbeObject &object)
    {
        clock.start();
        connect(&object, &ProbeObject::PingResponse, this, [this](QString &host, qint16 &pingTime) {
            if (ip)
                return;
            ip = host;
            time = pingTime;
            at = clock.elapsed();
        });
    }
};

} // namespace

class PelorinEdgesTest : public QObject
{
    Q_OBJECT

    EchoSocket m_echo;
    HttpService m_http;
    HostResolver m_resolver;
    SlowNameServer m_dns;
    QTemporaryDir m_dir;
    bool m_mounted = false;

private slots:
    void initTestCase()
    {
        LAB_REQUIRE_ISOLATED();
        // The stand-in resolv.conf must stay inside this test's own mount namespace.
        QVERIFY(QFile::symLinkTarget("/proc/self/ns/mnt") != QFile::symLinkTarget("/proc/1/ns/mnt"));
        const QString resolvConf = m_dir.filePath("resolv.conf");
        QVERIFY(writeFile(resolvConf, "nameserver " + kNameServer.toLatin1() + "\noptions timeout:5 attempts:1\n"));
        QCOMPARE(::mount(qPrintable(resolvConf), "/etc/resolv.conf", nullptr, MS_BIND, nullptr), 0);
        m_mounted = true;
        QVERIFY(m_dns.socket.bind(QHostAddress(kNameServer), 53));
        m_dns.addresses.insert("slow.lanterra.test", QByteArray("\x7f\0\0\x01", 4));
    }

    void cleanupTestCase()
    {
        if (m_mounted)
            ::umount("/etc/resolv.conf");
        writeFile("/proc/sys/net/ipv4/ping_group_range", kOpenGroups);
    }

    void capabilities_data()
    {
        QTest::addColumn<QByteArray>("groups");
        QTest::addColumn<QString>("table");
        QTest::addColumn<int>("failAt"); // the cap_set_proc call that fails, 0: none
        QTest::newRow("datagram socket") << kOpenGroups << "icmp" << 0;
        QTest::newRow("raw socket") << kClosedGroups << "raw" << 0;
        QTest::newRow("limit at start refused") << kOpenGroups << "" << 1;
        QTest::newRow("datagram: drop refused") << kOpenGroups << "" << 2;
        QTest::newRow("raw: raise refused") << kClosedGroups << "" << 2;
        QTest::newRow("raw: lowering refused") << kClosedGroups << "" << 3;
        QTest::newRow("raw: drop refused") << kClosedGroups << "" << 4;
    }

    void capabilities()
    {
        QFETCH(QByteArray, groups);
        QFETCH(QString, table);
        QFETCH(int, failAt);
        QVERIFY(writeFile("/proc/sys/net/ipv4/ping_group_range", groups));
        PelorinPipe server;
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert("ASAN_OPTIONS", env.value("ASAN_OPTIONS") + ":verify_asan_link_order=0");
        if (failAt) {
            env.insert("LD_PRELOAD", FAILING_CAP_SET_PROC);
            env.insert("FAIL_CAP_SET_PROC_AT", QString::number(failAt));
        }
        server.process().setProcessEnvironment(env);
        const bool greeted = server.start();
        QCOMPARE(greeted, failAt == 0);
        if (failAt) {
            server.process().waitForFinished(5000); // false when it has already ended
            QCOMPARE(server.process().state(), QProcess::NotRunning);
            const QString err = QString::fromUtf8(server.process().readAllStandardError());
            QCOMPARE(server.process().exitCode(), 1);
            QCOMPARE(err, QString("pelorin: capabilities: cap_set_proc failed: Operation not permitted\n"));
            return;
        }
        QCOMPARE(echoSocketTable(server.pid()), table);
        const auto status = procStatus(server.pid());
        for (const char *set : {"CapPrm", "CapEff", "CapInh", "CapAmb"})
            QVERIFY2(status.value(set) == "0000000000000000", set);
        QCOMPARE(status.value("CapBnd"), QByteArray("0000000000002000")); // CAP_NET_RAW (13) alone
    }

    // lanterra-scan whose pelorin can't limit its capabilities: status 3, one line that says why, nothing sent.
    void scanWithCapabilitiesRefused()
    {
        QProcess scan;
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert("ASAN_OPTIONS", env.value("ASAN_OPTIONS") + ":verify_asan_link_order=0");
        env.insert("LD_PRELOAD", FAILING_CAP_SET_PROC);
        scan.setProcessEnvironment(env);
        scan.start(QCoreApplication::applicationDirPath() + "/lanterra-scan", {"127.0.0.1"});
        QVERIFY(scan.waitForFinished(20000));
        const QString err = QString::fromUtf8(scan.readAllStandardError());
        QCOMPARE(scan.exitCode(), 3);
        QCOMPARE(err.count(u'\n'), 1);
        QVERIFY2(err.contains("could not be started"), qPrintable(err));
        QVERIFY2(err.contains("cap_set_proc failed: Operation not permitted"), qPrintable(err));
        QCOMPARE(scan.readAllStandardOutput(), QByteArray());
    }

    void slowLookUp_data()
    {
        QTest::addColumn<QString>("name");
        QTest::addColumn<QString>("ip"); // as PingResponse reports it; empty: released during the look-up
        QTest::newRow("found") << "Slow.Lanterra.Test" << "127.0.0.1";
        QTest::newRow("unknown: the name as given") << "Nowhere.Lanterra.Test" << "Nowhere.Lanterra.Test";
        QTest::newRow("released while looked up") << "slow.lanterra.test" << "";
    }

    // One object's name takes 2 s to resolve; another object's echo answer comes as soon as it does alone.
    void slowLookUp()
    {
        QFETCH(QString, name);
        QFETCH(QString, ip);
        const qint64 alone = pingAnswerMs();
        const int asked = m_dns.asked, answered = m_dns.answered;
        ProbeObject slow(m_echo, m_http, m_resolver);
        FirstPing slowPing(slow);
        slow.PingRequest(name, 100, 0);
        QTRY_COMPARE(m_dns.asked, asked + 1);
        const qint64 meanwhile = pingAnswerMs();
        const QString figures = QString("%1 ms alone, %2 ms meanwhile").arg(alone).arg(meanwhile);
        QVERIFY2(meanwhile - alone <= 20, qPrintable(figures));
        QCOMPARE(m_dns.answered, answered);
        if (ip.isEmpty()) {
            slow.shutdown();
            QTRY_COMPARE_WITH_TIMEOUT(slow.isBusy(), false, 100);
            QTRY_COMPARE_WITH_TIMEOUT(m_dns.answered, answered + 1, 5000);
            QCOMPARE(slowPing.ip.has_value(), false);
            return;
        }
        QTRY_VERIFY_WITH_TIMEOUT(slowPing.ip.has_value(), 10000);
        QCOMPARE(*slowPing.ip, ip);
        QVERIFY2(slowPing.at >= 2000, qPrintable(QString::number(slowPing.at)));
        slow.shutdown();
        QTRY_COMPARE(slow.isBusy(), false);
    }

private:
    // The milliseconds from a ping of 127.0.0.1 to its first answer, on an object of its own.
    qint64 pingAnswerMs()
    {
        ProbeObject object(m_echo, m_http, m_resolver);
        FirstPing first(object);
        object.PingRequest("127.0.0.1", 1000, 0);
        [&] { QTRY_VERIFY(first.ip.has_value()); }();
        object.shutdown();
        [&] { QTRY_VERIFY(!object.isBusy()); }();
        return first.at;
    }
};

QTEST_GUILESS_MAIN(PelorinEdgesTest)
#include "pelorin_edges_test.moc"
