// Guards on the lab network (127.0.0.x only): the echo request and the page try as they go on the wire, echo routing on
// one socket, retries, the 4 MiB body cap, timing, released waits, and the server through the client library.
#include "Harness.h"
#include "HttpClient.h"
#include "client/PelorinConnection.h"
#include "client/ProbeObjectProxy.h"
#include "ProbeObject.h"

#include <QtTest>

#include <QTcpServer>
#include <QTcpSocket>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

using namespace Pelorin;
using Proxy = PelorinClient::ProbeObjectProxy; // a probe object in pelorin, seen from the scanner
using B = Lab::Behaviour;

namespace {

const QString kGoodDevice = QStringLiteral("127.0.0.2");

// The ping module on a real echo socket; a box would be a failure.
struct SocketContext : PingContext {
    EchoSocket &socket;
    explicit SocketContext(EchoSocket &s) : socket(s) {}
    Task<void> yield() override { co_return; }
    Task<int> showMessageBox(QString text, int) override { throw std::runtime_error(qPrintable(text)); }
    Task<EchoResult> echo(quint32 address, QByteArray data, qint32 timeOutMs) override
    {
        EchoSocket::Exchange exchange = socket.echo(address, std::move(data), timeOutMs, this);
        co_return co_await exchange;
    }
};

// One echo on socket for token; result set at its end.
Task<void> echoInto(EchoSocket &socket, const char *dotted, QByteArray data, qint32 timeOutMs, const void *token,
                    std::optional<EchoResult> &result)
{
    EchoSocket::Exchange exchange = socket.echo(inet_addr(dotted), std::move(data), timeOutMs, token);
    result = co_await exchange;
}

Task<void> pingInto(SocketContext &context, QString &host, std::optional<qint16> &result)
{
    Task<qint16> ping = pingAddress(context, host, 200);
    result = co_await ping;
}

// A fetch of file from host, served by device; requests: GETs the device must have had (-1: any).
struct Fetch {
    QString host;
    B device;
    int timeOut, retries;
    QString text;
    int requests = -1;
    QString file = QStringLiteral("id.htm");
};

} // namespace

Q_DECLARE_METATYPE(Fetch)

class ProbeLabTest : public QObject
{
    Q_OBJECT

    Lab::LabNetwork m_lab;
    PelorinClient::Connection m_connection;
    EchoSocket m_echo; // for the probe objects made here
    HttpService m_http;

    // A well-behaved page, answered and repeated.
    void fetchGoodPage(ProbeObject &object, EventRecorder<ProbeObject> &events)
    {
        const qsizetype before = events.pages.size();
        object.HTTPRequest(kGoodDevice, 80, QStringLiteral("id.htm"), 2000, 0);
        QTRY_VERIFY_WITH_TIMEOUT(events.pages.size() >= before + 2 && events.pages.last().text == QLatin1String("still fine"), 5000);
        QCOMPARE(events.pages.last().host, kGoodDevice);
    }

    void drop(std::unique_ptr<ProbeObject> &object) // released, then deleted once its procedures have ended
    {
        object->shutdown();
        QTRY_VERIFY(!object->isBusy());
        object.reset();
    }

private slots:
    void initTestCase()
    {
        LAB_REQUIRE_ISOLATED();
        for (int octet = 8; octet <= 10; ++octet)
            QVERIFY(m_lab.addSilentHost(Harness::host(octet)));
        QVERIFY(m_lab.addDevice(kGoodDevice, {B::Page, "still fine"}));
        QVERIFY(m_connection.start());
        QTRY_VERIFY(m_connection.isReady() && m_connection.echoUsable());
    }

