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
        tick(0); // enabled without a period: no id is current, not even 0
        timer.setInterval(1000000); // a period given later starts nothing by itself...
        QCOMPARE(timer.timerId(), 0);

        timer.setEnabled(true); // ...until Enabled is set again, once
        const int id = timer.timerId();
        timer.setEnabled(true);
        QVERIFY(id != 0 && timer.timerId() == id);
        tick(id);
        QCOMPARE(ticks.count(), 1);

        timer.setInterval(0); // stops, stays Enabled
        QVERIFY(timer.Enabled() && timer.timerId() == 0);
        tick(id);
        timer.setInterval(1000000);
        timer.setEnabled(true);
        const int second = timer.timerId();
        timer.setEnabled(false);
        QVERIFY(second != 0 && timer.timerId() == 0 && timer.Interval() == 1000000);
        tick(second);
        QCOMPARE(ticks.count(), 1);
    }

    // A new period restarts a running timer: the first tick after it comes a whole new period later.
    void intervalChangeRestartsAtNewPeriod()
    {
        clsTimer timer;
        QSignalSpy ticks(&timer, &clsTimer::Timer);
        timer.setInterval(20);
        timer.setEnabled(true);
        QVERIFY(ticks.wait(5000));
        QElapsedTimer clock;
        clock.start();
        timer.setInterval(250);
        ticks.clear();
        QVERIFY(ticks.wait(5000));
        QVERIFY2(clock.elapsed() >= 240, qPrintable(QString::number(clock.elapsed())));
    }
};

QTEST_GUILESS_MAIN(TimerTest)
#include "timer_test.moc"
