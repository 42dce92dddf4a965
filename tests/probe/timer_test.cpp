// The probe server's callback timer and its millisecond tick. Sends no packets.
#include "clsTimer.h"

#include <QElapsedTimer>
#include <QSignalSpy>
#include <QTimerEvent>
#include <QtTest>

#include <memory>

using Pelorin::clsTimer;

class TimerTest : public QObject
{
    Q_OBJECT

private slots:
    void tickWaitHolds_data()
    {
        QTest::addColumn<quint32>("start");
        QTest::addColumn<quint32>("now");
        QTest::addColumn<qint32>("timeOut");
        QTest::addColumn<bool>("holds");

        QTest::newRow("zero waits in the start millisecond") << 1000u << 1000u << 0 << true;
        QTest::newRow("zero ends when the tick moves") << 1000u << 1001u << 0 << false;
        QTest::newRow("deadline millisecond still waits") << 1000u << 1500u << 500 << true;
        QTest::newRow("past the deadline") << 1000u << 1501u << 500 << false;
        QTest::newRow("negative never waits") << 1000u << 1000u << -1 << false;
        QTest::newRow("most negative never waits") << 1000u << 1000u << qint32(INT_MIN) << false;
        QTest::newRow("counter wraps, inside") << 0xFFFFFF00u << 0x10u << 500 << true;
        QTest::newRow("counter wraps, past") << 0xFFFFFF00u << 0x10u << 200 << false;
        QTest::newRow("signed sign change, inside") << 0x7FFFFF00u << 0x80000010u << 500 << true;
        QTest::newRow("signed sign change, past") << 0x7FFFFF00u << 0x80000010u << 200 << false;
        QTest::newRow("largest time-out across the wrap") << 0xFFFFFFF0u << 5u << qint32(INT_MAX) << true;
    }

    void tickWaitHolds()
    {
        QFETCH(quint32, start);
        QFETCH(quint32, now);
        QFETCH(qint32, timeOut);
        QFETCH(bool, holds);
        QCOMPARE(Pelorin::TickWaitHolds(start, now, timeOut), holds);
    }

    void enabledWithoutPeriodNeverTicks()
    {
        clsTimer idle;
        QSignalSpy idleTicks(&idle, &clsTimer::Timer);
        idle.setInterval(-5); // never negative
        QCOMPARE(idle.Interval(), 0);
        idle.setEnabled(true);
        QVERIFY(idle.Enabled());
        QCOMPARE(idle.timerId(), 0);

        // A positive period given later starts nothing by itself...
        idle.setInterval(10);
        QCOMPARE(idle.timerId(), 0);

        clsTimer reference;
        QSignalSpy referenceTicks(&reference, &clsTimer::Timer);
        reference.setInterval(10);
        reference.setEnabled(true);
        QTRY_VERIFY(referenceTicks.count() >= 5);
        QCOMPARE(idleTicks.count(), 0);

        // ...until Enabled is set again.
        idle.setEnabled(true);
        QVERIFY(idle.timerId() != 0);
        QTRY_VERIFY(idleTicks.count() >= 1);
    }

    void enablingTwiceKeepsOneSchedule()
    {
        const int period = 40;
        clsTimer timer;
        timer.setInterval(period);
        QSignalSpy ticks(&timer, &clsTimer::Timer);
        QElapsedTimer clock;
        clock.start();
        timer.setEnabled(true);
        const int id = timer.timerId();
        timer.setEnabled(true);
        QCOMPARE(timer.timerId(), id);

        // A second running timer would bring six ticks in about three periods.
        QTRY_VERIFY_WITH_TIMEOUT(ticks.count() >= 6, 5000);
        QVERIFY2(clock.elapsed() >= 5 * period, qPrintable(QString::number(clock.elapsed())));
    }