    // pingAddress's one echo request to an answering host, read off loopback by a raw socket: ICMP type 8, code 0,
    // time-to-live 255, no don't-fragment flag, and the 32-byte stamp of the moment as its data.
    void echoRequestOnTheWire()
    {
        for (const EchoSocketKind kind : {EchoSocketKind::Datagram, EchoSocketKind::Raw})
            if (checkRequestOnTheWire(kind); QTest::currentTestFailed())
                QFAIL(kind == EchoSocketKind::Raw ? "raw socket" : "datagram socket");
    }

private:
    void checkRequestOnTheWire(EchoSocketKind kind)
    {
        const int sniffer = ::socket(AF_INET, SOCK_RAW | SOCK_NONBLOCK | SOCK_CLOEXEC, IPPROTO_ICMP);
        QVERIFY(sniffer >= 0);
        const auto closeSniffer = qScopeGuard([sniffer] { ::close(sniffer); });
        EchoSocket socket(kind);
        SocketContext context(socket);
        QString host = QStringLiteral("localhost"); // from the hosts file
        std::optional<qint16> pinged;
        const QByteArrayList stamps{echoRequestData(QDateTime::currentDateTime())};
        spawn(pingInto(context, host, pinged));
        QTRY_VERIFY(pinged);
        const QByteArrayList stampsAfter = stamps + QByteArrayList{echoRequestData(QDateTime::currentDateTime())};
        QByteArrayList requests; // IP header of 20 bytes, ICMP header, data
        quint8 buffer[512];
        for (ssize_t n; (n = ::recv(sniffer, buffer, sizeof buffer, 0)) >= 0;)
            if (n > 20 && buffer[20] == 8)
                requests << QByteArray(reinterpret_cast<const char *>(buffer), qsizetype(n));
        QCOMPARE(requests.size(), 1);
        const QByteArray &r = requests.first();
        QVERIFY(*pinged >= 0 && host == QLatin1String("127.0.0.1") && r.size() == 20 + 8 + 32 && stampsAfter.contains(r.mid(28)));
        QCOMPARE(quint8(r[8]), quint8(255));   // time-to-live
        QCOMPARE(quint8(r[6]) & 0x40, 0);      // don't fragment
        QCOMPARE(quint8(r[21]), quint8(0));    // code
    }

private slots:
    // A page try on the wire: a GET with exactly these headers, straight to the device although the environment
    // names a proxy, and each try on a connection of its own, though the device keeps the first open.
    void pageTryOnTheWire()
    {
        qputenv("http_proxy", "http://127.0.0.41:3128"); // nothing listens there
        const auto unsetProxy = qScopeGuard([] { qunsetenv("http_proxy"); });
        QTcpServer device;
        QVERIFY(device.listen(QHostAddress(QStringLiteral("127.0.0.40")), 80));
        QByteArrayList requests; // what came on each connection
        connect(&device, &QTcpServer::newConnection, this, [&] {
            while (QTcpSocket *c = device.nextPendingConnection()) {
                requests << QByteArray();
                connect(c, &QTcpSocket::readyRead, c, [&requests, c, k = requests.size() - 1] {
                    requests[k] += c->readAll();
                    if (requests[k].endsWith("\r\n\r\n")) // an empty page, so the try is repeated
                        c->write("HTTP/1.1 200 OK\r\nContent-Length: 0\r\nConnection: keep-alive\r\n\r\n");
                });
            }
        });
        auto object = std::make_unique<ProbeObject>(m_echo, m_http);
        EventRecorder<ProbeObject> events(object.get());
        object->HTTPRequest(QStringLiteral("127.0.0.40"), 80, QStringLiteral("id.htm"), 2000, 1);
        QTRY_VERIFY_WITH_TIMEOUT(!events.pages.isEmpty(), 10000);
        const QByteArray get = "GET /id.htm HTTP/1.1\r\nHost: 127.0.0.40\r\nAccept: */*\r\n\r\n";
        QCOMPARE(requests, (QByteArrayList{get, get}));
        drop(object);
    }

