// Guards the frame format (round trips, bytes on the wire, the 16 MiB frame cap, refusals, any chunking), the real
// pelorin over its pipes (greeting, bad input refused, one thread, no capability, exit 0, SIGINT
// and SIGQUIT ignored, SIGTERM ending it), and the client against a server's bad output (unreadable frame drops the
// server, stray event dropped, box left open).
#include "Harness.h"
#include "client/PelorinConnection.h"
#include "client/ProbeObjectProxy.h"

#include <QtTest>

#include <signal.h>

using namespace Pelorin::Wire;
using Pipe = PelorinPipe;

namespace {

template <class P>
QByteArray payloadOf(const P &p) { return encode(p).mid(4); }

// A frame one byte short of its packet, its length set to match.
QByteArray cutShort(QByteArray frame) { return frame.chop(1), frame[0] = char(frame.size() - 4), frame; }

} // namespace

class ServerProtocolTest : public QObject
{
    Q_OBJECT

    Pipe m_server; // shared by the bad-input rows: each must leave it serving
    quint32 m_nextId = 100;

private slots:
    // Every packet type survives a round trip with its fields in place, also through a reader fed in chunks of
    // any size; malformed payloads are refused with the reason.
    void roundTrips()
    {
        const QString h = QStringLiteral("127.0.0.5");
        const QString nonAscii = QString::fromUtf8("<title>\xC3\x84\xE2\x82\xAC \xF0\x9F\x98\x80</title>\r\n\0x", 30);
        const Create create{7, QStringLiteral("{29FB2761-14E2-43BB-8E5D-B408888881ED}")};
        QByteArrayList payloads, back;
        auto ok = [&](const auto &p) { // decoded from its payload and encoded again: the same bytes
            const auto decoded = Pelorin::Wire::decode<std::decay_t<decltype(p)>>(payloads.emplace_back(payloadOf(p)));
            back << (decoded ? payloadOf(*decoded) : QByteArray());
        };
        ok(create);
        ok(Release{0xFFFFFFFFu});
        ok(HttpRequest{3, {h, 80, QStringLiteral("id.htm"), -1, 255}});
        ok(PingRequest{3, {h, 100, 3}});
        ok(EventReturn{2, 4});
        ok(MessageBoxAnswer{2, 4, 6});
        ok(Greeting{QStringLiteral("{FAADF142-8494-4401-85E7-BFAF83F534F1}"), 6, 1, false, QStringLiteral("grant cap_net_raw")});
        ok(PingResponse{11, 2, {nonAscii, -11010}});
        ok(HttpReqResponse{11, 3, {h, nonAscii}});
        ok(MessageBox{5, 1, 16, QString(20000, QLatin1Char('x')), QStringLiteral("Pelorin")});
        ok(ProtocolError{0, QStringLiteral("unknown message type 0x7f")});
        QCOMPARE(back, payloads);

        QString why;
        const QByteArray release = payloadOf(Release{1});
        QVERIFY(!Pelorin::Wire::decode<Release>(release.left(3), &why) && why.contains("too short"));
        QVERIFY(!Pelorin::Wire::decode<Release>(release + 'x', &why) && why.contains("trailing bytes"));
        QByteArray patched = payloadOf(create);
        patched[5] = char(0xff); // a text length far beyond the frame
        QVERIFY(!Pelorin::Wire::decode<Create>(patched, &why) && why.contains("past the end"));

        QByteArray stream;
        for (const QByteArray &payload : std::as_const(payloads)) {
            const quint32 n = quint32(payload.size());
            stream += QByteArray(reinterpret_cast<const char *>(&n), 4) + payload;
        }
        stream += QByteArray(4, '\0') + encode(Release{1});
        for (int chunk : {1, 3, 7, 4096}) {
            FrameReader reader;
            QByteArrayList got;
            for (qsizetype pos = 0; pos < stream.size(); pos += chunk) {
                for (reader.append(stream.mid(pos, chunk)); auto f = reader.next();)
                    got << (f->error.isEmpty() ? f->payload : f->error.toUtf8());
            }
            QVERIFY(got == payloads + QByteArrayList({"empty frame", release}) && reader.buffered() == 0);
        }
    }

