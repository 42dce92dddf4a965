// Guards the scan engine's rules on stand-in probes: address walk, the page asked for (port 80, id.htm), slots
// (1, the default 50 and 255; 0 and 256 refused), rows and their pages, stop, held, dropped and refused starts,
// failures; hosts seen through ARP when the driver gives a look-up; a list that grows while the scan runs.
#include "Harness.h"
#include "StandInProbe.h"
#include "engine/ScanEngine.h"

#include <QSignalSpy>
#include <QTest>
#include <QTimer>

using Harness::host;

namespace {

QString idPage(const QString &description)
{
    return "<title>Quorvane Product ID</title><body>" + description + "</body>";
}

enum Disturbance { StopAtFirstPage, ServerDiesAtFirstPage, NotReady, PendingThenRefused, PendingThenStopped, NoProbe,
                   DeadProbe };

} // namespace
Q_DECLARE_METATYPE(Disturbance)

class EngineTest : public QObject
{
    Q_OBJECT

    StandInFactory *m_factory = nullptr;
    ScanEngine *m_engine = nullptr;
    QList<HostRecord> m_complete;
    int m_finished = 0;
    int m_busyAtFinish = -1;
    QStringList m_messages;

private slots:
    void init()
    {
        m_factory = new StandInFactory;
        m_engine = new ScanEngine(*m_factory, [] { return ScanEngine::Settings{100, 3}; });
        m_complete.clear();
        m_finished = 0;
        m_busyAtFinish = -1;
        m_messages.clear();
        connect(m_engine, &ScanEngine::rowComplete, this, [this](quint64, const HostRecord &r) { m_complete << r; });
        connect(m_engine, &ScanEngine::finished, this, [this] {
            ++m_finished;
            m_busyAtFinish = m_engine->isScanning() ? -2 : m_engine->busyCount();
        });
        connect(m_engine, &ScanEngine::message, this, [this](const QString &text) { m_messages.append(text); });
    }

    void cleanup() { delete m_engine; delete m_factory; }

    // Every address of the network once, in order, and the end announced once, after the last; hosts that
    // answer (the even ones, every ping answered twice) become rows with their ping time and each gets its own
    // page (port 80, id.htm), whatever order the pages come in; the others are reported failed.
    void walk()
    {
        QStringList pinged;
        for (int octet = 0; octet <= 254; ++octet) {
            pinged << host(octet);
            m_factory->pingTimes.insert(host(octet), octet % 2 ? -1 : octet);
            m_factory->pages.insert(host(octet), octet == 4 ? "<title>Printer</title>" : idPage("Unit " + host(octet)));
        }
        StandInFactory::Request held; // the first page comes after two others
        m_factory->onRequest = [&](const StandInFactory::Request &r) {
            const qint16 time = m_factory->pingTimes.value(r.host, -1);
            if (!r.page)
                QTimer::singleShot(0, r.probe, [r, time] { r.probe->answerPing(r.host, time); });
            else if (r.host == host(0))
                held = r;
            return !(r.page && r.host == host(0));
        };
        connect(m_engine, &ScanEngine::rowComplete, this, [&] {
            const QString page = m_factory->pages.value(held.host);
            if (m_complete.size() == 2)
                QTimer::singleShot(0, held.probe, [&held, page] { held.probe->answerPage(held.host, page); });
        });
        QList<int> cursor;
        connect(m_engine, &ScanEngine::cursorChanged, this, [&](qsizetype n) { cursor.append(int(n)); });
        QStringList pingedAtEnd;
        connect(m_engine, &ScanEngine::finished, this, [&] { pingedAtEnd = m_factory->pinged(); });
        QSignalSpy failedSpy(m_engine, &ScanEngine::pingFailed);
        QVERIFY(m_engine->start(ScanChecks::addresses({QStringLiteral("127.0.0"), 0, 255})));
        QTRY_COMPARE(m_engine->isScanning(), false);
        QCOMPARE(pingedAtEnd, pinged);
        QCOMPARE(failedSpy.size(), 127);
        QCOMPARE(failedSpy.first(), (QVariantList{host(1), qint16(-1)}));
        QCOMPARE(m_engine->dispatchedCount(), 255);
        QCOMPARE(m_factory->requests.size(), 255 + 128);
        for (const StandInFactory::Request &r : std::as_const(m_factory->requests))
            QCOMPARE(r.asked, r.page ? QStringLiteral("80 id.htm") : QString());
        QCOMPARE(m_finished, 1);
        QCOMPARE(m_busyAtFinish, 0);
        QCOMPARE(cursor.first(), 0);
        QCOMPARE(cursor.last(), -1);
        QCOMPARE(m_complete.size(), 128);
        QCOMPARE_NE(m_complete[0].host, host(0));
        QCOMPARE_NE(m_complete[1].host, host(0));
        for (const HostRecord &r : std::as_const(m_complete)) {
            QCOMPARE(QString::number(r.pingTime), r.host.mid(8));
            QCOMPARE(r.description, r.host == host(4) ? QString() : "Unit " + r.host);
        }
        QCOMPARE(m_messages, QStringList());
    }

