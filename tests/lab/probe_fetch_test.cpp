// The probe object's fetches from lab devices: what goes on the wire per try
// (one fresh connection, one GET), retries of empty text, time-outs, the path
// asked for, handlers that write through or fail, a fetch asked for while
// another waits; and devices that misbehave on purpose (endless or trickling
// bodies, bytes that are no text, broken framing, redirect loops, resets).
// Every fetch must end in time, report only a complete body as text and leave
// the object usable, with the process's memory bounded. Runs only inside the
// private network namespace of run-in-netns.sh; every address is 127.0.0.x.
#include "HttpClient.h"
#include "Harness.h"
#include "clsMain.h"

#include <QElapsedTimer>
#include <QTimer>
#include <QtTest>

#include <stdexcept>

using Pelorin::clsMain;
using Recorder = EventRecorder<clsMain>;
using B = Lab::Behaviour;

namespace {

const QString kGoodDevice = QStringLiteral("127.0.0.2");

// The latest possible first answer: every attempt waits its time-out, retries
// start 10 ms apart, the answer comes 100 ms after the last; plus slack.
qint64 answerBound(int timeOut, int retries)
{
    return qint64(1 + retries) * (timeOut + 10) + 100 + 1500;
}

} // namespace

Q_DECLARE_METATYPE(Lab::Behaviour)