    // The bytes on the wire: length, type, then the fields little-endian, a text as its UTF-8 byte count and bytes.
    // A frame of 16 MiB is read (its header waits for the bytes); one byte more is refused from its header.
    void wireBytesAndFrameCap()
    {
        QCOMPARE(encode(Release{0x01020304}), QByteArray("\x05\0\0\0\x02\x04\x03\x02\x01", 9));
        QCOMPARE(encode(ProtocolError{1, QStringLiteral("\u00e9")}), QByteArray("\x0b\0\0\0\x85\x01\0\0\0\x02\0\0\0\xc3\xa9", 15));
        for (const quint32 length : {16u << 20, (16u << 20) + 1}) {
            FrameReader reader;
            reader.append(QByteArray(reinterpret_cast<const char *>(&length), 4) + '\x02');
            const auto f = reader.next();
            QVERIFY2(f ? length > 16u << 20 && f->error.contains("exceeds") : length == 16u << 20, qPrintable(QString::number(length)));
        }
    }

    void initTestCase()
    {
        QVERIFY(m_server.start());
        const Greeting &g = *m_server.greeting;
        QVERIFY(g.libraryId == QLatin1String(Pelorin::kLibraryId) && g.major == 6 && g.minor == 0);
        QVERIFY(g.echoUsable || !g.echoReason.isEmpty()); // echo that cannot be used comes with the reason
    }

    void cleanupTestCase()
    {
        // A terminal's SIGINT and SIGQUIT leave it serving; objects still held when the pipe closes go with it.
        for (int signal : {SIGINT, SIGQUIT})
            ::kill(pid_t(m_server.pid()), signal);
        m_server.send(Pipe::create(1));
        QVERIFY(m_server.serves(2));
        QProcess &process = m_server.process();
        process.closeWriteChannel();
        QVERIFY(process.waitForFinished(3000) && process.exitStatus() == QProcess::NormalExit && process.exitCode() == 0);
    }

    // Bad input is refused with a ProtocolError for the object concerned; the server goes on serving.
    void badInput()
    {
        auto withObject = [](quint32 id, const QByteArray &frame) { return encode(Pipe::create(id)) + frame; };
        auto release = [](quint32 id) { return encode(Release{id}); };
        const quint32 length = kMaxFrame + 10;
        const QByteArray oversized = QByteArray(reinterpret_cast<const char *>(&length), 4) + QByteArray(int(length), 'q');
        const struct { QByteArray input; quint32 objectId; const char *reason; QByteArray cleanup; } rows[] = {
            {oversized, 0, "exceeds", {}}, {encode(Pipe::create(7, "{D3301CB9-0000}")), 7, "not creatable", {}},
            {encode(Pipe::create(0)), 0, "id 0", {}}, {withObject(8, encode(Pipe::create(8))), 8, "already exists", release(8)},
            {withObject(13, cutShort(encode(PingRequest{13, {"h", 80, 0}}))), 13, "too short", release(13)},
            {encode(PingRequest{14, {"h", 1, 0}}), 14, "unknown object", {}},
            {withObject(15, encode(EventReturn{15, 1})), 15, "does not answer", release(15)},
            {encode(PingResponse{17, 1, {}}), 17, "sent by the server only", {}}};
        for (const auto &r : rows) {
            m_server.sendRaw(r.input);
            const auto error = m_server.next<ProtocolError>(10000);
            QVERIFY2(error, r.reason);
            QCOMPARE(error->objectId, r.objectId);
            QVERIFY2(error->text.contains(r.reason), qPrintable(error->text));
            m_server.sendRaw(r.cleanup);
            QVERIFY(m_server.serves(m_nextId++));
        }
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
        server.write(encode(Release{99})); // its answer meets a closed pipe
        QVERIFY(server.waitForFinished(3000) && server.exitStatus() == QProcess::NormalExit && server.exitCode() == 0);
    }

    // 50 objects live at a time, as a scan uses them, all on pelorin's one thread; once all are released,
    // every descriptor is gone. (Its capability sets: pelorin_edges_test.)
    void manyObjectsOneThread()
    {
        Pipe server;
        QVERIFY(server.start() && server.serves(1)); // one round first, so lazily made resources exist
        const qint64 pid = server.pid();
        const int tasks = Harness::procEntries(pid, "task"), fds = Harness::procEntries(pid, "fd");
        int most = 0;
        for (quint32 id = 1000; id < 1255; ++id) {
            server.send(Pipe::create(id));
            if (id >= 1050)
                server.send(Release{id - 50});
            QVERIFY(server.serves(3));
            most = qMax(most, Harness::procEntries(pid, "task"));
        }
        for (quint32 id = 1205; id < 1255; ++id)
            server.send(Release{id});
        QVERIFY(server.serves(4) && most == tasks && tasks <= 3);
        QTRY_COMPARE_WITH_TIMEOUT(Harness::procEntries(pid, "fd"), fds, 10000);
    }

