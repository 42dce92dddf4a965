// Guards the scan engine's rules on stand-in probes: address walk, the page asked for (port 80, id.htm), slots
// (1, the default 50 and 255; 0 and 256 refused), rows and their pages, stop, held, dropped and refused starts,
// failures; hosts seen through ARP when the driver gives a look-up; a list that grows while the scan runs.
#include "Harness.h"
#include "StandInProbe.h"
#include "engine/ScanChecks.h"
#include "engine/ScanEngine.h"

#include <QSignalSpy>
#include <QTest>
#include <QTimer>

#include <numeric>

using Harness::host;

namespace {

QString idPage(const QString &text) { return "<title>Quorvane Product ID</title><body>" + text + "</body>"; }

enum Disturbance { StopAtFirstPage, ServerDiesAtFirstPage, NotReady, PendingThenRefused, PendingThenStopped, NoProbe,
                   DeadProbe };

} // namespace
Q_DECLARE_METATYPE(Disturbance)

class EngineTest : public QObject
{
    Q_OBJECT

    StandInFactory *m_factory = nullptr;
    ScanEngine *m_engine = nullptr;
    // What the engine said in the test: rows completed, ends, workers busy at the end (-2: still scanning), messages.
    struct Out { QList<HostRecord> complete; int finished = 0; int busyAtFinish = -1; QStringList messages; } m_out;

private slots:
    void init()
    {
        m_factory = new StandInFactory;
        m_engine = new ScanEngine(*m_factory, [] { return ScanEngine::Settings{100, 3}; });
        m_out = {};
        connect(m_engine, &ScanEngine::rowComplete, this, [this](auto, const HostRecord &h) { m_out.complete << h; });
        connect(m_engine, &ScanEngine::finished, this, [this] {
            ++m_out.finished;
            m_out.busyAtFinish = m_engine->isScanning() ? -2 : m_engine->busyCount();
        });
        connect(m_engine, &ScanEngine::message, this, [this](const QString &text) { m_out.messages.append(text); });
    }

    void cleanup() { delete m_engine; delete m_factory; }

    // Even hosts answer every ping twice and .0's page comes third; ARP finds .3; the other odd hosts fail.
    void walk()
    {
        QStringList pinged;
        for (int octet = 0; octet <= 254; ++octet) {
            pinged << host(octet);
            m_factory->pingTimes.insert(host(octet), octet % 2 ? -1 : octet);
            m_factory->pages.insert(host(octet), octet == 4 ? "<title>Printer</title>" : idPage("Unit " + host(octet)));
        }
        QStringList asked;
        qint64 oldest = -1;
        m_engine->setArpLookup([&](const QString &address, qint64 scanMs) {
            asked << address;
            oldest = std::max(oldest, scanMs);
            return address == host(3) ? QStringLiteral("00:D0:EF:00:00:03") : QString();
        });
        StandInFactory::Request held;
        m_factory->onRequest = [&](const StandInFactory::Request &r) {
            const qint16 time = m_factory->pingTimes.value(r.host, -1);
            if (!r.page)
                QTimer::singleShot(0, r.probe, [r, time] { emit r.probe->PingResponse(r.host, time); });
            else if (r.host == host(0))
                held = r;
            return !(r.page && r.host == host(0));
        };
        connect(m_engine, &ScanEngine::rowComplete, this, [&] {
            const QString page = m_factory->pages.value(held.host);
            if (m_out.complete.size() == 2)
                QTimer::singleShot(0, held.probe, [&held, page] { emit held.probe->HTTPReqResponse(held.host, page); });
        });
        QList<int> cursor;
        connect(m_engine, &ScanEngine::cursorChanged, this, [&](qsizetype n) { cursor.append(int(n)); });
        QStringList pingedAtEnd;
        connect(m_engine, &ScanEngine::finished, this, [&] { pingedAtEnd = m_factory->pinged(); });
        QSignalSpy failedSpy(m_engine, &ScanEngine::pingFailed);
        QVERIFY(m_engine->start(ScanChecks::addresses({QStringLiteral("127.0.0"), 0, 255})));
        QTRY_COMPARE(m_engine->isScanning(), false);
        QCOMPARE(pingedAtEnd, pinged);
        QCOMPARE(asked.size(), 127);
        QCOMPARE(asked.first(), host(1));
        QVERIFY(oldest >= 0);
        QVERIFY(oldest < 5000);
        QCOMPARE(failedSpy.size(), 126);
        QCOMPARE(failedSpy.first(), (QVariantList{host(1), qint16(-1)}));
        QCOMPARE(m_engine->dispatchedCount(), 255);
        QCOMPARE(m_factory->requests.size(), 255 + 129);
        for (const StandInFactory::Request &r : std::as_const(m_factory->requests))
            QCOMPARE(r.asked, r.page ? QStringLiteral("80 id.htm") : QString());
        QCOMPARE(m_out.finished, 1);
        QCOMPARE(m_out.busyAtFinish, 0);
        QCOMPARE(cursor.first(), 0);
        QCOMPARE(cursor.last(), -1);
        QCOMPARE(m_out.complete.size(), 129);
        QCOMPARE_NE(m_out.complete[0].host, host(0));
        QCOMPARE_NE(m_out.complete[1].host, host(0));
        for (const HostRecord &r : std::as_const(m_out.complete)) {
            const bool arp = r.host == host(3);
            QCOMPARE(r.seen, arp ? HostRecord::Seen::Arp : HostRecord::Seen::Echo);
            QCOMPARE(r.mac, arp ? QStringLiteral("00:D0:EF:00:00:03") : QString());
            QCOMPARE(QString::number(r.pingTime), arp ? QStringLiteral("0") : r.host.mid(8));
            QCOMPARE(r.description, r.host == host(4) ? QString() : "Unit " + r.host);
        }
        QCOMPARE(m_out.messages, QStringList());
    }

