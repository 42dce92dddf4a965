// The rules that turn a fetch's received bytes into the page's text: when a
// transfer brought a page at all, and how the bytes are decoded. No network.
#include "HttpBody.h"

#include <QtTest>

using Pelorin::TransferEnd;

Q_DECLARE_METATYPE(TransferEnd)

class HttpBodyTest : public QObject
{
    Q_OBJECT

private slots:
    void bodyIsPage_data()
    {
        QTest::addColumn<TransferEnd>("end");
        QTest::addColumn<bool>("page");
        // transportError, capped, declaredLength, received
        QTest::newRow("complete, declared length") << TransferEnd{false, false, 10, 10} << true;
        QTest::newRow("ended at close, no length") << TransferEnd{false, false, -1, 7} << true;
        QTest::newRow("empty, declared empty") << TransferEnd{false, false, 0, 0} << true;
        QTest::newRow("shorter than declared") << TransferEnd{false, false, 10, 9} << false;
        QTest::newRow("reset or broken framing") << TransferEnd{true, false, 10, 10} << false;
        QTest::newRow("hung up at the cap") << TransferEnd{true, true, 100000000, 4194304} << true;
    }

    void bodyIsPage()
    {
        QFETCH(TransferEnd, end);
        QFETCH(bool, page);
        QCOMPARE(Pelorin::bodyIsPage(end), page);
    }

    void decodeBody_data()
    {
        QTest::addColumn<QByteArray>("body");
        QTest::addColumn<QByteArray>("contentType");
        QTest::addColumn<QString>("text");
        const QChar bad = QChar::ReplacementCharacter;

        QTest::newRow("no charset: UTF-8") << QByteArray("caf\xc3\xa9") << QByteArray("text/html") << QStringLiteral(u"café");
        QTest::newRow("charset of the response")
            << QByteArray("caf\xe9") << QByteArray("text/plain; charset=ISO-8859-1") << QStringLiteral(u"café");
        QTest::newRow("quoted, any case")
            << QByteArray("caf\xe9") << QByteArray("text/html;Charset=\"iso-8859-1\"") << QStringLiteral(u"café");
        QTest::newRow("unknown charset: UTF-8")
            << QByteArray("caf\xc3\xa9") << QByteArray("text/html; charset=no-such-charset") << QStringLiteral(u"café");
        QTest::newRow("UTF-16 declared") << QByteArray("h\0i\0", 4) << QByteArray("text/html; charset=utf-16le")
                                          << QStringLiteral("hi");
        QTest::newRow("invalid bytes replaced")
            << QByteArray("ok|\xff|ok") << QByteArray("text/html") << QString(QStringLiteral("ok|") + bad + QStringLiteral("|ok"));
        QTest::newRow("sequence cut at the end")
            << QByteArray("ab\xe2\x82") << QByteArray("text/html") << QString(QStringLiteral("ab") + bad);
        QTest::newRow("four-byte sequence cut after three")
            << QByteArray("ab\xf0\x9f\x98") << QByteArray() << QString(QStringLiteral("ab") + bad);
        QTest::newRow("whole character at the end") << QByteArray("1\xe2\x82\xac") << QByteArray() << QStringLiteral(u"1€");
        QTest::newRow("cut at the end, charset declared")
            << QByteArray("ab\xe2\x82") << QByteArray("text/html; charset=utf-8") << QString(QStringLiteral("ab") + bad);
    }

    void decodeBody()
    {
        QFETCH(QByteArray, body);
        QFETCH(QByteArray, contentType);
        QFETCH(QString, text);
        QCOMPARE(Pelorin::decodeBody(body, contentType), text);
    }
};

QTEST_APPLESS_MAIN(HttpBodyTest)
#include "http_body_test.moc"
