// The probe object against devices that misbehave on purpose: endless or
// trickling bodies, bytes that are no text, broken framing, redirect loops and
// resets. Every fetch must end in time, report only a complete body as text and
// leave the object usable, with the process's memory bounded. Runs only inside
// the private network namespace of run-in-netns.sh; every address is 127.0.0.x.
#include "HttpClient.h"
#include "LabNetwork.h"
#include "clsMain.h"

#include <QElapsedTimer>
#include <QFile>
#include <QRegularExpression>
#include <QStringDecoder>
#include <QTimer>
#include <QtTest>

#include <memory>

using Pelorin::clsMain;

namespace {

const QString kGoodDevice = QStringLiteral("127.0.0.2");

struct Answer {
    QString host;
    QString text;
    qint64 at = 0;
};

class Recorder : public QObject
{
public:
    explicit Recorder(clsMain &object)
    {
        clock.start();
        connect(&object, &clsMain::HTTPReqResponse, this, [this](QString &sHost, QString &sRawData) {
            fetches.append({sHost, sRawData, clock.elapsed()});
        });
    }
    QElapsedTimer clock;
    QList<Answer> fetches;
};

Lab::Behaviour ofKind(Lab::Behaviour::Kind kind, const QByteArray &body = {},
                      const QByteArray &contentType = "text/html")
{
    Lab::Behaviour b;
    b.kind = kind;
    b.body = body;
    b.contentType = contentType;
    return b;
}

Lab::Behaviour badChunked(const QByteArray &sizeLine)
{
    Lab::Behaviour b = ofKind(Lab::Behaviour::BadChunked);
    b.badChunkSize = sizeLine;
    return b;
}

// Peak resident memory of this process so far, in KiB.
qint64 peakMemoryKiB()
{
    QFile status(QStringLiteral("/proc/self/status"));
    if (!status.open(QIODevice::ReadOnly))
        return -1;
    const QRegularExpressionMatch m =
        QRegularExpression(QStringLiteral("VmHWM:\\s*(\\d+) kB")).match(QString::fromLatin1(status.readAll()));
    return m.hasMatch() ? m.captured(1).toLongLong() : -1;
}

// The latest possible first answer: every attempt waits its time-out, retries
// start 10 ms apart, the answer comes 100 ms after the last; plus slack.
qint64 answerBound(int timeOut, int retries)
{
    return qint64(1 + retries) * (timeOut + 10) + 100 + 1500;
}

} // namespace

Q_DECLARE_METATYPE(Lab::Behaviour)

class ProbeHostileTest : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanupTestCase();

    void hostileFetch_data();
    void hostileFetch();
    void hugeBodyStaysBounded_data();
    void hugeBodyStaysBounded();
    void trickleKeepsEarlierText();
    void releaseDropsHostileConnections_data();
    void releaseDropsHostileConnections();

private:
    std::unique_ptr<Lab::LabNetwork> m_lab;
};

void ProbeHostileTest::initTestCase()
{
    LAB_REQUIRE_ISOLATED();
    m_lab = std::make_unique<Lab::LabNetwork>();
    Lab::Behaviour good;
    good.body = "still fine";
    QVERIFY(m_lab->addDevice(kGoodDevice, good));
}

void ProbeHostileTest::cleanupTestCase()
{
    m_lab.reset();
}

