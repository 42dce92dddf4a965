// The frame format both programs speak and the interface's records: every
// message type survives a round trip, each record packs and unpacks itself and
// refuses arguments that don't fit, the frame reader copes with arbitrary
// chunking, and malformed frames are refused without losing step with the stream.
#include "WireProtocol.h"

#include <QtTest>

#include <cstring>

using namespace Pelorin::Wire;
namespace Interface = Pelorin::Interface;

Q_DECLARE_METATYPE(Pelorin::Wire::Message)

namespace {

Message make(Type type, quint32 objectId = 0)
{
    Message m;
    m.type = type;
    m.objectId = objectId;
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
        Message m = make(Type::Create, 7);
        m.classId = QStringLiteral("{29FB2761-14E2-43BB-8E5D-B408888881ED}");
        QTest::newRow("Create") << m;
        QTest::newRow("Release") << make(Type::Release, 0xFFFFFFFFu);
        QTest::newRow("Call HTTPRequest")
            << invocation(Type::Call, 3, Interface::HTTPRequest{QStringLiteral("127.0.0.5"), 80, "id.htm", -1, 255});
        m = make(Type::Call, 1);
        m.dispId = -5;
        QTest::newRow("Call without arguments") << m;
        m = make(Type::EventReturn, 9);
        m.serial = 123456;
        QTest::newRow("EventReturn") << m;
        m = make(Type::MessageBoxAnswer, 2);
        m.serial = 4;
        m.answer = 6;
        QTest::newRow("MessageBoxAnswer") << m;
        m = invocation(Type::Event, 11, Interface::PingResponse{QStringLiteral("127.0.0.1"), -11010});
        m.serial = 2;
        QTest::newRow("Event PingResponse") << m;
        m = invocation(Type::Event, 11, Interface::HTTPReqResponse{
            "h", QString::fromUtf8("<title>\xC3\x84\xE2\x82\xAC \xF0\x9F\x98\x80</title>\r\n\0x", 30)});
        m.serial = 3;
        QTest::newRow("Event with non-ASCII text") << m;
        m.args = {QString(20000, QLatin1Char('x'))}; // more than any chunk below
        QTest::newRow("Event with a long text") << m;
        m = make(Type::MessageBox, 5);
        m.serial = 1;
        m.style = 16;
        m.text = QStringLiteral("Error 5 (x) in procedure PingAddr of Module Ping on line 20");
        m.title = QStringLiteral("Pelorin");
        QTest::newRow("MessageBox") << m;
        m = make(Type::ProtocolError);
        m.text = QStringLiteral("unknown message type 0x7f");
        QTest::newRow("ProtocolError") << m;
        m = make(Type::Greeting);
        m.libraryId = QStringLiteral("{FAADF142-8494-4401-85E7-BFAF83F534F1}");
        m.major = 6;
        m.minor = 1;
        m.echoReason = QStringLiteral("no ICMP socket: grant cap_net_raw");
        QTest::newRow("Greeting") << m;
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

        // Through the reader, in chunks of any size, between other frames.
        const Message release = make(Type::Release, 1);
        const QByteArray stream = encode(release) + frame + encode(release);
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
            QCOMPARE(got, (QList<Message>{release, message, release}));
            QCOMPARE(reader.buffered(), qsizetype(0));
        }
    }

    // Each record under its published dispatch id: unpacked from fitting
    // arguments (and packed back to the same list), refused with a reason otherwise.
    void records_data()
    {
        QTest::addColumn<bool>("event");
        QTest::addColumn<qint32>("dispId");
        QTest::addColumn<QList<Value>>("args");
        QTest::addColumn<QString>("expected"); // the record's name, or the reason of the refusal

        const QString h = QStringLiteral("127.0.0.5");
        QTest::newRow("HTTPRequest") << false << 0x60030000 << QList<Value>{h, qint32(80), QStringLiteral("id.htm"), qint32(-1), quint8(255)}
                                     << "HTTPRequest";
        QTest::newRow("PingRequest") << false << 0x60030001 << QList<Value>{h, qint32(100), quint8(3)}
                                     << "PingRequest";
        QTest::newRow("PingResponse") << true << 1 << QList<Value>{h, qint16(-11010)}
                                      << "PingResponse";
        QTest::newRow("HTTPReqResponse") << true << 2 << QList<Value>{h, QString()}
                                         << "HTTPReqResponse";
        QTest::newRow("event id as method") << false << 1 << QList<Value>{h, qint16(1)}
                                            << "no method with dispatch id 0x00000001";
        QTest::newRow("unknown event") << true << 0x7777 << QList<Value>{h, qint16(1)}
                                       << "no event with dispatch id 0x00007777";
        QTest::newRow("too few") << false << 0x60030001 << QList<Value>{h, qint32(1)}
                                 << "PingRequest takes 3 arguments, not 2";
        QTest::newRow("too many") << true << 2 << QList<Value>{h, h, h} << "HTTPReqResponse takes 2 arguments, not 3";
        QTest::newRow("wrong type") << false << 0x60030000 << QList<Value>{h, qint16(80), h, qint32(1), quint8(0)}
                                    << "HTTPRequest: argument 2 (lPort) must be 32-bit integer, not 16-bit integer";
        QTest::newRow("wrong last type") << false << 0x60030001 << QList<Value>{h, qint32(1), qint32(0)}
                                         << "PingRequest: argument 3 (Retries) must be byte, not 32-bit integer";
        QTest::newRow("text for a number") << true << 1 << QList<Value>{h, h}
                                           << "PingResponse: argument 2 (iPingTime) must be 16-bit integer, not text";
    }

    void records()
    {
        QFETCH(bool, event);
        QFETCH(qint32, dispId);
        QFETCH(QList<Value>, args);
        QFETCH(QString, expected);
        QString why;
        auto check = [&](const auto &record) {
            if (!record) {
                QCOMPARE(why, expected);
                return;
            }
            QCOMPARE(std::visit([](const auto &r) { return QLatin1String(r.kName); }, *record), expected);
            QCOMPARE(Interface::dispIdOf(*record), dispId);
            QCOMPARE(Interface::packAny(*record), args);
        };
        if (event)
            check(Interface::unpackAny<Interface::Event>(dispId, args, &why));
        else
            check(Interface::unpackAny<Interface::Method>(dispId, args, &why));
    }

    void refused_data()
    {
        QTest::addColumn<QByteArray>("payload");
        QTest::addColumn<QString>("reason");

        const QByteArray release = payloadOf(make(Type::Release, 1));
        QTest::newRow("empty") << QByteArray() << "empty frame";
        QTest::newRow("short Release") << release.left(3) << "too short";
        QTest::newRow("trailing bytes") << release + 'x' << "trailing bytes";
        QTest::newRow("unknown type") << QByteArray("\x7f\x01\x00\x00\x00", 5) << "unknown message type";

        Message create = make(Type::Create, 1);
        create.classId = QStringLiteral("abc");
        QByteArray longText = payloadOf(create);
        longText[5] = char(0xff); // text length far beyond the frame
        QTest::newRow("text past end") << longText << "past the end";

        Message call = make(Type::Call, 1);
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
        const Message next = make(Type::Release, 8);
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