    void intervalChangeRestartsAtNewPeriod()
    {
        clsTimer timer;
        timer.setInterval(20);
        QElapsedTimer clock;
        QList<qint64> tickTimes;
        connect(&timer, &clsTimer::Timer, this, [&] { tickTimes.append(clock.elapsed()); });
        timer.setEnabled(true);
        clock.start();
        QTRY_VERIFY(tickTimes.size() >= 2);

        tickTimes.clear();
        clock.restart();
        timer.setInterval(250);
        QCOMPARE(timer.Interval(), 250);
        QVERIFY(timer.Enabled());
        QVERIFY(timer.timerId() != 0);

        QTRY_VERIFY_WITH_TIMEOUT(tickTimes.size() >= 2, 3000);
        QVERIFY2(tickTimes.at(0) >= 240, qPrintable(QString::number(tickTimes.at(0))));
        QVERIFY2(tickTimes.at(1) - tickTimes.at(0) >= 240, qPrintable(QString::number(tickTimes.at(1))));

    }

    void stoppingEndsTicks_data()
    {
        QTest::addColumn<QString>("how");
        QTest::addColumn<bool>("enabledAfter");
        QTest::addColumn<qint32>("intervalAfter");
        QTest::newRow("Enabled false") << "disable" << false << 10;
        QTest::newRow("Interval 0 keeps Enabled") << "interval0" << true << 0;
        QTest::newRow("destroyed") << "destroy" << false << 0;
    }

    void stoppingEndsTicks()
    {
        QFETCH(QString, how);
        QFETCH(bool, enabledAfter);
        QFETCH(qint32, intervalAfter);

        int ticks = 0;
        auto timer = std::make_unique<clsTimer>();
        connect(timer.get(), &clsTimer::Timer, this, [&] { ++ticks; });
        timer->setInterval(10);
        timer->setEnabled(true);
        QTRY_VERIFY(ticks >= 1);
        const int oldId = timer->timerId();

        if (how == QLatin1String("disable"))
            timer->setEnabled(false);
        else if (how == QLatin1String("interval0"))
            timer->setInterval(0);
        else
            timer.reset();

        if (timer) {
            QCOMPARE(timer->Enabled(), enabledAfter);
            QCOMPARE(timer->Interval(), intervalAfter);
            QCOMPARE(timer->timerId(), 0);
            QTimerEvent stale(oldId);
            QCoreApplication::sendEvent(timer.get(), &stale);
        }
        const int count = ticks;
        QTest::qWait(100);
        QCOMPARE(ticks, count);
    }

    void twoTimersReachOnlyTheirOwnHandlers()
    {
        clsTimer fast;
        clsTimer slow;
        int fastTicks = 0;
        int slowTicks = 0;
        int strays = 0;
        connect(&fast, &clsTimer::Timer, this, [&] { sender() == &fast ? ++fastTicks : ++strays; });
        connect(&slow, &clsTimer::Timer, this, [&] { sender() == &slow ? ++slowTicks : ++strays; });
        fast.setInterval(10);
        slow.setInterval(100);
        fast.setEnabled(true);
        slow.setEnabled(true);

        QTRY_VERIFY_WITH_TIMEOUT(slowTicks >= 3, 3000);
        QCOMPARE(strays, 0);
        // Three slow periods hold about thirty fast ones.
        QVERIFY2(slowTicks * 3 <= fastTicks, qPrintable(QStringLiteral("%1 %2").arg(slowTicks).arg(fastTicks)));
    }

    void staleTickIsIgnored()
    {
        clsTimer timer;
        QSignalSpy ticks(&timer, &clsTimer::Timer);

        QTimerEvent unknown(4711);
        QCoreApplication::sendEvent(&timer, &unknown);
        QCOMPARE(ticks.count(), 0);

        // Enabled without a period: no id is current, not even 0.
        timer.setEnabled(true);
        QTimerEvent zero(0);
        QCoreApplication::sendEvent(&timer, &zero);
        QCOMPARE(ticks.count(), 0);

        timer.setInterval(1000000);
        timer.setEnabled(true);
        QTimerEvent current(timer.timerId());
        QCoreApplication::sendEvent(&timer, &current);
        QCOMPARE(ticks.count(), 1);
    }
};

QTEST_GUILESS_MAIN(TimerTest)
#include "timer_test.moc"