    void standInServer_data()
    {
        QTest::addColumn<QByteArray>("afterGreeting"); // frames for object 1, the connection's first
        QTest::addColumn<bool>("serverDropped");
        QTest::addColumn<int>("boxes");
        QTest::newRow("unknown frame type") << QByteArray("\x05\0\0\0\x7f" "abcd", 9) << true << 0;
        QTest::newRow("ping event cut short") << cutShort(encode(PingResponse{1, 1, {"127.0.0.2", 1}})) << true << 0;
        QTest::newRow("event for unknown object") << encode(PingResponse{1001, 1, {QStringLiteral("127.0.0.2"), 1}}) << false << 0;
        QTest::newRow("message box left unanswered") << encode(MessageBox{1, 1, 0, QStringLiteral("Error 9"), {}}) << false << 1;
    }

    // A stand-in server greets, sends what the row says, then a ping answer: an unreadable frame is reported once
    // and drops the server, and the next start starts a new one; an event for no object is dropped; a box left
    // unanswered holds up no later event.
    void standInServer()
    {
        QFETCH(QByteArray, afterGreeting);
        QFETCH(bool, serverDropped);
        QFETCH(int, boxes);
        QTemporaryDir dir; // the stand-in writes the file "later", then reads its input until the client closes it
        QFile script(dir.filePath(QStringLiteral("stand-in"))), later(dir.filePath(QStringLiteral("later")));
        const QByteArray greeting = encode(Greeting{QString::fromLatin1(Pelorin::kLibraryId), Pelorin::kLibraryMajor, Pelorin::kLibraryMinor, false, {}});
        QVERIFY(script.open(QIODevice::WriteOnly) && script.write("#!/bin/sh\ncat \"$(dirname \"$0\")/later\"\nexec cat >/dev/null\n") > 0
                && script.setPermissions(QFile::ReadOwner | QFile::ExeOwner) && later.open(QIODevice::WriteOnly)
                && later.write(greeting + afterGreeting + encode(PingResponse{1, 1, {QStringLiteral("127.0.0.2"), -11010}})) > 0);
        script.close();
        later.close();
        PelorinClient::Connection connection;
        connection.setServerPath(script.fileName());
        QList<PelorinClient::Connection::MessageBoxReply> unanswered;
        connection.setMessageBoxHandler([&](const QString &, int, const QString &, auto r) { unanswered << std::move(r); });
        QSignalSpy died(&connection, &PelorinClient::Connection::serverDied);
        QSignalSpy ready(&connection, &PelorinClient::Connection::ready);
        QSignalSpy errors(&connection, &PelorinClient::Connection::protocolError);
        auto object = PelorinClient::ProbeObjectProxy::create(connection);
        QVERIFY(object && object->objectId() == 1u);
        QStringList heard;
        connect(object.get(), &PelorinClient::ProbeObjectProxy::PingResponse, this, [&](QString &ip, qint16 &t) { heard << ip + ' ' + QString::number(t); });
        QTRY_COMPARE(errors.size(), int(serverDropped));
        QTRY_COMPARE(heard, serverDropped ? QStringList() : QStringList{"127.0.0.2 -11010"});
        QTRY_COMPARE(died.size(), int(serverDropped));
        QCOMPARE(object->isAlive(), !serverDropped);
        QCOMPARE(unanswered.size(), boxes);
        if (serverDropped) { // the next start after a dropped server starts a new one
            QVERIFY(connection.start());
            QTRY_COMPARE(ready.size(), 2);
        }
        object.reset();
        for (const auto &reply : std::as_const(unanswered))
            reply(Pelorin::MsgBox::AnswerOK); // for an object released by then
    }
};

QTEST_GUILESS_MAIN(ServerProtocolTest)
#include "server_protocol_test.moc"
