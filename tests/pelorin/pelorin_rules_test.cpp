// Guards pelorin's rules that need no socket. Pure: AddressStringToLong and its boxes; pingAddress's host clean-up,
// tries and result (under 1 ms: 0); echo routing and sequences, a round trip in whole ms, the echo stamp; a body's
// page/charset rules; the millisecond tick; the ARP sweep's request and answers. A probe object's steps, on stand-ins
// for its echo, page and client: a call during an echo wait waits; a tick at a yield point runs and its procedure ends
// first; a tick during a raise waits, then runs; the handler calls during the raise; release cancels the echoes and
// ends every wait; the work starts 10 ms after the request, the answer 100 ms after it and every 100 ms on, until a
// request of the other kind or the release; a page that times out keeps the earlier text; one retry counter.
#include "ArpPacket.h"
#include "HttpBody.h"
#include "InlineContext.h"
#include "Ping.h"
#include "ProbeObject.h"
#include "ProbeProtocol.h"

#include <QtTest>

#include <netinet/in.h>

using namespace Pelorin;

namespace {

constexpr quint32 kTarget = 0x0500007F; // 127.0.0.5 as it lies in memory
constexpr quint32 kMe = 0x0100007F;     // 127.0.0.1
constexpr quint32 kOther = 0x0900007F;  // 127.0.0.9
constexpr quint16 kId = 0x3412;
constexpr quint16 kSeq = 77;
const QByteArray kData("Echo this request");

QByteArray ipPacket(quint32 source, quint32 dest, const QByteArray &icmp, char protocol = 1)
{
    QByteArray ip("\x45\0\0\0\0\0\0\0\x40", 9);
    ip += protocol + QByteArray(2, '\0') + QByteArray::fromRawData(reinterpret_cast<const char *>(&source), 4);
    return ip + QByteArray::fromRawData(reinterpret_cast<const char *>(&dest), 4) + icmp;
}

QByteArray icmp(quint8 type, quint8 code, quint16 identifier, quint16 sequence, const QByteArray &rest = {})
{
    const quint16 seq = qToBigEndian(sequence);
    const QByteArray id(reinterpret_cast<const char *>(&identifier), 2), sq(reinterpret_cast<const char *>(&seq), 2);
    return QByteArray(1, char(type)) + char(code) + QByteArray(2, 0) + id + sq + rest;
}

QElapsedTimer g_clock;
enum Kind { Ping, Page, Release };

// The echo, the pages and the client of every object made: echoes answered with next, pages at once, events
// returned returnAfterMs later, unless the test holds them.
struct Stage : EchoPort, PageService, FrameSink {
    struct Event { quint32 object; bool ping; QString host, value; quint32 serial; qint64 at = g_clock.elapsed(); };
    struct HeldEcho { // while the test holds echoes: parked until answerEchoes() or the release
        Stage &stage;
        bool await_ready() const noexcept { return !stage.holdEchoes; }
        void await_suspend(std::coroutine_handle<> h) { stage.held.push_back(h); }
        void await_resume() const noexcept {}
    };
    struct Fetch : PageFetch { // done at once, while the test does not hold pages
        Stage &stage;
        explicit Fetch(Stage &s) : stage(s) {}
        bool get(const QString &) override
        {
            stage.openedAt << g_clock.elapsed();
            return true;
        }
        void abort() override { ++stage.aborts; }
        bool isDone() const override { return !stage.holdPages; }
        std::optional<QString> responseText() const override
        {
            stage.log << "text read";
            return isDone() ? std::optional(QStringLiteral("page")) : std::nullopt;
        }
    };

    EchoResult next{IpStatus::Success, 3, 64, {}};
    bool holdEchoes = false, holdPages = false, holdEvents = false;
    int returnAfterMs = 0, handlerAfterMs = 0, boxes = 0, aborts = 0;
    QList<qint64> sentAt, openedAt, returnedAt;
    std::vector<std::coroutine_handle<>> held; // echo requests
    std::function<void()> pageDone; // the latest fetch's
    QList<Event> events;
    QStringList log; // steps whose order a test compares
    std::function<void()> handler; // runs handlerAfterMs after the first event
    HostResolver resolver;
    std::map<quint32, std::unique_ptr<ProbeObject>> objects;

