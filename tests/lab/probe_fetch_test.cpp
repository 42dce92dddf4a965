// The probe object's fetches from lab devices: decoding, retries of empty text,
// time-outs, the path asked for, handlers that write through or fail, a fetch
// asked for while another waits; and devices that misbehave on purpose (endless
// or trickling bodies, bytes that are no text, broken framing, redirect loops,
// resets). Every fetch must end in time, report only a complete body as text
// and leave the object usable, with the process's memory bounded. Runs only
// inside the private network namespace of run-in-netns.sh; every address is 127.0.0.x.
#include "HttpClient.h"
#include "Harness.h"
#include "clsMain.h"

#include <QElapsedTimer>
#include <QStringDecoder>
#include <QTimer>
#include <QtTest>

#include <stdexcept>

using Pelorin::clsMain;
using Recorder = EventRecorder<clsMain>;
using B = Lab::Behaviour;

namespace {

const QString kGoodDevice = QStringLiteral("127.0.0.2");

Lab::Behaviour badChunked(const QByteArray &sizeLine)
{
    Lab::Behaviour b = Harness::device(Lab::Behaviour::BadChunked);
    b.badChunkSize = sizeLine;
    return b;
}

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

        QTest::newRow("charset of the response")
            << "127.0.0.111" << true << Harness::device(B::Page, "caf\xe9", "text/plain; charset=ISO-8859-1") << "id.htm"
            << 2000 << 0 << QString::fromUtf8("caf\xc3\xa9") << 1;
        QTest::newRow("empty body, retried")
            << "127.0.0.113" << true << Harness::device(B::EmptyBody) << "id.htm" << 2000 << 2 << "" << 3;
        QTest::newRow("no answer within the time-out")
            << "127.0.0.115" << true << Harness::device(B::NoAnswer) << "id.htm" << 200 << 1 << "" << 2;
        QTest::newRow("connection refused") << "127.0.0.116" << false << B() << "id.htm" << 2000 << 1 << "" << -1;
        QTest::newRow("empty file") << "127.0.0.117" << true << Harness::device(B::Page, "root") << "" << 2000 << 0 << "root" << 1;
        QTest::newRow("negative time-out: no wait")
            << "127.0.0.121" << true << Harness::device(B::NoAnswer) << "id.htm" << -1 << 0 << "" << -1;
        QTest::newRow("host text that would add a user part")
            << "127.0.0.122" << false << B() << "id.htm" << 100 << 0 << "" << -1;
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

        if (hasDevice)
            QVERIFY(m_lab->addDevice(address, behaviour));
        QString host = address;
        if (QByteArray(QTest::currentDataTag()).startsWith("host text")) {
            QVERIFY(m_lab->addDevice(QStringLiteral("127.0.0.123"), Harness::device(B::Page, "wrong device")));
            host = QStringLiteral("user@127.0.0.123");
        }

        clsMain object;
        Recorder events(&object);
        object.HTTPRequest(host, 80, file, timeOut, quint8(retries));
        QTRY_VERIFY_WITH_TIMEOUT(!events.pages.isEmpty(), 15000);

        QCOMPARE(events.pages.first().host, host);
        QCOMPARE(events.pages.first().text.size(), text.size());
        QCOMPARE(events.pages.first().text, text);
        if (requests >= 0)
            QCOMPARE(m_lab->requestCount(address), requests);
        if (hasDevice && requests > 0)
            QCOMPARE(m_lab->requestPaths(address).first(), "/" + file.toLatin1());
        if (timeOut < 0)
            QVERIFY2(events.pages.first().at < 1000, qPrintable(QString::number(events.pages.first().at)));
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
        QTest::addColumn<QString>("whole");        // the text of the complete body
        QTest::addColumn<bool>("partialAllowed");  // a leading part of whole will do
        QTest::addColumn<bool>("emptyAllowed");
        QTest::addColumn<QStringList>("mustContain");
        // The connection ends before the response is complete: the transport may
        // send the GET again on its own, up to twice per attempt.
        QTest::addColumn<bool>("mayResend");

        const QByteArray trickled(200, 't');
        const QString garbageAsUtf8 = QString::fromUtf8(Lab::LabNetwork::garbage());
        const QString garbageAsUtf16 = QStringDecoder(QStringDecoder::Utf16).decode(Lab::LabNetwork::garbage());
        const QString replacement(QChar::ReplacementCharacter);

