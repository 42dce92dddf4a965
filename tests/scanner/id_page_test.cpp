// Recognising identification pages and taking their descriptions.
#include "IdPage.h"

#include <QtTest>

#include <optional>

class IdPageTest : public QObject
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
};

QTEST_APPLESS_MAIN(IdPageTest)
#include "id_page_test.moc"