    Task<EchoResult> request(quint32, QByteArray, qint32, const void *) override
    {
        sentAt << g_clock.elapsed();
        co_await HeldEcho{*this};
        co_return next;
    }
    void cancel(const void *) override { answerEchoes(); } // one object's echoes are held; released, it drops them
    void answerEchoes()
    {
        log << "echo answered";
        for (std::coroutine_handle<> h : std::exchange(held, {}))
            h.resume();
    }
    std::unique_ptr<PageFetch> newFetch(std::function<void()> done) override
    {
        pageDone = std::move(done);
        return std::make_unique<Fetch>(*this);
    }
    bool write(const QByteArray &bytes) override // one whole frame
    {
        Wire::FrameReader reader;
        reader.append(bytes);
        const Wire::FrameReader::Frame f = *reader.next();
        if (f.type == Wire::Type::MessageBox) {
            ++boxes;
            return true;
        }
        if (f.type == Wire::Type::PingResponse) {
            const auto p = *Wire::decode<Wire::PingResponse>(f.payload);
            events.append({f.objectId, true, p.ip, QString::number(p.pingTime), p.serial});
        } else {
            const auto h = *Wire::decode<Wire::HttpReqResponse>(f.payload);
            events.append({f.objectId, false, h.host, h.rawData, h.serial});
        }
        ProbeObject *o = objects[f.objectId].get();
        if (handler && events.size() == 1)
            QTimer::singleShot(handlerAfterMs, o, handler);
        if (!holdEvents)
            QTimer::singleShot(returnAfterMs, o, [=, this, serial = events.last().serial] {
                returnedAt << g_clock.elapsed();
                o->eventReturned(serial);
            });
        return true;
    }
    ProbeObject &make(quint32 id)
    {
        auto &o = objects[id] = std::make_unique<ProbeObject>(*this, *this, resolver);
        o->setOutbox(this, id);
        return *o;
    }
    QList<Event> of(quint32 object, bool ping, qint64 after = -1) const
    {
        QList<Event> found = events;
        found.removeIf([&](const Event &e) { return e.object != object || e.ping != ping || e.at <= after; });
        return found;
    }
};

void request(ProbeObject &o, Kind kind, int timeOut = 1000, int retries = 0, const char *host = "127.0.0.5")
{
    if (kind == Ping)
        o.PingRequest(host, timeOut, quint8(retries));
    else if (kind == Page)
        o.HTTPRequest(host, 80, "id.htm", timeOut, quint8(retries));
    else
        o.shutdown();
}

} // namespace

class PelorinRulesTest : public QObject
{
    Q_OBJECT

    std::unique_ptr<Stage> s; // the probe objects' stand-in

private slots:
    void initTestCase() { g_clock.start(); }
    void init()
    {
        s = std::make_unique<Stage>();
        setHostLookupForTesting([](const QByteArray &) { return std::nullopt; }); // no name is looked up
    }
    void cleanup()
    {
        for (auto &[id, o] : s->objects) {
            o->shutdown();
            QTRY_VERIFY(!o->isBusy());
        }
    }

