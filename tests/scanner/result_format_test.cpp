// Hosts written as table, CSV and JSON Lines, with descriptions that try to break each format.
#include "ResultFormat.h"

#include <QTest>

using ResultFormat::Format;
Q_DECLARE_METATYPE(Format)

class ResultFormatTest : public QObject
{
    Q_OBJECT

private slots:
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

QTEST_GUILESS_MAIN(ResultFormatTest)
#include "result_format_test.moc"