    // A list that grows while the scan runs: what is added goes out after what came before; the scan ends once
    // the list is closed and done, and a list closed empty while the start is held ends it.
    void growingList()
    {
        QVERIFY(m_engine->start({0x7F000001}, ScanEngine::kDefaultSlotCount, true));
        m_engine->addAddresses({0x7F000003, 0x7F000002});
        QTRY_COMPARE(m_engine->probedCount(), 3);
        QCOMPARE(m_out.finished, 0);
        m_engine->endAddresses();
        QCOMPARE(m_out.finished, 1);
        QCOMPARE(m_factory->pinged(), (QStringList{host(1), host(3), host(2)}));
        m_factory->pending = true;
        QVERIFY(m_engine->start({}, ScanEngine::kDefaultSlotCount, true));
        m_engine->endAddresses(); // while the start is held
        m_factory->decide();
        QTRY_COMPARE(m_out.finished, 2);
    }

    void pool_data()
    {
        QTest::addColumn<int>("size");
        QTest::addColumn<bool>("pending"); // the server is still starting at the start
        QTest::newRow("one slot") << 1 << false;
        QTest::newRow("the default fifty, after a wait for the server") << 50 << true;
        QTest::newRow("255 size") << 255 << false;
    }

    // Silent workers fill the slots in order; the next address waits for, and takes, the first freed slot.
    void pool()
    {
        QFETCH(int, size);
        QFETCH(bool, pending);
        QList<quint32> addresses(300); // 127.0.0.0 to 127.0.1.43
        std::iota(addresses.begin(), addresses.end(), 0x7F000000u);
        QCOMPARE(m_engine->start(addresses, 0), false);
        QCOMPARE(m_engine->start(addresses, 256), false);
        QCOMPARE(m_engine->start({}), false);
        QList<int> usedSlots;
        qsizetype sentWhileFull = -1;
        m_factory->onRequest = [&](const StandInFactory::Request &r) {
            for (int slot = 0; slot < size; ++slot)
                if (m_engine->probeAt(slot) == r.probe.data())
                    usedSlots.append(slot);
            if (usedSlots.size() == size) {
                StandInFactory::Request last = m_factory->requests[size - 1];
                QTimer::singleShot(20, this, [&, last] {
                    sentWhileFull = m_factory->requests.size() - size;
                    emit last.probe->PingResponse(last.host, -1);
                });
            }
            if (usedSlots.size() == size + 1)
                QTimer::singleShot(0, m_engine, &ScanEngine::stop);
            return false;
        };
        m_factory->pending = pending;
        QVERIFY(size == 50 ? m_engine->start(addresses) : m_engine->start(addresses, size));
        QCOMPARE(m_engine->isScanning(), !pending);
        if (pending)
            m_factory->decide();
        QTRY_COMPARE(m_engine->isScanning(), false);
        QCOMPARE(usedSlots.size(), size + 1);
        for (int i = 0; i < size; ++i)
            QCOMPARE(usedSlots[i], i);
        QCOMPARE(usedSlots[size], size - 1);
        QCOMPARE(m_factory->requests[size].host, ScanEngine::addressText(addresses[size]));
        QCOMPARE(sentWhileFull, 0);
    }

