// Guards the frame format (every packet type's round trip with its object id, bytes on the wire, the 16 MiB frame
// cap, a header cut short, refusals, any chunking), the real pelorin over its pipes (greeting, bad input refused for
// the object of its frame, one thread, descriptors freed, exit 0 when its client leaves, SIGINT and SIGQUIT ignored),
// and the client against a server's bad output (unreadable frame drops the server, stray event dropped, box open).
#include "Harness.h"
#include "client/PelorinConnection.h"
#include "client/ProbeObjectProxy.h"

#include <QtTest>

#include <signal.h>

using namespace Pelorin::Wire;

namespace {

QByteArray lengthOnly(quint32 length) { return QByteArray(reinterpret_cast<const char *>(&length), 4); }

} // namespace

class ServerProtocolTest : public QObject
{
    Q_OBJECT

    PelorinPipe m_server; // shared by the bad-input rows: each must leave it serving

private slots:
    // Every packet type round trip through a reader fed in any chunks; a frame shorter than its header is refused.
    void roundTrips()
    {
        const QString h = QStringLiteral("127.0.0.5");
        const QString nonAscii = QString::fromUtf8("<title>\xC3\x84\xE2\x82\xAC \xF0\x9F\x98\x80</title>\r\n\0x", 30);
        const QByteArrayList frames = {
            encode(7, Create{QString::fromLatin1(Pelorin::kClsMainClassId)}), encode(0xFFFFFFFFu, Release{}),
            encode(3, HttpRequest{h, 80, QStringLiteral("id.htm"), -1, 255}), encode(3, PingRequest{h, 100, 3}),
            encode(2, EventReturn{4}), encode(2, MessageBoxAnswer{4, 6}),
            encode(0, ArpSweep{9, 2, 0x7f000001, {0x7f000002, 0xc6120001}, 500}),
            encode(0, Greeting{Pelorin::kLibraryId, 6, 1, false, QStringLiteral("grant cap_net_raw")}),
            encode(11, PingResponse{2, nonAscii, -11010}), encode(11, HttpReqResponse{3, h, nonAscii}),
            encode(5, MessageBox{1, 16, QString(20000, QLatin1Char('x')), QStringLiteral("Pelorin")}),
            encode(0, ProtocolError{QStringLiteral("unknown message type 0x7f")}),
            encode(0, ArpSweepResult{9, true, {}, {0xc6120001}})};
        const QByteArray stream = frames.join() + lengthOnly(4) + QByteArray(4, '\0') + encode(1, Release{});
        const QByteArrayList expected =
            frames + QByteArrayList{"frame of 4 bytes is shorter than its header", encode(1, Release{})};
        for (int chunk : {1, 3, 7, 4096}) {
            FrameReader reader;
            QByteArrayList got; // each frame's packet encoded again, or the reader's refusal
            for (qsizetype pos = 0; pos < stream.size(); pos += chunk) {
                for (reader.append(stream.mid(pos, chunk)); auto f = reader.next();) {
                    if (!dispatch(*f, [&](const auto &p) { got << encode(f->objectId, p); }, nullptr))
                        got << f->error.toUtf8();
                }
            }
            QCOMPARE(got, expected);
            QCOMPARE(reader.buffered(), 0);
        }
    }

    // Bytes on the wire (little-endian, texts as UTF-8 count and bytes); the 16 MiB cap; fields that do not fit.
    void wireBytesAndRefusals()
    {
        QCOMPARE(encode(0x01020304, Release{}), QByteArray("\x05\0\0\0\x02\x04\x03\x02\x01", 9));
        const QByteArray text("\x0b\0\0\0\x85\x01\0\0\0\x02\0\0\0\xc3\xa9", 15);
        QCOMPARE(encode(1, ProtocolError{QStringLiteral("\u00e9")}), text);
        FrameReader atCap; // one byte more is refused: badInput
        atCap.append(lengthOnly(16u << 20) + '\x02');
        QVERIFY(!atCap.next());
        const QByteArray ping = encode(1, PingRequest{QStringLiteral("h"), 1, 0}).mid(kHeaderSize);
        auto refusal = [](const QByteArray &f) {
            QString why;
            return decode<PingRequest>(f, &why) ? QString() : why;
        };
        QVERIFY(refusal(ping.chopped(1)).contains("too short"));
        QVERIFY(refusal(ping + 'x').contains("trailing bytes"));
        QVERIFY(refusal(QByteArray(1, '\xff') + ping.mid(1)).contains("past the end")); // a text length beyond it
    }

    void initTestCase()
    {
        QVERIFY(m_server.start());
        const Greeting &g = *m_server.greeting;
        QCOMPARE(g.libraryId, QLatin1String(Pelorin::kLibraryId));
        QCOMPARE(g.major, 6);
        QCOMPARE(g.minor, 0);
        QCOMPARE(g.echoReason.isEmpty(), g.echoUsable); // echo that cannot be used comes with the reason
    }

    void cleanupTestCase()
    {
        // A terminal's SIGINT and SIGQUIT leave it serving; objects still held (badInput's) go with the pipe.
        for (int signal : {SIGINT, SIGQUIT})
            ::kill(pid_t(m_server.pid()), signal);
        QVERIFY(m_server.serves(2));
        QProcess &process = m_server.process();
        process.closeWriteChannel();
        QVERIFY(process.waitForFinished(3000));
        QCOMPARE(process.exitStatus(), QProcess::NormalExit);
        QCOMPARE(process.exitCode(), 0);
    }

