// Guards pelorin on the loopback lab (127.0.0.x only): the page try as it goes on the wire, page retries, the 4 MiB
// body cap, no busy waiting, no connection left open; after start no capability left in any set with either kind of
// echo socket, the bounding set CAP_NET_RAW alone; a refused cap_set_proc ends pelorin, which lanterra-scan reports
// in one line that says why, status 3; a name that fails in 2 s (a silent stand-in DNS server on 127.0.0.53) holds
// up no other object's echo answer, keeps the unresolved name's answer, and may be released while looked up.
#include "Harness.h"
#include "HttpClient.h"
#include "ProbeObject.h"

#include <QNetworkDatagram>
#include <QUdpSocket>
#include <QtTest>

#include <sys/mount.h>
#include <unistd.h>

using namespace Pelorin;
using B = Lab::Behaviour;

namespace {

// A fetch of file from host, served by device; requests: the GETs the device had.
struct Fetch {
    QString host;
    B device;
    int timeOut, retries;
    QString text;
    int requests = 1;
    QString file = QStringLiteral("id.htm");
};

} // namespace

Q_DECLARE_METATYPE(Fetch)

class PelorinLabTest : public QObject
{
    Q_OBJECT

    Lab::LabNetwork m_lab;
    EchoSocket m_echo; // for the probe objects made here
    HttpService m_http;
    HostResolver m_resolver;
    QUdpSocket m_dns; // a name server that never answers: a look-up fails after 2 s
    QTemporaryDir m_dir;

private slots:
    void initTestCase()
    {
        LAB_REQUIRE_ISOLATED();
        qputenv("http_proxy", "http://127.0.0.41:3128"); // never used: nothing listens there
        QVERIFY(m_lab.addDevice(QStringLiteral("127.0.0.2"), {B::Page, "still fine"}));
        QVERIFY(QFile::symLinkTarget("/proc/self/ns/mnt") != QFile::symLinkTarget("/proc/1/ns/mnt"));
        const QString resolv = m_dir.filePath("resolv.conf");
        QVERIFY(Harness::writeFile(resolv, "nameserver 127.0.0.53\noptions timeout:2 attempts:1\n"));
        QCOMPARE(::mount(qPrintable(resolv), "/etc/resolv.conf", nullptr, MS_BIND, nullptr), 0);
        QVERIFY(m_dns.bind(QHostAddress("127.0.0.53"), 53));
    }

    void fetch_data()
    {
        QTest::addColumn<Fetch>("fetch");
        auto row = [](const char *name, const Fetch &f) { QTest::newRow(name) << f; };
        const int cap = 4 * 1024 * 1024; // the most of a body kept
        const QByteArray cutOff = "HTTP/1.1 200 OK\r\nContent-Length: 1000\r\n\r\npartial";
        const QByteArray redirect = "HTTP/1.1 302 Found\r\nLocation: http://127.0.0.16/id.htm\r\nContent-Length: 5\r\n"
                                    "\r\nmoved";
        const B latin1{B::Page, "caf\xe9", "text/plain; charset=ISO-8859-1"};
        row("empty file, charset of the response", {"127.0.0.11", latin1, 2000, 0, "caf\u00e9", 1, ""});
        row("empty body, kept alive: retried", {"127.0.0.12", {B::Page, {}, "text/html", true}, 2000, 2, "", 3});
        row("trickle past the time-out: retried", {"127.0.0.13", {B::Trickle, QByteArray(9, 't')}, 300, 1, "", 2});
        row("closed inside the declared length: cut off", {"127.0.0.14", {B::Raw, cutOff}, 400, 1, "", 2});
        row("body at the cap", {"127.0.0.15", {B::Page, QByteArray(cap, 'a')}, 3000, 0, QString(cap, u'a'), 1});
        row("a byte past the cap", {"127.0.0.19", {B::Page, QByteArray(cap + 1, 'b')}, 3000, 0, QString(cap, u'b')});
        row("redirect to itself, not followed", {"127.0.0.16", {B::Raw, redirect}, 400, 1, "moved", 1});
        row("no answer: the time-out waited idle", {"127.0.0.21", {B::NoAnswer}, 1500, 0, "", 1});
        row("host text that would add a user part", {"user@127.0.0.18", {B::Page, "wrong device"}, 100, 0, "", 0});
    }

