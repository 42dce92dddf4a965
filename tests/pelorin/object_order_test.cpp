// Guards the order and timing of one probe object's steps, on stand-ins for its echo, page and client (no sockets):
// a call during an echo wait waits; a tick at a yield point runs and its procedure ends first; a tick during a
// raise waits, then runs; the client's handler calls during the raise; release cancels the echo requests and ends
// every wait; the work starts 10 ms after the request, the answer 100 ms after the work and every 100 ms on, until
// a request of the other kind or the release; a page that times out keeps the earlier text; retries; a round trip
// under 1 ms is 0.
#include "ProbeObject.h"
#include "ProbeProtocol.h"

#include <QtTest>

using namespace Pelorin;

namespace {

QElapsedTimer g_clock;
QStringList g_log; // steps whose order a test compares

struct FakeEcho : EchoPort {
    struct Held {
        FakeEcho &echo;
        EchoResult result;
        const void *token = nullptr;
        std::coroutine_handle<> handle;
        bool await_ready() const noexcept { return false; }
        void await_suspend(std::coroutine_handle<> h) { handle = h, echo.held.push_back(this); }
        EchoResult await_resume() const { return result; }
    };
    EchoResult next{IpStatus::Success, 3, 64, {}};
    bool hold = false;
    QList<qint64> sentAt;
    std::vector<Held *> held;

    Task<EchoResult> request(quint32, QByteArray, qint32, const void *token) override
    {
        sentAt << g_clock.elapsed();
        if (!hold)
            co_return next;
        Held wait{*this, next, token, {}};
        co_return co_await wait;
    }
    void cancel(const void *token) override
    {
        for (Held *h : std::exchange(held, {})) {
            if (h->token != token) {
                held.push_back(h);
                continue;
            }
            h->result = EchoResult{};
            h->handle.resume();
        }
    }
    void answer()
    {
        g_log << "echo answered";
        for (Held *h : std::exchange(held, {}))
            h->handle.resume();
    }
};

// One page client per object; a page completes on the next turn of the loop unless held.
struct FakePages : PageService {
    std::optional<QString> text = QStringLiteral("page");
    bool hold = false;
    QList<qint64> openedAt;
    int aborts = 0;
    struct Fetch : PageFetch {
        FakePages &pages;
        std::function<void()> done;
        bool complete = false;
        QObject alive; // a completion due is dropped with the fetch
        Fetch(FakePages &p, std::function<void()> d) : pages(p), done(std::move(d)) {}
        bool open(const QString &, const QString &) override { pages.openedAt << g_clock.elapsed(); return true; }
        bool send() override
        {
            complete = false;
            if (!pages.hold)
                QTimer::singleShot(0, &alive, [this] { complete = true, done(); });
            return true;
        }
        void abort() override { ++pages.aborts; }
        bool isDone() const override { return complete; }
        std::optional<QString> responseText() const override
        {
            g_log << "text read";
            return complete ? pages.text : std::nullopt;
        }
    };
    std::vector<Fetch *> fetches;
    std::unique_ptr<PageFetch> newFetch(std::function<void()> done) override
    {
        fetches.push_back(new Fetch(*this, std::move(done)));
        return std::unique_ptr<PageFetch>(fetches.back());
    }
    void finish() { for (Fetch *f : fetches) f->complete = true, f->done(); }
};

// The client: every event and box as it comes, answered on the next turn unless held.
struct Client : FrameSink {
    struct Event { quint32 object; bool ping; QString host, value; qint64 at; };
    QList<Event> events;
    QList<qint64> returnedAt;
    int boxes = 0;
    bool holdEvents = false;
    int returnAfterMs = 0;
    std::function<void(ProbeObject &)> handler; // runs during the raise of the first event
    std::map<quint32, ProbeObject *> objects;

    bool write(const QByteArray &bytes) override
    {
        Wire::FrameReader reader;
        reader.append(bytes);
        const Wire::FrameReader::Frame frame = *reader.next();
        if (frame.type == Wire::Type::MessageBox) {
            ++boxes;
            return true;
        }
        quint32 serial = 0;
        if (frame.type == Wire::Type::PingResponse) {
            const Wire::PingResponse p = *Wire::decode<Wire::PingResponse>(frame.payload);
            events.append({p.objectId, true, p.event.ip, QString::number(p.event.pingTime), g_clock.elapsed()});
            serial = p.serial;
        } else {
            const Wire::HttpReqResponse h = *Wire::decode<Wire::HttpReqResponse>(frame.payload);
            events.append({h.objectId, false, h.event.host, h.event.rawData, g_clock.elapsed()});
            serial = h.serial;
        }
        ProbeObject *object = objects[events.last().object];
        if (handler && events.size() == 1)
            QTimer::singleShot(0, object, [this, object] { handler(*object); });
        if (!holdEvents)
            QTimer::singleShot(returnAfterMs, object, [this, object, serial] {
                returnedAt << g_clock.elapsed();
                object->eventReturned(serial);
            });
        return true;
    }
    QList<Event> of(quint32 object, bool ping, qint64 after = -1) const
    {
        QList<Event> found;
        for (const Event &e : events)
            if (e.object == object && e.ping == ping && e.at > after)
                found << e;
        return found;
    }
};

enum Kind { Ping, Page, Release };

} // namespace