    // Bad input is refused with a ProtocolError for the object of its frame; the server goes on serving.
    void badInput()
    {
        const QByteArray oversized = lengthOnly(kMaxFrame + 10) + QByteArray(int(kMaxFrame + 10), 'q');
        const struct { QByteArray input; quint32 objectId; const char *reason; } rows[] = { // objects made stay
            {oversized, 0, "exceeds"}, {PelorinPipe::create(7, "{D3301CB9-0000}"), 7, "not creatable"},
            {PelorinPipe::create(0), 0, "id 0"}, {PelorinPipe::create(8) + PelorinPipe::create(8), 8, "already exists"},
            {PelorinPipe::create(11) + QByteArray("\x05\0\0\0\x7f\x0b\0\0\0", 9), 11, "unknown message type"},
            {PelorinPipe::create(15) + encode(15, EventReturn{1}), 15, "does not answer"},
            {encode(17, PingResponse{1, {}, 0}), 17, "sent by the server only"}};
        for (const auto &r : rows) {
            m_server.sendRaw(r.input);
            quint32 objectId = 0;
            const auto error = m_server.next<ProtocolError>(10000, &objectId);
            QVERIFY2(error, r.reason);
            QCOMPARE(objectId, r.objectId);
            QVERIFY2(error->text.contains(r.reason), qPrintable(error->text));
            QVERIFY(m_server.serves(100));
        }
    }

    // A client that stops reading: pelorin ends cleanly at its next answer.
    void closedStdoutEndsServer()
    {
        QProcess server, reader; // the reader ends at once, closing the pipe
        server.setStandardOutputProcess(&reader);
        server.start(QCoreApplication::applicationDirPath() + QStringLiteral("/pelorin"), {});
        reader.start(QStringLiteral("true"), {});
        QVERIFY(reader.waitForFinished(5000));
        server.write(encode(99, Release{})); // its answer, if not its greeting, meets a closed pipe
        QVERIFY(server.waitForFinished(3000));
        QCOMPARE(server.exitStatus(), QProcess::NormalExit);
        QCOMPARE(server.exitCode(), 0);
    }

    // 50 objects, a scan's workers, all on one thread; once they are released, every descriptor is gone.
    void manyObjectsOneThread()
    {
        QVERIFY(m_server.serves(1000)); // one round first, so lazily made resources exist
        const qint64 pid = m_server.pid();
        const int fds = Harness::procEntries(pid, "fd");
        for (quint32 id = 1001; id <= 1050; ++id)
            m_server.sendRaw(PelorinPipe::create(id));
        QVERIFY(m_server.serves(1051));
        QCOMPARE_LE(Harness::procEntries(pid, "task"), 3);
        for (quint32 id = 1001; id <= 1050; ++id)
            m_server.sendRaw(encode(id, Release{}));
        QVERIFY(m_server.serves(1052));
        QTRY_COMPARE_WITH_TIMEOUT(Harness::procEntries(pid, "fd"), fds, 10000);
    }

    void standInServer_data()
    {
        QTest::addColumn<QByteArray>("afterGreeting"); // frames for object 1, the connection's first
        QTest::addColumn<bool>("serverDropped");
        QTest::addColumn<int>("boxes");
        QTest::newRow("unknown frame type") << QByteArray("\x05\0\0\0\x7f" "abcd", 9) << true << 0;
        QTest::newRow("event for unknown object") << encode(1001, PingResponse{1, "127.0.0.2", 1}) << false << 0;
        QTest::newRow("message box left unanswered") << encode(1, MessageBox{1, 0, "Error 9", {}}) << false << 1;
    }

    // A bad server: an unreadable frame drops it (a new one next start), a stray event is dropped, a box holds nothing.
    void standInServer()
    {
        QFETCH(QByteArray, afterGreeting);
        QFETCH(bool, serverDropped);
        QFETCH(int, boxes);
        QTemporaryDir dir; // the stand-in writes the file "later", then reads its input until the client closes it
        const QString script = dir.filePath(QStringLiteral("stand-in"));
        QVERIFY(Harness::writeFile(script, "#!/bin/sh\ncat \"$(dirname \"$0\")/later\"\nexec cat >/dev/null\n"));
        QVERIFY(QFile::setPermissions(script, QFile::ReadOwner | QFile::ExeOwner));
        const QByteArray later = encode(0, Greeting{Pelorin::kLibraryId, 6, 0, false, {}}) + afterGreeting
                                 + encode(1, PingResponse{1, "127.0.0.2", -11010});
        QVERIFY(Harness::writeFile(dir.filePath(QStringLiteral("later")), later));
        PelorinClient::Connection connection;
        connection.setServerPath(script);
        QList<PelorinClient::Connection::MessageBoxReply> unanswered;
        connection.setMessageBoxHandler([&](const QString &, int, const QString &, auto r) { unanswered << r; });
        QSignalSpy died(&connection, &PelorinClient::Connection::serverDied);
        QSignalSpy ready(&connection, &PelorinClient::Connection::ready);
        QSignalSpy errors(&connection, &PelorinClient::Connection::protocolError);
        auto object = PelorinClient::ProbeObjectProxy::create(connection); // object 1
        QStringList heard;
        connect(object.get(), &PelorinClient::ProbeObjectProxy::PingResponse, this,
                [&](const QString &ip, qint16 t) { heard << ip + ' ' + QString::number(t); });
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