void ProbeHostileTest::hostileFetch_data()
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
        << "127.0.0.10" << ofKind(Lab::Behaviour::Trickle, trickled) << 300 << 1 << QString() << false << true
        << QStringList() << false;
    QTest::newRow("garbage with NULs")
        << "127.0.0.11" << ofKind(Lab::Behaviour::Garbage) << 400 << 0 << garbageAsUtf8 << false << false
        << QStringList{QString(QChar(0))} << false;
    QTest::newRow("garbage, unknown charset")
        << "127.0.0.12" << ofKind(Lab::Behaviour::Garbage, {}, "text/html; charset=no-such-charset") << 400 << 0
        << garbageAsUtf8 << false << false << QStringList() << false;
    QTest::newRow("garbage declared UTF-16")
        << "127.0.0.13" << ofKind(Lab::Behaviour::Garbage, {}, "text/html; charset=utf-16") << 400 << 0
        << garbageAsUtf16 << false << false << QStringList() << false;
    QTest::newRow("invalid UTF-8")
        << "127.0.0.14" << ofKind(Lab::Behaviour::InvalidUtf8) << 400 << 0
        << QString::fromUtf8(Lab::LabNetwork::invalidUtf8()) << false << false
        << QStringList{QStringLiteral("valid start|"), replacement, QStringLiteral("|middle|")} << false;
    QTest::newRow("invalid UTF-8 declared UTF-8")
        << "127.0.0.15" << ofKind(Lab::Behaviour::InvalidUtf8, {}, "text/html; charset=UTF-8") << 400 << 0
        << QString::fromUtf8(Lab::LabNetwork::invalidUtf8()) << true << false
        << QStringList{QStringLiteral("|middle|"), replacement} << false;

    // Broken chunk framing: an unreadable size line ends the body.
    QTest::newRow("chunk size not hex")
        << "127.0.0.16" << badChunked("zz") << 400 << 1 << "hello" << true << true << QStringList() << false;
    QTest::newRow("chunk size negative")
        << "127.0.0.17" << badChunked("-5") << 400 << 1 << "hello" << true << true << QStringList() << false;
    QTest::newRow("chunk size beyond 64 bits")
        << "127.0.0.18" << badChunked("fffffffffffffffffffff") << 400 << 1 << "hello" << true << true << QStringList() << false;
    // Taken as a chunk that never ends: the connection closes inside it, so
    // the transfer broke off and brought no page.
    QTest::newRow("chunk size huge")
        << "127.0.0.19" << badChunked("7fffffffffffffff") << 400 << 1
        << QString() << false << true << QStringList() << true;

    // Not followed: one request per attempt, the redirect's own body as text.
    QTest::newRow("redirect to itself")
        << "127.0.0.20" << ofKind(Lab::Behaviour::RedirectLoop, "moved to myself") << 400 << 1
        << "moved to myself" << false << false << QStringList() << false;
    QTest::newRow("redirect to itself, empty body")
        << "127.0.0.21" << ofKind(Lab::Behaviour::RedirectLoop) << 400 << 1 << QString() << false << true
        << QStringList() << false;

    // A page cut off by a reset is no page: never reported as if complete.
    QTest::newRow("reset after the headers")
        << "127.0.0.22" << ofKind(Lab::Behaviour::ResetAfterHeaders, "partial page") << 400 << 1
        << QString() << false << true << QStringList() << true;
    QTest::newRow("reset after the headers, no body")
        << "127.0.0.23" << ofKind(Lab::Behaviour::ResetAfterHeaders) << 400 << 1 << QString() << false << true
        << QStringList() << true;

    QTest::newRow("closes without answering")
        << "127.0.0.25" << ofKind(Lab::Behaviour::Raw) << 400 << 1 << QString() << false << true << QStringList() << true;

    QTest::newRow("script in an identification page")
        << "127.0.0.24" << ofKind(Lab::Behaviour::ScriptIdPage) << 400 << 0
        << QString::fromUtf8(Lab::LabNetwork::idPage(Lab::LabNetwork::scriptDescription())) << false << false
        << QStringList{QStringLiteral("<script>")} << false;
}

void ProbeHostileTest::hostileFetch()
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
    Recorder events(object);
    object.HTTPRequest(address, 80, QStringLiteral("id.htm"), timeOut, quint8(retries));
    const qint64 bound = answerBound(timeOut, retries);
    QTRY_VERIFY_WITH_TIMEOUT(!events.fetches.isEmpty(), int(bound));
    QVERIFY2(events.fetches.first().at <= bound, qPrintable(QString::number(events.fetches.first().at)));

    const Answer first = events.fetches.first();
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
    QTRY_VERIFY_WITH_TIMEOUT(events.fetches.last().text == QStringLiteral("still fine"), 5000);
    QCOMPARE(events.fetches.last().host, kGoodDevice);
}

void ProbeHostileTest::hugeBodyStaysBounded_data()
{
    QTest::addColumn<QString>("address");
    QTest::addColumn<int>("timeOut");
    QTest::addColumn<int>("retries");
    QTest::addColumn<bool>("emptyAllowed");

    // Loopback delivers the first 4 MiB far within 800 ms.
    QTest::newRow("cut at 4 MiB within the time-out") << "127.0.0.30" << 800 << 0 << false;
    QTest::newRow("deadline may come first") << "127.0.0.31" << 5 << 1 << true;
}

