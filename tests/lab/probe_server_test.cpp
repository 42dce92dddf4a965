// pelorin against the private lab network, through the client library the
// scanner uses (and, where only the pipe can tell, through raw frames): echo
// counts and results, the repeat and stop rules of the events, pages carried
// verbatim, release in the middle of a fetch, and an idle server while many
// fetches wait. Inside run-in-netns.sh only; every target is 127.0.0.x.
#include "LabNetwork.h"
#include "PelorinConnection.h"
#include "PelorinInterface.h"
#include "ProbeObject.h"
#include "WireProtocol.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QDir>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFile>
#include <QProcess>
#include <QTimer>
#include <QtTest>

#include <memory>
#include <optional>
#include <unistd.h>

using PelorinClient::clsMain;
using namespace Pelorin::Wire;

namespace {

int countEntries(qint64 pid, const char *what)
{
    return int(QDir(QStringLiteral("/proc/%1/%2").arg(pid).arg(QLatin1String(what)))
                   .entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::System)
                   .size());
}

// User plus system CPU time of a process, in clock ticks.
qint64 cpuTicks(qint64 pid)
{
    QFile stat(QStringLiteral("/proc/%1/stat").arg(pid));
    if (!stat.open(QIODevice::ReadOnly))
        return -1;
    const QByteArray line = stat.readAll();
    // Fields after the command's closing parenthesis start with field 3 (state).
    const QList<QByteArray> fields = line.mid(line.lastIndexOf(')') + 2).split(' ');
    return fields.value(11).toLongLong() + fields.value(12).toLongLong();
}

// Runs the event loop for a while, as a busy client handler would.
void stall(int ms)
{
    QEventLoop loop;
    QTimer::singleShot(ms, &loop, &QEventLoop::quit);
    loop.exec();
}

struct PingSeen {
    QString ip;
    qint16 time;
    qint64 at;
};
struct PageSeen {
    QString host;
    QString raw;
};

// What one probe object reported, with optional reactions inside the handlers.
struct Recorder {
    QElapsedTimer clock;
    QList<PingSeen> pings;
    QList<PageSeen> pages;
    std::function<void()> onPing;
    std::function<void()> onPage;

    void attach(clsMain *probe)
    {
        clock.start();
        QObject::connect(probe, &clsMain::PingResponse, [this](QString &sIP, qint16 &iPingTime) {
            pings.append({sIP, iPingTime, clock.elapsed()});
            if (onPing)
                onPing();
        });
        QObject::connect(probe, &clsMain::HTTPReqResponse, [this](QString &sHost, QString &sRawData) {
            pages.append({sHost, sRawData});
            if (onPage)
                onPage();
        });
    }
};

Lab::Behaviour noAnswer()
{
    Lab::Behaviour b;
    b.kind = Lab::Behaviour::NoAnswer;
    return b;
}

Message create(quint32 id)
{
    Message m;
    m.type = Type::Create;
    m.objectId = id;
    m.text = QLatin1String(Pelorin::kClsMainClassId);
    return m;
}

// pelorin on raw pipes, for what the client library hides.
class RawServer
{
public:
    ~RawServer()
    {
        m_process.closeWriteChannel();
        if (!m_process.waitForFinished(5000))
            m_process.kill();
        m_process.waitForFinished();
    }
    bool start()
    {
        m_process.setProgram(QCoreApplication::applicationDirPath() + QStringLiteral("/pelorin"));
        m_process.start();
        return m_process.waitForStarted(5000) && next() && m_last.type == Type::Greeting;
    }
    void send(const Message &m) { m_process.write(encode(m)); }
    // The next frame within the time, or false.
    bool next(int timeoutMs = 5000)
    {
        QDeadlineTimer deadline(timeoutMs);
        while (true) {
            if (auto item = m_reader.next()) {
                if (!item->message)
                    continue;
                m_last = *item->message;
                return true;
            }
            if (deadline.hasExpired() || m_process.state() == QProcess::NotRunning)
                return false;
            m_process.waitForReadyRead(int(qMax<qint64>(1, deadline.remainingTime())));
            m_reader.append(m_process.readAllStandardOutput());
        }
    }
    const Message &last() const { return m_last; }
    qint64 pid() const { return m_process.processId(); }

private:
    QProcess m_process;
    FrameReader m_reader;
    Message m_last;
};

} // namespace

class ProbeServerTest : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanupTestCase();
    void silentHostIsPingedTwelveTimes();
    void answerRepeatsUntilHTTPRequest();
    void requestInsideHandlerStopsRepeats();
    void otherEventsArriveInsideAHandler();
    void pageReachesClientVerbatim_data();
    void pageReachesClientVerbatim();
    void releaseMidFetchEndsItSilently();
    void idleWhileFiftyFetchesWait();

