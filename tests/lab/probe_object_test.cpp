// The probe object against the lab network: pings of silent and answering
// loopback hosts, and fetches from lab devices. Runs only inside the private
// network namespace of run-in-netns.sh; every address is 127.0.0.x.
#include "LabNetwork.h"
#include "clsMain.h"

#include <QElapsedTimer>
#include <QTimer>
#include <QtTest>

#include <memory>
#include <stdexcept>

using Pelorin::clsMain;

namespace {

struct Answer {
    QString host;
    QString text; // the ping time for a ping
    qint64 at = 0;
};

// Records the events of one probe object, with the time each came.
class Recorder : public QObject
{
public:
    explicit Recorder(clsMain &object)
    {
        clock.start();
        connect(&object, &clsMain::PingResponse, this, [this](QString &sIP, qint16 &iPingTime) {
            pings.append({sIP, QString::number(iPingTime), clock.elapsed()});
            if (onPing)
                onPing(sIP, iPingTime);
        });
        connect(&object, &clsMain::HTTPReqResponse, this, [this](QString &sHost, QString &sRawData) {
            fetches.append({sHost, sRawData, clock.elapsed()});
            if (onFetch)
                onFetch(sHost, sRawData);
        });
    }

    QElapsedTimer clock;
    QList<Answer> pings;
    QList<Answer> fetches;
    std::function<void(QString &, qint16 &)> onPing;
    std::function<void(QString &, QString &)> onFetch;
};

Lab::Behaviour page(const QByteArray &body, const QByteArray &contentType = "text/html")
{
    Lab::Behaviour b;
    b.kind = Lab::Behaviour::Page;
    b.body = body;
    b.contentType = contentType;
    return b;
}

Lab::Behaviour ofKind(Lab::Behaviour::Kind kind, const QByteArray &bodyOrRaw = {}, int status = 200)
{
    Lab::Behaviour b;
    b.kind = kind;
    b.body = bodyOrRaw;
    b.rawResponse = bodyOrRaw;
    b.status = status;
    return b;
}

QByteArray rawResponse(const QByteArray &head, const QByteArray &body)
{
    return head + "Content-Length: " + QByteArray::number(body.size()) + "\r\nConnection: close\r\n\r\n" + body;
}

} // namespace

Q_DECLARE_METATYPE(Lab::Behaviour)

class ProbeObjectTest : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanupTestCase();

    void silentHostIsPingedOncePerRetry_data();
    void silentHostIsPingedOncePerRetry();
    void answerRepeatsUntilTheOtherRequest();
    void fetch_data();
    void fetch();
    void timedOutFetchKeepsEarlierText();
    void clientHandlerWritesThroughAndMayFail();
    void nestedFetchDuringWait();
    void shutdownMidFetchRaisesNothing();
    void shutdownFromHandlerRaisesNothing();

private:
    std::unique_ptr<Lab::LabNetwork> m_lab;
};

void ProbeObjectTest::initTestCase()
{
    LAB_REQUIRE_ISOLATED();
    m_lab = std::make_unique<Lab::LabNetwork>();
}

void ProbeObjectTest::cleanupTestCase()
{
    m_lab.reset();
}

void ProbeObjectTest::silentHostIsPingedOncePerRetry_data()
{
    QTest::addColumn<QString>("address");
    QTest::addColumn<int>("retries");
    QTest::newRow("no retries") << QStringLiteral("127.0.0.2") << 0;
    QTest::newRow("three retries") << QStringLiteral("127.0.0.3") << 3;
}

void ProbeObjectTest::silentHostIsPingedOncePerRetry()
{
    QFETCH(QString, address);
    QFETCH(int, retries);
    QVERIFY(m_lab->addSilentHost(address));

    clsMain object;
    Recorder events(object);
    object.PingRequest(address, 40, quint8(retries));
    QTRY_VERIFY_WITH_TIMEOUT(!events.pings.isEmpty(), 10000);

    QCOMPARE(events.pings.first().host, address);
    QVERIFY2(events.pings.first().text.toInt() < 0, qPrintable(events.pings.first().text));
    // Each PingAddr run sends three echo requests.
    QCOMPARE(m_lab->echoRequestCount(address), 3 * (1 + retries));

    // The answer repeats; the ping is not run again.
    QTRY_VERIFY(events.pings.size() >= 3);
    QCOMPARE(events.pings.last().text, events.pings.first().text);
    QCOMPARE(m_lab->echoRequestCount(address), 3 * (1 + retries));
    QVERIFY(events.fetches.isEmpty());
}

