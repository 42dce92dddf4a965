// The protocol between the programs. The frame format: every message type survives a round trip and
// malformed payloads are refused, also through a frame reader fed in chunks of any size; each record
// packs and unpacks itself and refuses arguments that don't fit. Then the real pelorin process over its
// pipes, with requests that send no packets: greeting, refusal of bad input, release ending waits, a
// clean end when either pipe closes, and no thread or descriptor left behind.
#include "Harness.h"

#include <QtTest>

using namespace Pelorin::Wire;
namespace Interface = Pelorin::Interface;
using Pipe = PelorinPipe;

Q_DECLARE_METATYPE(Pelorin::Wire::Message)

namespace {

QByteArray payloadOf(const Message &m) { return encode(m).mid(4); }

// A call that raises a message box (five-part address) or an event (refused host) at once, without a packet.
Message raisingCall(quint32 id, bool messageBox)
{
    return messageBox ? invocation(Type::Call, id, Interface::PingRequest{QStringLiteral("1.2.3.4.5"), 100, 0})
                      : invocation(Type::Call, id, Interface::HTTPRequest{QStringLiteral("user@host"), 80, QStringLiteral("id.htm"), 100, 0});
}

} // namespace

class ServerProtocolTest : public QObject
{
    Q_OBJECT

    Pipe m_server; // shared by the bad-input rows: each must leave it serving
    quint32 m_nextId = 100;

private slots:
    // A payload and the message it decodes to, or the reason it is refused; releaseEndsWaits carries serials.
    void decode_data()
    {
        QTest::addColumn<QByteArray>("payload");
        QTest::addColumn<Message>("message");
        QTest::addColumn<QString>("reason");
        auto ok = [](const char *name, const Message &m) { QTest::newRow(name) << payloadOf(m) << m << QString(); };
        auto refused = [](const char *name, const QByteArray &payload, const char *r) { QTest::newRow(name) << payload << Message() << QString(r); };

        Message create = Pipe::msg(Type::Create, 7);
        create.classId = QStringLiteral("{29FB2761-14E2-43BB-8E5D-B408888881ED}");
        ok("Create", create);
        ok("Release", Pipe::msg(Type::Release, 0xFFFFFFFFu));
        ok("Call", invocation(Type::Call, 3, Interface::HTTPRequest{QStringLiteral("127.0.0.5"), 80, "id.htm", -1, 255}));
        Message answer = Pipe::msg(Type::MessageBoxAnswer, 2);
        answer.serial = 4;
        answer.answer = 6;
        ok("MessageBoxAnswer", answer);
        const QString nonAscii = QString::fromUtf8("<title>\xC3\x84\xE2\x82\xAC \xF0\x9F\x98\x80</title>\r\n\0x", 30);
        Message event = invocation(Type::Event, 11, Interface::PingResponse{nonAscii, -11010});
        event.serial = 2;
        ok("Event with non-ASCII text", event);
        Message box = Pipe::msg(Type::MessageBox, 5);
        box.style = 16;
        box.text = QString(20000, QLatin1Char('x')); // more than any chunk below
        box.title = QStringLiteral("Pelorin");
        ok("MessageBox with a long text", box);
        Message error = Pipe::msg(Type::ProtocolError);
        error.text = QStringLiteral("unknown message type 0x7f");
        ok("ProtocolError", error);
        Message greeting = Pipe::msg(Type::Greeting);
        greeting.libraryId = QStringLiteral("{FAADF142-8494-4401-85E7-BFAF83F534F1}");
        greeting.major = 6;
        greeting.minor = 1;
        greeting.echoReason = QStringLiteral("no ICMP socket: grant cap_net_raw");
        ok("Greeting", greeting);

        const QByteArray release = payloadOf(Pipe::msg(Type::Release, 1));
        refused("empty", QByteArray(), "empty frame");
        refused("short Release", release.left(3), "too short");
        refused("trailing bytes", release + 'x', "trailing bytes");
        refused("unknown type", QByteArray("\x7f\x01\x00\x00\x00", 5), "unknown message type");
        auto patched = [](const Message &m, int at, char byte) { QByteArray p = payloadOf(m); p[at] = byte; return p; };
        refused("text past end", patched(create, 5, char(0xff)), "past the end"); // a text length far beyond the frame
        Message call = Pipe::msg(Type::Call, 1);
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
        const Message release = Pipe::msg(Type::Release, 1);
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
        row("too few", false, 0x60030001, {h, qint32(1)}, "PingRequest takes 3 arguments, not 2");
        row("too many", true, 2, {h, h, h}, "HTTPReqResponse takes 2 arguments, not 3");
        row("wrong type", false, 0x60030000, {h, qint16(80), h, qint32(1), quint8(0)},
            "HTTPRequest: argument 2 (port) must be 32-bit integer, not 16-bit integer");
        row("wrong last type", false, 0x60030001, {h, qint32(1), qint32(0)},
            "PingRequest: argument 3 (retries) must be byte, not 32-bit integer");
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
    void initTestCase()
    {
        QVERIFY(m_server.start());
        const Message &g = *m_server.greeting;
        QVERIFY(g.libraryId == QLatin1String(Pelorin::kLibraryId) && g.major == 6 && g.minor == 0);
        QVERIFY(g.echoUsable || !g.echoReason.isEmpty()); // echo that cannot be used comes with the reason
    }

    void cleanupTestCase()
    {
        // Objects still held when the pipe closes are released with the server.
        m_server.send(Pipe::create(1));
        QVERIFY(m_server.serves(2));
        QProcess &process = m_server.process();
        process.closeWriteChannel();
        QVERIFY(process.waitForFinished(3000) && process.exitStatus() == QProcess::NormalExit && process.exitCode() == 0);
    }

    void badInput_data()
    {
        QTest::addColumn<QByteArray>("input");
        QTest::addColumn<quint32>("objectId");
        QTest::addColumn<QString>("reason");
        QTest::addColumn<QByteArray>("cleanup");
        auto withObject = [](quint32 id, const Message &m) { return encode(Pipe::create(id)) + encode(m); };
        auto release = [](quint32 id) { return encode(Pipe::msg(Type::Release, id)); };
        const quint32 length = kMaxFrame + 10;
        const QByteArray oversized = QByteArray(reinterpret_cast<const char *>(&length), 4) + QByteArray(int(length), 'q');
        Message stray = Pipe::msg(Type::EventReturn, 15);
        stray.serial = 1;

        QTest::newRow("oversized frame") << oversized << 0u << "exceeds" << QByteArray();
        QTest::newRow("unknown class") << encode(Pipe::create(7, "{D3301CB9-0000}")) << 7u << "not creatable" << QByteArray();
        QTest::newRow("object id 0") << encode(Pipe::create(0)) << 0u << "id 0" << QByteArray();
        QTest::newRow("duplicate object") << withObject(8, Pipe::create(8)) << 8u << "already exists" << release(8);
        // A call that doesn't fit its method: the server passes on the record's reason.
        QTest::newRow("wrong argument type")
            << withObject(13, Pipe::call(13, 0x60030001, {QStringLiteral("h"), qint16(80), quint8(0)})) << 13u
            << "ProbeObject: PingRequest: argument 2 (timeOut) must be" << release(13);
        QTest::newRow("EventReturn with no event out") << withObject(15, stray) << 15u << "does not answer" << release(15);
        QTest::newRow("client sends an Event") << encode(Pipe::msg(Type::Event, 17)) << 17u << "sent by the server only" << QByteArray();
    }

    void badInput()
    {
        QFETCH(QByteArray, input);
        QFETCH(quint32, objectId);
        QFETCH(QString, reason);
        QFETCH(QByteArray, cleanup);
        m_server.sendRaw(input);
        const auto error = m_server.next(10000);
        QVERIFY2(error && error->type == Type::ProtocolError && error->objectId == objectId && error->text.contains(reason),
                 qPrintable(error ? error->text : QString()));
        m_server.sendRaw(cleanup);
        QVERIFY(m_server.serves(m_nextId++));
    }

    // A client that stops reading: pelorin ends cleanly at its next answer.
    void closedStdoutEndsServer()
    {
        QProcess server, reader; // the reader takes a byte of the greeting and closes the pipe
        server.setStandardOutputProcess(&reader);
        server.start(QCoreApplication::applicationDirPath() + QStringLiteral("/pelorin"), {});
        reader.start(QStringLiteral("head"), {QStringLiteral("-c1")});
        QVERIFY(reader.waitForFinished(5000));
        server.write(encode(Pipe::create(1)));
        server.write(encode(Pipe::msg(Type::Release, 99))); // its answer meets a closed pipe
        QVERIFY(server.waitForFinished(3000) && server.exitStatus() == QProcess::NormalExit && server.exitCode() == 0);
    }

    // As a scan uses them: 50 objects live at a time, all on pelorin's one thread; once all are released,
    // every descriptor is gone. Pelorin holds no capability in any set once its echo socket is open.
    void manyObjectsOneThreadNoCapability()
    {
        Pipe server;
        QVERIFY(server.start());
        const qint64 pid = server.pid();
        QVERIFY(server.serves(1)); // one round first, so lazily made resources exist
        const int tasks = Harness::procEntries(pid, "task");
        const int fds = Harness::procEntries(pid, "fd");
        int most = 0;
        for (quint32 id = 1000; id < 1255; ++id) {
            server.send(Pipe::create(id));
            if (id >= 1050)
                server.send(Pipe::msg(Type::Release, id - 50));
            QVERIFY(server.serves(3));
            most = qMax(most, Harness::procEntries(pid, "task"));
        }
        for (quint32 id = 1205; id < 1255; ++id)
            server.send(Pipe::msg(Type::Release, id));
        QVERIFY(server.serves(4));
        QVERIFY2(most == tasks && tasks <= 3, qPrintable(QStringLiteral("%1 %2").arg(tasks).arg(most)));
        QTRY_COMPARE_WITH_TIMEOUT(Harness::procEntries(pid, "fd"), fds, 10000);
        QFile status(QStringLiteral("/proc/%1/status").arg(pid));
        QVERIFY(status.open(QIODevice::ReadOnly));
        int sets = 0;
        for (const QByteArray &line : status.readAll().split('\n')) {
            if (line.startsWith("CapInh:") || line.startsWith("CapPrm:") || line.startsWith("CapEff:") || line.startsWith("CapAmb:")) {
                QCOMPARE(line.mid(7).trimmed().toULongLong(nullptr, 16), 0ull);
                ++sets;
            }
        }
        QCOMPARE(sets, 4);
    }

    void releaseEndsWaits_data()
    {
        QTest::addColumn<bool>("messageBox");
        QTest::newRow("event raise") << false;
        QTest::newRow("message box") << true;
    }

    // Release ends an object's wait for the client's answer at once and nothing
    // of it is written later: the next object's answered event repeats 100 ms
    // on, by when a late event would have come. (The server's end follows in cleanupTestCase.)
    void releaseEndsWaits()
    {
        QFETCH(bool, messageBox);
        const quint32 id = m_nextId++;
        m_server.send(Pipe::create(id));
        m_server.send(raisingCall(id, messageBox));
        const auto waitingOn = m_server.next();
        QVERIFY(waitingOn && waitingOn->objectId == id && waitingOn->serial == 1);
        QCOMPARE(waitingOn->type, messageBox ? Type::MessageBox : Type::Event);
        m_server.send(Pipe::msg(Type::Release, id));

        const quint32 next = m_nextId++;
        m_server.send(Pipe::create(next));
        m_server.send(raisingCall(next, false));
        for (quint32 serial : {1u, 2u}) {
            const auto event = m_server.next();
            QVERIFY(event && event->type == Type::Event && event->objectId == next && event->serial == serial);
            Message answer = Pipe::msg(Type::EventReturn, next);
            answer.serial = serial;
            m_server.send(answer);
        }
        m_server.send(Pipe::msg(Type::Release, next));
        QVERIFY(m_server.serves(m_nextId++));
    }
};

QTEST_GUILESS_MAIN(ServerProtocolTest)
#include "server_protocol_test.moc"