    // With an ARP look-up, an address whose ping failed is asked about with the scan's age; listed (seen arp) when the
    // look-up has its MAC, and its page asked for as any host's; reported failed when not.
    void arpLookup()
    {
        m_factory->pingTimes.insert(host(1), 2);
        m_factory->pages.insert(host(2), idPage("Unit 2"));
        QStringList asked;
        qint64 oldest = -1;
        m_engine->setArpLookup([&](const QString &address, qint64 scanMs) {
            asked << address;
            oldest = std::max(oldest, scanMs);
            return address == host(2) ? QStringLiteral("00:D0:EF:00:00:02") : QString();
        });
        QSignalSpy failedSpy(m_engine, &ScanEngine::pingFailed);
        QVERIFY(m_engine->start(ScanChecks::addresses({QStringLiteral("127.0.0"), 1, 4})));
        QTRY_VERIFY(!m_engine->isScanning());
        asked.sort();
        QCOMPARE(asked, (QStringList{host(2), host(3)}));
        QVERIFY(oldest >= 0);
        QVERIFY(oldest < 5000);
        QCOMPARE(failedSpy.size(), 1);
        QCOMPARE(failedSpy.first().first().toString(), host(3));
        QCOMPARE(m_factory->requests.size(), 3 + 2);
        std::sort(m_complete.begin(), m_complete.end(),
                  [](const HostRecord &a, const HostRecord &b) { return a.host < b.host; });
        QCOMPARE(m_complete.size(), 2);
        QCOMPARE(m_complete[0].seen, HostRecord::Seen::Echo);
        QCOMPARE(m_complete[1].seen, HostRecord::Seen::Arp);
        QCOMPARE(m_complete[1].mac, QStringLiteral("00:D0:EF:00:00:02"));
        QCOMPARE(m_complete[1].description, QStringLiteral("Unit 2"));
    }

    // A list that grows while the scan runs: what is added goes out after what came before; the scan ends once
    // the list is closed and done, and a list closed empty while the start is held ends it.
    void growingList()
    {
        QVERIFY(m_engine->start({0x7F000001}, ScanEngine::kDefaultSlotCount, true));
        m_engine->addAddresses({0x7F000003, 0x7F000002});
        QTRY_COMPARE(m_engine->probedCount(), 3);
        QCOMPARE(m_finished, 0);
        m_engine->endAddresses();
        QCOMPARE(m_finished, 1);
        QCOMPARE(m_factory->pinged(), (QStringList{host(1), host(3), host(2)}));
        m_factory->pending = true;
        QVERIFY(m_engine->start({}, ScanEngine::kDefaultSlotCount, true));
        m_engine->endAddresses(); // while the start is held
        m_factory->decide();
        QTRY_COMPARE(m_finished, 2);
    }

    void pool_data()
    {
        QTest::addColumn<int>("size");
        QTest::addColumn<bool>("pending"); // the server is still starting at the start
        QTest::newRow("one slot") << 1 << false;
        QTest::newRow("the default fifty, after a wait for the server") << 50 << true;
        QTest::newRow("255 size") << 255 << false;
    }

