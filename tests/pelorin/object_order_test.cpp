// Guards the order and timing of a probe object's steps, on a stand-in for its echo, page and client (no sockets):
// a call during an echo wait waits; a tick at a yield point runs and its procedure ends first; a tick during a
// raise waits, then runs; the client's handler calls during the raise; release cancels the echo requests and ends
// every wait; the work starts 10 ms after the request, the answer 100 ms after the work and every 100 ms on, until
// a request of the other kind or the release; a page that times out keeps the earlier text; retries, one counter
// for ping and page; a round trip under 1 ms is 0.
#include "ProbeObject.h"
#include "ProbeProtocol.h"

#include <QtTest>

using namespace Pelorin;

namespace {

QElapsedTimer g_clock;
enum Kind { Ping, Page, Release };

// The echo, the pages and the client of every object made: echoes answered with next, pages on the next turn of
// the loop, events returned returnAfterMs later, unless the test holds them.
struct Stage : EchoPort, PageService, FrameSink {
    struct Event { quint32 object; bool ping; QString host, value; quint32 serial; qint64 at = g_clock.elapsed(); };
    struct Held {
        Stage &stage;
        const void *token;
        EchoResult result;
        std::coroutine_handle<> handle = {};
        bool await_ready() const noexcept { return !stage.holdEchoes; }
        void await_suspend(std::coroutine_handle<> h) { handle = h, stage.held.push_back(this); }
        EchoResult await_resume() const { return result; }
    };
    struct Fetch : PageFetch {
        Stage &stage;
        std::function<void()> done;
        bool complete = false;
        QObject alive; // a completion still due goes with the fetch
        Fetch(Stage &s, std::function<void()> d) : stage(s), done(std::move(d)) {}
        bool get(const QString &) override
        {
            stage.openedAt << g_clock.elapsed(), complete = false;
            if (!stage.holdPages)
                QTimer::singleShot(0, &alive, [this] { complete = true, done(); });
            return true;
        }
        void abort() override { ++stage.aborts; }
        bool isDone() const override { return complete; }
        std::optional<QString> responseText() const override
        {
            stage.log << "text read";
            return complete ? std::optional(QStringLiteral("page")) : std::nullopt;
        }
    };

    EchoResult next{IpStatus::Success, 3, 64, {}};
    bool holdEchoes = false, holdPages = false, holdEvents = false;
    int returnAfterMs = 0, boxes = 0, aborts = 0;
    QList<qint64> sentAt, openedAt, returnedAt;
    std::vector<Held *> held;
    std::vector<Fetch *> fetches;
    QList<Event> events;
    mutable QStringList log; // steps whose order a test compares
    std::function<void(ProbeObject &)> handler; // runs during the first raise
    HostResolver resolver;
    std::map<quint32, std::unique_ptr<ProbeObject>> objects;

    Task<EchoResult> request(quint32, QByteArray, qint32, const void *token) override
    {
        sentAt << g_clock.elapsed();
        co_return co_await Held{*this, token, next};
    }
    void cancel(const void *token) override
    {
        for (Held *h : std::exchange(held, {}))
            h->token == token ? h->result = EchoResult{}, h->handle.resume() : held.push_back(h);
    }
    void answerEchoes()
    {
        log << "echo answered";
        for (Held *h : std::exchange(held, {}))
            h->handle.resume();
    }
    std::unique_ptr<PageFetch> newFetch(std::function<void()> done) override
    {
        return std::unique_ptr<PageFetch>(fetches.emplace_back(new Fetch(*this, std::move(done))));
    }
    bool write(const QByteArray &bytes) override // one whole frame
    {
        Wire::FrameReader reader;
        reader.append(bytes);
        const Wire::FrameReader::Frame f = *reader.next();
        if (f.type == Wire::Type::PingResponse) {
            const auto p = *Wire::decode<Wire::PingResponse>(f.payload);
            events.append({f.objectId, true, p.ip, QString::number(p.pingTime), p.serial});
        } else if (f.type == Wire::Type::HttpReqResponse) {
            const auto h = *Wire::decode<Wire::HttpReqResponse>(f.payload);
            events.append({f.objectId, false, h.host, h.rawData, h.serial});
        } else {
            return ++boxes;
        }
        ProbeObject *o = objects[events.last().object].get();
        if (handler && events.size() == 1)
            QTimer::singleShot(0, o, [this, o] { handler(*o); });
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
    kind == Ping   ? o.PingRequest(host, timeOut, quint8(retries))
    : kind == Page ? o.HTTPRequest(host, 80, "id.htm", timeOut, quint8(retries))
                   : o.shutdown();
}

} // namespace

class ObjectOrderTest : public QObject
{
    Q_OBJECT

    std::unique_ptr<Stage> s;

private slots:
    void initTestCase()
    {
        g_clock.start();
        setHostLookupForTesting([](const QByteArray &) { return std::nullopt; }); // no name is looked up
    }
    void init() { s = std::make_unique<Stage>(); }
    void cleanup()
    {
        s->holdEvents = false;
        for (auto &[id, o] : s->objects)
            o->shutdown();
        for (auto &[id, o] : s->objects)
            QTRY_VERIFY(!o->isBusy());
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
        s->fetches[0]->complete = true;
        s->fetches[0]->done();
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
        s->handler = [](ProbeObject &o) { request(o, Page); };
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
        s->handler = [&](ProbeObject &o) {
            QTimer::singleShot(60, &o, [&] { calledAt = g_clock.elapsed(), request(o, Kind(then)); });
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
        QTRY_COMPARE(s->of(1, false).last().host, "127.0.0.6");
        QCOMPARE(s->of(1, false).last().value, "page");
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

    void pingResult_data()
    {
        QTest::addColumn<quint32>("status");
        QTest::addColumn<int>("echoes");
        QTest::addColumn<QString>("reported");
        QTest::newRow("answered under 1 ms") << IpStatus::Success << 1 << "0";
        QTest::newRow("timed out, 3 retries") << IpStatus::RequestTimedOut << 12 << "-11010";
    }

    // A round trip under 1 ms is 0; a failure is its status negated, after three echoes for each of 1 + retries tries.
    void pingResult()
    {
        QFETCH(quint32, status);
        s->next = {status, 0, 64, {}};
        request(s->make(1), Ping, 100, 3);
        QTRY_COMPARE(s->of(1, true).size(), 1);
        QTEST(int(s->sentAt.size()), "echoes");
        QTEST(s->of(1, true).first().value, "reported");
    }
};

QTEST_GUILESS_MAIN(ObjectOrderTest)
#include "object_order_test.moc"