void ProbeHostileTest::hugeBodyStaysBounded()
{
    QFETCH(QString, address);
    QFETCH(int, timeOut);
    QFETCH(int, retries);
    QFETCH(bool, emptyAllowed);
    QVERIFY(m_lab->addDevice(address, ofKind(Lab::Behaviour::HugeBody)));

    const qint64 cap = Pelorin::HttpClient::kMaxBodyBytes;
    const QString capText = QString::fromLatin1(Lab::LabNetwork::fillerLine().repeated(int(cap / 64)));
    {
        clsMain object;
        Recorder events(object);
        object.HTTPRequest(address, 80, QStringLiteral("id.htm"), timeOut, quint8(retries));
        const qint64 bound = answerBound(timeOut, retries);
        QTRY_VERIFY_WITH_TIMEOUT(!events.fetches.isEmpty(), int(bound));
        QVERIFY2(events.fetches.first().at <= bound, qPrintable(QString::number(events.fetches.first().at)));

        // Either the whole first 4 MiB or nothing: never a part as if complete.
        const QString &text = events.fetches.first().text;
        QVERIFY2(text.size() == capText.size() || (emptyAllowed && text.isEmpty()),
                 qPrintable(QString::number(text.size())));
        if (!text.isEmpty())
            QVERIFY(text == capText);

        // The client stops reading at the cap and hangs up, even while its answer
        // repeats; the device never gets near the 100 MB.
        QTRY_COMPARE_WITH_TIMEOUT(m_lab->openConnections(address), 0, 10000);
        QVERIFY2(m_lab->bytesSent(address) < 40 * 1024 * 1024, qPrintable(QString::number(m_lab->bytesSent(address))));
    }
    const qint64 peak = peakMemoryKiB();
    QVERIFY(peak > 0);
    QVERIFY2(peak < 200 * 1024, qPrintable(QStringLiteral("VmHWM %1 kB").arg(peak)));
}

void ProbeHostileTest::trickleKeepsEarlierText()
{
    const QString address = QStringLiteral("127.0.0.40");
    QVERIFY(m_lab->addDevice(address, ofKind(Lab::Behaviour::Trickle, QByteArray(100, 'p'))));

    clsMain object;
    Recorder events(object);
    object.HTTPRequest(kGoodDevice, 80, QStringLiteral("id.htm"), 2000, 0);
    QTRY_VERIFY_WITH_TIMEOUT(!events.fetches.isEmpty(), 5000);
    QCOMPARE(events.fetches.first().text, QStringLiteral("still fine"));

    // Bytes have come by the deadline, but the body is not complete: the
    // earlier text stays, so the fetch counts as done and is not retried.
    object.HTTPRequest(address, 80, QStringLiteral("id.htm"), 400, 2);
    QTRY_VERIFY_WITH_TIMEOUT(m_lab->requestCount(address) == 1 && events.fetches.size() >= 8, 5000);
    QVERIFY(m_lab->bytesSent(address) > 0);
    for (const Answer &a : std::as_const(events.fetches))
        QCOMPARE(a.text, QStringLiteral("still fine"));
    QCOMPARE(m_lab->requestCount(address), 1);
}

void ProbeHostileTest::releaseDropsHostileConnections_data()
{
    QTest::addColumn<QString>("address");
    QTest::addColumn<Lab::Behaviour>("behaviour");
    QTest::addColumn<int>("timeOut");

    QTest::newRow("trickle, released while its answer repeats")
        << "127.0.0.50" << ofKind(Lab::Behaviour::Trickle, QByteArray(10000, 't')) << 200;
    QTest::newRow("trickle, released in the wait")
        << "127.0.0.51" << ofKind(Lab::Behaviour::Trickle, QByteArray(10000, 't')) << 60000;
    QTest::newRow("100 MB, released in the wait")
        << "127.0.0.52" << ofKind(Lab::Behaviour::HugeBody) << 60000;
}

// A released probe object leaves no connection open to a device that would
// otherwise keep it busy for minutes.
void ProbeHostileTest::releaseDropsHostileConnections()
{
    QFETCH(QString, address);
    QFETCH(Lab::Behaviour, behaviour);
    QFETCH(int, timeOut);
    QVERIFY(m_lab->addDevice(address, behaviour));

    auto object = std::make_unique<clsMain>();
    Recorder events(*object);
    object->HTTPRequest(address, 80, QStringLiteral("id.htm"), timeOut, 0);

    // Released from a timer: during a long wait the test's own polling runs
    // nested inside that wait. The object itself goes once the wait has unwound.
    bool released = false;
    qint64 releasedAt = 0;
    QElapsedTimer clock;
    clock.start();
    QTimer poll;
    connect(&poll, &QTimer::timeout, this, [&] {
        const bool answered = !events.fetches.isEmpty();
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
    const qsizetype answers = events.fetches.size();
    if (timeOut >= 1000)
        QCOMPARE(answers, 0);
    object.reset();
    QTRY_COMPARE_WITH_TIMEOUT(m_lab->openConnections(address), 0, 5000);
    QTest::qWait(250);
    QCOMPARE(events.fetches.size(), answers);
}

QTEST_GUILESS_MAIN(ProbeHostileTest)
#include "probe_hostile_test.moc"