    void arpPackets_data()
    {
        QTest::addColumn<QByteArray>("packet");
        QTest::addColumn<qint64>("answered"); // -1: not an answer
        constexpr quint32 me = 0xC6120001, asked = 0xC6120005, unasked = 0xC6120006;
        auto reply = [](quint32 sender, quint32 target, int at = 7, quint8 value = 2) {
            QByteArray p = ArpPacket::request(0x021AC6000005, sender, target);
            p[at] = char(value);
            return p;
        };
        QTest::newRow("reply from a target asked about") << reply(asked, me) << qint64(asked);
        QTest::newRow("reply from an address not asked about") << reply(unasked, me) << -1LL;
        QTest::newRow("reply to another address") << reply(asked, 0xC6120002) << -1LL;
        QTest::newRow("a request") << reply(asked, me, 7, 1) << -1LL;
        QTest::newRow("short") << reply(asked, me).chopped(1) << -1LL;
        QTest::newRow("other hardware") << reply(asked, me, 1, 6) << -1LL;
        QTest::newRow("other protocol") << reply(asked, me, 2, 0x86) << -1LL;
    }

    // Only a reply to this machine's address from an address the sweep asked about answers it.
    void arpPackets()
    {
        QFETCH(QByteArray, packet);
        QFETCH(qint64, answered);
        const std::optional<quint32> found = ArpPacket::answeredTarget(packet, 0xC6120001, {0xC6120005, 0xC6120007});
        QCOMPARE(found ? qint64(*found) : -1LL, answered);
    }

    // The request: Ethernet and IPv4, from our MAC and address, for the target, the hardware asked for left zero.
    void arpRequest()
    {
        QCOMPARE(ArpPacket::request(0x021AC6000001, 0xC6120001, 0xC6120005).toHex(),
                 QByteArray("0001080006040001021ac6000001c6120001000000000000c6120005"));
    }

    // Dotted text to an address, each part's low byte; not four parts: 0; an error: one OKOnly box and its line.
    void addressStringToLong()
    {
        const QString mismatch = "Error 13 (Type mismatch) in procedure AddressStringToLong of Module Ping on line 150";
        const struct { QString text; qint32 value; QString box; } rows[] = {
            {"127.168.1.20", 0x1401A87F, {}}, {"255.255.255.255", -1, {}}, {"1.2.300.-1", qint32(0xFF2C0201), {}},
            {" 1 .+2\t. 3 .  4 ", 0x04030201, {}}, {"10.0.0", 0, {}}, {"1..3.4", 0, mismatch},
            {"1.2.3.4x", 0, mismatch},
            {"1.2.3.4.5", 0,
             "Error 9 (Subscript out of range) in procedure AddressStringToLong of Module Ping on line 100"},
            {"1.2.3.4.5.6", 0,
             "Error 9 (Subscript out of range) in procedure AddressStringToLong of Module Ping on line 50"},
            {"1.2.3.2147483648", 0, "Error 6 (Overflow) in procedure AddressStringToLong of Module Ping on line 150"}};
        for (const auto &r : rows) {
            InlineContext context;
            QCOMPARE(Pelorin::addressStringToLong(context, r.text).runInline(), r.value);
            QCOMPARE(context.boxes.join(u'|'), r.box);
        }
    }

    // The host cleaned up (lower case, one pass of "http://" and "www.", a slash off) and looked up before sending;
    // an answer under 1 ms is 0, a failure the last status negated after three tries.
    void pingAddrBeforeSending()
    {
        setHostLookupForTesting([](const QByteArray &name) -> std::optional<QString> {
            if (name == "ipv6only" || !QByteArrayList{"gateway", "printer-2", "host/", "http://x"}.contains(name))
                return name == "ipv6only" ? std::optional<QString>(QString()) : std::nullopt;
            return QStringLiteral("127.1.2.3");
        });
        const QString found = QStringLiteral("127.1.2.3"), withNul = QString::fromLatin1("gateway\0x", 9);
        const qint16 bad = qint16(-qint32(IpStatus::BadDestination));
        const struct { QString host, after; qint16 result; int tries; } rows[] = {
            {"HTTP://WWW.Gateway/", found, 0, 1}, {"printer-www.2", found, 0, 1}, {"host//", found, 0, 1},
            {"hthttp://tp://x", found, 0, 1}, {"HTTP://WWW.Unknown/", "HTTP://WWW.Unknown/", bad, 3},
            {"ipv6only", "", bad, 3}, {withNul, withNul, bad, 3}};
        for (const auto &r : rows) {
            InlineContext context;
            QString host = r.host;
            QCOMPARE(pingAddress(context, host, 100).runInline(), r.result);
            QCOMPARE(host, r.after);
            QCOMPARE(context.boxes.size(), 0);
            QCOMPARE(context.sent.size(), r.tries);
        }
    }