    // One echo answered with its data, or none in the time-out, while 50 others with data of their own share
    // the socket: each reply reaches its own request, none ends or stretches the wait, the one released at
    // once gets nothing; nothing is left open.
    void echo()
    {
        using enum EchoSocketKind;
        // 0.0.0.0/8 would be answered by this machine at once if it were sent.
        const struct { EchoSocketKind kind; const char *target; quint32 status; } rows[] = {
            {Datagram, "127.0.0.1", IpStatus::Success}, {Raw, "127.0.0.1", IpStatus::Success},
            {Datagram, "127.0.0.9", IpStatus::RequestTimedOut}, {Raw, "127.0.0.10", IpStatus::RequestTimedOut},
            {Datagram, "0.0.0.0", IpStatus::BadDestination}, {Raw, "0.1.2.3", IpStatus::BadDestination}};
        for (const auto &r : rows)
            if (checkEcho(r.kind, QString::fromLatin1(r.target), r.status); QTest::currentTestFailed())
                QFAIL(r.target);
    }

private:
    void checkEcho(EchoSocketKind kind, const QString &target, quint32 status)
    {
        const bool silent = status == IpStatus::RequestTimedOut;
        const int descriptors = Harness::procEntries(0, "fd");
        {
            EchoSocket socket(kind);
            QCOMPARE(socket.kind(), kind);
            const QByteArray data = echoRequestData(QDateTime::currentDateTime());
            std::optional<EchoResult> result;
            QElapsedTimer clock;
            clock.start();
            spawn(echoInto(socket, qPrintable(target), data, silent ? 500 : 2000, &result, result));
            std::vector<std::optional<EchoResult>> others(50);
            for (int k = 0; k < 50; ++k) {
                const QByteArray address = "127.0.0." + QByteArray::number(1 + k % 5);
                spawn(echoInto(socket, address.constData(), data + QByteArray::number(k), 2000, &others[size_t(k)], others[size_t(k)]));
            }
            socket.cancel(&others[7]); // released
            QTRY_VERIFY_WITH_TIMEOUT(result && std::all_of(others.begin(), others.end(), [](auto &o) { return o.has_value(); }), 5000);
            const qint64 elapsed = clock.elapsed();
            QVERIFY(result->status == status && result->data == (status ? QByteArray() : data) && result->roundTripMs <= quint64(elapsed) + 1);
            QVERIFY2(!silent || (elapsed >= 500 && elapsed < 1500), qPrintable(QString::number(elapsed)));
            for (int k = 0; k < 50; ++k)
                QVERIFY(others[size_t(k)]->data == (k == 7 ? QByteArray() : data + QByteArray::number(k)) && others[size_t(k)]->status == (k == 7 ? IpStatus::GeneralFailure : 0));
            QCOMPARE(socket.waiting(), 0);
        }
        QCOMPARE(Harness::procEntries(0, "fd"), descriptors);
    }

private slots:

    void fetch_data()
    {
        QTest::addColumn<Fetch>("fetch");
        auto row = [](const char *name, const Fetch &f) { QTest::newRow(name) << f; };
        const int cap = 4 * 1024 * 1024; // the most of a body kept

        const QByteArray cutOff = "HTTP/1.1 200 OK\r\nContent-Length: 1000\r\n\r\npartial";
        const QByteArray redirect = "HTTP/1.1 302 Found\r\nLocation: http://127.0.0.16/id.htm\r\nContent-Length: 5\r\n\r\nmoved";
        row("empty file, charset of the response", {"127.0.0.11", {B::Page, "caf\xe9", "text/plain; charset=ISO-8859-1"}, 2000, 0, "caf\u00e9", 1, ""});
        row("empty body: retried", {"127.0.0.12", {B::Page, {}}, 2000, 2, "", 3});
        row("trickle past the time-out: retried, none of it text", {"127.0.0.13", {B::Trickle, QByteArray(200, 't')}, 300, 1, "", 2});
        row("closed inside the declared length: cut off", {"127.0.0.14", {B::Raw, cutOff}, 400, 1, "", 2});
        // The client stops reading at the cap and hangs up; what came is the page.
        row("body at the cap", {"127.0.0.15", {B::Page, QByteArray(cap, 'a')}, 3000, 0, QString(cap, u'a'), 1});
        row("body one byte past the cap", {"127.0.0.19", {B::Page, QByteArray(cap + 1, 'b')}, 3000, 0, QString(cap, u'b'), 1});
        row("redirect to itself, not followed", {"127.0.0.16", {B::Raw, redirect}, 400, 1, "moved", 1});
        row("negative time-out: no wait", {"127.0.0.17", {B::NoAnswer}, -1, 0, ""});
        row("host text that would add a user part", {"user@127.0.0.18", {B::Page, "wrong device"}, 100, 0, "", 0});
    }