class ObjectOrderTest : public QObject
{
    Q_OBJECT

    FakeEcho m_echo;
    FakePages m_pages;
    HostResolver m_resolver;
    Client m_client;
    std::map<quint32, std::unique_ptr<ProbeObject>> m_objects;

    ProbeObject &make(quint32 id)
    {
        auto &o = m_objects[id] = std::make_unique<ProbeObject>(m_echo, m_pages, m_resolver);
        o->setOutbox(&m_client, id);
        return *(m_client.objects[id] = o.get());
    }
    static void request(ProbeObject &o, Kind kind, int timeOut = 1000, int retries = 0, const char *host = "127.0.0.5")
    {
        if (kind == Ping)
            o.PingRequest(host, timeOut, quint8(retries));
        else if (kind == Page)
            o.HTTPRequest(host, 80, "id.htm", timeOut, quint8(retries));
        else
            o.shutdown();
    }

private slots:
    void initTestCase()
    {
        g_clock.start();
        setHostLookupForTesting([](const QByteArray &) { return std::nullopt; }); // no name is looked up
    }
    void init()
    {
        m_echo = FakeEcho();
        m_pages = FakePages();
        m_client = Client();
        g_log.clear();
    }
    void cleanup()
    {
        m_client.holdEvents = false;
        for (auto &[id, o] : m_objects) {
            o->shutdown();
            QTRY_VERIFY(!o->isBusy());
        }
        m_objects.clear();
    }

    // A fetch asked for during the ping's echo wait runs once the ping has ended, so it stops the ping's answer
    // before its first raise.
    void callDuringEchoWaitWaits()
    {
        m_echo.hold = true;
        ProbeObject &o = make(1);
        request(o, Ping);
        QTRY_COMPARE(m_echo.held.size(), 1u);
        request(o, Page);
        m_echo.answer();
        QTRY_COMPARE(m_client.of(1, false).size(), 2);
        QCOMPARE(m_client.of(1, true).size(), 0);
    }

    // A ping asked for during a page wait starts in that wait, and the fetch below goes on only once the ping has
    // ended, even though its page came while the ping waited for its echo.
    void tickAtYieldPointRunsAndEndsFirst()
    {
        m_echo.hold = m_pages.hold = true;
        ProbeObject &o = make(1);
        request(o, Page, 20000);
        QTRY_COMPARE(m_pages.openedAt.size(), 1);
        request(o, Ping);
        QTRY_COMPARE(m_echo.held.size(), 1u);
        m_pages.finish();
        QMetaObject::invokeMethod(this, [this] { m_echo.answer(); }, Qt::QueuedConnection);
        QTRY_COMPARE(m_client.of(1, true).size(), 1);
        QCOMPARE(g_log, QStringList({"echo answered", "text read"}));
    }

    // The client holds each event 150 ms: the tick due meanwhile raises the next one as soon as it has returned.
    void tickDuringRaiseWaitsThenRuns()
    {
        m_client.returnAfterMs = 150;
        request(make(1), Ping);
        QTRY_COMPARE(m_client.of(1, true).size(), 2);
        const qint64 next = m_client.of(1, true).last().at;
        QCOMPARE_GE(next, m_client.returnedAt[0]);
        QCOMPARE_LT(next - m_client.returnedAt[0], 25);
    }

    // The handler's call runs during the raise: its fetch's tick is due by the event's return and runs at once.
    void callFromHandlerRunsDuringRaise()
    {
        m_client.returnAfterMs = 50;
        m_client.handler = [](ProbeObject &o) { request(o, Page); };
        request(make(1), Ping);
        QTRY_COMPARE(m_pages.openedAt.size(), 1);
        QCOMPARE_LT(m_pages.openedAt[0] - m_client.returnedAt[0], 8);
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
        m_echo.hold = wait == "echo";
        m_pages.hold = wait == "page";
        m_client.holdEvents = wait == "raise";
        ProbeObject &o = make(1);
        QSignalSpy ended(&o, &ProbeObject::ended);
        request(o, wait == "page" ? Page : Ping, 20000, 0, wait == "box" ? "1.2.3.4.5" : "127.0.0.5");
        QTRY_VERIFY(m_echo.held.size() + m_pages.openedAt.size() + m_client.events.size() + m_client.boxes == 1);
        o.shutdown();
        QTRY_COMPARE(ended.size(), 1);
        QCOMPARE(o.isBusy(), false);
        QCOMPARE(m_echo.held.size(), 0u);
        QCOMPARE(m_pages.aborts, wait == "page" ? 1 : 0);
    }