    // Only a reply from kTarget with its identifier, sequence and data, or an ICMP error quoting it, answers; a
    // round trip is in whole ms.
    void echoRouting()
    {
        const QByteArray request = ipPacket(kMe, kTarget, icmp(8, 0, kId, kSeq));
        auto error = [](quint8 type, quint8 code, const QByteArray &quoted) {
            return ipPacket(kOther, kMe, icmp(type, code, 0, 0, quoted));
        };
        auto row = [](const char *name, const QByteArray &packet, bool answers, quint32 status = 0, quint32 from = 0) {
            const sockaddr_in sender{AF_INET, 0, {from}, {}};
            const auto *bytes = reinterpret_cast<const quint8 *>(packet.constData());
            const EchoRoute::Packet p = from ? EchoRoute::readDatagram(kId, bytes, std::size_t(packet.size()), sender)
                                             : EchoRoute::readRaw(kId, bytes, std::size_t(packet.size()));
            QVERIFY2(EchoRoute::answers(p, kSeq, kTarget, kData) == answers, name);
            if (!answers)
                return;
            QVERIFY2(p.status == status, name);
            QVERIFY2(p.ttl == (p.kind == EchoRoute::Packet::Reply && !from ? 64 : 0), name);
        };
        row("reply", ipPacket(kTarget, kMe, icmp(0, 0, kId, kSeq, kData)), true);
        row("reply from another host", ipPacket(kOther, kMe, icmp(0, 0, kId, kSeq, kData)), false);
        row("reply, other identifier", ipPacket(kTarget, kMe, icmp(0, 0, kId + 1, kSeq, kData)), false);
        row("reply, other sequence", ipPacket(kTarget, kMe, icmp(0, 0, kId, kSeq + 1, kData)), false);
        row("reply, other data", ipPacket(kTarget, kMe, icmp(0, 0, kId, kSeq, "Echo this requesT")), false);
        row("our own request", ipPacket(kMe, kTarget, icmp(8, 0, kId, kSeq, kData)), false);
        row("not ICMP", ipPacket(kTarget, kMe, icmp(0, 0, kId, kSeq, kData), 17), false);
        row("host unreachable", error(3, 1, request), true, IpStatus::DestHostUnreachable);
        row("net unreachable", error(3, 0, request), true, IpStatus::DestNetUnreachable);
        row("time exceeded", error(11, 0, request), true, IpStatus::GeneralFailure);
        row("error about another host", error(3, 1, ipPacket(kMe, kOther, icmp(8, 0, kId, kSeq))), false);
        row("error about a reply", error(3, 1, ipPacket(kMe, kTarget, icmp(0, 0, kId, kSeq))), false);
        row("datagram reply", icmp(0, 0, kId, kSeq, kData), true, 0, kTarget);
        row("datagram reply from another host", icmp(0, 0, kId, kSeq, kData), false, 0, kOther);
        QCOMPARE(EchoRoute::roundTripMs(999999), 0u); // rounded down: under 1 ms is 0
        QCOMPARE(EchoRoute::roundTripMs(1000000), 1u);
    }

    // The next sequence, wrapping, skipping those that requests to the same address still wait on.
    void echoSequences()
    {
        const struct { quint16 next; QList<quint16> waitingToTarget; quint16 taken; } rows[] = {
            {7, {6, 8}, 7}, {65535, {65535}, 0}, {65534, {65534, 65535, 0, 1}, 2}};
        for (const auto &r : rows) {
            QSet<quint64> waiting{EchoRoute::key(r.next, kOther)};
            for (quint16 seq : r.waitingToTarget)
                waiting.insert(EchoRoute::key(seq, kTarget));
            const auto got = EchoRoute::freeSequence(r.next, kTarget, [&](quint64 k) { return waiting.contains(k); });
            QCOMPARE(got, r.taken);
        }
        QCOMPARE(EchoRoute::freeSequence(3, kTarget, [](quint64) { return true; }), std::nullopt); // all taken
    }