    // Ends in time, reports only a complete body as text, leaves no connection
    // open, and the object still fetches afterwards.
    void fetch()
    {
        QFETCH(Fetch, fetch);
        const QString address = fetch.host.section(QLatin1Char('@'), -1);
        QVERIFY(m_lab.addDevice(address, fetch.device));

        auto object = std::make_unique<ProbeObject>(m_echo, m_http);
        EventRecorder<ProbeObject> events(object.get());
        object->HTTPRequest(fetch.host, 80, fetch.file, fetch.timeOut, quint8(fetch.retries));
        // The answer repeats 100 ms after the first: a GET a try sent late has had time to show. Every try
        // waits its time-out, then 10 ms to the next; plus slack.
        QTRY_VERIFY_WITH_TIMEOUT(events.pages.size() >= 2, 20000);
        const auto &first = events.pages.first();
        QVERIFY2(first.at <= (1 + fetch.retries) * qMax(0, fetch.timeOut + 10) + 2000, qPrintable(QString::number(first.at)));
        QVERIFY2(first.host == fetch.host && first.text == fetch.text, qPrintable(first.text.left(80)));
        QVERIFY(fetch.requests < 0 || m_lab.requestCount(address) == fetch.requests);
        for (const QByteArray &path : m_lab.requestPaths(address))
            QCOMPARE(path, "/" + fetch.file.toLatin1());

        events.onPage = [](QString &) { throw std::runtime_error("client handler failed"); };
        fetchGoodPage(*object, events);
        drop(object);
        QTRY_COMPARE_WITH_TIMEOUT(m_lab.openConnections(address), 0, 10000);
    }

    void interrupted_data()
    {
        QTest::addColumn<QString>("address");
        QTest::addColumn<bool>("release");
        QTest::addColumn<int>("timeOut");
        QTest::newRow("asked again in the wait") << "127.0.0.50" << false << 4000;
        QTest::newRow("released while its answer repeats") << "127.0.0.51" << true << 200;
        QTest::newRow("released in the wait") << "127.0.0.52" << true << 60000;
    }

    // A device trickles its page for minutes. A fetch asked for during the wait for it runs inside that wait,
    // which ends with it; a released object ends its wait at once and leaves no connection open. A fetch
    // that did not complete keeps the earlier page as its text, and is not retried.
    void interrupted()
    {
        QFETCH(QString, address);
        QFETCH(bool, release);
        QFETCH(int, timeOut);
        QVERIFY(m_lab.addDevice(address, {B::Trickle, QByteArray(10000, 't')}));
        auto object = std::make_unique<ProbeObject>(m_echo, m_http);
        EventRecorder<ProbeObject> events(object.get());
        fetchGoodPage(*object, events);
        events.pages.clear();
        object->HTTPRequest(address, 80, QStringLiteral("id.htm"), timeOut, 2);

        QElapsedTimer since;
        Watcher interrupt([&] {
            if (m_lab.requestCount(address) == 0 || (timeOut < 1000 && events.pages.isEmpty()))
                return false;
            since.start();
            if (release)
                object->shutdown();
            else
                object->HTTPRequest(kGoodDevice, 80, QStringLiteral("id.htm"), timeOut, 0);
            return true;
        });
        QTRY_VERIFY_WITH_TIMEOUT(interrupt.done() && (release || events.pages.size() >= 2), 10000);
        QVERIFY2(since.elapsed() < 1500, qPrintable(QString::number(since.elapsed())));
        for (const auto &a : std::as_const(events.pages))
            QCOMPARE(a.text, QStringLiteral("still fine"));
        QCOMPARE(m_lab.requestCount(address), 1);
        drop(object);
        QTRY_COMPARE_WITH_TIMEOUT(m_lab.openConnections(address), 0, 5000);
    }

