// The probe server's callback timer and its millisecond tick. Sends no packets.
#include "clsTimer.h"

#include <QElapsedTimer>
#include <QSignalSpy>
#include <QTimerEvent>
#include <QtTest>

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
        QTest::newRow("counter wraps, inside") << 0xFFFFFF00u << 0x10u << 500 << true;
        QTest::newRow("counter wraps, past") << 0xFFFFFF00u << 0x10u << 200 << false;
        QTest::newRow("signed sign change, inside") << 0x7FFFFF00u << 0x80000010u << 500 << true;
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

    // A system timer runs only while Enabled with a positive period, one at a
    // time; ticks of a timer since stopped or replaced are not passed on.
    void scheduleFollowsEnabledAndInterval()
    {
        clsTimer timer;
        QSignalSpy ticks(&timer, &clsTimer::Timer);
        auto tick = [&timer](int id) {
            QTimerEvent event(id);
            QCoreApplication::sendEvent(&timer, &event);
        };
        timer.setInterval(-5);
        QCOMPARE(timer.Interval(), 0);
        timer.setEnabled(true);
        QCOMPARE(timer.timerId(), 0);
        tick(0); // enabled without a period: no id is current, not even 0
        tick(4711);
        timer.setInterval(1000000); // a period given later starts nothing by itself...
        QCOMPARE(timer.timerId(), 0);
        QCOMPARE(ticks.count(), 0);

        timer.setEnabled(true); // ...until Enabled is set again
        const int id = timer.timerId();
        QVERIFY(id != 0);
        timer.setEnabled(true);
        QCOMPARE(timer.timerId(), id);
        tick(id);
        QCOMPARE(ticks.count(), 1);

        timer.setInterval(0); // stops, stays Enabled
        QVERIFY(timer.Enabled());
        QCOMPARE(timer.timerId(), 0);
        tick(id);
        timer.setInterval(1000000);
        timer.setEnabled(true);
        const int second = timer.timerId();
        QVERIFY(second != 0);
        timer.setEnabled(false);
        QCOMPARE(timer.timerId(), 0);
        QCOMPARE(timer.Interval(), 1000000);
        tick(second);
        QCOMPARE(ticks.count(), 1);
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
        QVERIFY(timer.Enabled() && timer.timerId() != 0);
        QTRY_VERIFY_WITH_TIMEOUT(tickTimes.size() >= 2, 5000);
        QVERIFY2(tickTimes.at(0) >= 240, qPrintable(QString::number(tickTimes.at(0))));
        QVERIFY2(tickTimes.at(1) - tickTimes.at(0) >= 240, qPrintable(QString::number(tickTimes.at(1))));
    }
};

QTEST_GUILESS_MAIN(TimerTest)
#include "timer_test.moc"
