// pelorin against the private lab network, through the client library the
// scanner uses (and through raw frames where only the pipe can tell): echo
// retries, an answer repeated every tick until the next request, a page larger
// than a pipe's buffer carried verbatim, release in the middle of a fetch, and
// an idle server while fifty fetches wait. Inside run-in-netns.sh only; every
// target is 127.0.0.x.
#include "Harness.h"
#include "PelorinConnection.h"
#include "PelorinInterface.h"
#include "ProbeObject.h"
#include "WireProtocol.h"

#include <QEventLoop>
#include <QtTest>

#include <unistd.h>

using PelorinClient::clsMain;
using namespace Pelorin::Wire;
using Recorder = EventRecorder<clsMain>;
using B = Lab::Behaviour;

class ProbeServerTest : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase()
    {
        LAB_REQUIRE_ISOLATED();
        QString why;
        QVERIFY2(m_connection.ensureStarted(&why), qPrintable(why));
        QVERIFY2(m_connection.echoUsable(), qPrintable(m_connection.echoReason()));
        QVERIFY(m_net.addSilentHost(QStringLiteral("127.0.0.9")));
    }

    void cleanupTestCase() { m_connection.shutdown(); }

    // A silent host: four runs of PingAddr (the first and three retries), three
    // echoes each. The failed answer repeats every 100 ms tick until the next
    // request; a handler that yields lets ticks pass without answers piling up.
    // The page then asked for, an error page with quotes, tags and line ends,
    // crosses the pipe in many reads and arrives as sent.
    void answersRepeatUntilTheNextRequest()
    {
        const QString silent = QStringLiteral("127.0.0.9");
        const QString device = QStringLiteral("127.0.0.20");
        const QByteArray body = Lab::LabNetwork::idPage(QStringLiteral("QX-9 \"Relay\" <b>&amp;</b>\r\nrev 2")
                                                        + QString(300000, QLatin1Char('x')));
        QVERIFY(m_net.addDevice(device, {B::Page, body, "text/html", 404}));
        std::unique_ptr<clsMain> probe = clsMain::create(m_connection);
        QVERIFY(probe);
        Recorder seen(probe.get());
        seen.onPing = [&] {
            if (seen.pings.size() != 6)
                return;
            QEventLoop loop; // three ticks pass meanwhile
            QTimer::singleShot(350, &loop, &QEventLoop::quit);
            loop.exec();
            probe->HTTPRequest(device, 80, QStringLiteral("id.htm"), 3000, 0);
        };
        probe->PingRequest(silent, 100, 3);

        QTRY_VERIFY_WITH_TIMEOUT(seen.pages.size() >= 3, 15000);
        QCOMPARE(seen.pings.size(), 6);
        QCOMPARE(m_net.echoRequestCount(silent), 12);
        for (const Recorder::Seen &p : std::as_const(seen.pings))
            QVERIFY(p.host == silent && p.time < 0);
        // The margins only tell 100 ms from 10 ms or a second.
        const double interval = double(seen.pings.last().at - seen.pings.first().at) / 5.0;
        QVERIFY2(interval > 60 && interval < 400, qPrintable(QString::number(interval)));
        QCOMPARE(seen.pages.first().host, device);
        QVERIFY(seen.pages.first().text == QString::fromUtf8(body));
        QCOMPARE(m_net.requestPaths(device), QList<QByteArray>{"/id.htm"});
    }

    // The fetch's wait ends at once, not at its time-out: the server, which
    // waits for its objects when its input ends, is gone long before that, and
    // nothing of the object came out.
    void releaseMidFetchEndsItSilently()
    {
        const QString device = QStringLiteral("127.0.0.21");
        QVERIFY(m_net.addDevice(device, {B::NoAnswer}));
        PelorinPipe server;
        QVERIFY(server.start());
        server.send(PelorinPipe::create(1));
        server.send(invocation(Type::Call, 1, Pelorin::Interface::HTTPRequest{device, 80, QStringLiteral("id.htm"), 4000, 0}));
        QTRY_COMPARE(m_net.requestCount(device), 1);
        QElapsedTimer sinceRelease;
        sinceRelease.start();
        server.send(PelorinPipe::msg(Type::Release, 1));
        server.process().closeWriteChannel();
        QVERIFY(server.process().waitForFinished(8000));
        QVERIFY2(sinceRelease.elapsed() < 2000, qPrintable(QString::number(sinceRelease.elapsed())));
        QCOMPARE(server.process().exitCode(), 0);
        QVERIFY(!server.next(0));
    }

    // Fifty fetches wait on a device that never answers: the server stays idle
    // (no busy waiting) until their time-out, then every object answers once.
    void idleWhileFiftyFetchesWait()
    {
        const QString device = QStringLiteral("127.0.0.30");
        QVERIFY(m_net.addDevice(device, {B::NoAnswer}));
        std::vector<std::unique_ptr<clsMain>> probes(50);
        QElapsedTimer sinceAsked;
        sinceAsked.start();
        int answers = 0;
        qint64 firstAnswer = -1;
        for (auto &probe : probes) {
            probe = clsMain::create(m_connection);
            QVERIFY(probe);
            connect(probe.get(), &clsMain::HTTPReqResponse, this, [&, p = &probe] {
                if (answers++ == 0)
                    firstAnswer = sinceAsked.elapsed();
                p->reset();
            });
            probe->HTTPRequest(device, 80, QStringLiteral("id.htm"), 2000, 0);
        }
        QTRY_COMPARE_WITH_TIMEOUT(m_net.requestCount(device), 50, 10000);
        const qint64 pid = m_connection.serverPid();
        const qint64 ticksBefore = Harness::cpuTicks(pid);
        QElapsedTimer idle;
        idle.start();
        QTRY_COMPARE_WITH_TIMEOUT(answers, 50, 15000);
        // Busy waiting would take a whole core; a few per cent is the idle cost.
        const double percent = 100.0 * double(Harness::cpuTicks(pid) - ticksBefore) / double(::sysconf(_SC_CLK_TCK))
            / (double(idle.elapsed()) / 1000.0);
        QVERIFY2(firstAnswer >= 1900, qPrintable(QString::number(firstAnswer)));
        QVERIFY2(percent < 30.0, qPrintable(QString::number(percent)));
    }

private:
    Lab::LabNetwork m_net;
    PelorinClient::Connection m_connection;
};

QTEST_GUILESS_MAIN(ProbeServerTest)
#include "probe_server_test.moc"