    // Through pelorin, a silent host: four runs of pingAddress (the first and three retries), three echoes
    // each. The failed answer repeats every 100 ms tick until the next request. The page then asked for, an
    // error page with quotes, tags and line ends, crosses the pipe in many reads as sent.
    void serverAnswersRepeatUntilTheNextRequest()
    {
        const QString silent = QStringLiteral("127.0.0.8"), device = QStringLiteral("127.0.0.20");
        const QByteArray body = Lab::LabNetwork::idPage(QStringLiteral("QX-9 \"Relay\" <b>&amp;</b>\r\nrev 2") + QString(300000, QLatin1Char('x')));
        QVERIFY(m_lab.addDevice(device, {B::Page, body, "text/html", 404}));
        std::unique_ptr<Proxy> probe = Proxy::create(m_connection);
        EventRecorder<Proxy> seen(probe.get());
        seen.onPing = [&] {
            if (seen.pings.size() == 6)
                probe->HTTPRequest(device, 80, QStringLiteral("id.htm"), 3000, 0);
        };
        probe->PingRequest(silent, 100, 3);

        QTRY_VERIFY_WITH_TIMEOUT(seen.pages.size() >= 3, 15000);
        QCOMPARE(seen.pings.size(), 6);
        QCOMPARE(m_lab.echoRequestCount(silent), 12);
        for (const auto &p : std::as_const(seen.pings))
            QVERIFY(p.host == silent && p.time < 0);
        // Averaged over five ticks: 100 ms, and neither 50 nor 200 even on a busy machine.
        const double interval = double(seen.pings.last().at - seen.pings.first().at) / 5.0;
        QVERIFY2(interval > 70 && interval < 170, qPrintable(QString::number(interval)));
        QCOMPARE(seen.pages.first().host, device);
        QVERIFY(seen.pages.first().text == QString::fromUtf8(body));
        QCOMPARE(m_lab.requestPaths(device), QList<QByteArray>{"/id.htm"});
    }

    // Fifty fetches wait on a device that never answers: the server stays idle (no busy waiting) until
    // their time-out, then every object answers once.
    void serverIdleWhileFiftyFetchesWait()
    {
        const QString device = QStringLiteral("127.0.0.30");
        QVERIFY(m_lab.addDevice(device, {B::NoAnswer}));
        std::vector<std::unique_ptr<Proxy>> probes(50);
        QElapsedTimer sinceAsked, idle;
        sinceAsked.start();
        QList<qint64> answers;
        for (auto &probe : probes) {
            probe = Proxy::create(m_connection);
            connect(probe.get(), &Proxy::HTTPReqResponse, this, [&, p = &probe] { answers << sinceAsked.elapsed(); p->reset(); });
            probe->HTTPRequest(device, 80, QStringLiteral("id.htm"), 2000, 0);
        }
        QTRY_COMPARE_WITH_TIMEOUT(m_lab.requestCount(device), 50, 10000);
        const qint64 pid = m_connection.serverPid(), ticksBefore = Harness::cpuTicks(pid);
        idle.start();
        QTRY_COMPARE_WITH_TIMEOUT(answers.size(), 50, 15000);
        // Busy waiting would take a whole core; a few per cent is the idle cost.
        const double percent = 100.0 * double(Harness::cpuTicks(pid) - ticksBefore) / double(::sysconf(_SC_CLK_TCK)) / (double(idle.elapsed()) / 1000.0);
        QVERIFY2(answers.first() >= 1900 && percent < 30.0, qPrintable(QStringLiteral("%1 %2").arg(answers.first()).arg(percent)));
    }
};

QTEST_GUILESS_MAIN(ProbeLabTest)
#include "pelorin_lab_test.moc"
