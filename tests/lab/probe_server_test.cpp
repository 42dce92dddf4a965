// pelorin against the private lab network, through the client library the
// scanner uses (and, where only the pipe can tell, through raw frames): echo
// counts and results, the repeat and stop rules of the events, pages carried
// verbatim, release in the middle of a fetch, and an idle server while many
// fetches wait. Inside run-in-netns.sh only; every target is 127.0.0.x.
#include "Harness.h"
#include "PelorinConnection.h"
#include "PelorinInterface.h"
#include "ProbeObject.h"
#include "WireProtocol.h"

#include <QElapsedTimer>
#include <QEventLoop>
#include <QTimer>
#include <QtTest>

#include <unistd.h>

using PelorinClient::clsMain;
using namespace Pelorin::Wire;
using Recorder = EventRecorder<clsMain>;

namespace {

// Runs the event loop for a while, as a busy client handler would.
void stall(int ms)
{
    QEventLoop loop;
    QTimer::singleShot(ms, &loop, &QEventLoop::quit);
    loop.exec();
}

} // namespace

class ProbeServerTest : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase()
    {
        LAB_REQUIRE_ISOLATED();
        m_net = std::make_unique<Lab::LabNetwork>();
        QString why;
        QVERIFY2(m_connection.ensureStarted(&why), qPrintable(why));
        QVERIFY2(m_connection.echoUsable(), qPrintable(m_connection.echoReason()));
        QVERIFY(m_net->addSilentHost(QStringLiteral("127.0.0.9")));
        QVERIFY(m_net->addDevice(QStringLiteral("127.0.0.21"), Harness::device(Lab::Behaviour::NoAnswer)));
    }

    void cleanupTestCase()
    {
        m_connection.shutdown();
        m_net.reset();
    }

    void silentHostIsPingedTwelveTimes()
    {
        std::unique_ptr<clsMain> probe = clsMain::create(m_connection);
        QVERIFY(probe);
        Recorder seen(probe.get());
        seen.onPing = [&](QString &, qint16 &) { probe.reset(); }; // as the scanner does with a failed ping
        probe->PingRequest(QStringLiteral("127.0.0.9"), 100, 3);

        QTRY_COMPARE_WITH_TIMEOUT(seen.pings.size(), 1, 10000);
        QVERIFY(!probe);
        QCOMPARE(seen.pings[0].host, QStringLiteral("127.0.0.9"));
        QVERIFY2(seen.pings[0].time < 0, qPrintable(QString::number(seen.pings[0].time)));
        // Four runs of PingAddr (the first and three retries), three echoes each.
        QCOMPARE(m_net->echoRequestCount(QStringLiteral("127.0.0.9")), 12);
    }

    void answerRepeatsUntilHTTPRequest()
    {
        std::unique_ptr<clsMain> probe = clsMain::create(m_connection);
        QVERIFY(probe);
        Recorder seen(probe.get());
        seen.onPing = [&](QString &, qint16 &) {
            if (seen.pings.size() != 6)
                return;
            // A slow handler that yields: three notify ticks pass meanwhile.
            stall(350);
            // Port 80 of 127.0.0.1 is closed: the fetch fails at once with empty text.
            probe->HTTPRequest(QStringLiteral("127.0.0.1"), 80, QStringLiteral("id.htm"), 1000, 0);
        };
        probe->PingRequest(QStringLiteral("127.0.0.1"), 1000, 0);

        QTRY_VERIFY_WITH_TIMEOUT(seen.pages.size() >= 3, 8000);
        QCOMPARE(seen.pings.size(), 6);
        for (const Recorder::Seen &p : std::as_const(seen.pings)) {
            QCOMPARE(p.host, QStringLiteral("127.0.0.1"));
            QVERIFY(p.time >= 0);
        }
        const double interval = double(seen.pings.last().at - seen.pings.first().at) / 5.0;
        qInfo("PingResponse repeats every %.1f ms on average", interval);
        QVERIFY2(interval > 70 && interval < 200, qPrintable(QString::number(interval)));
        QCOMPARE(seen.pages.first().host, QStringLiteral("127.0.0.1"));
        QCOMPARE(seen.pages.first().text, QString());
    }

    void pageReachesClientVerbatim_data()
    {
        QTest::addColumn<QString>("address");
        QTest::addColumn<QByteArray>("body");
        QTest::addColumn<int>("status");

        QTest::newRow("identification page")
            << "127.0.0.20" << Lab::LabNetwork::idPage(QStringLiteral("QX-9 \"Relay\" <b>&amp;</b>\r\nrev 2")) << 200;
        // Larger than a pipe's buffer: the event frame crosses in many reads.
        QByteArray big = Lab::LabNetwork::idPage(QString(300000, QLatin1Char('x')));
        QTest::newRow("300 KB page") << "127.0.0.22" << big << 200;
        QTest::newRow("error page") << "127.0.0.23" << QByteArray("<html>404 Not Found</html>") << 404;
    }

    void pageReachesClientVerbatim()
    {
        QFETCH(QString, address);
        QFETCH(QByteArray, body);
        QFETCH(int, status);
        Lab::Behaviour device;
        device.kind = status == 200 ? Lab::Behaviour::Page : Lab::Behaviour::ErrorStatus;
        device.body = body;
        device.status = status;
        QVERIFY(m_net->addDevice(address, device));

        std::unique_ptr<clsMain> probe = clsMain::create(m_connection);
        QVERIFY(probe);
        Recorder seen(probe.get());
        seen.onPage = [&](QString &, QString &) { probe.reset(); };
        probe->HTTPRequest(address, 80, QStringLiteral("id.htm"), 3000, 0);

        QTRY_COMPARE_WITH_TIMEOUT(seen.pages.size(), 1, 10000);
        QCOMPARE(seen.pages[0].host, address);
        QCOMPARE(seen.pages[0].text.size(), QString::fromUtf8(body).size());
        QVERIFY(seen.pages[0].text == QString::fromUtf8(body));
        QCOMPARE(m_net->requestPaths(address), QList<QByteArray>{"/id.htm"});
    }

    void releaseMidFetchEndsItSilently()
    {
        constexpr int kTimeOut = 1500;
        const QString device = QStringLiteral("127.0.0.21"); // accepts and never answers
        const int before = m_net->requestCount(device);
        PelorinPipe server;
        QVERIFY(server.start());
        server.send(PelorinPipe::create(1));
        server.send(Pelorin::Wire::invocation(Type::Call, 1, Pelorin::Interface::HTTPRequest{device, 80, QStringLiteral("id.htm"), kTimeOut, 0}));
        QTRY_COMPARE(m_net->requestCount(device), before + 1);

        QElapsedTimer sinceRelease;
        sinceRelease.start();
        server.send(PelorinPipe::msg(Type::Release, 1));
        // The fetch's wait ends at once, not at its time-out: the server, which
        // waits for its objects when its input ends, is gone long before that.
        server.process().closeWriteChannel();
        QVERIFY(server.process().waitForFinished(kTimeOut * 2));
        qInfo("pelorin ended %lld ms after the release", qint64(sinceRelease.elapsed()));
        QVERIFY(sinceRelease.elapsed() < kTimeOut / 2);
        QCOMPARE(server.process().exitCode(), 0);
        // Nothing of the object came out.
        QVERIFY(!server.next(0));
    }

    void idleWhileFiftyFetchesWait()
    {
        const QString device = QStringLiteral("127.0.0.30");
        QVERIFY(m_net->addDevice(device, Harness::device(Lab::Behaviour::NoAnswer)));
        const qint64 pid = m_connection.serverPid();
        const int idleTasks = Harness::procEntries(pid, "task");

        std::vector<std::unique_ptr<clsMain>> probes;
        int events = 0;
        for (int k = 0; k < 50; ++k) {
            probes.push_back(clsMain::create(m_connection));
            QVERIFY(probes.back());
            connect(probes.back().get(), &clsMain::HTTPReqResponse, [&events](QString &, QString &) { ++events; });
            probes.back()->HTTPRequest(device, 80, QStringLiteral("id.htm"), 30000, 0);
        }
        QTRY_COMPARE_WITH_TIMEOUT(m_net->requestCount(device), 50, 10000);

        const qint64 ticksBefore = Harness::cpuTicks(pid);
        QElapsedTimer window;
        window.start();
        QTest::qWait(2000); // the measuring window itself
        const qint64 ticks = Harness::cpuTicks(pid) - ticksBefore;
        const double seconds = double(window.elapsed()) / 1000.0;
        const double percent = 100.0 * double(ticks) / double(::sysconf(_SC_CLK_TCK)) / seconds;
        qInfo("pelorin CPU while 50 fetches wait: %.2f%% of one core over %.2f s", percent, seconds);
        QVERIFY2(percent < 5.0, qPrintable(QString::number(percent)));
        QCOMPARE(events, 0);

        probes.clear();
        // Their threads wait a few seconds for new objects, then end.
        QTRY_VERIFY_WITH_TIMEOUT(Harness::procEntries(pid, "task") <= idleTasks, 10000);
        QCOMPARE(events, 0);
    }

private:
    std::unique_ptr<Lab::LabNetwork> m_net;
    PelorinClient::Connection m_connection;
};

QTEST_GUILESS_MAIN(ProbeServerTest)
#include "probe_server_test.moc"
