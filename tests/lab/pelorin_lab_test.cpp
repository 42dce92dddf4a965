// Guards on the lab network (127.0.0.x only): the page try as it goes on the wire, page retries, the 4 MiB body
// cap, no busy waiting, no connection left open. (The echo socket is guarded on the layer-2 lab.)
#include "Harness.h"
#include "HttpClient.h"
#include "ProbeObject.h"

#include <QtTest>

#include <arpa/inet.h>
#include <unistd.h>

using namespace Pelorin;
using B = Lab::Behaviour;

namespace {

const QString kGoodDevice = QStringLiteral("127.0.0.2");

// A fetch of file from host, served by device; requests: the GETs the device had.
struct Fetch {
    QString host;
    B device;
    int timeOut, retries;
    QString text;
    int requests = 1;
    QString file = QStringLiteral("id.htm");
};

} // namespace

Q_DECLARE_METATYPE(Fetch)

class ProbeLabTest : public QObject
{
    Q_OBJECT

    Lab::LabNetwork m_lab;
    EchoSocket m_echo; // for the probe objects made here
    HttpService m_http;
    HostResolver m_resolver;

private slots:
    void initTestCase()
    {
        LAB_REQUIRE_ISOLATED();
        qputenv("http_proxy", "http://127.0.0.41:3128"); // never used: nothing listens there
        QVERIFY(m_lab.addDevice(kGoodDevice, {B::Page, "still fine"}));
    }

    void fetch_data()
    {
        QTest::addColumn<Fetch>("fetch");
        auto row = [](const char *name, const Fetch &f) { QTest::newRow(name) << f; };
        const int cap = 4 * 1024 * 1024; // the most of a body kept
        const QByteArray cutOff = "HTTP/1.1 200 OK\r\nContent-Length: 1000\r\n\r\npartial";
        const QByteArray redirect = "HTTP/1.1 302 Found\r\nLocation: http://127.0.0.16/id.htm\r\nContent-Length: 5\r\n"
                                    "\r\nmoved";
        const B latin1{B::Page, "caf\xe9", "text/plain; charset=ISO-8859-1"};
        row("empty file, charset of the response", {"127.0.0.11", latin1, 2000, 0, "caf\u00e9", 1, ""});
        row("empty body, kept alive: retried", {"127.0.0.12", {B::Page, {}, "text/html", true}, 2000, 2, "", 3});
        row("trickle past the time-out: retried", {"127.0.0.13", {B::Trickle, QByteArray(9, 't')}, 300, 1, "", 2});
        row("closed inside the declared length: cut off", {"127.0.0.14", {B::Raw, cutOff}, 400, 1, "", 2});
        row("body at the cap", {"127.0.0.15", {B::Page, QByteArray(cap, 'a')}, 3000, 0, QString(cap, u'a'), 1});
        row("a byte past the cap", {"127.0.0.19", {B::Page, QByteArray(cap + 1, 'b')}, 3000, 0, QString(cap, u'b')});
        row("redirect to itself, not followed", {"127.0.0.16", {B::Raw, redirect}, 400, 1, "moved", 1});
        row("no answer: the time-out waited idle", {"127.0.0.21", {B::NoAnswer}, 1500, 0, "", 1});
        row("host text that would add a user part", {"user@127.0.0.18", {B::Page, "wrong device"}, 100, 0, "", 0});
    }

    // In time, only a complete body as text, each try one GET of these headers on a connection of its own, idle.
    void fetch()
    {
        QFETCH(Fetch, fetch);
        const QString address = fetch.host.section(QLatin1Char('@'), -1);
        QVERIFY(m_lab.addDevice(address, fetch.device));
        const qint64 cpuTicks = Harness::cpuTicks(0);

        auto object = std::make_unique<ProbeObject>(m_echo, m_http, m_resolver);
        struct Page { QString host, text; qint64 at; }; // at: ms since the request
        QList<Page> pages;
        QElapsedTimer clock;
        clock.start();
        connect(object.get(), &ProbeObject::HTTPReqResponse, this,
                [&](const QString &host, const QString &text) { pages.append({host, text, clock.elapsed()}); });
        object->HTTPRequest(fetch.host, 80, fetch.file, fetch.timeOut, quint8(fetch.retries));
        QTRY_VERIFY_WITH_TIMEOUT(pages.size() >= 2, 20000);
        const auto &first = pages.first();
        QCOMPARE_LE(first.at, (1 + fetch.retries) * qMax(0, fetch.timeOut + 10) + 2000);
        QCOMPARE(first.host, fetch.host);
        QCOMPARE(first.text, fetch.text);
        const double seconds = double(Harness::cpuTicks(0) - cpuTicks) / double(::sysconf(_SC_CLK_TCK));
        if (fetch.device.kind == B::NoAnswer)
            QCOMPARE_LT(seconds * 1000.0 / double(first.at), 0.3);
        QCOMPARE(int(m_lab.requests(address).size()), fetch.requests);
        const QByteArray head = "GET /" + fetch.file.toLatin1() + " HTTP/1.1\r\nHost: " + address.toLatin1();
        for (const QByteArray &request : m_lab.requests(address))
            QCOMPARE(request, head + "\r\nAccept: */*\r\n\r\n");

        // A handler that fails holds up nothing: the object still fetches, then ends once released.
        connect(object.get(), &ProbeObject::HTTPReqResponse, this, [] { throw std::runtime_error("handler failed"); });
        object->HTTPRequest(kGoodDevice, 80, QStringLiteral("id.htm"), 2000, 0);
        QTRY_COMPARE_WITH_TIMEOUT(pages.last().text, QStringLiteral("still fine"), 5000);
        object->shutdown();
        QTRY_VERIFY(!object->isBusy());
        object.reset();
        QTRY_COMPARE_WITH_TIMEOUT(m_lab.openConnections(address), 0, 10000);
    }
};

QTEST_GUILESS_MAIN(ProbeLabTest)
#include "pelorin_lab_test.moc"