    // A cut-off transfer brings no page, one cut at the cap does; the text in the response's charset, else UTF-8.
    void body()
    {
        const struct { TransferEnd end; bool page; } ends[] = { // transportError, capped, declaredLength, received
            {{false, false, 10, 10}, true}, {{false, false, -1, 7}, true}, {{false, false, 10, 9}, false},
            {{true, false, 10, 10}, false}, {{true, true, 100000000, 4194304}, true}};
        for (const auto &r : ends)
            QVERIFY2(Pelorin::bodyIsPage(r.end) == r.page, qPrintable(QString::number(&r - ends)));
        const QString cafe = QStringLiteral(u"café"), abBad = QStringLiteral(u"ab\ufffd");
        const struct { QByteArray body, contentType; QString text; } rows[] = {
            {"caf\xc3\xa9", "text/html", cafe},                            // no charset: UTF-8
            {"caf\xe9", "text/html; Charset=\"iso-8859-1\"", cafe},        // quoted, any case
            {"caf\xc3\xa9", "text/html; charset=nonesuch", cafe},          // unknown charset
            {"a\xff" "b", "text/html", QStringLiteral(u"a\ufffdb")},        // invalid bytes
            {"ab\xe2\x82", "text/html; charset=utf-8", abBad},             // cut at the end
            {"1\xe2\x82\xac", {}, QStringLiteral(u"1€")}};                  // whole character at the end
        for (const auto &r : rows)
            QCOMPARE(Pelorin::decodeBody(r.body, r.contentType), r.text);
    }

    // The deadline millisecond still waits, a negative time-out not at all; safe across the counter's wrap.
    void tickWaitHolds()
    {
        const struct { quint32 start, now; qint32 timeOut; bool holds; } rows[] = {
            {1000, 1000, 0, true}, {1000, 1001, 0, false}, {1000, 1500, 500, true}, {1000, 1501, 500, false},
            {1000, 1000, -1, false}, {0xFFFFFF00u, 0x10, 500, true}, {0xFFFFFF00u, 0x10, 200, false},
            {0xFFFFFFF0u, 5, INT_MAX, true}};
        for (const auto &r : rows)
            QVERIFY2(Pelorin::tickWaitHolds(r.start, r.now, r.timeOut) == r.holds, qPrintable(QString::number(r.now)));
    }

    // The echo request's data: its text and the moment's stamp. Without an echo socket, how to grant one.
    void echoTexts()
    {
        const QByteArray stamp = echoRequestData(QDateTime(QDate(2024, 3, 7), QTime(9, 5, 2)));
        QCOMPARE(stamp, QByteArray("Echo this request03072024 090502"));
        QString host = QStringLiteral("127.0.0.1");
        QByteArrayList stamps{echoRequestData(QDateTime::currentDateTime())};
        InlineContext context;
        pingAddress(context, host, 100).runInline();
        stamps << echoRequestData(QDateTime::currentDateTime());
        QVERIFY(stamps.contains(context.sent.value(0)));
        const EchoSocket none(EchoSocketKind::None);
        const QString reason = QStringLiteral("This process may not send ICMP echo requests (ping). Allow "
                                              "unprivileged ping sockets with: sysctl -w net.ipv4.ping_group_range="
                                              "\"0 2147483647\"; or give the program raw sockets with: setcap "
                                              "cap_net_raw+p %1");
        QCOMPARE(none.unavailableReason(), reason.arg(QCoreApplication::applicationFilePath()));
    }