void ProbeObjectTest::answerRepeatsUntilTheOtherRequest()
{
    const QString host = QStringLiteral("127.0.0.1");
    QVERIFY(m_lab->addDevice(host, page(Lab::LabNetwork::idPage(QStringLiteral("Hub 8")))));

    clsMain object;
    Recorder events(object);
    // As the scanner does: the fetch is asked for from inside the third PingResponse.
    events.onPing = [&](QString &sIP, qint16 &) {
        if (events.pings.size() == 3)
            object.HTTPRequest(sIP, 80, QStringLiteral("id.htm"), 2000, 0);
    };
    object.PingRequest(QStringLiteral("localhost"), 1000, 0);

    QTRY_VERIFY_WITH_TIMEOUT(!events.fetches.isEmpty(), 5000);
    QCOMPARE(events.pings.size(), 3);
    for (int i = 0; i < events.pings.size(); ++i) {
        QCOMPARE(events.pings.at(i).host, host); // the resolved address, not the name
        const int ms = events.pings.at(i).text.toInt();
        QVERIFY2(ms >= 0 && ms < 100, qPrintable(events.pings.at(i).text));
        if (i > 0)
            QVERIFY(events.pings.at(i).at - events.pings.at(i - 1).at >= 90);
    }
    QCOMPARE(events.fetches.first().host, host);
    QCOMPARE(events.fetches.first().text, QString::fromUtf8(Lab::LabNetwork::idPage(QStringLiteral("Hub 8"))));
    QCOMPARE(m_lab->requestPaths(host), QList<QByteArray>{"/id.htm"});

    // HTTPReqResponse now repeats in turn, and no PingResponse follows.
    QTRY_VERIFY(events.fetches.size() >= 3);
    QCOMPARE(events.pings.size(), 3);
    QCOMPARE(m_lab->requestCount(host), 1);
}

void ProbeObjectTest::fetch_data()
{
    QTest::addColumn<QString>("address");
    QTest::addColumn<bool>("hasDevice");
    QTest::addColumn<Lab::Behaviour>("behaviour");
    QTest::addColumn<QString>("file");
    QTest::addColumn<int>("timeOut");
    QTest::addColumn<int>("retries");
    QTest::addColumn<QString>("text");
    QTest::addColumn<int>("requests"); // -1: not counted

    const QByteArray bigBody(5 * 1024 * 1024, 'x');

    QTest::newRow("page verbatim")
        << "127.0.0.10" << true << page("<html><body>Quorvane \xc3\xa9t\xc3\xa9\r\n</body></html>", "text/html; charset=utf-8")
        << "id.htm" << 2000 << 0 << QString::fromUtf8("<html><body>Quorvane \xc3\xa9t\xc3\xa9\r\n</body></html>") << 1;
    QTest::newRow("charset of the response")
        << "127.0.0.11" << true << page("caf\xe9", "text/plain; charset=ISO-8859-1")
        << "id.htm" << 2000 << 0 << QString::fromUtf8("caf\xc3\xa9") << 1;
    QTest::newRow("error status with body")
        << "127.0.0.12" << true << ofKind(Lab::Behaviour::ErrorStatus, "<h1>404 Not Found</h1>", 404)
        << "missing.htm" << 2000 << 0 << "<h1>404 Not Found</h1>" << 1;
    QTest::newRow("empty body, retried")
        << "127.0.0.13" << true << ofKind(Lab::Behaviour::EmptyBody) << "id.htm" << 2000 << 2 << "" << 3;
    QTest::newRow("empty body, no retries")
        << "127.0.0.14" << true << ofKind(Lab::Behaviour::EmptyBody) << "id.htm" << 2000 << 0 << "" << 1;
    QTest::newRow("no answer within the time-out")
        << "127.0.0.15" << true << ofKind(Lab::Behaviour::NoAnswer) << "id.htm" << 200 << 1 << "" << 2;
    QTest::newRow("connection refused")
        << "127.0.0.16" << false << Lab::Behaviour() << "id.htm" << 2000 << 1 << "" << -1;
    QTest::newRow("empty file")
        << "127.0.0.17" << true << page("root") << "" << 2000 << 0 << "root" << 1;
    QTest::newRow("redirect not followed")
        << "127.0.0.18" << true
        << ofKind(Lab::Behaviour::Raw, rawResponse("HTTP/1.1 302 Found\r\nLocation: http://127.0.0.19/id.htm\r\n", "moved"))
        << "id.htm" << 2000 << 0 << "moved" << 1;
    QTest::newRow("body cut at 4 MiB")
        << "127.0.0.20" << true << ofKind(Lab::Behaviour::Raw, rawResponse("HTTP/1.1 200 OK\r\n", bigBody))
        << "id.htm" << 5000 << 0 << QString(4 * 1024 * 1024, QLatin1Char('x')) << 1;
    QTest::newRow("negative time-out: no wait")
        << "127.0.0.21" << true << ofKind(Lab::Behaviour::NoAnswer) << "id.htm" << -1 << 0 << "" << -1;
    QTest::newRow("host text that would add a user part")
        << "127.0.0.22" << false << Lab::Behaviour() << "id.htm" << 100 << 0 << "" << -1;
}

