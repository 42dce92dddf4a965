// The frame format both programs speak: every message type survives a round
// trip, the frame reader copes with arbitrary chunking, and malformed frames
// are refused without losing step with the stream.
#include "WireProtocol.h"

#include <QtTest>

#include <cstring>

using namespace Pelorin::Wire;

Q_DECLARE_METATYPE(Pelorin::Wire::Message)

namespace {

Message make(Type type)
{
    Message m;
    m.type = type;
    return m;
}

QByteArray frameOf(const QByteArray &payload)
{
    QByteArray out(4, '\0');
    const quint32 n = quint32(payload.size());
    std::memcpy(out.data(), &n, 4);
    return out + payload;
}

QByteArray payloadOf(const Message &m)
{
    return encode(m).mid(4);
}

} // namespace

class WireProtocolTest : public QObject
{
    Q_OBJECT

private slots:
    void roundTrip_data()
    {
        QTest::addColumn<Message>("message");
        auto row = [](const char *name, Type type, quint32 objectId, quint32 serial, qint32 number, QList<Value> args = {},
                      const QString &text = {}, const QString &text2 = {}) {
            Message m = make(type);
            m.objectId = objectId;
            m.serial = serial;
            m.number = number;
            m.args = std::move(args);
            m.text = text;
            m.text2 = text2;
            QTest::newRow(name) << m;
        };
        row("Create", Type::Create, 7, 0, 0, {}, QStringLiteral("{29FB2761-14E2-43BB-8E5D-B408888881ED}"));
        row("Release", Type::Release, 0xFFFFFFFFu, 0, 0);
        row("Call HTTPRequest", Type::Call, 3, 0, 0x60030000,
            {QStringLiteral("127.0.0.5"), qint32(80), QStringLiteral("id.htm"), qint32(-1), quint8(255)});
        row("Call without arguments", Type::Call, 1, 0, -5);
        row("EventReturn", Type::EventReturn, 9, 123456, 0);
        row("MessageBoxAnswer", Type::MessageBoxAnswer, 2, 4, 6);
        row("Event PingResponse", Type::Event, 11, 2, 1, {QStringLiteral("127.0.0.1"), qint16(-11010)});
        row("Event with non-ASCII text", Type::Event, 11, 3, 2,
            {QStringLiteral("h"), QString::fromUtf8("<title>\xC3\x84\xE2\x82\xAC \xF0\x9F\x98\x80</title>\r\n\0x", 30)});
        row("MessageBox", Type::MessageBox, 5, 1, 16, {},
            QStringLiteral("Error 5 (x) in procedure PingAddr of Module Ping on line 20"), QStringLiteral("Pelorin"));
        row("ProtocolError", Type::ProtocolError, 0, 0, 0, {}, QStringLiteral("unknown message type 0x7f"));

        Message greeting = make(Type::Greeting);
        greeting.text = QStringLiteral("{FAADF142-8494-4401-85E7-BFAF83F534F1}");
        greeting.major = 6;
        greeting.flag = false;
        greeting.text2 = QStringLiteral("no ICMP socket: grant cap_net_raw");
        QTest::newRow("Greeting") << greeting;
    }

    void roundTrip()
    {
        QFETCH(Message, message);
        const QByteArray frame = encode(message);
        quint32 length = 0;
        std::memcpy(&length, frame.constData(), 4);
        QCOMPARE(qsizetype(length), frame.size() - 4);

        QString error;
        const std::optional<Message> decoded = decodePayload(frame.mid(4), &error);
        QVERIFY2(decoded, qPrintable(error));
        QCOMPARE(*decoded, message);
    }

    void readerAcrossChunks()
    {
        Message a = make(Type::Call);
        a.objectId = 1;
        a.number = 0x60030001;
        a.args = {QStringLiteral("127.0.0.9"), qint32(100), quint8(3)};
        Message b = make(Type::Release);
        b.objectId = 1;
        Message c = make(Type::Event);
        c.objectId = 2;
        c.args = {QString(20000, QLatin1Char('x'))};
        const QByteArray stream = encode(a) + encode(b) + encode(c);

        for (int chunk : {1, 3, 7, 4096}) {
            FrameReader reader;
            QList<Message> got;
            for (qsizetype pos = 0; pos < stream.size(); pos += chunk) {
                reader.append(stream.mid(pos, chunk));
                while (auto item = reader.next()) {
                    QVERIFY2(item->message, qPrintable(item->error));
                    got.append(*item->message);
                }
            }
            QCOMPARE(got, (QList<Message>{a, b, c}));
            QCOMPARE(reader.buffered(), qsizetype(0));
        }
    }

    void refused_data()
    {
        QTest::addColumn<QByteArray>("payload");
        QTest::addColumn<QString>("reason");

        QByteArray release = payloadOf([] { Message m = make(Type::Release); m.objectId = 1; return m; }());
        QTest::newRow("empty") << QByteArray() << "empty frame";
        QTest::newRow("short Release") << release.left(3) << "too short";
        QTest::newRow("trailing bytes") << release + 'x' << "trailing bytes";
        QTest::newRow("unknown type") << QByteArray("\x7f\x01\x00\x00\x00", 5) << "unknown message type";

        Message create = make(Type::Create);
        create.objectId = 1;
        create.text = QStringLiteral("abc");
        QByteArray longText = payloadOf(create);
        longText[5] = char(0xff); // text length far beyond the frame
        QTest::newRow("text past end") << longText << "past the end";

        Message call = make(Type::Call);
        call.objectId = 1;
        call.args = {qint32(1)};
        QByteArray badTag = payloadOf(call);
        badTag[13] = char(9);
        QTest::newRow("unknown argument type") << badTag << "unknown argument type";

        QByteArray manyArgs = payloadOf(call);
        manyArgs[9] = char(200);
        QTest::newRow("too many arguments") << manyArgs << "too many arguments";
    }

    void refused()
    {
        QFETCH(QByteArray, payload);
        QFETCH(QString, reason);
        QString error;
        QVERIFY(!decodePayload(payload, &error));
        QVERIFY2(error.contains(reason), qPrintable(error));

        // Through the reader: refused, and the following frame still reads.
        Message next = make(Type::Release);
        next.objectId = 8;
        FrameReader reader;
        reader.append(frameOf(payload) + encode(next));
        auto item = reader.next();
        QVERIFY(item && !item->message && !item->error.isEmpty());
        item = reader.next();
        QVERIFY(item && item->message);
        QCOMPARE(*item->message, next);
    }
};

QTEST_APPLESS_MAIN(WireProtocolTest)
#include "wire_protocol_test.moc"
