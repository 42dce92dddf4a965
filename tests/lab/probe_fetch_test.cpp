// The probe object's page fetches from lab devices: one fresh connection and
// one GET per try, retries while the text is empty, the time-out, the path and
// host asked for, the charset, the size cap and transfers cut off; handlers
// that write through or fail; a fetch asked for again or the object released
// while it waits. Every fetch ends in time, only a complete body becomes text
// and the object stays usable. Inside run-in-netns.sh only; every address is 127.0.0.x.
#include "HttpClient.h"
#include "Harness.h"
#include "clsMain.h"

#include <QtTest>

#include <stdexcept>

using Pelorin::clsMain;
using Recorder = EventRecorder<clsMain>;
using B = Lab::Behaviour;

namespace {

const QString kGoodDevice = QStringLiteral("127.0.0.2");

// One fetch of file from host, served by device at host's address; requests
// (GETs the device got) and syns: -1 when not counted.
struct Fetch {
    QString host;
    B device;
    int timeOut;
    int retries;
    QString text;
    int requests = -1;
    int syns = -1;
    QString file = QStringLiteral("id.htm");
};

} // namespace

Q_DECLARE_METATYPE(Fetch)

class ProbeFetchTest : public QObject
{
    Q_OBJECT

    void fetchGoodPage(clsMain &object, Recorder &events, int timeOut = 2000)
    {
        object.HTTPRequest(kGoodDevice, 80, QStringLiteral("id.htm"), timeOut, 0);
        QTRY_VERIFY_WITH_TIMEOUT(!events.pages.isEmpty() && events.pages.last().text == QLatin1String("still fine"), 5000);
        QCOMPARE(events.pages.last().host, kGoodDevice);
    }

private slots:
    void initTestCase()
    {
        LAB_REQUIRE_ISOLATED();
        QVERIFY(m_lab.addDevice(kGoodDevice, {B::Page, "still fine"}));
    }

    void fetch_data()
    {
        QTest::addColumn<Fetch>("fetch");
        auto row = [](const char *name, const Fetch &f) { QTest::newRow(name) << f; };
        const qint64 cap = Pelorin::HttpClient::kMaxBodyBytes;

        row("empty file, charset of the response", {"127.0.0.11", B{B::Page, "caf\xe9", "text/plain; charset=ISO-8859-1"},
                                                    2000, 0, QString::fromUtf8("caf\xc3\xa9"), 1, 1, ""});
        row("empty body kept open: retried, each on a new connection", {"127.0.0.12", B{B::Page, {}, "text/html", 200, true},
                                                                        2000, 2, "", 3, 3});
        row("trickle past the time-out: retried, none of it text", {"127.0.0.13", B{B::Trickle, QByteArray(200, 't')},
                                                                     300, 1, "", 2, 2});
        row("reset inside the declared length: cut off", {"127.0.0.14", B{B::ResetAfterHeaders, "partial"}, 400, 1, "", 2});
        // The client stops reading at the cap and hangs up; what came is the page.
        row("body beyond the cap", {"127.0.0.15", B{B::Page, QByteArray(cap + 1024 * 1024, 'a')}, 3000, 0,
                                    QString(cap, QLatin1Char('a')), 1});
        row("redirect to itself, not followed", {"127.0.0.16", B{B::Raw, "HTTP/1.1 302 Found\r\nLocation: "
            "http://127.0.0.16/id.htm\r\nContent-Length: 5\r\n\r\nmoved"}, 400, 1, "moved", 1});
        row("negative time-out: no wait", {"127.0.0.17", B{B::NoAnswer}, -1, 0, ""});
        row("host text that would add a user part", {"user@127.0.0.18", B{B::Page, "wrong device"}, 100, 0, "", 0});
    }