    // A fetch asked for during the ping's echo wait runs once the ping has ended: no ping answer is ever raised.
    void callDuringEchoWaitWaits()
    {
        s->holdEchoes = true;
        request(s->make(1), Ping);
        QTRY_COMPARE(s->held.size(), 1u);
        request(*s->objects[1], Page);
        s->answerEchoes();
        QTRY_COMPARE(s->of(1, false).size(), 2);
        QCOMPARE(s->of(1, true).size(), 0);
    }

    // A ping asked for during a page wait runs in it; the fetch goes on once the ping has ended, its page come.
    void tickAtYieldPointRunsAndEndsFirst()
    {
        s->holdEchoes = s->holdPages = true;
        request(s->make(1), Page, 20000);
        QTRY_COMPARE(s->openedAt.size(), 1);
        request(*s->objects[1], Ping);
        QTRY_COMPARE(s->held.size(), 1u);
        s->holdPages = false;
        s->pageDone();
        QMetaObject::invokeMethod(this, [this] { s->answerEchoes(); }, Qt::QueuedConnection);
        QTRY_COMPARE(s->of(1, true).size(), 1);
        QCOMPARE(s->log, QStringList({"echo answered", "text read"}));
    }

    // The client holds each event 150 ms: the tick due meanwhile raises the next one as soon as it has returned.
    void tickDuringRaiseWaitsThenRuns()
    {
        s->returnAfterMs = 150;
        request(s->make(1), Ping);
        QTRY_COMPARE(s->of(1, true).size(), 2);
        const qint64 next = s->of(1, true).last().at;
        QCOMPARE_GE(next, s->returnedAt[0]);
        QCOMPARE_LT(next - s->returnedAt[0], 25);
    }

    // The handler's call runs during the raise: its fetch's tick is due by the event's return and runs at once.
    void callFromHandlerRunsDuringRaise()
    {
        s->returnAfterMs = 50;
        s->handler = [this] { request(*s->objects[1], Page); };
        request(s->make(1), Ping);
        QTRY_COMPARE(s->openedAt.size(), 1);
        QCOMPARE_LT(s->openedAt[0] - s->returnedAt[0], 8);
    }

    void releaseEndsEveryWait_data()
    {
        QTest::addColumn<QString>("wait");
        for (const char *wait : {"echo", "page", "raise", "box"})
            QTest::newRow(wait) << QString(wait);
    }

    // Released in any wait, the object's procedures end at once; its echo requests are cancelled, its page abandoned.
    void releaseEndsEveryWait()
    {
        QFETCH(QString, wait);
        s->holdEchoes = wait == "echo";
        s->holdPages = wait == "page";
        s->holdEvents = wait == "raise";
        ProbeObject &o = s->make(1);
        QSignalSpy ended(&o, &ProbeObject::ended);
        request(o, wait == "page" ? Page : Ping, 20000, 0, wait == "box" ? "1.2.3.4.5" : "127.0.0.5");
        QTRY_COMPARE(s->held.size() + size_t(s->openedAt.size() + s->events.size() + s->boxes), 1u);
        o.shutdown();
        QTRY_COMPARE(ended.size(), 1);
        QCOMPARE(o.isBusy(), false);
        QCOMPARE(s->held.size(), 0u);
        QCOMPARE(s->aborts, wait == "page" ? 1 : 0);
    }

    void timing_data()
    {
        QTest::addColumn<int>("kind");
        QTest::newRow("ping") << int(Ping);
        QTest::newRow("page") << int(Page);
    }

