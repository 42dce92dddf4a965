// Reading, writing and rounding the numbers typed into the window.
#include "TextNumber.h"

#include <QtTest>

#include <cmath>
#include <limits>

using namespace TextNumber;

class TextNumberTest : public QObject
{
    Q_OBJECT

private slots:
    void val_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<double>("expected");

        QTest::newRow("empty") << "" << 0.0;
        QTest::newRow("letters") << "abc" << 0.0;
        QTest::newRow("blanks between digits") << " 1 0" << 10.0;
        QTest::newRow("fraction") << "2.5" << 2.5;
        QTest::newRow("leading point") << ".5" << 0.5;
        QTest::newRow("second point stops") << "1.2.3" << 1.2;
        QTest::newRow("negative") << "-3" << -3.0;
        QTest::newRow("plus") << "+4" << 4.0;
        QTest::newRow("lone sign") << "-" << 0.0;
        QTest::newRow("double sign") << "--5" << 0.0;
        QTest::newRow("exponent") << "1e3" << 1000.0;
        QTest::newRow("exponent D") << "2D2" << 200.0;
        QTest::newRow("negative exponent") << "25E-1" << 2.5;
        QTest::newRow("exponent with blanks") << "1 e + 2" << 100.0;
        QTest::newRow("dangling exponent") << "5e" << 5.0;
        QTest::newRow("hex is no number") << "&H64" << 0.0;
        QTest::newRow("octal is no number") << "&O17" << 0.0;
        QTest::newRow("comma is not a point") << "2,5" << 2.0;
        QTest::newRow("tiny underflows to zero") << "1e-999" << 0.0;
        QTest::newRow("300 digits") << QString(300, QLatin1Char('9')) << 1e300;
        QTest::newRow("huge exponent held at max") << "1e99999999999999999999" << std::numeric_limits<double>::max();
        QTest::newRow("negative beyond range") << "-1e400" << -std::numeric_limits<double>::max();
        QTest::newRow("long fraction") << QLatin1String("0.") + QString(100000, QLatin1Char('0')) + QLatin1String("1") << 0.0;
        QTest::newRow("long mantissa, long exponent") << QString(200000, QLatin1Char('1')) + QLatin1String("e-199999") << 10.0 / 9.0;
    }

    void val()
    {
        QFETCH(QString, text);
        QFETCH(double, expected);
        QCOMPARE(Val(text), expected);
    }

    void str_data()
    {
        QTest::addColumn<double>("value");
        QTest::addColumn<QString>("expected"); // null: only read back

        QTest::newRow("zero") << 0.0 << "0";
        QTest::newRow("half") << 2.5 << "2.5";
        QTest::newRow("sum not exact") << 0.1 + 0.2 << "0.30000000000000004";
        QTest::newRow("large ordinary") << 123456789012.0 << "123456789012";
        QTest::newRow("huge") << 1e300 << "1E+300";
        QTest::newRow("third") << 1.0 / 3.0 << QString();
        QTest::newRow("max") << std::numeric_limits<double>::max() << QString();
        QTest::newRow("smallest subnormal") << std::numeric_limits<double>::denorm_min() << QString();
    }

    // Written as expected, and read back to the same value.
    void str()
    {
        QFETCH(double, value);
        QFETCH(QString, expected);
        if (!expected.isNull())
            QCOMPARE(Str(value), expected);
        QVERIFY(Val(Str(value)) == value);
    }

    void ranges_data()
    {
        QTest::addColumn<double>("value");
        QTest::addColumn<bool>("longOk");
        QTest::addColumn<qint32>("asLong");
        QTest::addColumn<bool>("byteOk");
        QTest::addColumn<int>("asByte");

        QTest::newRow("2.5 ties to even") << 2.5 << true << 2 << true << 2;
        QTest::newRow("3.5 ties to even") << 3.5 << true << 4 << true << 4;
        QTest::newRow("-2.5 ties to even") << -2.5 << true << -2 << false << 0;
        QTest::newRow("2.5001") << 2.5001 << true << 3 << true << 3;
        QTest::newRow("-0.4") << -0.4 << true << 0 << true << 0;
        QTest::newRow("255.5 rounds up out of byte") << 255.5 << true << 256 << false << 255;
        QTest::newRow("1e10 beyond long") << 1e10 << false << std::numeric_limits<qint32>::max() << false << 255;
        QTest::newRow("NaN") << std::nan("") << false << 0 << false << 0;
    }

    // Rounded to the nearest, ties to even, then held to the type's range.
    void ranges()
    {
        QFETCH(double, value);
        QFETCH(bool, longOk);
        QFETCH(qint32, asLong);
        QFETCH(bool, byteOk);
        QFETCH(int, asByte);

        if (longOk)
            QCOMPARE(RoundHalfEven(value), double(asLong));
        bool ok = !longOk;
        QCOMPARE(ToLong(value, &ok), asLong);
        QCOMPARE(ok, longOk);
        ok = !byteOk;
        QCOMPARE(int(ToByte(value, &ok)), asByte);
        QCOMPARE(ok, byteOk);
    }
};

QTEST_APPLESS_MAIN(TextNumberTest)
#include "text_number_test.moc"