        // Never complete by the deadline: what came so far is not text.
        QTest::newRow("trickle past the time-out")
            << "127.0.0.10" << Harness::device(Lab::Behaviour::Trickle, trickled) << 300 << 1 << QString() << false << true
            << QStringList() << false;
        QTest::newRow("garbage with NULs")
            << "127.0.0.11" << Harness::device(Lab::Behaviour::Garbage) << 400 << 0 << garbageAsUtf8 << false << false
            << QStringList{QString(QChar(0))} << false;
        QTest::newRow("garbage, unknown charset")
            << "127.0.0.12" << Harness::device(Lab::Behaviour::Garbage, {}, "text/html; charset=no-such-charset") << 400 << 0
            << garbageAsUtf8 << false << false << QStringList() << false;
        QTest::newRow("garbage declared UTF-16")
            << "127.0.0.13" << Harness::device(Lab::Behaviour::Garbage, {}, "text/html; charset=utf-16") << 400 << 0
            << garbageAsUtf16 << false << false << QStringList() << false;
        QTest::newRow("invalid UTF-8")
            << "127.0.0.14" << Harness::device(Lab::Behaviour::InvalidUtf8) << 400 << 0
            << QString::fromUtf8(Lab::LabNetwork::invalidUtf8()) << false << false
            << QStringList{QStringLiteral("valid start|"), replacement, QStringLiteral("|middle|")} << false;

        // Broken chunk framing: an unreadable size line ends the body.
        QTest::newRow("chunk size not hex")
            << "127.0.0.16" << badChunked("zz") << 400 << 1 << "hello" << true << true << QStringList() << false;
        QTest::newRow("chunk size beyond 64 bits")
            << "127.0.0.18" << badChunked("fffffffffffffffffffff") << 400 << 1 << "hello" << true << true << QStringList() << false;
        // Taken as a chunk that never ends. The transport does not always flag
        // a close inside a chunk, so the bytes received may come as the text.
        QTest::newRow("chunk size huge")
            << "127.0.0.19" << badChunked("7fffffffffffffff") << 400 << 1
            << "helloworld, after the bad size\r\n0\r\n\r\n" << true << true << QStringList() << true;

        // Not followed: one request per attempt, the redirect's own body as text.
        QTest::newRow("redirect to itself")
            << "127.0.0.20" << Harness::device(Lab::Behaviour::RedirectLoop, "moved to myself") << 400 << 1
            << "moved to myself" << false << false << QStringList() << false;

        // A page cut off by a reset is no page: never reported as if complete.
        QTest::newRow("reset after the headers")
            << "127.0.0.22" << Harness::device(Lab::Behaviour::ResetAfterHeaders, "partial page") << 400 << 1
            << QString() << false << true << QStringList() << true;

        QTest::newRow("closes without answering")
            << "127.0.0.25" << Harness::device(Lab::Behaviour::Raw) << 400 << 1 << QString() << false << true << QStringList() << true;

