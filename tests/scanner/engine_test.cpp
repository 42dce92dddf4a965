// The scan engine with stand-in probes (no window, server or network): range walk, slots, settings per
// request (shown at the window), rows and their pages, Stop, stale workers, probe failures; and the pure Start checks beside it.
#include "ScanChecks.h"
#include "ScanEngine.h"
#include "StandInProbe.h"

#include <QSignalSpy>
#include <QTest>
#include <QTimer>

#include <limits>

namespace {

QString host(int octet) { return QStringLiteral("127.0.0.%1").arg(octet); }

QStringList hosts(int first, int last)
{
    QStringList list;
    for (int octet = first; octet <= last; ++octet)
        list.append(host(octet));
    return list;
}

QString idPage(const QString &description) { return "<title>Quorvane Product ID</title><body>" + description + "</body>"; }

} // namespace

class EngineTest : public QObject
{
    Q_OBJECT

    StandInFactory *m_factory = nullptr;
    ScanEngine *m_engine = nullptr;
    ScanEngine::Settings m_settings{100, 3};
    QList<HostRecord> m_complete;
    int m_finished = 0;
    QStringList m_messages;

    // Runs a scan of 127.0.0.lower up to upper until it has ended.
    void scan(int lower, int upper)
    {
        QVERIFY(m_engine->Start({QStringLiteral("127.0.0"), lower, upper}));
        QTRY_VERIFY(!m_engine->isScanning());
    }
    int slotOf(const StandInFactory::Request &request) const
    {
        for (quint8 slot = 1; slot <= ScanEngine::kSlotCount; ++slot) {
            if (m_engine->probeAt(slot) && m_engine->probeAt(slot) == request.probe.data())
                return slot;
        }
        return 0;
    }

private slots:
    void init()
    {
        m_factory = new StandInFactory;
        m_engine = new ScanEngine(*m_factory, [this] { return m_settings; });
        m_settings = {100, 3};
        m_complete.clear();
        m_finished = 0;
        m_messages.clear();
        connect(m_engine, &ScanEngine::rowComplete, this,
                [this](quint64, const HostRecord &record) { m_complete.append(record); });
        connect(m_engine, &ScanEngine::finished, this, [this] {
            ++m_finished;
            QVERIFY(!m_engine->isScanning());
            QCOMPARE(m_engine->busyCount(), 0);
        });
        connect(m_engine, &ScanEngine::message, this, [this](const QString &text) { m_messages.append(text); });
    }

    void cleanup() { delete m_engine; delete m_factory; }

