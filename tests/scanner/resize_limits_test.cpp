// The main window's size limits: the twips arithmetic and a real window.
#include "modResizeSubclass.h"

#include <QScreen>
#include <QWidget>
#include <QtTest>

using namespace modResizeSubclass;

class ResizeLimitsTest : public QObject
{
    Q_OBJECT

private slots:
    void computeLimits_data()
    {
        QTest::addColumn<QList<int>>("twips");   // min w, min h, max w, max h
        QTest::addColumn<double>("tpp");
        QTest::addColumn<QSize>("screenTwips");
        QTest::addColumn<QList<int>>("pixels");  // MinWidth, MinHeight, MaxWidth, MaxHeight

        const QSize screen(19200, 16200); // 1280 x 1080 at 15
        QTest::newRow("main window") << QList<int>{6450, 4920, 6450, 0} << 15.0 << screen
                                     << QList<int>{430, 328, 430, 1080};
        QTest::newRow("all defaults") << QList<int>{0, 0, 0, 0} << 15.0 << screen
                                      << QList<int>{133, 67, 1280, 1080};
        QTest::newRow("12 twips per pixel") << QList<int>{6450, 4920, 6450, 0} << 12.0 << QSize(24000, 12000)
                                            << QList<int>{538, 410, 538, 1000};
    }

    void computeLimits()
    {
        QFETCH(QList<int>, twips);
        QFETCH(double, tpp);
        QFETCH(QSize, screenTwips);
        QFETCH(QList<int>, pixels);

        const SubclassEntry e =
            modResizeSubclass::computeLimits(twips[0], twips[1], twips[2], twips[3], tpp, tpp, screenTwips);
        QCOMPARE((QList<int>{e.MinWidth, e.MinHeight, e.MaxWidth, e.MaxHeight}), pixels);
    }

    void trackSizes_data()
    {
        QTest::addColumn<QList<int>>("entry");
        QTest::addColumn<QSize>("screen");
        QTest::addColumn<QSize>("minTrack");
        QTest::addColumn<QSize>("maxTrack");

        QTest::newRow("main window") << QList<int>{430, 328, 430, 1080} << QSize(1280, 1080) << QSize(430, 328)
                                     << QSize(430, 1080);
        QTest::newRow("floor 150 x 100") << QList<int>{133, 67, 1280, 1080} << QSize(1280, 1080)
                                         << QSize(150, 100) << QSize(1280, 1080);
        QTest::newRow("max cut to a smaller screen") << QList<int>{430, 328, 430, 1080} << QSize(400, 300)
                                                     << QSize(430, 328) << QSize(400, 300);
    }

    void trackSizes()
    {
        QFETCH(QList<int>, entry);
        QFETCH(QSize, screen);
        QFETCH(QSize, minTrack);
        QFETCH(QSize, maxTrack);

        SubclassEntry e;
        e.MinWidth = entry[0];
        e.MinHeight = entry[1];
        e.MaxWidth = entry[2];
        e.MaxHeight = entry[3];
        const TrackSizes t = modResizeSubclass::trackSizes(e, screen);
        QCOMPARE(t.minTrack, minTrack);
        QCOMPARE(t.maxTrack, maxTrack);
    }

    void windowKeepsItsWidth()
    {
        QWidget window;
        SubclassForm(&window, true, 6450, 4920, 6450, 0);
        window.resize(430, 500);
        window.show();
        QVERIFY(QTest::qWaitForWindowExposed(&window));

        const int screenHeight = window.screen()->geometry().height();
        QVERIFY(screenHeight > 328);

        window.resize(700, 450);
        QTRY_COMPARE(window.frameGeometry().width(), 430);

        window.resize(200, 50);
        QTRY_COMPARE(window.frameGeometry().width(), 430);
        QTRY_COMPARE(window.frameGeometry().height(), 328);

        window.resize(430, screenHeight * 3);
        QTRY_COMPARE(window.frameGeometry().height(), screenHeight);

        SubclassForm(&window, false, 0, 0, 0, 0);
        QCOMPARE(window.minimumSize(), QSize(0, 0));
        QCOMPARE(window.maximumSize(), QSize(QWIDGETSIZE_MAX, QWIDGETSIZE_MAX));
        window.resize(700, 450);
        QTRY_COMPARE(window.width(), 700);
    }

};

QTEST_MAIN(ResizeLimitsTest)
#include "resize_limits_test.moc"
