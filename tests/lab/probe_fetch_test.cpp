// The probe object's fetches from lab devices: one fresh connection and one
// GET per try, retries of empty text, time-outs, the path asked for; devices
// that misbehave on purpose; handlers that write through or fail, a fetch
// asked for while another waits, and release during a fetch. Every fetch must
// end in time, report only a complete body as text and leave the object
// usable. Inside run-in-netns.sh only; every address is 127.0.0.x.
#include "HttpClient.h"
#include "Harness.h"
#include "clsMain.h"

#include <QTimer>
#include <QtTest>

#include <optional>
#include <stdexcept>

using Pelorin::clsMain;
using Recorder = EventRecorder<clsMain>;
using B = Lab::Behaviour;

namespace {

const QString kGoodDevice = QStringLiteral("127.0.0.2");

QByteArray raw(const QByteArray &head, const QByteArray &body)
{
    return "HTTP/1.1 " + head + "\r\nContent-Type: text/html\r\n\r\n" + body;
}

// One fetch from one lab address; requests and syns are -1 when not counted.
struct Fetch {
    QString address;
    std::optional<Lab::Behaviour> device; // none: nothing listens there
    int timeOut = 400;
    int retries = 1;
    QString text;
    int requests = -1; // GETs the device received
    int syns = -1;     // SYNs sent to the address
    QString file = QStringLiteral("id.htm");
    bool dropFirstSyn = false;
};

} // namespace

Q_DECLARE_METATYPE(Fetch)