    void startChecks_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<int>("octet"); // -1: refused
        QTest::addColumn<int>("timeOut");
        QTest::addColumn<int>("retries");
        QTest::newRow("blank") << "" << 0 << 1 << 1;
        QTest::newRow("blank and leading zero") << " 010" << 10 << 10 << 10;
        QTest::newRow("blanks inside") << "2 5 5" << 255 << 255 << 255;
        QTest::newRow("negative") << "-3" << -1 << 1 << 1;
        QTest::newRow("above 255") << "256" << -1 << 256 << 255;
        QTest::newRow("below 1") << "0.4" << -1 << 1 << 1;
        QTest::newRow("tie to even down") << "2.5" << -1 << 2 << 2;
        QTest::newRow("tie to even up") << "3.5" << -1 << 4 << 4;
        QTest::newRow("whole as fraction") << "7.0" << 7 << 7 << 7;
        QTest::newRow("too large") << "1e20" << -1 << std::numeric_limits<qint32>::max() << 255;
    }

    // A box's text as an octet, and as the time-out and retries of a request.
    void startChecks()
    {
        QFETCH(QString, text);
        QFETCH(int, octet);
        QFETCH(int, timeOut);
        QFETCH(int, retries);
        QCOMPARE(ScanChecks::octet(text).value_or(-1), octet);
        QCOMPARE(ScanChecks::timeOut(text), timeOut);
        QCOMPARE(int(ScanChecks::retries(text)), retries);
    }

    void rangeWalk_data()
    {
        QTest::addColumn<int>("lower");
        QTest::addColumn<int>("upper");
        QTest::addColumn<QStringList>("pinged");
        QTest::addColumn<bool>("answer"); // every host answers with its own page
        QTest::newRow("lower below upper: upper not pinged") << 2 << 5 << hosts(2, 4) << false;
        QTest::newRow("lower equals upper") << 5 << 5 << hosts(5, 5) << true;
        QTest::newRow("whole network: .0 to .254") << 0 << 255 << hosts(0, 254) << true;
    }

    // Every address once, in order, and the end announced once, after the last; when every host answers,
    // each row gets its own page.
    void rangeWalk()
    {
        QFETCH(int, lower);
        QFETCH(int, upper);
        QFETCH(QStringList, pinged);
        QFETCH(bool, answer);
        for (const QString &h : pinged) {
            m_factory->pingTimes.insert(h, answer ? 1 : -1);
            m_factory->pages.insert(h, idPage(QStringLiteral("Unit ") + h));
        }
        QList<int> cursor;
        connect(m_engine, &ScanEngine::cursorChanged, this, [&](int octet) { cursor.append(octet); });
        QStringList pingedAtEnd;
        connect(m_engine, &ScanEngine::finished, this, [&] { pingedAtEnd = m_factory->pinged(); });

        scan(lower, upper);
        QCOMPARE(pingedAtEnd, pinged);
        QCOMPARE(m_factory->requests.size(), answer ? 2 * pinged.size() : pinged.size());
        QCOMPARE(m_finished, 1);
        QCOMPARE(cursor.first(), lower);
        QCOMPARE(cursor.last(), -1);
        QCOMPARE(m_complete.size(), answer ? pinged.size() : 0);
        for (const HostRecord &r : std::as_const(m_complete))
            QCOMPARE(r.description, QStringLiteral("Unit ") + r.host);
        QVERIFY(m_messages.isEmpty());
    }

    // Hosts that answer become rows with their ping time; each page reaches its own row, whatever order the
    // pages come in; repeated answers change nothing.
    void rowsAndPages()
    {
        m_factory->pingTimes = {{host(1), 0}, {host(2), 12}, {host(4), 3}};
        m_factory->pages = {{host(1), idPage(QStringLiteral("Model 7 Rev B"))},
                            {host(2), QStringLiteral("<title>Printer</title><body>Welcome</body>")},
                            {host(4), idPage(QStringLiteral("Line one\nLine <b>two</b>"))}};
        StandInFactory::Request held;
        m_factory->onRequest = [&](const StandInFactory::Request &r) {
            if (!r.page) // every ping answered twice
                QTimer::singleShot(0, r.probe, [this, r] { r.probe->answerPing(r.host, m_factory->pingTimes.value(r.host, -1)); });
            else if (r.host == host(1)) // the first page comes last
                held = r;
            return !(r.page && r.host == host(1));
        };
        connect(m_engine, &ScanEngine::rowComplete, this, [&] {
            if (m_complete.size() == 2)
                QTimer::singleShot(0, held.probe, [&] { held.probe->answerPage(held.host, m_factory->pages.value(held.host)); });
        });
        int found = 0;
        connect(m_engine, &ScanEngine::hostFound, this, [&] { ++found; });

        scan(1, 5);
        QCOMPARE(found, 3);
        QCOMPARE(m_factory->requests.size(), 4 + 3);
        QStringList rows;
        for (const HostRecord &r : std::as_const(m_complete))
            rows.append(QStringLiteral("%1 %2 %3").arg(r.host).arg(r.pingTime).arg(r.description));
        QCOMPARE(rows.takeLast(), QStringLiteral("127.0.0.1 0 Model 7 Rev B"));
        rows.sort();
        QCOMPARE(rows, (QStringList{"127.0.0.2 12 ", "127.0.0.4 3 Line one\nLine <b>two</b>"}));
    }

    // Fifty silent workers fill the pool in slot order; nothing more is handed out until one answers, and the
    // slot it frees is the next one used.
    void poolOfFifty()
    {
        QList<int> usedSlots;
        bool sentWhileFull = false;
        m_factory->onRequest = [&](const StandInFactory::Request &r) {
            usedSlots.append(slotOf(r));
            if (usedSlots.size() == 50) {
                StandInFactory::Request fifth = m_factory->requests[4];
                QTimer::singleShot(20, this, [&, fifth] {
                    sentWhileFull = m_factory->requests.size() != 50;
                    fifth.probe->answerPing(fifth.host, -1);
                });
            }
            if (usedSlots.size() == 51)
                QTimer::singleShot(0, m_engine, &ScanEngine::Stop);
            return false;
        };
        scan(2, 200);
        QCOMPARE(usedSlots.size(), 51);
        for (int i = 0; i < 50; ++i)
            QCOMPARE(usedSlots[i], i + 1);
        QCOMPARE(usedSlots[50], 5);
        QCOMPARE(m_factory->requests[50].host, host(52));
        QVERIFY(!sentWhileFull);
        QCOMPARE(m_finished, 1);
    }

    // Stop: nothing further is handed out, listed hosts waiting for their page complete without it, and the
    // end is announced once.
    void stopWhileDispatching()
    {
        m_factory->pingTimes.insert(host(3), 0);
        m_factory->onRequest = [&](const StandInFactory::Request &r) {
            if (r.page)
                QTimer::singleShot(0, m_engine, &ScanEngine::Stop);
            return !r.page && r.host == host(3);
        };
        QVERIFY(m_engine->Start({QStringLiteral("127.0.0"), 2, 200}));
        QVERIFY(!m_engine->isScanning());
        QVERIFY(m_factory->requests.size() < 10);
        QCOMPARE(m_complete.size(), 1);
        QCOMPARE(m_complete[0].host + m_complete[0].description, host(3));
        QCOMPARE(m_finished, 1);
        QCOMPARE(m_engine->busyCount(), 0);
    }

    // A worker made while the scan was stopped (at the yield of its making) is dropped: no request, no slot.
    void workerOfStoppedScanDropped()
    {
        int made = 0;
        m_factory->onCreate = [&] {
            if (++made == 3)
                QTimer::singleShot(0, m_engine, &ScanEngine::Stop);
        };
        m_factory->onRequest = [](const StandInFactory::Request &) { return false; };
        QVERIFY(m_engine->Start({QStringLiteral("127.0.0"), 1, 200}));
        QCOMPARE(m_factory->requests.size(), 2);
        QCOMPARE(m_engine->busyCount(), 0);
        QCOMPARE(m_finished, 1);
    }

    void probeFailures_data()
    {
        QTest::addColumn<int>("failure"); // 0 not ready, 1 no probe, 2 dead probe, 3 server died mid-scan
        QTest::addColumn<QString>("message");
        QTest::addColumn<bool>("started");
        QTest::newRow("not ready") << 0 << "pelorin missing" << false;
        QTest::newRow("no probe") << 1 << "could not get a worker" << true;
        QTest::newRow("dead probe") << 2 << "could not get a worker" << true;
        QTest::newRow("server died") << 3 << "pelorin has stopped" << true;
    }

    // A scan that can't probe says so once, ends, and reports the failure.
    void probeFailures()
    {
        QFETCH(int, failure);
        QFETCH(QString, message);
        QFETCH(bool, started);
        QSignalSpy startedSpy(m_engine, &ScanEngine::started);
        m_factory->notReady = failure == 0 ? QStringLiteral("pelorin missing") : QString();
        m_factory->canCreate = failure != 1;
        m_factory->alive = failure != 2;
        m_factory->pingTimes.insert(host(1), 0);
        m_factory->onRequest = [&](const StandInFactory::Request &r) {
            if (r.page && failure == 3)
                QTimer::singleShot(0, m_factory, [this] { m_factory->died(QStringLiteral("killed")); });
            return !r.page;
        };
        QCOMPARE(m_engine->Start({QStringLiteral("127.0.0"), 1, 5}), started);
        QTRY_VERIFY(!m_engine->isScanning());
        QCOMPARE(m_messages.size(), 1);
        QVERIFY2(m_messages[0].contains(message), qPrintable(m_messages[0]));
        QCOMPARE(startedSpy.size(), started ? 1 : 0);
        QCOMPARE(m_finished, started ? 1 : 0);
        QCOMPARE(m_engine->failed(), failure != 0);
        QCOMPARE(m_complete.size(), failure == 3 ? 1 : 0);
        if (failure < 3)
            QVERIFY(m_factory->requests.isEmpty());
    }
};

QTEST_GUILESS_MAIN(EngineTest)
#include "engine_test.moc"