    void timing_data()
    {
        QTest::addColumn<int>("kind");
        QTest::newRow("ping") << int(Ping);
        QTest::newRow("page") << int(Page);
    }

    // The work starts 10 ms after the request (the earliest of five tries, within 5 ms); the answer comes 100 ms
    // after the work, and again every 100 ms.
    void timing()
    {
        QFETCH(int, kind);
        const QList<qint64> &workAt = kind == Ping ? m_echo.sentAt : m_pages.openedAt;
        qint64 start = INT_MAX, first = INT_MAX;
        for (quint32 id = 1; id <= 5; ++id) {
            const qint64 asked = g_clock.elapsed();
            request(make(id), Kind(kind));
            QTRY_COMPARE(m_client.of(id, kind == Ping).size(), 1);
            start = std::min(start, workAt.last() - asked);
            first = std::min(first, m_client.of(id, kind == Ping).first().at - workAt.last());
            m_objects[id]->shutdown();
        }
        QCOMPARE_GE(start, 10);
        QCOMPARE_LT(start, 15);
        QCOMPARE_GE(first, 100);
        QCOMPARE_LT(first, 105);
        request(make(9), Kind(kind));
        QTRY_COMPARE_WITH_TIMEOUT(m_client.of(9, kind == Ping).size(), 5, 2000);
        const QList<Client::Event> events = m_client.of(9, kind == Ping);
        const qint64 interval = (events.last().at - events.first().at) / 4;
        QCOMPARE_GE(interval, 98);
        QCOMPARE_LT(interval, 110);
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
        QTest::newRow("page answer, then release: stops") << int(Page) << int(Release) << true;
    }

    // An answer repeats every 100 ms until a request of the other kind or the release; a request of its own kind
    // 60 ms after a raise leaves its beat alone. Object 2, pinging, keeps time.
    void repeatStops()
    {
        QFETCH(int, first);
        QFETCH(int, then);
        QFETCH(bool, stops);
        qint64 calledAt = INT_MAX;
        m_client.handler = [&](ProbeObject &o) {
            QTimer::singleShot(60, &o, [&] { calledAt = g_clock.elapsed(), request(o, Kind(then)); });
        };
        request(make(1), Kind(first));
        QTRY_VERIFY(calledAt < INT_MAX);
        request(make(2), Ping);
        QTRY_COMPARE(m_client.of(2, true, calledAt).size(), 3);
        const QList<Client::Event> after = m_client.of(1, first == Ping, calledAt);
        QCOMPARE(after.isEmpty(), stops);
        if (!stops)
            QCOMPARE_LT(after.first().at - calledAt, 75);
    }

    // A fetch that times out keeps the text of the earlier one, and so is not retried.
    void timedOutPageKeepsEarlierText()
    {
        ProbeObject &o = make(1);
        request(o, Page);
        QTRY_COMPARE(m_client.of(1, false).size(), 1);
        m_pages.hold = true;
        request(o, Page, 30, 2, "127.0.0.6");
        QTRY_COMPARE(m_client.of(1, false).last().host, "127.0.0.6");
        QCOMPARE(m_client.of(1, false).last().value, "page");
        QCOMPARE(m_pages.openedAt.size(), 2);
    }

    void pingResult_data()
    {
        QTest::addColumn<quint32>("status");
        QTest::addColumn<quint32>("roundTripMs");
        QTest::addColumn<int>("retries");
        QTest::addColumn<int>("echoes");
        QTest::addColumn<QString>("reported");
        QTest::newRow("under 1 ms") << IpStatus::Success << 0u << 3 << 1 << "0";
        QTest::newRow("12 ms") << IpStatus::Success << 12u << 0 << 1 << "12";
        QTest::newRow("timed out, 3 retries") << IpStatus::RequestTimedOut << 0u << 3 << 12 << "-11010";
    }

    // The round trip as the echo gives it, a failure's status negated after three echoes per try, 1 + retries tries.
    void pingResult()
    {
        QFETCH(quint32, status);
        QFETCH(quint32, roundTripMs);
        QFETCH(int, retries);
        m_echo.next = {status, roundTripMs, 64, {}};
        request(make(1), Ping, 100, retries);
        QTRY_COMPARE(m_client.of(1, true).size(), 1);
        QTEST(int(m_echo.sentAt.size()), "echoes");
        QTEST(m_client.of(1, true).first().value, "reported");
    }
};

QTEST_GUILESS_MAIN(ObjectOrderTest)
#include "object_order_test.moc"