    // In time, only a complete body as text, each try one GET of these headers on a connection of its own, idle.
    void fetch()
    {
        QFETCH(Fetch, fetch);
        const QString address = fetch.host.section(QLatin1Char('@'), -1);
        QVERIFY(m_lab.addDevice(address, fetch.device));
        const qint64 cpuTicks = Harness::cpuTicks(0);

        auto object = std::make_unique<ProbeObject>(m_echo, m_http, m_resolver);
        struct Page { QString host, text; qint64 at; }; // at: ms since the request
        QList<Page> pages;
        QElapsedTimer clock;
        clock.start();
        connect(object.get(), &ProbeObject::HTTPReqResponse, this,
                [&](const QString &host, const QString &text) { pages.append({host, text, clock.elapsed()}); });
        object->HTTPRequest(fetch.host, 80, fetch.file, fetch.timeOut, quint8(fetch.retries));
        QTRY_VERIFY_WITH_TIMEOUT(pages.size() >= 2, 20000);
        const auto &first = pages.first();
        QCOMPARE_LE(first.at, (1 + fetch.retries) * qMax(0, fetch.timeOut + 10) + 2000);
        QCOMPARE(first.host, fetch.host);
        QCOMPARE(first.text, fetch.text);
        const double seconds = double(Harness::cpuTicks(0) - cpuTicks) / double(::sysconf(_SC_CLK_TCK));
        if (fetch.device.kind == B::NoAnswer)
            QCOMPARE_LT(seconds * 1000.0 / double(first.at), 0.3);
        QCOMPARE(int(m_lab.requests(address).size()), fetch.requests);
        const QByteArray head = "GET /" + fetch.file.toLatin1() + " HTTP/1.1\r\nHost: " + address.toLatin1();
        for (const QByteArray &request : m_lab.requests(address))
            QCOMPARE(request, head + "\r\nAccept: */*\r\n\r\n");

        // A handler that fails holds up nothing: the object still fetches, then ends once released.
        connect(object.get(), &ProbeObject::HTTPReqResponse, this, [] { throw std::runtime_error("handler failed"); });
        object->HTTPRequest(QStringLiteral("127.0.0.2"), 80, QStringLiteral("id.htm"), 2000, 0);
        QTRY_COMPARE_WITH_TIMEOUT(pages.last().text, QStringLiteral("still fine"), 5000);
        object->shutdown();
        QTRY_VERIFY(!object->isBusy());
        object.reset();
        QTRY_COMPARE_WITH_TIMEOUT(m_lab.openConnections(address), 0, 10000);
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
        QVERIFY(Lab::allowPingSockets(!raw));
        if (!failingCall) {
            PelorinPipe server;
            QVERIFY(server.start());
            const QByteArray proc = "/proc/" + QByteArray::number(server.pid());
            QByteArray status, rawSockets;
            QVERIFY(Lab::shell("cat " + proc + "/status", &status));
            for (const QByteArray set : {"CapInh", "CapPrm", "CapEff", "CapAmb"})
                QVERIFY2(status.contains(set + ":\t0000000000000000\n"), set);
            QVERIFY(status.contains("CapBnd:\t0000000000002000\n")); // CAP_NET_RAW (13) alone
            QVERIFY(Lab::shell("cat " + proc + "/net/raw", &rawSockets));
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
            ProbeObject slow(m_echo, m_http, m_resolver);
            QSignalSpy slowAnswers(&slow, &ProbeObject::PingResponse);
            slow.PingRequest(QStringLiteral("Slow.Lanterra.Test"), 100, 0);
            QTRY_VERIFY(m_dns.hasPendingDatagrams());
            QVERIFY(m_dns.receiveDatagram().data().contains("\4slow\10lanterra\4test"));
            const qint64 meanwhile = pingAnswerMs(QStringLiteral("127.0.0.1"));
            QCOMPARE_LE(meanwhile, alone + 20);
            if (release)
                slow.shutdown();
            QTRY_COMPARE_WITH_TIMEOUT(slow.isBusy(), false, release ? 100 : 5000);
            QTRY_COMPARE(slowAnswers.value(0).value(0).toString(), release ? "" : "Slow.Lanterra.Test");
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
        QSignalSpy answers(&object, &ProbeObject::PingResponse);
        QElapsedTimer clock;
        clock.start();
        object.PingRequest(host, 1000, 0);
        [&] { QVERIFY(answers.wait(5000)); }();
        const qint64 ms = clock.elapsed();
        if (ip)
            *ip = answers.value(0).value(0).toString();
        object.shutdown();
        [&] { QTRY_VERIFY(!object.isBusy()); }();
        return ms;
    }
};

QTEST_GUILESS_MAIN(PelorinLabTest)
#include "pelorin_lab_test.moc"