void ProbeObjectTest::fetch()
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
        QVERIFY(m_lab->addDevice(QStringLiteral("127.0.0.23"), page("wrong device")));
        host = QStringLiteral("user@127.0.0.23");
    }

    clsMain object;
    Recorder events(object);
    object.HTTPRequest(host, 80, file, timeOut, quint8(retries));
    QTRY_VERIFY_WITH_TIMEOUT(!events.fetches.isEmpty(), 15000);

    QCOMPARE(events.fetches.first().host, host);
    QCOMPARE(events.fetches.first().text.size(), text.size());
    QCOMPARE(events.fetches.first().text, text);
    if (requests >= 0)
        QCOMPARE(m_lab->requestCount(address), requests);
    if (hasDevice && requests > 0)
        QCOMPARE(m_lab->requestPaths(address).first(), "/" + file.toLatin1());
    if (timeOut < 0)
        QVERIFY2(events.fetches.first().at < 1000, qPrintable(QString::number(events.fetches.first().at)));
    if (host != address)
        QCOMPARE(m_lab->requestCount(QStringLiteral("127.0.0.23")), 0);
    QCOMPARE(m_lab->requestCount(QStringLiteral("127.0.0.19")), 0);
}

void ProbeObjectTest::timedOutFetchKeepsEarlierText()
{
    const QString first = QStringLiteral("127.0.0.30");
    const QString silent = QStringLiteral("127.0.0.31");
    QVERIFY(m_lab->addDevice(first, page("first page")));
    QVERIFY(m_lab->addDevice(silent, ofKind(Lab::Behaviour::NoAnswer)));

    clsMain object;
    Recorder events(object);
    object.HTTPRequest(first, 80, QStringLiteral("id.htm"), 2000, 0);
    QTRY_VERIFY_WITH_TIMEOUT(!events.fetches.isEmpty(), 5000);

    events.fetches.clear();
    object.HTTPRequest(silent, 80, QStringLiteral("id.htm"), 200, 3);
    // The repeats go on with the new host and the earlier text; the timed-out
    // fetch keeps that text, so it is not retried.
    QTRY_VERIFY_WITH_TIMEOUT(!events.fetches.isEmpty() && events.fetches.last().at - events.fetches.first().at > 700, 5000);
    for (const Answer &a : std::as_const(events.fetches)) {
        QCOMPARE(a.host, silent);
        QCOMPARE(a.text, QStringLiteral("first page"));
    }
    QCOMPARE(m_lab->requestCount(silent), 1);
}