private:
    std::unique_ptr<Lab::LabNetwork> m_net;
    PelorinClient::Connection m_connection;
};

void ProbeServerTest::initTestCase()
{
    LAB_REQUIRE_ISOLATED();
    m_net = std::make_unique<Lab::LabNetwork>();
    QString why;
    QVERIFY2(m_connection.ensureStarted(&why), qPrintable(why));
    QVERIFY2(m_connection.echoUsable(), qPrintable(m_connection.echoReason()));
    QVERIFY(m_net->addSilentHost(QStringLiteral("127.0.0.9")));
    QVERIFY(m_net->addDevice(QStringLiteral("127.0.0.21"), noAnswer()));
}

void ProbeServerTest::cleanupTestCase()
{
    m_connection.shutdown();
    m_net.reset();
}

void ProbeServerTest::silentHostIsPingedTwelveTimes()
{
    std::unique_ptr<clsMain> probe = clsMain::create(m_connection);
    QVERIFY(probe);
    Recorder seen;
    seen.attach(probe.get());
    seen.onPing = [&] { probe.reset(); }; // as the scanner does with a failed ping
    probe->PingRequest(QStringLiteral("127.0.0.9"), 100, 3);

    QTRY_COMPARE_WITH_TIMEOUT(seen.pings.size(), 1, 10000);
    QVERIFY(!probe);
    QCOMPARE(seen.pings[0].ip, QStringLiteral("127.0.0.9"));
    QVERIFY2(seen.pings[0].time < 0, qPrintable(QString::number(seen.pings[0].time)));
    // Four runs of PingAddr (the first and three retries), three echoes each.
    QCOMPARE(m_net->echoRequestCount(QStringLiteral("127.0.0.9")), 12);
}

void ProbeServerTest::answerRepeatsUntilHTTPRequest()
{
    std::unique_ptr<clsMain> probe = clsMain::create(m_connection);
    QVERIFY(probe);
    Recorder seen;
    seen.attach(probe.get());
    probe->PingRequest(QStringLiteral("127.0.0.1"), 1000, 0);

    QTRY_VERIFY_WITH_TIMEOUT(seen.pings.size() >= 6, 5000);
    for (const PingSeen &p : std::as_const(seen.pings)) {
        QCOMPARE(p.ip, QStringLiteral("127.0.0.1"));
        QVERIFY(p.time >= 0);
    }
    const qint64 span = seen.pings.last().at - seen.pings.first().at;
    const double interval = double(span) / double(seen.pings.size() - 1);
    qInfo("PingResponse repeats every %.1f ms on average", interval);
    QVERIFY2(interval > 70 && interval < 200, qPrintable(QString::number(interval)));

    // Port 80 of 127.0.0.1 is closed: the fetch fails at once with empty text.
    probe->HTTPRequest(QStringLiteral("127.0.0.1"), 80, QStringLiteral("id.htm"), 1000, 0);
    const qsizetype pingsAtRequest = seen.pings.size();
    QTRY_VERIFY_WITH_TIMEOUT(seen.pages.size() >= 2, 5000);
    // At most one raise was already on its way when the call went out.
    QVERIFY(seen.pings.size() <= pingsAtRequest + 1);
    QCOMPARE(seen.pages.first().host, QStringLiteral("127.0.0.1"));
    QCOMPARE(seen.pages.first().raw, QString());
}

void ProbeServerTest::requestInsideHandlerStopsRepeats()
{
    std::unique_ptr<clsMain> probe = clsMain::create(m_connection);
    QVERIFY(probe);
    Recorder seen;
    seen.attach(probe.get());
    seen.onPing = [&] {
        if (seen.pings.size() != 2)
            return;
        // A slow handler that yields: three notify ticks pass meanwhile.
        stall(350);
        probe->HTTPRequest(QStringLiteral("127.0.0.1"), 80, QStringLiteral("id.htm"), 1000, 0);
    };
    probe->PingRequest(QStringLiteral("127.0.0.1"), 1000, 0);

    QTRY_VERIFY_WITH_TIMEOUT(seen.pages.size() >= 3, 5000);
    QCOMPARE(seen.pings.size(), 2);
}

