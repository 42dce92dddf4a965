// Guards the pure rules: the start checks and their texts, identification pages, typed numbers, the ping time as
// shown ("<0 ms" for 0), and the output formats: CSV quoting, formula leads neutralised in CSV and
// copied lines, control characters as visible escapes (C0, DEL, C1; the table's line breaks too), JSON escapes.
#include "engine/IdPage.h"
#include "engine/ResultFormat.h"
#include "engine/ScanChecks.h"
#include "engine/ScanEngine.h"
#include "engine/TextNumber.h"

#include <QtTest>

#include <QJsonDocument>
#include <QJsonObject>

#include <limits>

using namespace TextNumber;
using ResultFormat::Format;
using Seen = HostRecord::Seen;

class EngineRulesTest : public QObject
{
    Q_OBJECT

private slots:
    // A range's addresses and next octet shown; the checks at their limits, their texts; the settings (1 to top).
    void startChecks()
    {
        const struct { int lower, upper; QString first, last; int count; QList<int> shown; } rows[] = {
            {2, 5, "127.1.2.2", "127.1.2.4", 3, {2, 3, 4, 5, 5}},
            {5, 5, "127.1.2.5", "127.1.2.5", 1, {5, 5, 5}},
            {0, 255, "127.1.2.0", "127.1.2.254", 255, {0, 1, 2}},
            {0, 256, "127.1.2.0", "127.1.2.255", 256, {0, 1, 2}}};
        for (const auto &r : rows) {
            const auto range = ScanChecks::range("127", "1", "2", QString::number(r.lower), QString::number(r.upper));
            const QList<quint32> list = ScanChecks::addresses(range);
            QCOMPARE(ScanEngine::addressText(list.first()), r.first);
            QCOMPARE(ScanEngine::addressText(list.last()), r.last);
            QCOMPARE(list.size(), r.count);
            for (int i = 0; i < r.shown.size(); ++i)
                QCOMPARE(ScanChecks::nextOctet(range, i), r.shown[i]);
            QCOMPARE(ScanChecks::nextOctet(range, -1), -1);
        }
        QList<std::optional<int>> octets;
        for (const char *text : {"0", " 010", "255", "256", "-1", "2.5", "abc"})
            octets << ScanChecks::octet(QString::fromLatin1(text));
        QCOMPARE(octets, (QList<std::optional<int>>{0, 10, 255, std::nullopt, std::nullopt, std::nullopt, 0}));
        QCOMPARE(ScanChecks::octet("256", ScanChecks::kHighestUpperBound), 256);
        QCOMPARE(ScanChecks::retriesNeedQuestion("10"), false);
        QCOMPARE(ScanChecks::retriesNeedQuestion("10.5"), true);
        QCOMPARE(ScanChecks::rangeReversed("10", "9"), true);
        QCOMPARE(ScanChecks::rangeReversed("9", "9"), false);
        QList<qint32> timeOuts;
        for (const char *text : {"0", "0.4", "2.5", "3.5", "1e10"})
            timeOuts << ScanChecks::timeOut(QString::fromLatin1(text));
        QCOMPARE(timeOuts, (QList<qint32>{1, 1, 2, 4, std::numeric_limits<qint32>::max()}));
        QList<int> retries;
        for (const char *text : {"-3", "254.5", "255", "256"})
            retries << ScanChecks::retries(QString::fromLatin1(text));
        QCOMPARE(retries, (QList<int>{1, 254, 255, 255}));
        QCOMPARE(ScanChecks::octetRefusal("From"), QStringLiteral("From must be a whole number from 0 to 255."));
        QCOMPARE(ScanChecks::rangeRefusal(),
                 QStringLiteral("Scan range is incorrect.  Upper range bound must be higher than the lower one."));
        QCOMPARE(ScanChecks::retriesQuestion("11", " 1 0x"),
                 QStringLiteral("Program will retry 11 times at 10 ms interval for each IP.  This may take long time "
                                "to complete.  Are you sure you want to continue?"));
    }

    void idPage_data()
    {
        QTest::addColumn<QString>("raw");
        QTest::addColumn<bool>("recognised");
        QTest::addColumn<QString>("description"); // "(none)": the page has none
        const QString title = QStringLiteral("<title>Quorvane Product ID</title>");
        QTest::newRow("title and body") << "<html>" + title + "<body>Model 7 Rev B</body></html>" << true
                                        << "Model 7 Rev B";
        QTest::newRow("title anywhere, no body") << "junk" + title + "junk" << true << "(none)";
        QTest::newRow("capital tags") << "<TITLE>Quorvane Product ID</TITLE><BODY>A</BODY>" << false << "(none)";
        QTest::newRow("kept as it stands") << "<body> <b>Q</b>\r\n&amp;\n </body>" << false << " <b>Q</b>\r\n&amp;\n ";
        QTest::newRow("two ends, first wins") << "<body>one</body>two</body>" << false << "one";
        QTest::newRow("two starts, first wins") << "<body>a<body>b</body>" << false << "a<body>b";
        QTest::newRow("end before start") << "</body>x<body>y" << false << "";
        QTest::newRow("no end") << "<body>A" << false << "(none)";
    }