    // Silent workers fill the pool in slot order; nothing more is handed out until one answers, and the slot
    // it frees is the next one used. A held start changes nothing until the server is ready. Pools of 0 and
    // 256 size are refused.
    void pool()
    {
        QFETCH(int, size);
        QFETCH(bool, pending);
        QList<quint32> addresses; // 127.0.0.0 to 127.0.1.43
        for (quint32 i = 0; i < 300; ++i)
            addresses.append(0x7F000000 + i);
        QCOMPARE(m_engine->start(addresses, 0), false);
        QCOMPARE(m_engine->start(addresses, 256), false);
        QCOMPARE(m_engine->start({}), false);
        QList<int> usedSlots;
        qsizetype sentWhileFull = -1;
        m_factory->onRequest = [&](const StandInFactory::Request &r) {
            for (int slot = 1; slot <= size; ++slot) {
                if (m_engine->probeAt(slot) == r.probe.data())
                    usedSlots.append(slot);
            }
            if (usedSlots.size() == size) {
                StandInFactory::Request last = m_factory->requests[size - 1];
                QTimer::singleShot(20, this, [&, last] {
                    sentWhileFull = m_factory->requests.size() - size;
                    last.probe->answerPing(last.host, -1);
                });
            }
            if (usedSlots.size() == size + 1)
                QTimer::singleShot(0, m_engine, &ScanEngine::stop);
            return false;
        };
        m_factory->pending = pending;
        QVERIFY(size == 50 ? m_engine->start(addresses) : m_engine->start(addresses, size));
        QCOMPARE(m_engine->isScanning(), !pending);
        if (pending) {
            QCOMPARE(m_factory->requests.size(), 0);
            QCOMPARE(m_messages, QStringList());
            m_factory->decide();
        }
        QTRY_COMPARE(m_engine->isScanning(), false);
        QCOMPARE(usedSlots.size(), size + 1);
        for (int i = 0; i < size; ++i)
            QCOMPARE(usedSlots[i], i + 1);
        QCOMPARE(usedSlots[size], size);
        QCOMPARE(m_factory->requests[size].host, ScanEngine::addressText(addresses[size]));
        QCOMPARE(sentWhileFull, 0);
        QCOMPARE(m_finished, 1);
    }

    void endsEarly_data()
    {
        QTest::addColumn<Disturbance>("disturbance");
        QTest::addColumn<bool>("started");
        QTest::addColumn<bool>("refused");
        QTest::addColumn<QString>("rows");    // completed: host and description
        QTest::addColumn<QString>("message"); // part of the one message; empty: none
        const QString died = "pelorin has stopped", missing = "pelorin missing", noWorker = "could not get a worker";
        QTest::newRow("Stop at the first page request") << StopAtFirstPage << true << false << "127.0.0.1" << "";
        QTest::newRow("server died at the first page") << ServerDiesAtFirstPage << true << false << "127.0.0.1" << died;
        QTest::newRow("server refused") << NotReady << false << true << "" << missing;
        QTest::newRow("server pending, then refused") << PendingThenRefused << false << true << "" << missing;
        QTest::newRow("server pending, Stop, then ready") << PendingThenStopped << false << false << "" << "";
        QTest::newRow("no probe") << NoProbe << true << false << "" << noWorker;
        QTest::newRow("dead probe") << DeadProbe << true << false << "" << noWorker;
    }

    // .1 answers its ping, no page ever comes. Stopped, nothing further is handed out and a host waiting for
    // its page completes without it; a scan that can't probe says so once and reports the failure; a held
    // start waits for the server, and Stop drops it; a started scan announces its end once.
    void endsEarly()
    {
        QFETCH(Disturbance, disturbance);
        QFETCH(bool, started);
        QFETCH(bool, refused);
        QFETCH(QString, rows);
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
                QTimer::singleShot(0, m_factory, [this] { m_factory->died(QStringLiteral("killed")); });
            return r.host == host(1) && !r.page;
        };
        qsizetype requestsAtEnd = -1;
        connect(m_engine, &ScanEngine::finished, this, [&] { requestsAtEnd = m_factory->requests.size(); });

        QCOMPARE(m_engine->start(ScanChecks::addresses({QStringLiteral("127.0.0"), 1, 200})), disturbance != NotReady);
        QCOMPARE(m_engine->isScanning(), started && !pending);
        if (pending) {
            QCOMPARE(startedSpy.size(), 0);
            QCOMPARE(m_messages, QStringList());
            if (disturbance == PendingThenStopped)
                m_engine->stop();
            m_factory->decide();
        }
        QTRY_COMPARE(m_engine->isScanning(), false);
        bool later = false;
        QTimer::singleShot(20, this, [&] { later = true; });
        QTRY_VERIFY(later);
        QCOMPARE(m_factory->requests.size(), started ? requestsAtEnd : 0);
        QStringList completed;
        for (const HostRecord &r : std::as_const(m_complete))
            completed << r.host + r.description;
        QCOMPARE(completed.join(u' '), rows);
        QCOMPARE(m_messages.size(), int(!message.isEmpty()));
        QVERIFY2(m_messages.join(QString()).contains(message), qPrintable(m_messages.join(u'|')));
        QCOMPARE(startedSpy.size(), int(started));
        QCOMPARE(refusedSpy.size(), int(refused));
        QCOMPARE(m_finished, int(started));
        QCOMPARE(m_busyAtFinish, started ? 0 : -1);
        QCOMPARE(m_engine->failed(), started && !message.isEmpty());
        QCOMPARE(m_engine->busyCount(), 0);
    }
};

QTEST_GUILESS_MAIN(EngineTest)
#include "engine_test.moc"
