// Guards the pure rules: the start checks and their texts, identification pages, typed numbers, and the output
// formats' sanitising over every character they guard (controls in table, CSV and copied lines, formula leads in
// CSV and copied lines, JSON escapes).
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
    // The addresses a range read from the boxes scans, in order (upper not scanned below it, just it when equal,
    // .0 to .254 for the whole network, .0 to .255 up to 256), and the fourth octet shown as next after 0, 1, 2...
    void rangeAddresses()
    {
        const struct { int lower, upper; QString walk; QList<int> shown; } rows[] = { // walk: first, last, how many
            {2, 5, "127.1.2.2 127.1.2.4 3", {2, 3, 4, 5, 5}}, {5, 5, "127.1.2.5 127.1.2.5 1", {5, 5, 5}},
            {0, 255, "127.1.2.0 127.1.2.254 255", {0, 1, 2}}, {0, 256, "127.1.2.0 127.1.2.255 256", {0, 1, 2}}};
        for (const auto &r : rows) {
            const auto range = ScanChecks::range("127", "1", "2", QString::number(r.lower), QString::number(r.upper));
            const QList<quint32> list = ScanChecks::addresses(range);
            for (qsizetype i = 1; i < list.size(); ++i)
                QCOMPARE(list[i], list[i - 1] + 1);
            QCOMPARE(QStringLiteral("%1 %2 %3").arg(ScanEngine::addressText(list.first()), ScanEngine::addressText(list.last()))
                         .arg(list.size()), r.walk);
            for (int i = 0; i < r.shown.size(); ++i)
                QCOMPARE(ScanChecks::nextOctet(range, i), r.shown[i]);
            QCOMPARE(ScanChecks::nextOctet(range, -1), -1);
        }
    }

    // The start checks at their limits (0 and 255 octets, To 256, 10 retries asked nothing) and their texts; the
    // settings of each request held at 1 below and at the largest their type carries.
    void checks()
    {
        QList<std::optional<int>> octets;
        for (const char *text : {"0", " 010", "255", "256", "-1", "2.5", "abc"})
            octets << ScanChecks::octet(QString::fromLatin1(text));
        QCOMPARE(octets, (QList<std::optional<int>>{0, 10, 255, std::nullopt, std::nullopt, std::nullopt, 0}));
        QVERIFY(!ScanChecks::retriesNeedQuestion("10") && ScanChecks::retriesNeedQuestion("10.5"));
        QVERIFY(ScanChecks::rangeReversed("10", "9") && !ScanChecks::rangeReversed("9", "9"));
        QCOMPARE((QList<qint32>{ScanChecks::timeOut("0"), ScanChecks::timeOut("0.4"), ScanChecks::timeOut("2.5"),
                                ScanChecks::timeOut("1e10")}),
                 (QList<qint32>{1, 1, 2, std::numeric_limits<qint32>::max()}));
        QCOMPARE((QList<int>{ScanChecks::retries("-3"), ScanChecks::retries("254.5"), ScanChecks::retries("255"),
                             ScanChecks::retries("256")}),
                 (QList<int>{1, 254, 255, 255}));
        QCOMPARE(ScanChecks::octetRefusal("From"), QStringLiteral("From must be a whole number from 0 to 255."));
        QCOMPARE(ScanChecks::rangeRefusal(),
                 QStringLiteral("Scan range is incorrect.  Upper range bound must be higher than the lower one."));
        QCOMPARE(ScanChecks::retriesQuestion("11", " 1 0x"),
                 QStringLiteral("Program will retry 11 times at 10 ms interval for each IP.  This may take long time "
                                "to complete.  Are you sure you want to continue?"));
    }

    // Whether a page identifies the equipment (its exact title, anywhere), and its description: the text between
    // the first <body> and the first </body> after it, as it stands ("(none)": the page has none).
    void idPage()
    {
        const QString title = QStringLiteral("<title>Quorvane Product ID</title>");
        const struct { QString raw; bool recognised; QString description; } rows[] = {
            {"<html>" + title + "<body>Model 7 Rev B</body></html>", true, "Model 7 Rev B"}, // title and body
            {"junk" + title + "junk", true, "(none)"}, // title anywhere, no body
            {"<TITLE>Quorvane Product ID</TITLE><BODY>A</BODY>", false, "(none)"}, // capital tags
            {"<title lang=en>Quorvane Product ID</title><body class=x>A</body>", false, "(none)"}, // attributes
            {"<body></body>", false, ""}, // empty body
            {"<body> <b>Q-100</b>\r\n<br>rev &amp; 2\n </body>", false, " <b>Q-100</b>\r\n<br>rev &amp; 2\n "}, // blanks, inner markup and breaks kept
            {"<body>one</body>two</body>", false, "one"}, // two ends, first wins
            {"<body>a<body>b</body>", false, "a<body>b"}, // two starts, first wins
            {"</body>x<body>y", false, ""}, // end before start
            {"<body>A", false, "(none)"}, // no end
        };
        for (const auto &r : rows) {
            QCOMPARE(IdPage::isIdentificationPage(r.raw), r.recognised);
            QCOMPARE(IdPage::description(r.raw).value_or(QStringLiteral("(none)")), r.description);
        }
    }

    // A number typed into the window: read, written back (and read back to the same value), and taken as the
    // whole numbers of a request: rounded to the nearest, ties to even, held to the range (false: out of it).
    void numbers()
    {
        const double max = std::numeric_limits<double>::max();
        const qint32 maxLong = std::numeric_limits<qint32>::max();
        const struct { const char *name; QString text; double value; QString written; qint32 asLong; bool isLong; int asByte; bool isByte; } rows[] = {
            {"empty", "", 0.0, "0", 0, true, 0, true},
            {"blanks between digits", " 1 0", 10.0, "10", 10, true, 10, true},
            {"2.5 ties to even", "2.5", 2.5, "2.5", 2, true, 2, true},
            {"3.5 ties to even", "3.5", 3.5, "3.5", 4, true, 4, true},
            {"-2.5 ties to even, no byte", "-2.5", -2.5, "-2.5", -2, true, 0, false},
            {"negative, leading point", "-.4", -0.4, "-0.4", 0, true, 0, true},
            {"second point stops", "1.2.3", 1.2, "1.2", 1, true, 1, true},
            {"plus", "+4", 4.0, "4", 4, true, 4, true},
            {"double sign", "--5", 0.0, "0", 0, true, 0, true},
            {"exponent D", "2D2", 200.0, "200", 200, true, 200, true},
            {"exponent with blanks", "25 E - 1", 2.5, "2.5", 2, true, 2, true},
            {"dangling exponent", "5e", 5.0, "5", 5, true, 5, true},
            {"hex is no number", "&H64", 0.0, "0", 0, true, 0, true},
            {"comma is not a point", "2,5", 2.0, "2", 2, true, 2, true},
            {"255.5 rounds out of byte", "255.5", 255.5, "255.5", 256, true, 255, false},
            {"sum not exact", "0.30000000000000004", 0.1 + 0.2, "0.30000000000000004", 0, true, 0, true},
            {"300 digits", QString(300, QLatin1Char('9')), 1e300, "1E+300", maxLong, false, 255, false},
            {"huge exponent held at max", "1e99999999999999999999", max, "1.7976931348623157E+308", maxLong, false, 255, false},
            {"negative beyond range", "-1e400", -max, "-1.7976931348623157E+308", std::numeric_limits<qint32>::min(), false, 0, false},
            {"tiny underflows to zero", "1e-999", 0.0, "0", 0, true, 0, true},
            {"smallest subnormal", "5E-324", std::numeric_limits<double>::denorm_min(), "5E-324", 0, true, 0, true},
            {"long mantissa, long exponent", QString(200000, QLatin1Char('1')) + "e-199999", 10.0 / 9.0, "1.1111111111111112", 1, true, 1, true},
        };
        for (const auto &r : rows) {
            bool isLong = !r.isLong, isByte = !r.isByte;
            const qint32 asLong = ToLong(r.value, &isLong);
            const int asByte = ToByte(r.value, &isByte);
            QVERIFY2(Val(r.text) == r.value && Str(r.value) == r.written && Val(r.written) == r.value, r.name);
            QVERIFY2(asLong == r.asLong && isLong == r.isLong && asByte == r.asByte && isByte == r.isByte, r.name);
        }
    }

    // A line of each format: CSV quoting and neutralising, the copied line's blanks, JSON Lines verbatim; the table's header.
    // Every format but the copied line says how the host was seen; one seen through ARP has an empty ping time.
    void line()
    {
        const QString h = QStringLiteral("127.0.0.4");
        const QString pad = QString(15 - h.size() + 2, QLatin1Char(' '));
        const QString json = "{\"host\":\"127.0.0.4\",%3\"ping_ms\":%1,\"description\":%2,\"mac\":\"\",\"vendor\":\"\","
                             "\"seen\":\"%4\"}\n";
        // hostName: null for a run without names, else the name field's value. ping -1: seen through ARP.
        auto row = [&h](const char *, Format format, const QString &description, const QString &hostName, int ping,
                        const QString &expected) {
            const Seen seen = ping < 0 ? Seen::Arp : Seen::Echo;
            const HostRecord record{h, qint16(std::max(ping, 0)), description, {}, {}, seen};
            QCOMPARE(ResultFormat::line(format, record, hostName.isNull() ? std::nullopt : std::optional<QString>(hostName)), expected);
        };

        row("table ping 0", Format::Table, "", {}, 0, h + pad + "<0 ms" + QString(11, u' ') + "echo\n");
        row("table arp", Format::Table, "", {}, -1, h + pad + QString(16, u' ') + "arp\n");
        row("csv arp", Format::Csv, "Model 7", {}, -1, h + ",,Model 7,,,arp\r\n");
        // Every character a spreadsheet starts a formula with is neutralised, in every cell; others stay.
        for (const char *lead : {"=", "+", "-", "@", "\t"})
            row("csv neutralised", Format::Csv, QString(lead) + "1+2", QString(lead) + "x", 0,
                h + ",'" + lead + "x,0,'" + lead + "1+2,,,echo\r\n");
        const QString copy = h + "\t<0 ms\t%1\t\t\n"; // copied lines: the same leads; a leading tab or CR turns blank
        for (const char *lead : {"=", "+", "-", "@"})
            row("copy neutralised", Format::TabSeparated, lead, {}, 0, copy.arg(QString("'") + lead));
        row("copy neutralised CR", Format::TabSeparated, "\r=1", {}, 0, copy.arg("' =1"));
        row("csv neutralised CR, quoted", Format::Csv, "\rSUM(1)", "", 0, h + ",,0,\"'\rSUM(1)\",,,echo\r\n");
        row("csv neutralised, quoted", Format::Csv, "=1,\"2\"", {}, 0, h + ",0,\"'=1,\"\"2\"\"\",,,echo\r\n");
        for (const char *kept : {"Model 7", " =1", "'=1", "a=1", "1-2", "%1", "|x"})
            row("csv kept", Format::Csv, kept, {}, 0, h + ",0," + kept + ",,,echo\r\n");
        row("copied line", Format::TabSeparated, "a\r\nb\tc\rd\ne", {}, 0, copy.arg("a b c d e"));
        row("jsonl verbatim, name", Format::JsonLines, "=1+2", "-x", 0,
            json.arg("0", "\"=1+2\"", "\"name\":\"-x\",", "echo"));
        row("jsonl empty name", Format::JsonLines, "", "", 0, json.arg("0", "\"\"", "\"name\":\"\",", "echo"));
        row("jsonl placeholder text", Format::JsonLines, "%1 %2", "%3", 5,
            json.arg("5", "\"%1 %2\"", "\"name\":\"%3\",", "echo"));
        row("jsonl arp", Format::JsonLines, "", {}, -1, json.arg("null", "\"\"", "", "arp"));
        const HostRecord three{QStringLiteral("127.0.0.1"), 3, {}, {}, {}};
        const QString named = ResultFormat::line(Format::Table, three, QString());
        QCOMPARE(ResultFormat::header(Format::Table, true).indexOf(QLatin1String("Ping")), named.indexOf(u'3'));
        QCOMPARE(ResultFormat::header(Format::Table, true).indexOf(QLatin1String("Seen")), named.indexOf(u'e'));
        QCOMPARE(ResultFormat::header(Format::Table).simplified(),
                 QStringLiteral("Host IP Ping Time (ms) Seen QV Equipment MAC Address Vendor"));
        QCOMPARE(ResultFormat::header(Format::Csv), QStringLiteral("host,ping_ms,description,mac,vendor,seen\r\n"));
    }

    // Every control character (C0, DEL, C1) leaves as a visible escape: in each table cell (tab, CR, LF by name),
    // in CSV and in copied lines (where tab, CR and LF stay, or turn blank). All else stays as it is.
    // JSON Lines escape every control character and the line separators, and read back exact.
    void everyControlCharacter()
    {
        for (char16_t c = 0; c <= 0x2029; c = c == 0xa0 ? 0x2028 : char16_t(c + 1)) {
            const QString text = QStringLiteral("a") + QChar(c) + u'z';
            const bool control = c < 0x20 || (c >= 0x7f && c < 0xa0);
            const bool lineBreak = c == u'\n' || c == u'\r' || c == u'\t';
            const QString named = c == u'\n' ? "\\n" : c == u'\r' ? "\\r" : "\\t";
            const QString escape = lineBreak ? named : QStringLiteral("\\x%1").arg(int(c), 2, 16, QLatin1Char('0'));
            const QString shown = control ? "a" + escape + u'z' : text;
            const QString copied = QStringList(3, lineBreak ? "a z" : shown).join(u'\t') + u'\n'; // three cells
            const HostRecord r{QStringLiteral("127.0.0.4"), 1, text, text, text};
            const QString table = QStringLiteral("127.0.0.4        %1  1 ms            echo  %2  %3  %4\n");
            QCOMPARE(ResultFormat::line(Format::Table, r, text),
                     table.arg(shown.leftJustified(24), shown.leftJustified(32), shown.leftJustified(17), shown));
            const QString csv = ResultFormat::line(Format::Csv, r, text);
            QCOMPARE(csv.contains(QChar(c)), !control || lineBreak);
            QCOMPARE(csv.count(escape), control && !lineBreak ? 4 : 0);
            QCOMPARE(ResultFormat::line(Format::TabSeparated, r).section(u'\t', 2), copied);
            const QString json = ResultFormat::line(Format::JsonLines, r, text);
            QCOMPARE(json.chopped(1).contains(QChar(c)), !control && c < 0x2028);
            QCOMPARE(QJsonDocument::fromJson(json.toUtf8())["description"].toString(), text);
        }
    }
};

QTEST_GUILESS_MAIN(EngineRulesTest)
#include "engine_rules_test.moc"
