// The window's one twips-to-pixels conversion (halves go to the even neighbour), and its size limits:
// the twips arithmetic and a real window.
#include "modResizeSubclass.h"

#include <QScreen>
#include <QWidget>
#include <QtTest>

using namespace modResizeSubclass;

class ResizeLimitsTest : public QObject
{
    Q_OBJECT

private slots:
    void twipsToPixels_data()
    {
        QTest::addColumn<double>("twips");
        QTest::addColumn<double>("twipsPerPixel");
        QTest::addColumn<int>("pixels");
        QTest::newRow("host column, 96 dpi") << 1800.0 << 15.0 << 120;
        QTest::newRow("2.5 down to 2") << 37.5 << 15.0 << 2;
        QTest::newRow("154.5 down to 154") << 2317.5 << 15.0 << 154;
        QTest::newRow("527.5 up to 528, 120 dpi") << 6330.0 << 12.0 << 528;
        QTest::newRow("-0.5 to 0") << -7.5 << 15.0 << 0;
    }

    void twipsToPixels()
    {
        QFETCH(double, twips);
        QFETCH(double, twipsPerPixel);
        QFETCH(int, pixels);
        QCOMPARE(modResizeSubclass::twipsToPixels(twips, twipsPerPixel), pixels);
    }

    void limits_data()
    {
        QTest::addColumn<QList<int>>("twips");  // min w, min h, max w, max h
        QTest::addColumn<double>("tpp");
        QTest::addColumn<QSize>("screen");      // in pixels
        QTest::addColumn<QList<int>>("pixels"); // MinWidth, MinHeight, MaxWidth, MaxHeight
        QTest::addColumn<QRect>("track");       // min track size, then max track size

        const QList<int> mainWindow = {6450, 4920, 6450, 0};
        QTest::newRow("main window") << mainWindow << 15.0 << QSize(1280, 1080) << QList<int>{430, 328, 430, 1080}
                                     << QRect(430, 328, 430, 1080);
        QTest::newRow("defaults, floor 150 x 100") << QList<int>{0, 0, 0, 0} << 15.0 << QSize(1280, 1080)
                                                   << QList<int>{133, 67, 1280, 1080} << QRect(150, 100, 1280, 1080);
        QTest::newRow("12 twips per pixel") << mainWindow << 12.0 << QSize(2000, 1000) << QList<int>{538, 410, 538, 1000}
                                            << QRect(538, 410, 538, 1000);
        QTest::newRow("max cut to a smaller screen") << mainWindow << 15.0 << QSize(400, 300)
                                                     << QList<int>{430, 328, 430, 300} << QRect(430, 328, 400, 300);
    }

    // The limits in pixels from twips, and the track sizes given to the window manager.
    void limits()
    {
        QFETCH(QList<int>, twips);
        QFETCH(double, tpp);
        QFETCH(QSize, screen);
        QFETCH(QList<int>, pixels);
        QFETCH(QRect, track);

        const SubclassEntry e = computeLimits(twips[0], twips[1], twips[2], twips[3], tpp, tpp, screen * tpp);
        QCOMPARE((QList<int>{e.MinWidth, e.MinHeight, e.MaxWidth, e.MaxHeight}), pixels);
        const TrackSizes t = trackSizes(e, screen);
        QCOMPARE(t.minTrack, QSize(track.x(), track.y()));
        QCOMPARE(t.maxTrack, track.size());
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