    // The work starts 10 ms after the request (the earliest of five, within 5 ms); the answer 100 ms after, every 100.
    void timing()
    {
        QFETCH(int, kind);
        const QList<qint64> &workAt = kind == Ping ? s->sentAt : s->openedAt;
        qint64 start = INT_MAX, first = INT_MAX;
        for (quint32 id = 1; id <= 5; ++id) {
            const qint64 asked = g_clock.elapsed();
            request(s->make(id), Kind(kind));
            QTRY_COMPARE(s->of(id, kind == Ping).size(), 1);
            start = std::min(start, workAt.last() - asked);
            first = std::min(first, s->of(id, kind == Ping).first().at - workAt.last());
            s->objects[id]->shutdown();
        }
        QCOMPARE_GE(start, 10);
        QCOMPARE_LT(start, 15);
        QCOMPARE_GE(first, 100);
        QCOMPARE_LT(first, 105);
        request(s->make(9), Kind(kind));
        QTRY_COMPARE(s->of(9, kind == Ping).size(), 5);
        const qint64 interval = (s->of(9, kind == Ping).last().at - s->of(9, kind == Ping).first().at) / 4;
        QCOMPARE_GE(interval, 90); // a late tick makes the next one early: the mean stays near 100
        QCOMPARE_LT(interval, 115);
    }

    void repeatStops_data()
    {
        QTest::addColumn<int>("first");
        QTest::addColumn<int>("then");
        QTest::addColumn<bool>("stops");
        QTest::newRow("ping answer, then a fetch: stops") << int(Ping) << int(Page) << true;
        QTest::newRow("ping answer, then a ping: goes on") << int(Ping) << int(Ping) << false;
        QTest::newRow("page answer, then a ping: stops") << int(Page) << int(Ping) << true;
        QTest::newRow("page answer, then a fetch: goes on") << int(Page) << int(Page) << false;
        QTest::newRow("ping answer, then release: stops") << int(Ping) << int(Release) << true;
    }

    // An answer repeats until a request of the other kind or the release; one of its own kind keeps its beat.
    void repeatStops()
    {
        QFETCH(int, first);
        QFETCH(int, then);
        QFETCH(bool, stops);
        qint64 calledAt = INT_MAX;
        s->handlerAfterMs = 60;
        s->handler = [&] {
            calledAt = g_clock.elapsed();
            request(*s->objects[1], Kind(then));
        };
        request(s->make(1), Kind(first));
        QTRY_VERIFY(calledAt < INT_MAX);
        request(s->make(2), Ping);
        QTRY_COMPARE(s->of(2, true, calledAt).size(), 3);
        const QList<Stage::Event> after = s->of(1, first == Ping, calledAt);
        QCOMPARE(after.isEmpty(), stops);
        if (!stops)
            QCOMPARE_LT(after.first().at - calledAt, 75);
    }

    // A fetch that times out keeps the text of the earlier one, and so is not retried.
    void timedOutPageKeepsEarlierText()
    {
        request(s->make(1), Page);
        QTRY_COMPARE(s->of(1, false).size(), 1);
        s->holdPages = true;
        request(*s->objects[1], Page, 30, 2, "127.0.0.6");
        QTRY_COMPARE(s->openedAt.size(), 2);
        const qint64 timedOut = s->openedAt[1] + 30; // answers before this may still be the first fetch's beat
        QTRY_VERIFY(!s->of(1, false, timedOut).isEmpty());
        QCOMPARE(s->of(1, false, timedOut).first().host, "127.0.0.6");
        QCOMPARE(s->of(1, false, timedOut).first().value, "page");
        QCOMPARE(s->openedAt.size(), 2);
    }

    // Retries share one counter: a failing ping's, during a page's wait, use up the fetch's too.
    void retriesShareOneCounter()
    {
        s->holdPages = true;
        s->next = {IpStatus::RequestTimedOut, 0, 0, {}};
        request(s->make(1), Page, 200, 2);
        QTRY_COMPARE(s->openedAt.size(), 1);
        request(*s->objects[1], Ping, 100, 2);
        QTRY_COMPARE(s->of(1, false).size(), 1);
        QCOMPARE(s->sentAt.size(), 9);
        QCOMPARE(s->openedAt.size(), 1);
    }
};

QTEST_GUILESS_MAIN(PelorinRulesTest)
#include "pelorin_rules_test.moc"