    void endsEarly_data()
    {
        QTest::addColumn<Disturbance>("disturbance");
        QTest::addColumn<bool>("started");
        QTest::addColumn<bool>("refused");
        QTest::addColumn<int>("rows"); // completed, the page not come
        QTest::addColumn<QString>("message"); // part of the one message; empty: none
        const QString died = "pelorin has stopped", missing = "pelorin missing", noWorker = "could not get a worker";
        QTest::newRow("Stop at the first page request") << StopAtFirstPage << true << false << 1 << "";
        QTest::newRow("server died at the first page") << ServerDiesAtFirstPage << true << false << 1 << died;
        QTest::newRow("server refused") << NotReady << false << true << 0 << missing;
        QTest::newRow("server pending, then refused") << PendingThenRefused << false << true << 0 << missing;
        QTest::newRow("server pending, Stop, then ready") << PendingThenStopped << false << false << 0 << "";
        QTest::newRow("no probe") << NoProbe << true << false << 0 << noWorker;
        QTest::newRow("dead probe") << DeadProbe << true << false << 0 << noWorker;
    }

    // .1 answers its ping, its page never comes: each way a scan ends early, or never starts.
    void endsEarly()
    {
        QFETCH(Disturbance, disturbance);
        QFETCH(bool, started);
        QFETCH(bool, refused);
        QFETCH(int, rows);
        QFETCH(QString, message);
        QSignalSpy startedSpy(m_engine, &ScanEngine::started);
        QSignalSpy refusedSpy(m_engine, &ScanEngine::startRefused);
        const bool pending = disturbance == PendingThenRefused || disturbance == PendingThenStopped;
        m_factory->notReady = disturbance == NotReady || disturbance == PendingThenRefused ? "pelorin missing" : "";
        m_factory->pending = pending;
        m_factory->canCreate = disturbance != NoProbe;
        m_factory->alive = disturbance != DeadProbe;
        m_factory->pingTimes.insert(host(1), 0);
        m_factory->onRequest = [&](const StandInFactory::Request &r) {
            if (r.page && disturbance == StopAtFirstPage)
                QTimer::singleShot(0, m_engine, &ScanEngine::stop);
            if (r.page && disturbance == ServerDiesAtFirstPage)
                QTimer::singleShot(0, m_factory, [this] { emit m_factory->serverDied(QStringLiteral("killed")); });
            return r.host == host(1) && !r.page;
        };
        qsizetype requestsAtEnd = -1;
        connect(m_engine, &ScanEngine::finished, this, [&] { requestsAtEnd = m_factory->requests.size(); });

        QCOMPARE(m_engine->start(ScanChecks::addresses({QStringLiteral("127.0.0"), 1, 200})), disturbance != NotReady);
        QCOMPARE(m_engine->isScanning(), started && !pending);
        if (disturbance == PendingThenStopped)
            m_engine->stop(); // while the start is held
        if (pending)
            m_factory->decide();
        QTRY_COMPARE(m_engine->isScanning(), false);
        bool later = false;
        QTimer::singleShot(20, this, [&] { later = true; });
        QTRY_VERIFY(later);
        QCOMPARE(m_factory->requests.size(), started ? requestsAtEnd : 0);
        QCOMPARE(m_out.complete.size(), rows);
        QCOMPARE(m_out.messages.size(), int(!message.isEmpty()));
        QVERIFY2(m_out.messages.join(QString()).contains(message), qPrintable(m_out.messages.join(u'|')));
        QCOMPARE(startedSpy.size(), int(started));
        QCOMPARE(refusedSpy.size(), int(refused));
        QCOMPARE(m_out.finished, int(started));
        QCOMPARE(m_out.busyAtFinish, started ? 0 : -1);
        QCOMPARE(m_engine->failed(), started && !message.isEmpty());
    }
};

QTEST_GUILESS_MAIN(EngineTest)
#include "engine_test.moc"
