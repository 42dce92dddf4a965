// The window's one twips-to-pixels conversion: halves go to the even neighbour.
#include "modResizeSubclass.h"

#include <QTest>

class TwipsTest : public QObject
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
};

QTEST_APPLESS_MAIN(TwipsTest)
#include "twips_test.moc"
