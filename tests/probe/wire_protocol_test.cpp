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
    void roundTrip_data();
    void roundTrip();
    void readerAcrossChunks();
    void oversizedFrameSkipped();
    void refused_data();
    void refused();
};

void WireProtocolTest::roundTrip_data()
{
    QTest::addColumn<Message>("message");

    Message create = make(Type::Create);
    create.objectId = 7;
    create.text = QStringLiteral("{29FB2761-14E2-43BB-8E5D-B408888881ED}");
    QTest::newRow("Create") << create;

    Message release = make(Type::Release);
    release.objectId = 0xFFFFFFFFu;
    QTest::newRow("Release") << release;

    Message call = make(Type::Call);
    call.objectId = 3;
    call.number = 0x60030000;
    call.args = {QStringLiteral("127.0.0.5"), qint32(80), QStringLiteral("id.htm"), qint32(-1), quint8(255)};
    QTest::newRow("Call HTTPRequest") << call;

    Message noArgs = make(Type::Call);
    noArgs.objectId = 1;
    noArgs.number = -5;
    QTest::newRow("Call without arguments") << noArgs;

    Message ret = make(Type::EventReturn);
    ret.objectId = 9;
    ret.serial = 123456;
    QTest::newRow("EventReturn") << ret;

    Message answer = make(Type::MessageBoxAnswer);
    answer.objectId = 2;
    answer.serial = 4;
    answer.number = 6;
    QTest::newRow("MessageBoxAnswer") << answer;

    Message greeting = make(Type::Greeting);
    greeting.text = QStringLiteral("{FAADF142-8494-4401-85E7-BFAF83F534F1}");
    greeting.major = 6;
    greeting.flag = false;
    greeting.text2 = QStringLiteral("no ICMP socket: grant cap_net_raw");
    QTest::newRow("Greeting") << greeting;

    Message event = make(Type::Event);
    event.objectId = 11;
    event.serial = 2;
    event.number = 1;
    event.args = {QStringLiteral("127.0.0.1"), qint16(-11010)};
    QTest::newRow("Event PingResponse") << event;

    Message page = make(Type::Event);
    page.objectId = 11;
    page.serial = 3;
    page.number = 2;
    page.args = {QStringLiteral("h"), QString::fromUtf8("<title>Ä€ \xF0\x9F\x98\x80</title>\r\n\0x", 30)};
    QTest::newRow("Event with non-ASCII text") << page;

    Message box = make(Type::MessageBox);
    box.objectId = 5;
    box.serial = 1;
    box.number = 16;
    box.text = QStringLiteral("Error 5 (x) in procedure PingAddr of Module Ping on line 20");
    box.text2 = QStringLiteral("Pelorin");
    QTest::newRow("MessageBox") << box;

    Message error = make(Type::ProtocolError);
    error.objectId = 0;
    error.text = QStringLiteral("unknown message type 0x7f");
    QTest::newRow("ProtocolError") << error;
}

void WireProtocolTest::roundTrip()
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

void WireProtocolTest::readerAcrossChunks()
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

void WireProtocolTest::oversizedFrameSkipped()
{
    const quint32 huge = kMaxFrame + 1;
    QByteArray head(4, '\0');
    std::memcpy(head.data(), &huge, 4);
    Message after = make(Type::Release);
    after.objectId = 42;

    FrameReader reader;
    reader.append(head);
    auto item = reader.next();
    QVERIFY(item);
    QVERIFY(!item->message);
    QVERIFY(item->error.contains(QLatin1String("exceeds")));

    // The refused payload arrives in pieces and is dropped; the next frame reads.
    const QByteArray block(1 << 20, 'z');
    quint32 left = huge;
    while (left > 0) {
        const quint32 n = qMin<quint32>(left, quint32(block.size()));
        reader.append(block.constData(), n);
        QVERIFY(!reader.next());
        left -= n;
    }
    reader.append(encode(after));
    item = reader.next();
    QVERIFY(item && item->message);
    QCOMPARE(*item->message, after);
}

void WireProtocolTest::refused_data()
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

void WireProtocolTest::refused()
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

QTEST_APPLESS_MAIN(WireProtocolTest)
#include "wire_protocol_test.moc"