        QTest::newRow("script in an identification page")
            << "127.0.0.24" << Harness::device(Lab::Behaviour::ScriptIdPage) << 400 << 0
            << QString::fromUtf8(Lab::LabNetwork::idPage(Lab::LabNetwork::scriptDescription())) << false << false
            << QStringList{QStringLiteral("<script>")} << false;
    }

    void hostileFetch()
    {
        QFETCH(QString, address);
        QFETCH(Lab::Behaviour, behaviour);
        QFETCH(int, timeOut);
        QFETCH(int, retries);
        QFETCH(QString, whole);
        QFETCH(bool, partialAllowed);
        QFETCH(bool, emptyAllowed);
        QFETCH(QStringList, mustContain);
        QFETCH(bool, mayResend);
        QVERIFY(m_lab->addDevice(address, behaviour));

        clsMain object;
        Recorder events(&object);
        object.HTTPRequest(address, 80, QStringLiteral("id.htm"), timeOut, quint8(retries));
        const qint64 bound = answerBound(timeOut, retries);
        QTRY_VERIFY_WITH_TIMEOUT(!events.pages.isEmpty(), int(bound));
        QVERIFY2(events.pages.first().at <= bound, qPrintable(QString::number(events.pages.first().at)));

        const Recorder::Seen first = events.pages.first();
        QCOMPARE(first.host, address);
        const QString &text = first.text;
        const bool acceptable = text == whole || (emptyAllowed && text.isEmpty())
            || (partialAllowed && !text.isEmpty() && whole.startsWith(text));
        QVERIFY2(acceptable, qPrintable(QStringLiteral("got %1 chars: %2").arg(text.size()).arg(text.left(80))));
        for (const QString &part : std::as_const(mustContain))
            QVERIFY2(text.contains(part), qPrintable(part));

        // Empty text is retried, any text ends the fetch; no redirect is followed.
        const int attempts = text.isEmpty() ? 1 + retries : 1;
        const int requests = m_lab->requestCount(address);
        if (mayResend)
            QVERIFY2(requests >= attempts && requests <= 3 * attempts, qPrintable(QString::number(requests)));
        else
            QCOMPARE(requests, attempts);
        for (const QByteArray &path : m_lab->requestPaths(address))
            QCOMPARE(path, QByteArray("/id.htm"));

        // The same object still fetches a well-behaved page afterwards.
        object.HTTPRequest(kGoodDevice, 80, QStringLiteral("id.htm"), 2000, 0);
        QTRY_VERIFY_WITH_TIMEOUT(events.pages.last().text == QStringLiteral("still fine"), 5000);
        QCOMPARE(events.pages.last().host, kGoodDevice);
    }

    void hugeBodyStaysBounded_data()
    {
        QTest::addColumn<QString>("address");
        QTest::addColumn<int>("timeOut");
        QTest::addColumn<int>("retries");
        QTest::addColumn<bool>("emptyAllowed");

        // Loopback delivers the first 4 MiB far within 800 ms.
        QTest::newRow("cut at 4 MiB within the time-out") << "127.0.0.30" << 800 << 0 << false;
        QTest::newRow("deadline may come first") << "127.0.0.31" << 5 << 1 << true;
    }

    void hugeBodyStaysBounded()
    {
        QFETCH(QString, address);
        QFETCH(int, timeOut);
        QFETCH(int, retries);
        QFETCH(bool, emptyAllowed);
        QVERIFY(m_lab->addDevice(address, Harness::device(Lab::Behaviour::HugeBody)));

        const qint64 cap = Pelorin::HttpClient::kMaxBodyBytes;
        const QString capText = QString::fromLatin1(Lab::LabNetwork::fillerLine().repeated(int(cap / 64)));
        {
            clsMain object;
            Recorder events(&object);
            object.HTTPRequest(address, 80, QStringLiteral("id.htm"), timeOut, quint8(retries));
            const qint64 bound = answerBound(timeOut, retries);
            QTRY_VERIFY_WITH_TIMEOUT(!events.pages.isEmpty(), int(bound));
            QVERIFY2(events.pages.first().at <= bound, qPrintable(QString::number(events.pages.first().at)));

            // Either the whole first 4 MiB or nothing: never a part as if complete.
            const QString &text = events.pages.first().text;
            QVERIFY2(text.size() == capText.size() || (emptyAllowed && text.isEmpty()),
                     qPrintable(QString::number(text.size())));
            if (!text.isEmpty())
                QVERIFY(text == capText);

            // The client stops reading at the cap and hangs up, even while its answer
            // repeats; the device never gets near the 100 MB.
            QTRY_COMPARE_WITH_TIMEOUT(m_lab->openConnections(address), 0, 10000);
            QVERIFY2(m_lab->bytesSent(address) < 40 * 1024 * 1024, qPrintable(QString::number(m_lab->bytesSent(address))));
        }
        const qint64 peak = Harness::peakMemoryKiB();
        QVERIFY(peak > 0);
        QVERIFY2(peak < 200 * 1024, qPrintable(QStringLiteral("VmHWM %1 kB").arg(peak)));
    }

    void trickleKeepsEarlierText()
    {
        const QString address = QStringLiteral("127.0.0.40");
        QVERIFY(m_lab->addDevice(address, Harness::device(Lab::Behaviour::Trickle, QByteArray(100, 'p'))));

        clsMain object;
        Recorder events(&object);
        object.HTTPRequest(kGoodDevice, 80, QStringLiteral("id.htm"), 2000, 0);
        QTRY_VERIFY_WITH_TIMEOUT(!events.pages.isEmpty(), 5000);
        QCOMPARE(events.pages.first().text, QStringLiteral("still fine"));

        // Bytes have come by the deadline, but the body is not complete: the
        // earlier text stays, so the fetch counts as done and is not retried.
        object.HTTPRequest(address, 80, QStringLiteral("id.htm"), 400, 2);
        QTRY_VERIFY_WITH_TIMEOUT(m_lab->requestCount(address) == 1 && events.pages.size() >= 8, 5000);
        QVERIFY(m_lab->bytesSent(address) > 0);
        for (const Recorder::Seen &a : std::as_const(events.pages))
            QCOMPARE(a.text, QStringLiteral("still fine"));
        QCOMPARE(m_lab->requestCount(address), 1);
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
    // otherwise keep it busy for minutes.
    void releaseDropsHostileConnections()
    {
        QFETCH(QString, address);
        QFETCH(Lab::Behaviour, behaviour);
        QFETCH(int, timeOut);
        QVERIFY(m_lab->addDevice(address, behaviour));

        auto object = std::make_unique<clsMain>();
        Recorder events(object.get());
        object->HTTPRequest(address, 80, QStringLiteral("id.htm"), timeOut, 0);

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
        if (timeOut >= 1000)
            QCOMPARE(answers, 0);
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
