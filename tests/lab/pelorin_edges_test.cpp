// Guards pelorin's exposed edges on 127.0.0.x: after start no capability is left in any set, with either kind of
// echo socket, and the bounding set is CAP_NET_RAW alone; every refused cap_set_proc ends pelorin, which lanterra-scan
// reports in one line that says why, status 3. A name that fails in 2 s (a silent stand-in DNS server on 127.0.0.53)
// holds up no other object's echo answer, keeps the unresolved name's answer, and may be released while looked up.
#include "Harness.h"
#include "HttpClient.h"
#include "ProbeObject.h"

#include <QNetworkDatagram>
#include <QUdpSocket>
#include <QtTest>

#include <sys/mount.h>

using namespace Pelorin;

namespace {

QByteArray readFile(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

// Whether ping sockets are allowed (pelorin opens a datagram echo socket) or not (a raw one) in this namespace.
bool allowPingSockets(bool allow)
{
    return Lab::shell(QByteArray("sysctl -qw net.ipv4.ping_group_range='") + (allow ? "0 2147483647'" : "1 0'"));
}

} // namespace

class PelorinEdgesTest : public QObject
{
    Q_OBJECT

    EchoSocket m_echo;
    HttpService m_http;
    HostResolver m_resolver;
    QUdpSocket m_dns; // a name server that never answers: a look-up fails after 2 s
    QTemporaryDir m_dir;

private slots:
    void initTestCase()
    {
        LAB_REQUIRE_ISOLATED();
        QVERIFY(QFile::symLinkTarget("/proc/self/ns/mnt") != QFile::symLinkTarget("/proc/1/ns/mnt"));
        const QByteArray resolv = m_dir.filePath("resolv.conf").toLatin1();
        QVERIFY(Lab::shell("printf 'nameserver 127.0.0.53\\noptions timeout:2 attempts:1\\n' >" + resolv));
        QCOMPARE(::mount(qPrintable(m_dir.filePath("resolv.conf")), "/etc/resolv.conf", nullptr, MS_BIND, nullptr), 0);
        QVERIFY(m_dns.bind(QHostAddress("127.0.0.53"), 53));
    }

    // The cap_set_proc call refused (0: none): at start, a raw socket's raise and lower, the drop once open.
    void capabilities_data()
    {
        QTest::addColumn<bool>("raw");
        QTest::addColumn<int>("failingCall");
        for (const auto &[name, raw, call] : {std::tuple{"datagram", false, 0}, {"raw", true, 0}, {"start", false, 1},
             {"datagram: drop", false, 4}, {"raw: raise", true, 2}, {"raw: lower", true, 3}, {"raw: drop", true, 6}})
            QTest::newRow(name) << raw << call;
    }

    void capabilities()
    {
        QFETCH(bool, raw);
        QFETCH(int, failingCall);
        QVERIFY(allowPingSockets(!raw));
        if (!failingCall) {
            PelorinPipe server;
            QVERIFY(server.start());
            const QByteArray status = readFile(QStringLiteral("/proc/%1/status").arg(server.pid()));
            for (const QByteArray set : {"CapInh", "CapPrm", "CapEff", "CapAmb"})
                QVERIFY2(status.contains(set + ":\t0000000000000000\n"), set);
            QVERIFY(status.contains("CapBnd:\t0000000000002000\n")); // CAP_NET_RAW (13) alone
            const QByteArray rawSockets = readFile(QStringLiteral("/proc/%1/net/raw").arg(server.pid()));
            QCOMPARE(rawSockets.count('\n'), raw ? 2 + EchoSocket::kRawLanes : 1); // titles, the receiver, the lanes
            return;
        }
        QProcess scan;
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert("ASAN_OPTIONS", env.value("ASAN_OPTIONS") + ":verify_asan_link_order=0");
        env.insert("LD_PRELOAD", QCoreApplication::applicationDirPath() + "/libfailing_cap_set_proc.so");
        env.insert("FAIL_CAP_SET_PROC_AT", QString::number(failingCall));
        scan.setProcessEnvironment(env);
        scan.start(QCoreApplication::applicationDirPath() + "/lanterra-scan", {"127.0.0.1"});
        QVERIFY(scan.waitForFinished(20000));
        const QString err = QString::fromUtf8(scan.readAllStandardError());
        QCOMPARE(scan.exitCode(), 3);
        QCOMPARE(err.count(u'\n'), 1);
        QVERIFY2(err.contains("started. pelorin exited with code 1: pelorin: capabilities: cap_set_proc failed"),
                 qPrintable(err));
    }

    // A name that takes 2 s to fail holds up no other object's echo answer; it is reported as given, or released.
    void slowLookUp()
    {
        for (const bool release : {false, true}) {
            const qint64 alone = pingAnswerMs(QStringLiteral("127.0.0.1"));
            QString slowIp;
            ProbeObject slow(m_echo, m_http, m_resolver);
            connect(&slow, &ProbeObject::PingResponse, this, [&](const QString &host) { slowIp = host; });
            slow.PingRequest(QStringLiteral("Slow.Lanterra.Test"), 100, 0);
            QTRY_VERIFY(m_dns.hasPendingDatagrams());
            QVERIFY(m_dns.receiveDatagram().data().contains("\4slow\10lanterra\4test"));
            const qint64 meanwhile = pingAnswerMs(QStringLiteral("127.0.0.1"));
            QVERIFY2(meanwhile - alone <= 20, qPrintable(QString("alone %1, meanwhile %2").arg(alone).arg(meanwhile)));
            if (release)
                slow.shutdown();
            QTRY_COMPARE_WITH_TIMEOUT(slow.isBusy(), false, release ? 100 : 5000);
            QTRY_COMPARE(slowIp, release ? "" : "Slow.Lanterra.Test");
            QString ip;
            QVERIFY2(pingAnswerMs(QStringLiteral("localhost"), &ip) >= (release ? 1500 : 0), "not behind the slow one");
            QCOMPARE(ip, QStringLiteral("127.0.0.1"));
            slow.shutdown();
            QTRY_COMPARE(slow.isBusy(), false);
        }
    }

private:
    // The milliseconds from a ping of host to its first answer, on an object of its own; ip: the host it reports.
    qint64 pingAnswerMs(const QString &host, QString *ip = nullptr)
    {
        ProbeObject object(m_echo, m_http, m_resolver);
        QElapsedTimer clock;
        qint64 ms = -1;
        connect(&object, &ProbeObject::PingResponse, this, [&](const QString &reported) {
            ms = ms < 0 ? clock.elapsed() : ms;
            if (ip)
                *ip = reported;
        });
        clock.start();
        object.PingRequest(host, 1000, 0);
        [&] { QTRY_VERIFY_WITH_TIMEOUT(ms >= 0, 5000); }();
        object.shutdown();
        [&] { QTRY_VERIFY(!object.isBusy()); }();
        return ms;
    }
};

QTEST_GUILESS_MAIN(PelorinEdgesTest)
#include "pelorin_edges_test.moc"