    // The exact title anywhere identifies; the description is the text from the first <body> to the first </body>.
    void idPage()
    {
        QFETCH(QString, raw);
        QFETCH(bool, recognised);
        QFETCH(QString, description);
        QCOMPARE(IdPage::isIdentificationPage(raw), recognised);
        QCOMPARE(IdPage::description(raw).value_or(QStringLiteral("(none)")), description);
    }

    void numbers_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<double>("value");
        QTest::addColumn<QString>("written");
        const double max = std::numeric_limits<double>::max();
        auto row = [](const char *name, const QString &text, double value, const char *written) {
            QTest::newRow(name) << text << value << QString(written);
        };
        row("negative", "-2.5", -2.5, "-2.5");
        row("second point stops", "1.2.3", 1.2, "1.2");
        row("double sign", "--5", 0.0, "0");
        row("exponent D", "2D2", 200.0, "200");
        row("exponent with blanks", "25 E - 1", 2.5, "2.5");
        row("sum not exact", "0.30000000000000004", 0.1 + 0.2, "0.30000000000000004");
        row("300 digits", QString(300, QLatin1Char('9')), 1e300, "1E+300");
        row("huge exponent", "1e99999999999999999999", max, "1.7976931348623157E+308");
        row("smallest subnormal", "5E-324", std::numeric_limits<double>::denorm_min(), "5E-324");
        row("long mantissa and exponent", QString(200000, u'1') + "e-199999", 10.0 / 9.0, "1.1111111111111112");
    }

    // A number typed into the window: read, written back, and read back to the same value.
    void numbers()
    {
        QFETCH(QString, text);
        QFETCH(double, value);
        QFETCH(QString, written);
        QCOMPARE(fromNumber(toNumber(text)), written); // the shortest text that reads back exact: the same value
        QCOMPARE(fromNumber(value), written);
        QCOMPARE(toNumber(written), value);
    }

    void line_data()
    {
        QTest::addColumn<int>("format");
        QTest::addColumn<QString>("description");
        QTest::addColumn<QString>("name"); // "(none)": a run without names
        QTest::addColumn<QString>("expected");
        auto row = [](const char *name, Format f, const QString &description, const char *hostName, const char *line) {
            QTest::newRow(name) << int(f) << description << QString(hostName) << QString::fromUtf8(line);
        };
        auto az = [](char16_t c) { return QStringLiteral("a") + QChar(c) + u'z'; }; // c between two letters
        const Format csv = Format::Csv, copy = Format::TabSeparated, table = Format::Table;
        row("csv =, the name's too", csv, "=1", "=1", "127.0.0.4,'=1,0,'=1,,,echo\r\n");
        row("csv +", csv, "+1", "(none)", "127.0.0.4,0,'+1,,,echo\r\n");
        row("csv -", csv, "-1", "(none)", "127.0.0.4,0,'-1,,,echo\r\n");
        row("csv @", csv, "@1", "(none)", "127.0.0.4,0,'@1,,,echo\r\n");
        row("csv tab first", csv, "\t1", "(none)", "127.0.0.4,0,'\t1,,,echo\r\n");
        row("csv CR, quoted", csv, "\rSUM(1)", "", "127.0.0.4,,0,\"'\rSUM(1)\",,,echo\r\n");
        row("csv quotes and comma", csv, "=1,\"2\"", "(none)", "127.0.0.4,0,\"'=1,\"\"2\"\"\",,,echo\r\n");
        row("csv blank first", csv, " =1", "(none)", "127.0.0.4,0, =1,,,echo\r\n");
        row("csv inner =, comma quoted", csv, "a=1,2", "(none)", "127.0.0.4,0,\"a=1,2\",,,echo\r\n");
        row("csv NUL", csv, QString(QChar(0)), "(none)", "127.0.0.4,0,\\x00,,,echo\r\n");
        row("csv DEL", csv, az(0x7f), "(none)", "127.0.0.4,0,a\\x7fz,,,echo\r\n");
        row("csv C1 last", csv, az(0x9f), "(none)", "127.0.0.4,0,a\\x9fz,,,echo\r\n");
        row("csv no-break space", csv, az(0xa0), "(none)", "127.0.0.4,0,a\u00a0z,,,echo\r\n");
        row("csv inner tab", csv, az(u'\t'), "(none)", "127.0.0.4,0,a\tz,,,echo\r\n");
        row("csv inner LF", csv, az(u'\n'), "(none)", "127.0.0.4,0,\"a\nz\",,,echo\r\n");
        row("copy CR first", copy, "\r=1", "(none)", "127.0.0.4\t<0 ms\t' =1\t\t\n");
        row("copy breaks blank", copy, "a\r\nb\tc\rd\ne", "(none)", "127.0.0.4\t<0 ms\ta b c d e\t\t\n");
        row("copy ESC", copy, az(0x1b), "(none)", "127.0.0.4\t<0 ms\ta\\x1bz\t\t\n");
        row("table, nothing found", table, "", "(none)", "127.0.0.4        <0 ms           echo\n");
        row("table LF", table, az(u'\n'), "(none)", "127.0.0.4        <0 ms           echo  a\\nz\n");
        row("table CR", table, az(u'\r'), "(none)", "127.0.0.4        <0 ms           echo  a\\rz\n");
        row("table tab", table, az(u'\t'), "(none)", "127.0.0.4        <0 ms           echo  a\\tz\n");
        row("table ESC", table, az(0x1b), "(none)", "127.0.0.4        <0 ms           echo  a\\x1bz\n");
        auto jsonRow = [](const char *name, const QString &description, const char *hostName, const char *line) {
            QTest::newRow(name) << int(Format::JsonLines) << description << QString(hostName)
                                << QString::fromUtf8(line) + u'\n';
        };
        jsonRow("jsonl verbatim, name", "=1+2", "-x",
            R"({"host":"127.0.0.4","name":"-x","ping_ms":0,"description":"=1+2","mac":"","vendor":"","seen":"echo"})");
        jsonRow("jsonl empty name", "", "",
            R"({"host":"127.0.0.4","name":"","ping_ms":0,"description":"","mac":"","vendor":"","seen":"echo"})");
        jsonRow("jsonl placeholders", "%1 %2", "%3",
            R"({"host":"127.0.0.4","name":"%3","ping_ms":0,"description":"%1 %2","mac":"","vendor":"","seen":"echo"})");
        jsonRow("jsonl controls", QString::fromUtf8("\x1b\x7f\t\u2028\u00a0"), "(none)",
            "{\"host\":\"127.0.0.4\",\"ping_ms\":0,\"description\":\"\\u001b\\u007f\\t\\u2028\u00a0\","
            R"("mac":"","vendor":"","seen":"echo"})");
    }

    // A line of each format.
    void line()
    {
        QFETCH(int, format);
        QFETCH(QString, description);
        QFETCH(QString, name);
        QFETCH(QString, expected);
        const HostRecord record{QStringLiteral("127.0.0.4"), 0, description, {}, {}};
        const auto hostName = name == QLatin1String("(none)") ? std::nullopt : std::optional<QString>(name);
        const QString line = ResultFormat::line(Format(format), record, hostName);
        QCOMPARE(line, expected);
        if (Format(format) == Format::JsonLines) // read back exact
            QCOMPARE(QJsonDocument::fromJson(line.toUtf8())["description"].toString(), description);
    }

    // ARP's host: no ping time, "arp" in every format that says how; the headers, the table's above its columns.
    void seenAndHeaders()
    {
        const HostRecord arp{QStringLiteral("127.0.0.4"), 0, {}, {}, {}, Seen::Arp};
        QCOMPARE(ResultFormat::line(Format::Table, arp), QStringLiteral("127.0.0.4%1arp\n").arg(QString(24, u' ')));
        QCOMPARE(ResultFormat::line(Format::Csv, arp), QStringLiteral("127.0.0.4,,,,,arp\r\n"));
        const QString json = ResultFormat::line(Format::JsonLines, arp);
        QCOMPARE(json.section(u',', 1, 1), QStringLiteral(R"("ping_ms":null)"));
        QCOMPARE(json.section(u',', -1), QStringLiteral("\"seen\":\"arp\"}\n"));
        const QString header = ResultFormat::header(Format::Table, true);
        const HostRecord record{QStringLiteral("127.0.0.1"), 3, {}, {}, {}};
        const QString line = ResultFormat::line(Format::Table, record, QString());
        QCOMPARE(header.indexOf(QLatin1String("Ping")), line.indexOf(u'3'));
        QCOMPARE(header.indexOf(QLatin1String("Seen")), line.indexOf(u'e'));
        QCOMPARE(line.simplified(), QStringLiteral("127.0.0.1 3 ms echo"));
        QCOMPARE(ResultFormat::header(Format::Table).simplified(),
                 QStringLiteral("Host IP Ping Time (ms) Seen QV Equipment MAC Address Vendor"));
        QCOMPARE(ResultFormat::header(Format::Csv), QStringLiteral("host,ping_ms,description,mac,vendor,seen\r\n"));
    }
};

QTEST_GUILESS_MAIN(EngineRulesTest)
#include "engine_rules_test.moc"
