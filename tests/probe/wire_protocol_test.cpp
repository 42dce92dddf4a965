// The frame format both programs speak and the interface's records: every
// message type survives a round trip and malformed payloads are refused, both
// through a frame reader fed in chunks of any size that keeps step with the
// stream; each record packs and unpacks itself and refuses arguments that don't fit.
#include "WireProtocol.h"

#include <QtTest>

using namespace Pelorin::Wire;
namespace Interface = Pelorin::Interface;

Q_DECLARE_METATYPE(Pelorin::Wire::Message)

namespace {

Message make(Type type, quint32 objectId = 0, quint32 serial = 0)
{
    Message m;
    m.type = type;
    m.objectId = objectId;
    m.serial = serial;
    return m;
}

QByteArray payloadOf(const Message &m) { return encode(m).mid(4); }

} // namespace

class WireProtocolTest : public QObject
{
    Q_OBJECT

private slots:
    // A payload and the message it decodes to, or the reason it is refused.
    void decode_data()
    {
        QTest::addColumn<QByteArray>("payload");
        QTest::addColumn<Message>("message");
        QTest::addColumn<QString>("reason");
        auto ok = [](const char *name, const Message &m) { QTest::newRow(name) << payloadOf(m) << m << QString(); };
        auto refused = [](const char *name, const QByteArray &payload, const char *reason) {
            QTest::newRow(name) << payload << Message() << QString::fromLatin1(reason);
        };

        Message create = make(Type::Create, 7);
        create.classId = QStringLiteral("{29FB2761-14E2-43BB-8E5D-B408888881ED}");
        ok("Create", create);
        ok("Release", make(Type::Release, 0xFFFFFFFFu));
        ok("Call", invocation(Type::Call, 3, Interface::HTTPRequest{QStringLiteral("127.0.0.5"), 80, "id.htm", -1, 255}));
        ok("EventReturn", make(Type::EventReturn, 9, 123456));
        Message answer = make(Type::MessageBoxAnswer, 2, 4);
        answer.answer = 6;
        ok("MessageBoxAnswer", answer);
        const QString nonAscii = QString::fromUtf8("<title>\xC3\x84\xE2\x82\xAC \xF0\x9F\x98\x80</title>\r\n\0x", 30);
        Message event = invocation(Type::Event, 11, Interface::PingResponse{nonAscii, -11010});
        event.serial = 2;
        ok("Event with non-ASCII text", event);
        Message box = make(Type::MessageBox, 5, 1);
        box.style = 16;
        box.text = QString(20000, QLatin1Char('x')); // more than any chunk below
        box.title = QStringLiteral("Pelorin");
        ok("MessageBox with a long text", box);
        Message error = make(Type::ProtocolError);
        error.text = QStringLiteral("unknown message type 0x7f");
        ok("ProtocolError", error);
        Message greeting = make(Type::Greeting);
        greeting.libraryId = QStringLiteral("{FAADF142-8494-4401-85E7-BFAF83F534F1}");
        greeting.major = 6;
        greeting.minor = 1;
        greeting.echoReason = QStringLiteral("no ICMP socket: grant cap_net_raw");
        ok("Greeting", greeting);

        const QByteArray release = payloadOf(make(Type::Release, 1));
        refused("empty", QByteArray(), "empty frame");
        refused("short Release", release.left(3), "too short");
        refused("trailing bytes", release + 'x', "trailing bytes");
        refused("unknown type", QByteArray("\x7f\x01\x00\x00\x00", 5), "unknown message type");
        auto patched = [](const Message &m, int at, char byte) { QByteArray p = payloadOf(m); p[at] = byte; return p; };
        refused("text past end", patched(create, 5, char(0xff)), "past the end"); // a text length far beyond the frame
        Message call = make(Type::Call, 1);
        call.args = {qint32(1)};
        refused("unknown argument type", patched(call, 13, 9), "unknown argument type");
        refused("too many arguments", patched(call, 9, char(200)), "too many arguments");
    }

    void decode()
    {
        QFETCH(QByteArray, payload);
        QFETCH(Message, message);
        QFETCH(QString, reason);
        QString error;
        const std::optional<Message> decoded = decodePayload(payload, &error);
        QVERIFY2(bool(decoded) == reason.isEmpty() && error.contains(reason), qPrintable(error));
        if (decoded)
            QCOMPARE(*decoded, message);

        // Through the reader, in chunks of any size, between other frames.
        const quint32 n = quint32(payload.size());
        const QByteArray frame = QByteArray(reinterpret_cast<const char *>(&n), 4) + payload;
        const Message release = make(Type::Release, 1);
        const QByteArray stream = encode(release) + frame + encode(release);
        for (int chunk : {1, 3, 7, 4096}) {
            FrameReader reader;
            QList<Message> got;
            int errors = 0;
            for (qsizetype pos = 0; pos < stream.size(); pos += chunk) {
                reader.append(stream.mid(pos, chunk));
                while (auto item = reader.next())
                    item->message ? got.append(*item->message) : void(++errors);
            }
            const QList<Message> expected = decoded ? QList<Message>{release, message, release} : QList<Message>{release, release};
            QCOMPARE(got, expected);
            QCOMPARE(errors, decoded ? 0 : 1);
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
        QTest::addColumn<QString>("refusal"); // none: the arguments fit
        const QString h = QStringLiteral("127.0.0.5");
        auto row = [](const char *name, bool event, qint32 id, const QList<Value> &args, const char *refusal = "") {
            QTest::newRow(name) << event << id << args << QString::fromLatin1(refusal);
        };
        row("HTTPRequest", false, 0x60030000, {h, qint32(80), QStringLiteral("id.htm"), qint32(-1), quint8(255)});
        row("PingRequest", false, 0x60030001, {h, qint32(100), quint8(3)});
        row("PingResponse", true, 1, {h, qint16(-11010)});
        row("HTTPReqResponse", true, 2, {h, QString()});
        row("event id as method", false, 1, {h, qint16(1)}, "no method with dispatch id 0x00000001");
        row("unknown event", true, 0x7777, {h, qint16(1)}, "no event with dispatch id 0x00007777");
        row("too few", false, 0x60030001, {h, qint32(1)}, "PingRequest takes 3 arguments, not 2");
        row("too many", true, 2, {h, h, h}, "HTTPReqResponse takes 2 arguments, not 3");
        row("wrong type", false, 0x60030000, {h, qint16(80), h, qint32(1), quint8(0)},
            "HTTPRequest: argument 2 (lPort) must be 32-bit integer, not 16-bit integer");
        row("wrong last type", false, 0x60030001, {h, qint32(1), qint32(0)},
            "PingRequest: argument 3 (Retries) must be byte, not 32-bit integer");
    }

    void records()
    {
        QFETCH(bool, event);
        QFETCH(qint32, dispId);
        QFETCH(QList<Value>, args);
        QFETCH(QString, refusal);
        QString why;
        auto packed = [](const auto &record) { return record ? Interface::packAny(*record) : QList<Value>(); };
        const QList<Value> back = event ? packed(Interface::unpackAny<Interface::Event>(dispId, args, &why))
                                        : packed(Interface::unpackAny<Interface::Method>(dispId, args, &why));
        QCOMPARE(why, refusal);
        QCOMPARE(back, refusal.isEmpty() ? args : QList<Value>());
    }
};

QTEST_APPLESS_MAIN(WireProtocolTest)
#include "wire_protocol_test.moc"