void ProbeServerTest::otherEventsArriveInsideAHandler()
{
    // The scanner yields inside its handlers; events of other objects must be
    // delivered at those yields, not held until the handler returns.
    std::unique_ptr<clsMain> slow = clsMain::create(m_connection);
    std::unique_ptr<clsMain> other = clsMain::create(m_connection);
    QVERIFY(slow && other);
    Recorder slowSeen;
    Recorder otherSeen;
    slowSeen.attach(slow.get());
    otherSeen.attach(other.get());
    qsizetype otherDuringStall = -1;
    slowSeen.onPing = [&] {
        const qsizetype before = otherSeen.pings.size();
        stall(500);
        otherDuringStall = otherSeen.pings.size() - before;
        slow.reset();
    };
    other->PingRequest(QStringLiteral("127.0.0.1"), 1000, 0);
    QTRY_VERIFY_WITH_TIMEOUT(!otherSeen.pings.isEmpty(), 5000);
    slow->PingRequest(QStringLiteral("127.0.0.1"), 1000, 0);
    QTRY_VERIFY_WITH_TIMEOUT(!slow, 5000);
    qInfo("%lld events of another object arrived during a 500 ms handler", qint64(otherDuringStall));
    QVERIFY(otherDuringStall >= 3);
    QCOMPARE(slowSeen.pings.size(), 1);
}

void ProbeServerTest::pageReachesClientVerbatim_data()
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

void ProbeServerTest::pageReachesClientVerbatim()
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
    Recorder seen;
    seen.attach(probe.get());
    seen.onPage = [&] { probe.reset(); };
    probe->HTTPRequest(address, 80, QStringLiteral("id.htm"), 3000, 0);

    QTRY_COMPARE_WITH_TIMEOUT(seen.pages.size(), 1, 10000);
    QCOMPARE(seen.pages[0].host, address);
    QCOMPARE(seen.pages[0].raw.size(), QString::fromUtf8(body).size());
    QVERIFY(seen.pages[0].raw == QString::fromUtf8(body));
    QCOMPARE(m_net->requestPaths(address), QList<QByteArray>{"/id.htm"});
}

void ProbeServerTest::releaseMidFetchEndsItSilently()
{
    constexpr int kTimeOut = 1500;
    const QString device = QStringLiteral("127.0.0.21"); // accepts and never answers
    const int before = m_net->requestCount(device);
    RawServer server;
    QVERIFY(server.start());
    const int idleTasks = countEntries(server.pid(), "task");
    server.send(create(1));
    Message call;
    call.type = Type::Call;
    call.objectId = 1;
    call.number = Pelorin::DispId::HTTPRequest;
    call.args = {device, qint32(80), QStringLiteral("id.htm"), qint32(kTimeOut), quint8(0)};
    server.send(call);
    QTRY_COMPARE(m_net->requestCount(device), before + 1);

    QElapsedTimer sinceRelease;
    sinceRelease.start();
    Message release;
    release.type = Type::Release;
    release.objectId = 1;
    server.send(release);
    // The fetch's wait ends at once, not at its time-out, and its thread with it.
    QTRY_VERIFY_WITH_TIMEOUT(countEntries(server.pid(), "task") <= idleTasks, kTimeOut);
    qInfo("object thread ended %lld ms after the release", qint64(sinceRelease.elapsed()));
    QVERIFY(sinceRelease.elapsed() < kTimeOut / 2);

    // Nothing of the object comes out, not even when its time-out would have passed.
    QVERIFY(!server.next(kTimeOut + 300));
}

void ProbeServerTest::idleWhileFiftyFetchesWait()
{
    const QString device = QStringLiteral("127.0.0.30");
    QVERIFY(m_net->addDevice(device, noAnswer()));
    const qint64 pid = m_connection.serverPid();
    const int idleTasks = countEntries(pid, "task");

    std::vector<std::unique_ptr<clsMain>> probes;
    int events = 0;
    for (int k = 0; k < 50; ++k) {
        probes.push_back(clsMain::create(m_connection));
        QVERIFY(probes.back());
        connect(probes.back().get(), &clsMain::HTTPReqResponse, [&events](QString &, QString &) { ++events; });
        probes.back()->HTTPRequest(device, 80, QStringLiteral("id.htm"), 30000, 0);
    }
    QTRY_COMPARE_WITH_TIMEOUT(m_net->requestCount(device), 50, 10000);

    const qint64 ticksBefore = cpuTicks(pid);
    QElapsedTimer window;
    window.start();
    QTest::qWait(2000); // the measuring window itself
    const qint64 ticks = cpuTicks(pid) - ticksBefore;
    const double seconds = double(window.elapsed()) / 1000.0;
    const double percent = 100.0 * double(ticks) / double(::sysconf(_SC_CLK_TCK)) / seconds;
    qInfo("pelorin CPU while 50 fetches wait: %.2f%% of one core over %.2f s", percent, seconds);
    QVERIFY2(percent < 5.0, qPrintable(QString::number(percent)));
    QCOMPARE(events, 0);

    probes.clear();
    QTRY_COMPARE_WITH_TIMEOUT(countEntries(pid, "task"), idleTasks, 5000);
    QCOMPARE(events, 0);
}

QTEST_GUILESS_MAIN(ProbeServerTest)
#include "probe_server_test.moc"