    void fetch()
    {
        QFETCH(Fetch, fetch);
        const QString address = fetch.host.section(QLatin1Char('@'), -1);
        QVERIFY(m_lab.addDevice(address, fetch.device));
        if (fetch.syns >= 0)
            QVERIFY(m_lab.watchSyns(address));

        clsMain object;
        Recorder events(&object);
        object.HTTPRequest(fetch.host, 80, fetch.file, fetch.timeOut, quint8(fetch.retries));
        // The answer repeats 100 ms after the first: anything a try sent late
        // (a second GET, a resent SYN) has had time to show.
        QTRY_VERIFY_WITH_TIMEOUT(events.pages.size() >= 2, 20000);
        // Every try waits its time-out, then 10 ms to the next; plus slack.
        const qint64 bound = (1 + fetch.retries) * qMax(0, fetch.timeOut + 10) + 2000;
        QVERIFY2(events.pages.first().at <= bound, qPrintable(QString::number(events.pages.first().at)));
        QCOMPARE(events.pages.first().host, fetch.host);
        QVERIFY2(events.pages.first().text == fetch.text, qPrintable(events.pages.first().text.left(80)));
        if (fetch.requests >= 0)
            QCOMPARE(m_lab.requestCount(address), fetch.requests);
        if (fetch.syns >= 0)
            QCOMPARE(m_lab.synCount(address), fetch.syns);
        for (const QByteArray &path : m_lab.requestPaths(address))
            QCOMPARE(path, "/" + fetch.file.toLatin1());

        // The same object still fetches a well-behaved page, and no connection of the fetch is left open.
        fetchGoodPage(object, events);
        QTRY_COMPARE_WITH_TIMEOUT(m_lab.openConnections(address), 0, 10000);
    }

    // What a handler writes into the text is what the next answer carries; a
    // handler that throws leaves the object answering.
    void handlerWritesThroughAndMayFail()
    {
        clsMain object;
        Recorder events(&object);
        events.onPage = [&](QString &sRawData) {
            if (events.pages.size() > 1)
                throw std::runtime_error("client handler failed");
            sRawData = QStringLiteral("changed by the client");
        };
        object.HTTPRequest(kGoodDevice, 80, QStringLiteral("id.htm"), 2000, 0);
        QTRY_VERIFY_WITH_TIMEOUT(events.pages.size() >= 3, 5000);
        QCOMPARE(events.pages.at(0).text, QStringLiteral("still fine"));
        QCOMPARE(events.pages.at(2).text, QStringLiteral("changed by the client"));
        events.onPage = nullptr;
        fetchGoodPage(object, events);
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

    // A device trickles its page for minutes. A fetch asked for during the wait
    // for it runs inside that wait, which ends with it; a released object ends
    // its wait at once and leaves no connection open. A fetch that did not
    // complete keeps the earlier page as its text, and is not retried.
    void interrupted()
    {
        QFETCH(QString, address);
        QFETCH(bool, release);
        QFETCH(int, timeOut);
        QVERIFY(m_lab.addDevice(address, {B::Trickle, QByteArray(10000, 't')}));
        auto object = std::make_unique<clsMain>();
        Recorder events(object.get());
        fetchGoodPage(*object, events);
        events.pages.clear();
        object->HTTPRequest(address, 80, QStringLiteral("id.htm"), timeOut, 2);

        // From a timer: during a long wait the test's own polling runs nested inside it.
        QElapsedTimer since;
        Watcher interrupt([&] {
            if (m_lab.requestCount(address) == 0 || (timeOut < 1000 && events.pages.isEmpty()))
                return false;
            since.start();
            if (release)
                object->Shutdown();
            else
                object->HTTPRequest(kGoodDevice, 80, QStringLiteral("id.htm"), timeOut, 0);
            return true;
        });
        QTRY_VERIFY_WITH_TIMEOUT(interrupt.done() && (release || events.pages.size() >= 2), 10000);
        QVERIFY2(since.elapsed() < 1500, qPrintable(QString::number(since.elapsed())));
        for (const Recorder::Seen &a : std::as_const(events.pages))
            QCOMPARE(a.text, QStringLiteral("still fine"));
        QCOMPARE(m_lab.requestCount(address), 1);
        object.reset();
        QTRY_COMPARE_WITH_TIMEOUT(m_lab.openConnections(address), 0, 5000);
    }

private:
    Lab::LabNetwork m_lab;
};

QTEST_GUILESS_MAIN(ProbeFetchTest)
#include "probe_fetch_test.moc"