class ProbeFetchTest : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase()
    {
        LAB_REQUIRE_ISOLATED();
        m_lab = std::make_unique<Lab::LabNetwork>();
        Lab::Behaviour good;
        good.body = "still fine";
        QVERIFY(m_lab->addDevice(kGoodDevice, good));
    }

    void cleanupTestCase()
    {
        m_lab.reset();
    }

    void fetch_data()
    {
        QTest::addColumn<QString>("address");
        QTest::addColumn<bool>("hasDevice");
        QTest::addColumn<Lab::Behaviour>("behaviour");
        QTest::addColumn<QString>("file");
        QTest::addColumn<int>("timeOut");
        QTest::addColumn<int>("retries");
        QTest::addColumn<QString>("text");
        QTest::addColumn<int>("requests"); // -1: not counted
        QTest::addColumn<int>("syns");     // SYNs sent to the device; -1: not counted
        QTest::addColumn<bool>("dropFirstSyn");

        Lab::Behaviour keptOpen = Harness::device(B::EmptyBody);
        keptOpen.keepAlive = true;
        Lab::Behaviour http10 = Harness::device(B::Raw);
        http10.rawResponse = "HTTP/1.0 200 OK\r\nContent-Type: text/html\r\n\r\nold device";

        QTest::newRow("charset of the response")
            << "127.0.0.111" << true << Harness::device(B::Page, "caf\xe9", "text/plain; charset=ISO-8859-1") << "id.htm"
            << 2000 << 0 << QString::fromUtf8("caf\xc3\xa9") << 1 << 1 << false;
        QTest::newRow("empty body, retried, each on its own connection")
            << "127.0.0.113" << true << keptOpen << "id.htm" << 2000 << 2 << "" << 3 << 3 << false;
        QTest::newRow("no answer: a new connection per try")
            << "127.0.0.115" << true << Harness::device(B::NoAnswer) << "id.htm" << 200 << 1 << "" << 2 << 2 << false;
        QTest::newRow("closed port: one SYN per try")
            << "127.0.0.116" << false << B() << "id.htm" << 2000 << 3 << "" << -1 << 4 << false;
        QTest::newRow("first SYN lost: described by the next try")
            << "127.0.0.118" << true << Harness::device(B::Page, "lossy link") << "id.htm" << 400 << 3 << "lossy link" << 1 << 2
            << true;
        QTest::newRow("HTTP/1.0 device: one GET")
            << "127.0.0.119" << true << http10 << "id.htm" << 2000 << 3 << "old device" << 1 << 1 << false;
        QTest::newRow("empty file")
            << "127.0.0.117" << true << Harness::device(B::Page, "root") << "" << 2000 << 0 << "root" << 1 << -1 << false;
        QTest::newRow("negative time-out: no wait")
            << "127.0.0.121" << true << Harness::device(B::NoAnswer) << "id.htm" << -1 << 0 << "" << -1 << -1 << false;
        QTest::newRow("host text that would add a user part")
            << "127.0.0.122" << false << B() << "id.htm" << 100 << 0 << "" << -1 << -1 << false;
    }

    void fetch()
    {
        QFETCH(QString, address);
        QFETCH(bool, hasDevice);
        QFETCH(Lab::Behaviour, behaviour);
        QFETCH(QString, file);
        QFETCH(int, timeOut);
        QFETCH(int, retries);
        QFETCH(QString, text);
        QFETCH(int, requests);
        QFETCH(int, syns);
        QFETCH(bool, dropFirstSyn);

        if (hasDevice)
            QVERIFY(m_lab->addDevice(address, behaviour));
        if (syns >= 0)
            QVERIFY(m_lab->watchSyns(address, dropFirstSyn));
        QString host = address;
        if (QByteArray(QTest::currentDataTag()).startsWith("host text")) {
            QVERIFY(m_lab->addDevice(QStringLiteral("127.0.0.123"), Harness::device(B::Page, "wrong device")));
            host = QStringLiteral("user@127.0.0.123");
        }

        clsMain object;
        Recorder events(&object);
        object.HTTPRequest(host, 80, file, timeOut, quint8(retries));
        // The second answer comes 100 ms after the first: anything a try sent
        // late (a second GET, a resent SYN) has had time to show.
        QTRY_VERIFY_WITH_TIMEOUT(events.pages.size() >= 2, 15000);

        QCOMPARE(events.pages.first().host, host);
        QCOMPARE(events.pages.first().text, text);
        if (requests >= 0)
            QCOMPARE(m_lab->requestCount(address), requests);
        if (syns >= 0)
            QCOMPARE(m_lab->synCount(address), syns);
        if (hasDevice && requests > 0)
            QCOMPARE(m_lab->requestPaths(address).first(), "/" + file.toLatin1());
        if (timeOut < 0)
            QVERIFY2(events.pages.first().at < 1000, qPrintable(QString::number(events.pages.first().at)));
        else if (hasDevice && behaviour.kind != B::NoAnswer) // no connection is kept once a fetch has ended
            QTRY_COMPARE_WITH_TIMEOUT(m_lab->openConnections(address), 0, 5000);
        if (host != address)
            QCOMPARE(m_lab->requestCount(QStringLiteral("127.0.0.123")), 0);
    }

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

        // Still usable after its handlers failed.
        events.onPage = nullptr;
        object.PingRequest(QStringLiteral("127.0.0.1"), 1000, 0);
        QTRY_VERIFY_WITH_TIMEOUT(!events.pings.isEmpty(), 5000);
        QVERIFY(events.pings.first().time >= 0);
    }

    void nestedFetchDuringWait()
    {
        const QString outer = QStringLiteral("127.0.0.134");
        const QString inner = QStringLiteral("127.0.0.135");
        QVERIFY(m_lab->addDevice(outer, Harness::device(B::NoAnswer)));
        QVERIFY(m_lab->addDevice(inner, Harness::device(B::Page, "inner page")));

        clsMain object;
        Recorder events(&object);
        object.HTTPRequest(outer, 80, QStringLiteral("outer.htm"), 4000, 0);
        // Arrives while the outer fetch waits, and runs inside that wait.
        QTimer::singleShot(300, this, [&] { object.HTTPRequest(inner, 80, QStringLiteral("inner.htm"), 4000, 0); });

        QTRY_VERIFY_WITH_TIMEOUT(events.pages.size() >= 2, 10000);
        // The outer wait ended with the nested fetch, far before its own time-out.
        QVERIFY2(events.pages.first().at < 2000, qPrintable(QString::number(events.pages.first().at)));
        for (const Recorder::Seen &a : std::as_const(events.pages)) {
            QCOMPARE(a.host, inner);
            QCOMPARE(a.text, QStringLiteral("inner page"));
        }
        QCOMPARE(m_lab->requestCount(outer), 1);
        QCOMPARE(m_lab->requestCount(inner), 1);
    }

    void hostileFetch_data()
    {
        QTest::addColumn<QString>("address");
        QTest::addColumn<Lab::Behaviour>("behaviour");
        QTest::addColumn<int>("timeOut");
        QTest::addColumn<int>("retries");
        QTest::addColumn<QString>("text"); // of the first answer; empty: no page, so every try was made

        const qint64 cap = Pelorin::HttpClient::kMaxBodyBytes;
        const QString capText = QString::fromLatin1(Lab::LabNetwork::fillerLine().repeated(int(cap / 64)));
        Lab::Behaviour hugeChunk = Harness::device(B::BadChunked);
        hugeChunk.badChunkSize = "7fffffffffffffff";

        // The client stops reading at the cap and hangs up; the first 4 MiB are the page.
        QTest::newRow("100 MB body") << "127.0.0.30" << Harness::device(B::HugeBody) << 3000 << 0 << capText;
        // Never complete by the deadline: what came so far is not text.
        QTest::newRow("trickle past the time-out")
            << "127.0.0.10" << Harness::device(B::Trickle, QByteArray(200, 't')) << 300 << 1 << QString();
        QTest::newRow("garbage with NULs")
            << "127.0.0.11" << Harness::device(B::Garbage) << 400 << 0 << QString::fromUtf8(Lab::LabNetwork::garbage());
        // Broken chunk framing or a close inside a chunk: the transfer is cut off.
        QTest::newRow("chunk size not hex") << "127.0.0.16" << Harness::device(B::BadChunked) << 400 << 1 << QString();
        QTest::newRow("chunk size huge") << "127.0.0.19" << hugeChunk << 400 << 1 << QString();
        // Not followed: the redirect's own body is the text.
        QTest::newRow("redirect to itself")
            << "127.0.0.20" << Harness::device(B::RedirectLoop, "moved to myself") << 400 << 1 << "moved to myself";
        QTest::newRow("reset after the headers")
            << "127.0.0.22" << Harness::device(B::ResetAfterHeaders, "partial page") << 400 << 1 << QString();
    }

    void hostileFetch()
    {
        QFETCH(QString, address);
        QFETCH(Lab::Behaviour, behaviour);
        QFETCH(int, timeOut);
        QFETCH(int, retries);
        QFETCH(QString, text);
        QVERIFY(m_lab->addDevice(address, behaviour));

        clsMain object;
        Recorder events(&object);
        object.HTTPRequest(address, 80, QStringLiteral("id.htm"), timeOut, quint8(retries));
        const qint64 bound = answerBound(timeOut, retries);
        QTRY_VERIFY_WITH_TIMEOUT(!events.pages.isEmpty(), int(bound));
        QVERIFY2(events.pages.first().at <= bound, qPrintable(QString::number(events.pages.first().at)));

        const Recorder::Seen first = events.pages.first();
        QCOMPARE(first.host, address);
        QVERIFY2(first.text == text, qPrintable(QStringLiteral("got %1 chars: %2").arg(first.text.size()).arg(first.text.left(80))));

        // One GET per try, no redirect followed, no resend; every connection closed.
        QCOMPARE(m_lab->requestCount(address), text.isEmpty() ? 1 + retries : 1);
        for (const QByteArray &path : m_lab->requestPaths(address))
            QCOMPARE(path, QByteArray("/id.htm"));
        QTRY_COMPARE_WITH_TIMEOUT(m_lab->openConnections(address), 0, 10000);
        QVERIFY2(m_lab->bytesSent(address) < 40 * 1024 * 1024, qPrintable(QString::number(m_lab->bytesSent(address))));
        QVERIFY2(Harness::peakMemoryKiB() < 200 * 1024, qPrintable(QString::number(Harness::peakMemoryKiB())));

        // The same object still fetches a well-behaved page afterwards.
        object.HTTPRequest(kGoodDevice, 80, QStringLiteral("id.htm"), 2000, 0);
        QTRY_VERIFY_WITH_TIMEOUT(events.pages.last().text == QStringLiteral("still fine"), 5000);
        QCOMPARE(events.pages.last().host, kGoodDevice);
    }

    void releaseDropsHostileConnections_data()
    {
        QTest::addColumn<QString>("address");
        QTest::addColumn<Lab::Behaviour>("behaviour");
        QTest::addColumn<int>("timeOut");

        QTest::newRow("trickle, released while its answer repeats")
            << "127.0.0.50" << Harness::device(Lab::Behaviour::Trickle, QByteArray(10000, 't')) << 200;
        QTest::newRow("100 MB, released in the wait")
            << "127.0.0.52" << Harness::device(Lab::Behaviour::HugeBody) << 60000;
    }

    // A released probe object leaves no connection open to a device that would
    // otherwise keep it busy for minutes. Its earlier page stays its text when
    // a body is not complete by the deadline, and is not retried.
    void releaseDropsHostileConnections()
    {
        QFETCH(QString, address);
        QFETCH(Lab::Behaviour, behaviour);
        QFETCH(int, timeOut);
        QVERIFY(m_lab->addDevice(address, behaviour));

        auto object = std::make_unique<clsMain>();
        Recorder events(object.get());
        object->HTTPRequest(kGoodDevice, 80, QStringLiteral("id.htm"), 2000, 0);
        QTRY_VERIFY_WITH_TIMEOUT(!events.pages.isEmpty(), 5000);
        events.pages.clear();
        object->HTTPRequest(address, 80, QStringLiteral("id.htm"), timeOut, 2);

        // Released from a timer: during a long wait the test's own polling runs
        // nested inside that wait. The object itself goes once the wait has unwound.
        bool released = false;
        qint64 releasedAt = 0;
        QElapsedTimer clock;
        clock.start();
        QTimer poll;
        connect(&poll, &QTimer::timeout, this, [&] {
            const bool answered = !events.pages.isEmpty();
            if (m_lab->bytesSent(address) > 0 && (timeOut >= 1000 || answered)) {
                poll.stop();
                object->Shutdown();
                released = true;
                releasedAt = clock.elapsed();
            }
        });
        poll.start(5);
        QTRY_VERIFY_WITH_TIMEOUT(released, 5000);
        QVERIFY2(clock.elapsed() - releasedAt < 1000, qPrintable(QString::number(clock.elapsed() - releasedAt)));
        const qsizetype answers = events.pages.size();
        QCOMPARE(answers > 0, timeOut < 1000);
        for (const Recorder::Seen &a : std::as_const(events.pages))
            QCOMPARE(a.text, QStringLiteral("still fine"));
        QCOMPARE(m_lab->requestCount(address), 1);
        object.reset();
        QTRY_COMPARE_WITH_TIMEOUT(m_lab->openConnections(address), 0, 5000);
        QTest::qWait(250);
        QCOMPARE(events.pages.size(), answers);
    }

private:
    std::unique_ptr<Lab::LabNetwork> m_lab;
};

QTEST_GUILESS_MAIN(ProbeFetchTest)
#include "probe_fetch_test.moc"
