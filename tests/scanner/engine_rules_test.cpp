// The engine's pure rules: identification pages and their descriptions, the numbers typed into the
// window (reading, writing, rounding), and hosts written as table, CSV and JSON Lines with descriptions
// that try to break each format.
#include "IdPage.h"
#include "ResultFormat.h"
#include "TextNumber.h"

#include <QtTest>

#include <cmath>
#include <limits>
#include <optional>

using namespace TextNumber;
using ResultFormat::Format;
Q_DECLARE_METATYPE(Format)

class EngineRulesTest : public QObject
{
    Q_OBJECT

private slots:
    void title_data()
    {
        QTest::addColumn<QString>("raw");
        QTest::addColumn<bool>("recognised");

        QTest::newRow("exact") << "<html><head><title>Quorvane Product ID</title></head></html>" << true;
        QTest::newRow("anywhere, no html") << "junk<title>Quorvane Product ID</title>junk" << true;
        QTest::newRow("capital tags") << "<TITLE>Quorvane Product ID</TITLE>" << false;
        QTest::newRow("lower-case text") << "<title>quorvane product id</title>" << false;
        QTest::newRow("extra blank") << "<title>Quorvane  Product ID</title>" << false;
        QTest::newRow("attribute") << "<title lang=en>Quorvane Product ID</title>" << false;
    }

    void title()
    {
        QFETCH(QString, raw);
        QFETCH(bool, recognised);
        QCOMPARE(IdPage::isIdentificationPage(raw), recognised);
    }

    void description_data()
    {
        QTest::addColumn<QString>("raw");
        QTest::addColumn<bool>("present");
        QTest::addColumn<QString>("expected");

        QTest::newRow("plain") << "<title>x</title><body>Model 7 Rev B</body>" << true << "Model 7 Rev B";
        QTest::newRow("empty body") << "<body></body>" << true << "";
        QTest::newRow("blanks kept") << "<body>  A  </body>" << true << "  A  ";
        QTest::newRow("inner markup and breaks") << "<body><b>Q-100</b>\r\n<br>rev &amp; 2\n</body>" << true
                                                 << "<b>Q-100</b>\r\n<br>rev &amp; 2\n";
        QTest::newRow("two ends, first wins") << "<body>one</body>two</body>" << true << "one";
        QTest::newRow("two starts, first wins") << "<body>a<body>b</body>" << true << "a<body>b";
        QTest::newRow("end before start") << "</body>x<body>y" << true << "";
        QTest::newRow("attributes") << "<body class=x>A</body>" << false << "";
        QTest::newRow("capitals") << "<BODY>A</BODY>" << false << "";
        QTest::newRow("blank in tag") << "<body >A</body>" << false << "";
        QTest::newRow("no end") << "<body>A" << false << "";
        QTest::newRow("empty") << "" << false << "";
    }

    void description()
    {
        QFETCH(QString, raw);
        QFETCH(bool, present);
        QFETCH(QString, expected);

        const std::optional<QString> got = IdPage::description(raw);
        QCOMPARE(got.has_value(), present);
        if (present)
            QCOMPARE(*got, expected);
    }

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

    void line_data()
    {
        QTest::addColumn<Format>("format");
        QTest::addColumn<QString>("description");
        QTest::addColumn<qint16>("ping");
        QTest::addColumn<QString>("expected");

        const QString h = QStringLiteral("127.0.0.4");
        const QString pad = QString(15 - h.size() + 2, QLatin1Char(' '));
        auto table = [&](const QString &ping, const QString &description) {
            return h + pad + ping.leftJustified(14) + QStringLiteral("  ") + description + QLatin1Char('\n');
        };
        QTest::newRow("table ping 0") << Format::Table << "" << qint16(0) << (h + pad + QStringLiteral("<0 ms\n"));
        QTest::newRow("table line breaks escaped") << Format::Table << "a\r\nb\tc" << qint16(1) << table("1 ms", "a\\r\\nb\\tc");
        QTest::newRow("table terminal escape") << Format::Table << "\x1b[2J" << qint16(1) << table("1 ms", "\\x1b[2J");

        QTest::newRow("csv plain") << Format::Csv << "Model 7" << qint16(0) << (h + ",0,Model 7,,\r\n");
        QTest::newRow("csv comma") << Format::Csv << "7, B" << qint16(3) << (h + ",3,\"7, B\",,\r\n");
        QTest::newRow("csv quotes") << Format::Csv << "say \"hi\"" << qint16(3) << (h + ",3,\"say \"\"hi\"\"\",,\r\n");
        QTest::newRow("csv line break") << Format::Csv << "a\nb" << qint16(3) << (h + ",3,\"a\nb\",,\r\n");
        QTest::newRow("csv carriage return") << Format::Csv << "a\rb" << qint16(3) << (h + ",3,\"a\rb\",,\r\n");

        QTest::newRow("copied line") << Format::TabSeparated << "a\r\nb\tc\rd\ne" << qint16(0) << (h + "\t<0 ms\ta b c d e\t\t\n");

        const QString json = QStringLiteral("{\"host\":\"127.0.0.4\",\"ping_ms\":%1,\"description\":%2,\"mac\":\"\",\"vendor\":\"\"}\n");
        QTest::newRow("jsonl plain") << Format::JsonLines << "Model 7" << qint16(0) << json.arg("0", "\"Model 7\"");
        QTest::newRow("jsonl escapes") << Format::JsonLines << "\"a\\b\"\n\x01" << qint16(5) << json.arg("5", "\"\\\"a\\\\b\\\"\\n\\u0001\"");
        QTest::newRow("jsonl placeholder text") << Format::JsonLines << "%1 %2" << qint16(5) << json.arg("5", "\"%1 %2\"");
    }

    void line()
    {
        QFETCH(Format, format);
        QFETCH(QString, description);
        QFETCH(qint16, ping);
        QFETCH(QString, expected);
        QCOMPARE(ResultFormat::line(format, {QStringLiteral("127.0.0.4"), ping, description, {}, {}}), expected);
    }

    void headersAndNames()
    {
        QCOMPARE(ResultFormat::header(Format::Csv), QStringLiteral("host,ping_ms,description,mac,vendor\r\n"));
        QCOMPARE(ResultFormat::header(Format::JsonLines), QString());
        QCOMPARE(ResultFormat::header(Format::Table).simplified(),
                 QStringLiteral("Host IP Ping Time (ms) QV Equipment MAC Address Vendor"));
        QCOMPARE(ResultFormat::header(Format::Table).indexOf(QLatin1String("Ping")),
                 ResultFormat::line(Format::Table, {QStringLiteral("127.0.0.1"), 3, {}, {}, {}}).indexOf(u'3'));
        QCOMPARE(ResultFormat::parse(QStringLiteral("jsonl")), Format::JsonLines);
        QCOMPARE(ResultFormat::parse(QStringLiteral("csv")), Format::Csv);
        QCOMPARE(ResultFormat::parse(QStringLiteral("table")), Format::Table);
        QVERIFY(!ResultFormat::parse(QStringLiteral("json")));
    }
};

QTEST_GUILESS_MAIN(EngineRulesTest)
#include "engine_rules_test.moc"