class ProbeFetchTest : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase()
    {
        LAB_REQUIRE_ISOLATED();
        m_lab = std::make_unique<Lab::LabNetwork>();
        QVERIFY(m_lab->addDevice(kGoodDevice, Harness::device(B::Page, "still fine")));
    }

    void cleanupTestCase() { m_lab.reset(); }

    void fetch_data()
    {
        QTest::addColumn<Fetch>("fetch");
        auto row = [](const char *name, const Fetch &f) { QTest::newRow(name) << f; };
        auto page = [](const QByteArray &body) { return Harness::device(B::Page, body); };
        Lab::Behaviour keptOpen = page({});
        keptOpen.keepAlive = true;
        const qint64 cap = Pelorin::HttpClient::kMaxBodyBytes;
        const QByteArray garbage = Lab::LabNetwork::garbage();

        Fetch f{"127.0.0.111", Harness::device(B::Page, "caf\xe9", "text/plain; charset=ISO-8859-1"), 2000, 0,
                QString::fromUtf8("caf\xc3\xa9"), 1, 1, QString()};
        row("empty file, charset of the response", f);
        row("empty body, retried, each on its own connection", {"127.0.0.113", keptOpen, 2000, 2, "", 3, 3});
        row("no answer: a new connection per try", {"127.0.0.115", Harness::device(B::NoAnswer), 200, 1, "", 2, 2});
        row("closed port: one SYN per try", {"127.0.0.116", std::nullopt, 2000, 3, "", -1, 4});
        f = {"127.0.0.118", page("lossy link"), 400, 3, "lossy link", 1, 2};
        f.dropFirstSyn = true;
        row("first SYN lost: described by the next try", f);
        row("HTTP/1.0 device: one GET", {"127.0.0.119",
            Harness::device(B::Raw, "HTTP/1.0 200 OK\r\nContent-Type: text/html\r\n\r\nold device"), 2000, 3, "old device", 1});
        row("negative time-out: no wait", {"127.0.0.121", Harness::device(B::NoAnswer), -1, 0, ""});
        row("host text that would add a user part", {"127.0.0.122", std::nullopt, 100, 0, ""});
        // The client stops reading at the cap and hangs up; what came is the page.
        row("body beyond the cap", {"127.0.0.30", page(QByteArray(cap + 1024 * 1024, 'a')), 3000, 0,
                                    QString(cap, QLatin1Char('a')), 1});
        // Never complete by the deadline: what came so far is not text.
        row("trickle past the time-out", {"127.0.0.10", Harness::device(B::Trickle, QByteArray(200, 't')), 300, 1, "", 2});
        row("garbage with NULs", {"127.0.0.11", page(garbage), 400, 0, QString::fromUtf8(garbage), 1});
        // Broken chunk framing or a reset inside the declared length: the transfer is cut off.
        row("chunk size not hex", {"127.0.0.16", Harness::device(B::Raw,
            raw("200 OK\r\nTransfer-Encoding: chunked", "5\r\nhello\r\nzz\r\nworld\r\n0\r\n\r\n")), 400, 1, "", 2});
        row("reset after the headers", {"127.0.0.22", Harness::device(B::ResetAfterHeaders, "partial"), 400, 1, "", 2});
        // Not followed: the redirect's own body is the text.
        row("redirect to itself", {"127.0.0.20", Harness::device(B::Raw,
            raw("302 Found\r\nLocation: http://127.0.0.20/id.htm\r\nContent-Length: 15", "moved to myself")), 400, 1,
            "moved to myself", 1});
    }

    void fetch()
    {
        QFETCH(Fetch, fetch);
        const QString &address = fetch.address;
        if (fetch.device)
            QVERIFY(m_lab->addDevice(address, *fetch.device));
        if (fetch.syns >= 0)
            QVERIFY(m_lab->watchSyns(address, fetch.dropFirstSyn));
        QString host = address;
        if (QByteArray(QTest::currentDataTag()).startsWith("host text")) {
            QVERIFY(m_lab->addDevice(QStringLiteral("127.0.0.123"), Harness::device(B::Page, "wrong device")));
            host = QStringLiteral("user@127.0.0.123");
        }

        clsMain object;
        Recorder events(&object);
        object.HTTPRequest(host, 80, fetch.file, fetch.timeOut, quint8(fetch.retries));
        // The second answer comes 100 ms after the first: anything a try sent
        // late (a second GET, a resent SYN) has had time to show.
        QTRY_VERIFY_WITH_TIMEOUT(events.pages.size() >= 2, 20000);
        // The latest first answer: every try waits its time-out, retries start
        // 10 ms apart, the answer comes 100 ms after the last; plus slack.
        const qint64 bound = fetch.timeOut < 0 ? 1000 : qint64(1 + fetch.retries) * (fetch.timeOut + 10) + 100 + 3000;
        QVERIFY2(events.pages.first().at <= bound, qPrintable(QString::number(events.pages.first().at)));

        const Recorder::Seen first = events.pages.first();
        QCOMPARE(first.host, host);
        QVERIFY2(first.text == fetch.text,
                 qPrintable(QStringLiteral("got %1 chars: %2").arg(first.text.size()).arg(first.text.left(80))));
        if (fetch.requests >= 0)
            QCOMPARE(m_lab->requestCount(address), fetch.requests);
        if (fetch.syns >= 0)
            QCOMPARE(m_lab->synCount(address), fetch.syns);
        for (const QByteArray &path : m_lab->requestPaths(address))
            QCOMPARE(path, "/" + fetch.file.toLatin1());
        if (host != address)
            QCOMPARE(m_lab->requestCount(QStringLiteral("127.0.0.123")), 0);
        if (fetch.device && fetch.timeOut >= 0 && fetch.device->kind != B::NoAnswer) // no connection is kept once a fetch has ended
            QTRY_COMPARE_WITH_TIMEOUT(m_lab->openConnections(address), 0, 10000);
        QVERIFY2(Harness::peakMemoryKiB() < 200 * 1024, qPrintable(QString::number(Harness::peakMemoryKiB())));

        // The same object still fetches a well-behaved page afterwards.
        object.HTTPRequest(kGoodDevice, 80, QStringLiteral("id.htm"), 2000, 0);
        QTRY_VERIFY_WITH_TIMEOUT(events.pages.last().text == QStringLiteral("still fine"), 5000);
        QCOMPARE(events.pages.last().host, kGoodDevice);
    }

    // What a client handler writes into the text is what the next answer
    // carries; a handler that throws leaves the object usable.
    void clientHandlerWritesThroughAndMayFail()
    {
        const QString address = QStringLiteral("127.0.0.132");
        QVERIFY(m_lab->addDevice(address, Harness::device(B::Page, "stored")));
        clsMain object;
        Recorder events(&object);
        events.onPage = [&](QString &, QString &sRawData) {
            if (events.pages.size() == 1)
                sRawData = QStringLiteral("changed by the client");
            else
                throw std::runtime_error("client handler failed");
        };
        object.HTTPRequest(address, 80, QStringLiteral("id.htm"), 2000, 0);
        QTRY_VERIFY_WITH_TIMEOUT(events.pages.size() >= 3, 5000);
        QCOMPARE(events.pages.at(0).text, QStringLiteral("stored"));
        QCOMPARE(events.pages.at(2).text, QStringLiteral("changed by the client"));

        events.onPage = nullptr;
        object.PingRequest(QStringLiteral("127.0.0.1"), 1000, 0);
        QTRY_VERIFY_WITH_TIMEOUT(!events.pings.isEmpty(), 5000);
        QVERIFY(events.pings.first().time >= 0);
    }

    // A fetch asked for while another waits runs inside that wait, and the
    // outer wait ends with it, far before its own time-out.
    void nestedFetchDuringWait()
    {
        const QString outer = QStringLiteral("127.0.0.134");
        const QString inner = QStringLiteral("127.0.0.135");
        QVERIFY(m_lab->addDevice(outer, Harness::device(B::NoAnswer)));
        QVERIFY(m_lab->addDevice(inner, Harness::device(B::Page, "inner page")));

        clsMain object;
        Recorder events(&object);
        object.HTTPRequest(outer, 80, QStringLiteral("outer.htm"), 4000, 0);
        QTimer::singleShot(300, this, [&] { object.HTTPRequest(inner, 80, QStringLiteral("inner.htm"), 4000, 0); });

        QTRY_VERIFY_WITH_TIMEOUT(events.pages.size() >= 2, 10000);
        QVERIFY2(events.pages.first().at < 2500, qPrintable(QString::number(events.pages.first().at)));
        for (const Recorder::Seen &a : std::as_const(events.pages)) {
            QCOMPARE(a.host, inner);
            QCOMPARE(a.text, QStringLiteral("inner page"));
        }
        QCOMPARE(m_lab->requestCount(outer), 1);
        QCOMPARE(m_lab->requestCount(inner), 1);
    }

    void releaseDropsHostileConnections_data()
    {
        QTest::addColumn<QString>("address");
        QTest::addColumn<int>("timeOut");
        QTest::newRow("released while its answer repeats") << "127.0.0.50" << 200;
        QTest::newRow("released in the wait") << "127.0.0.52" << 60000;
    }

    // A released probe object leaves no connection open to a device that would
    // otherwise keep it busy for minutes. Its earlier page stays its text when
    // a body is not complete by the deadline, and is not retried.
    void releaseDropsHostileConnections()
    {
        QFETCH(QString, address);
        QFETCH(int, timeOut);
        QVERIFY(m_lab->addDevice(address, Harness::device(B::Trickle, QByteArray(10000, 't'))));

        auto object = std::make_unique<clsMain>();
        Recorder events(object.get());
        object->HTTPRequest(kGoodDevice, 80, QStringLiteral("id.htm"), 2000, 0);
        QTRY_VERIFY_WITH_TIMEOUT(!events.pages.isEmpty(), 5000);
        events.pages.clear();
        object->HTTPRequest(address, 80, QStringLiteral("id.htm"), timeOut, 2);

        // Released from a timer: during a long wait the test's own polling runs
        // nested inside that wait. The object itself goes once the wait has unwound.
        bool released = false;
        QElapsedTimer sinceRelease;
        QTimer poll;
        connect(&poll, &QTimer::timeout, this, [&] {
            if (m_lab->requestCount(address) > 0 && (timeOut >= 1000 || !events.pages.isEmpty())) {
                poll.stop();
                object->Shutdown();
                released = true;
                sinceRelease.start();
            }
        });
        poll.start(5);
        QTRY_VERIFY_WITH_TIMEOUT(released, 5000);
        QVERIFY2(sinceRelease.elapsed() < 1000, qPrintable(QString::number(sinceRelease.elapsed())));
        for (const Recorder::Seen &a : std::as_const(events.pages))
            QCOMPARE(a.text, QStringLiteral("still fine"));
        QCOMPARE(m_lab->requestCount(address), 1);
        object.reset();
        QTRY_COMPARE_WITH_TIMEOUT(m_lab->openConnections(address), 0, 5000);
    }

private:
    std::unique_ptr<Lab::LabNetwork> m_lab;
};

QTEST_GUILESS_MAIN(ProbeFetchTest)
#include "probe_fetch_test.moc"
