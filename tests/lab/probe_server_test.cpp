// pelorin against the private lab network, through the client library the
// scanner uses (and, where only the pipe can tell, through raw frames): echo
// retries, the repeat and stop rules of the events, pages carried verbatim,
// release in the middle of a fetch, and an idle server while many fetches
// wait. Inside run-in-netns.sh only; every target is 127.0.0.x.
#include "Harness.h"
#include "PelorinConnection.h"
#include "PelorinInterface.h"
#include "ProbeObject.h"
#include "WireProtocol.h"

#include <QEventLoop>
#include <QTimer>
#include <QtTest>

#include <unistd.h>

using PelorinClient::clsMain;
using namespace Pelorin::Wire;
using Recorder = EventRecorder<clsMain>;

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
        QCOMPARE(seen.pings[0].host, QStringLiteral("127.0.0.9"));
        QVERIFY2(seen.pings[0].time < 0, qPrintable(QString::number(seen.pings[0].time)));
        // Four runs of PingAddr (the first and three retries), three echoes each.
        QCOMPARE(m_net->echoRequestCount(QStringLiteral("127.0.0.9")), 12);
    }

    // PingResponse repeats every notify tick until the next request; a handler
    // that yields lets ticks pass without a second answer piling up.
    void answerRepeatsUntilHTTPRequest()
    {
        std::unique_ptr<clsMain> probe = clsMain::create(m_connection);
        QVERIFY(probe);
        Recorder seen(probe.get());
        seen.onPing = [&](QString &, qint16 &) {
            if (seen.pings.size() != 6)
                return;
            QEventLoop loop; // a slow handler that yields: three notify ticks pass meanwhile
            QTimer::singleShot(350, &loop, &QEventLoop::quit);
            loop.exec();
            // Port 80 of 127.0.0.1 is closed: the fetch fails at once with empty text.
            probe->HTTPRequest(QStringLiteral("127.0.0.1"), 80, QStringLiteral("id.htm"), 1000, 0);
        };
        probe->PingRequest(QStringLiteral("127.0.0.1"), 1000, 0);

        QTRY_VERIFY_WITH_TIMEOUT(seen.pages.size() >= 3, 10000);
        QCOMPARE(seen.pings.size(), 6);
        for (const Recorder::Seen &p : std::as_const(seen.pings))
            QVERIFY(p.host == QStringLiteral("127.0.0.1") && p.time >= 0);
        // 100 ms a tick; the margins only tell it from 10 ms or a second.
        const double interval = double(seen.pings.last().at - seen.pings.first().at) / 5.0;
        QVERIFY2(interval > 60 && interval < 400, qPrintable(QString::number(interval)));
        QCOMPARE(seen.pages.first().host, QStringLiteral("127.0.0.1"));
        QCOMPARE(seen.pages.first().text, QString());
    }

    // An error page larger than a pipe's buffer, quotes, tags and line ends
    // in it: the event frame crosses in many reads and the text arrives as sent.
    void pageReachesClientVerbatim()
    {
        const QString address = QStringLiteral("127.0.0.20");
        const QByteArray body = Lab::LabNetwork::idPage(QStringLiteral("QX-9 \"Relay\" <b>&amp;</b>\r\nrev 2")
                                                        + QString(300000, QLatin1Char('x')));
        Lab::Behaviour device = Harness::device(Lab::Behaviour::Page, body);
        device.status = 404;
        QVERIFY(m_net->addDevice(address, device));

        std::unique_ptr<clsMain> probe = clsMain::create(m_connection);
        QVERIFY(probe);
        Recorder seen(probe.get());
        seen.onPage = [&](QString &, QString &) { probe.reset(); };
        probe->HTTPRequest(address, 80, QStringLiteral("id.htm"), 3000, 0);

        QTRY_COMPARE_WITH_TIMEOUT(seen.pages.size(), 1, 10000);
        QCOMPARE(seen.pages[0].host, address);
        QVERIFY(seen.pages[0].text == QString::fromUtf8(body));
        QCOMPARE(m_net->requestPaths(address), QList<QByteArray>{"/id.htm"});
    }

    void releaseMidFetchEndsItSilently()
    {
        constexpr int kTimeOut = 3000;
        const QString device = QStringLiteral("127.0.0.21");
        QVERIFY(m_net->addDevice(device, Harness::device(Lab::Behaviour::NoAnswer)));
        PelorinPipe server;
        QVERIFY(server.start());
        server.send(PelorinPipe::create(1));
        server.send(invocation(Type::Call, 1, Pelorin::Interface::HTTPRequest{device, 80, QStringLiteral("id.htm"), kTimeOut, 0}));
        QTRY_COMPARE(m_net->requestCount(device), 1);

        QElapsedTimer sinceRelease;
        sinceRelease.start();
        server.send(PelorinPipe::msg(Type::Release, 1));
        // The fetch's wait ends at once, not at its time-out: the server, which
        // waits for its objects when its input ends, is gone long before that.
        server.process().closeWriteChannel();
        QVERIFY(server.process().waitForFinished(kTimeOut * 2));
        QVERIFY2(sinceRelease.elapsed() < kTimeOut / 2, qPrintable(QString::number(sinceRelease.elapsed())));
        QCOMPARE(server.process().exitCode(), 0);
        QVERIFY(!server.next(0)); // nothing of the object came out
    }

    // Fifty fetches wait on a device that never answers: the server stays idle
    // (no busy waiting) until their time-out, then every object answers once.
    void idleWhileFiftyFetchesWait()
    {
        const QString device = QStringLiteral("127.0.0.30");
        QVERIFY(m_net->addDevice(device, Harness::device(Lab::Behaviour::NoAnswer)));
        const qint64 pid = m_connection.serverPid();

        std::vector<std::unique_ptr<clsMain>> probes(50);
        QElapsedTimer clock;
        int answers = 0;
        qint64 firstAnswer = -1;
        for (auto &probe : probes) {
            probe = clsMain::create(m_connection);
            QVERIFY(probe);
            connect(probe.get(), &clsMain::HTTPReqResponse, this, [&, p = &probe](QString &, QString &) {
                if (firstAnswer < 0)
                    firstAnswer = clock.elapsed();
                ++answers;
                p->reset();
            });
            probe->HTTPRequest(device, 80, QStringLiteral("id.htm"), 3000, 0);
        }
        QTRY_COMPARE_WITH_TIMEOUT(m_net->requestCount(device), 50, 10000);
        const qint64 ticksBefore = Harness::cpuTicks(pid);
        clock.start();
        QTRY_COMPARE_WITH_TIMEOUT(answers, 50, 15000);
        // Busy waiting would take a whole core; a few per cent is the idle cost.
        const double percent = 100.0 * double(Harness::cpuTicks(pid) - ticksBefore) / double(::sysconf(_SC_CLK_TCK))
            / (double(clock.elapsed()) / 1000.0);
        QVERIFY2(firstAnswer >= 1500, qPrintable(QString::number(firstAnswer)));
        QVERIFY2(percent < 30.0, qPrintable(QString::number(percent)));
    }

private:
    std::unique_ptr<Lab::LabNetwork> m_net;
    PelorinClient::Connection m_connection;
};

QTEST_GUILESS_MAIN(ProbeServerTest)
#include "probe_server_test.moc"