void ProbeObjectTest::clientHandlerWritesThroughAndMayFail()
{
    const QString address = QStringLiteral("127.0.0.32");
    QVERIFY(m_lab->addDevice(address, page("stored")));
    clsMain object;
    Recorder events(object);
    events.onFetch = [&](QString &, QString &sRawData) {
        if (events.fetches.size() == 1)
            sRawData = QStringLiteral("changed by the client");
        else
            throw std::runtime_error("client handler failed");
    };
    object.HTTPRequest(address, 80, QStringLiteral("id.htm"), 2000, 0);
    QTRY_VERIFY_WITH_TIMEOUT(events.fetches.size() >= 3, 5000);
    QCOMPARE(events.fetches.at(0).text, QStringLiteral("stored"));
    QCOMPARE(events.fetches.at(2).text, QStringLiteral("changed by the client"));

    // Still usable after its handlers failed.
    events.onFetch = nullptr;
    object.PingRequest(QStringLiteral("127.0.0.1"), 1000, 0);
    QTRY_VERIFY_WITH_TIMEOUT(!events.pings.isEmpty(), 5000);
    QVERIFY(events.pings.first().text.toInt() >= 0);
}

void ProbeObjectTest::nestedFetchDuringWait()
{
    const QString outer = QStringLiteral("127.0.0.34");
    const QString inner = QStringLiteral("127.0.0.35");
    QVERIFY(m_lab->addDevice(outer, ofKind(Lab::Behaviour::NoAnswer)));
    QVERIFY(m_lab->addDevice(inner, page("inner page")));

    clsMain object;
    Recorder events(object);
    object.HTTPRequest(outer, 80, QStringLiteral("outer.htm"), 4000, 0);
    // Arrives while the outer fetch waits, and runs inside that wait.
    QTimer::singleShot(300, this, [&] { object.HTTPRequest(inner, 80, QStringLiteral("inner.htm"), 4000, 0); });

    QTRY_VERIFY_WITH_TIMEOUT(events.fetches.size() >= 2, 10000);
    // The outer wait ended with the nested fetch, far before its own time-out.
    QVERIFY2(events.fetches.first().at < 2000, qPrintable(QString::number(events.fetches.first().at)));
    for (const Answer &a : std::as_const(events.fetches)) {
        QCOMPARE(a.host, inner);
        QCOMPARE(a.text, QStringLiteral("inner page"));
    }
    QCOMPARE(m_lab->requestCount(outer), 1);
    QCOMPARE(m_lab->requestCount(inner), 1);
}

void ProbeObjectTest::shutdownMidFetchRaisesNothing()
{
    const QString address = QStringLiteral("127.0.0.36");
    QVERIFY(m_lab->addDevice(address, ofKind(Lab::Behaviour::NoAnswer)));

    auto object = std::make_unique<clsMain>();
    Recorder events(*object);
    bool shutDown = false;
    object->HTTPRequest(address, 80, QStringLiteral("id.htm"), 5000, 3);
    QTimer::singleShot(300, this, [&] {
        object->Shutdown();
        shutDown = true;
    });
    QElapsedTimer clock;
    clock.start();
    QTRY_VERIFY(shutDown);
    // Control came back: the wait ended at once rather than at its deadline.
    QVERIFY2(clock.elapsed() < 2500, qPrintable(QString::number(clock.elapsed())));
    QVERIFY(object->isShutDown());

    // Calls after release change nothing.
    object->PingRequest(QStringLiteral("127.0.0.1"), 100, 0);
    object->HTTPRequest(address, 80, QStringLiteral("id.htm"), 100, 0);
    QTest::qWait(400);
    QVERIFY(events.fetches.isEmpty());
    QVERIFY(events.pings.isEmpty());
    QCOMPARE(m_lab->requestCount(address), 1);
    object.reset();
}

void ProbeObjectTest::shutdownFromHandlerRaisesNothing()
{
    const QString address = QStringLiteral("127.0.0.37");
    QVERIFY(m_lab->addDevice(address, page("last")));

    auto *object = new clsMain;
    Recorder events(*object);
    // As the scanner does: the worker is released inside its own event.
    events.onFetch = [&](QString &, QString &) {
        object->Shutdown();
        object->deleteLater();
    };
    QPointer<clsMain> watch(object);
    object->HTTPRequest(address, 80, QStringLiteral("id.htm"), 2000, 0);
    QTRY_VERIFY_WITH_TIMEOUT(watch.isNull(), 5000);
    QTest::qWait(300);
    QCOMPARE(events.fetches.size(), 1);
    QCOMPARE(events.fetches.first().text, QStringLiteral("last"));
}

QTEST_GUILESS_MAIN(ProbeObjectTest)
#include "probe_object_test.moc"
