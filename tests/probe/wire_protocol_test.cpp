// The frame format both programs speak and the interface's records: every
// message type survives a round trip and malformed payloads are refused, both
// through a frame reader fed in chunks of any size that keeps step with the
// stream; each record packs and unpacks itself and refuses arguments that don't fit.
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

QByteArray payloadOf(const Message &m)
{
    return encode(m).mid(4);
}

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

        Message m = make(Type::Create, 7);
        m.classId = QStringLiteral("{29FB2761-14E2-43BB-8E5D-B408888881ED}");
        ok("Create", m);
        ok("Release", make(Type::Release, 0xFFFFFFFFu));
        ok("Call HTTPRequest",
           invocation(Type::Call, 3, Interface::HTTPRequest{QStringLiteral("127.0.0.5"), 80, "id.htm", -1, 255}));
        m = make(Type::Call, 1);
        m.dispId = -5;
        ok("Call without arguments", m);
        m = make(Type::EventReturn, 9);
        m.serial = 123456;
        ok("EventReturn", m);
        m = make(Type::MessageBoxAnswer, 2);
        m.serial = 4;
        m.answer = 6;
        ok("MessageBoxAnswer", m);
        m = invocation(Type::Event, 11, Interface::PingResponse{QStringLiteral("127.0.0.1"), -11010});
        m.serial = 2;
        ok("Event PingResponse", m);
        m = invocation(Type::Event, 11, Interface::HTTPReqResponse{
            "h", QString::fromUtf8("<title>\xC3\x84\xE2\x82\xAC \xF0\x9F\x98\x80</title>\r\n\0x", 30)});
        m.serial = 3;
        ok("Event with non-ASCII text", m);
        m.args = {QString(20000, QLatin1Char('x'))}; // more than any chunk below
        ok("Event with a long text", m);
        m = make(Type::MessageBox, 5);
        m.serial = 1;
        m.style = 16;
        m.text = QStringLiteral("Error 5 (x) in procedure PingAddr of Module Ping on line 20");
        m.title = QStringLiteral("Pelorin");
        ok("MessageBox", m);
        m = make(Type::ProtocolError);
        m.text = QStringLiteral("unknown message type 0x7f");
        ok("ProtocolError", m);
        m = make(Type::Greeting);
        m.libraryId = QStringLiteral("{FAADF142-8494-4401-85E7-BFAF83F534F1}");
        m.major = 6;
        m.minor = 1;
        m.echoReason = QStringLiteral("no ICMP socket: grant cap_net_raw");
        ok("Greeting", m);

        const QByteArray release = payloadOf(make(Type::Release, 1));
        refused("empty", QByteArray(), "empty frame");
        refused("short Release", release.left(3), "too short");
        refused("trailing bytes", release + 'x', "trailing bytes");
        refused("unknown type", QByteArray("\x7f\x01\x00\x00\x00", 5), "unknown message type");
        m = make(Type::Create, 1);
        m.classId = QStringLiteral("abc");
        QByteArray bad = payloadOf(m);
        bad[5] = char(0xff); // text length far beyond the frame
        refused("text past end", bad, "past the end");
        m = make(Type::Call, 1);
        m.args = {qint32(1)};
        bad = payloadOf(m);
        bad[13] = char(9);
        refused("unknown argument type", bad, "unknown argument type");
        bad = payloadOf(m);
        bad[9] = char(200);
        refused("too many arguments", bad, "too many arguments");
    }

    void decode()
    {
        QFETCH(QByteArray, payload);
        QFETCH(Message, message);
        QFETCH(QString, reason);

        QString error;
        const std::optional<Message> decoded = decodePayload(payload, &error);
        if (reason.isEmpty()) {
            QVERIFY2(decoded, qPrintable(error));
            QCOMPARE(*decoded, message);
        } else {
            QVERIFY(!decoded);
            QVERIFY2(error.contains(reason), qPrintable(error));
        }

        // Through the reader, in chunks of any size, between other frames.
        QByteArray frame(4, '\0');
        const quint32 n = quint32(payload.size());
        std::memcpy(frame.data(), &n, 4);
        frame += payload;
        if (reason.isEmpty())
            QCOMPARE(frame, encode(message));
        const Message release = make(Type::Release, 1);
        const QByteArray stream = encode(release) + frame + encode(release);
        for (int chunk : {1, 3, 7, 4096}) {
            FrameReader reader;
            QList<Message> got;
            QStringList errors;
            for (qsizetype pos = 0; pos < stream.size(); pos += chunk) {
                reader.append(stream.mid(pos, chunk));
                while (auto item = reader.next()) {
                    if (item->message)
                        got.append(*item->message);
                    else
                        errors.append(item->error);
                }
            }
            const QList<Message> expected = reason.isEmpty() ? QList<Message>{release, message, release}
                                                             : QList<Message>{release, release};
            QCOMPARE(got, expected);
            QCOMPARE(errors.size(), reason.isEmpty() ? 0 : 1);
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
        auto row = [](const char *name, bool event, qint32 id, const QList<Value> &args, const char *expected) {
            QTest::newRow(name) << event << id << args << QString::fromLatin1(expected);
        };
        row("HTTPRequest", false, 0x60030000, {h, qint32(80), QStringLiteral("id.htm"), qint32(-1), quint8(255)}, "HTTPRequest");
        row("PingRequest", false, 0x60030001, {h, qint32(100), quint8(3)}, "PingRequest");
        row("PingResponse", true, 1, {h, qint16(-11010)}, "PingResponse");
        row("HTTPReqResponse", true, 2, {h, QString()}, "HTTPReqResponse");
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
};

QTEST_APPLESS_MAIN(WireProtocolTest)
#include "wire_protocol_test.moc"
