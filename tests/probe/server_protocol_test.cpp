// The real pelorin process over its pipes, with requests that send no packets:
// greeting, refusal of bad input, release ending waits, a clean end when a pipe
// closes, no thread or descriptor left behind, and a server that dies.
#include "Harness.h"
#include "PelorinConnection.h"
#include "ProbeObject.h"

#include <QtTest>

#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

using namespace Pelorin::Wire;
using Pipe = PelorinPipe;

namespace {

// Calls that raise an event (a host the fetch refuses) or a message box (an
// address with five parts) at once, without a packet.
Message raisingCall(quint32 id, bool messageBox)
{
    using namespace Pelorin::Interface;
    return messageBox ? invocation(Type::Call, id, PingRequest{QStringLiteral("1.2.3.4.5"), 100, 0})
                      : invocation(Type::Call, id, HTTPRequest{QStringLiteral("user@host"), 80, QStringLiteral("id.htm"), 100, 0});
}

// Waits for the server's end and tells whether it was a clean one.
bool endsCleanly(QProcess &process)
{
    return process.waitForFinished(3000) && process.exitStatus() == QProcess::NormalExit && process.exitCode() == 0;
}

} // namespace

class ServerProtocolTest : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase() { QVERIFY(m_server.start()); }
    void cleanupTestCase()
    {
        // Objects still held when the pipe closes are released with the server.
        for (quint32 id = 1; id <= 3; ++id)
            m_server.send(Pipe::create(id));
        QVERIFY(m_server.serves(4));
        m_server.process().closeWriteChannel();
        QVERIFY(endsCleanly(m_server.process()));
    }
    void greeting()
    {
        const Message &g = *m_server.greeting;
        QVERIFY(g.libraryId == QLatin1String(Pelorin::kLibraryId) && g.major == 6 && g.minor == 0);
        QVERIFY(g.echoUsable || !g.echoReason.isEmpty()); // echo that cannot be used comes with the reason
    }

    void badInput_data()
    {
        QTest::addColumn<QByteArray>("input");
        QTest::addColumn<quint32>("objectId");
        QTest::addColumn<QString>("reason");
        QTest::addColumn<QByteArray>("cleanup");

        const QByteArray none;
        auto withObject = [](quint32 id, const Message &m) { return encode(Pipe::create(id)) + encode(m); };
        auto release = [](quint32 id) { return encode(Pipe::msg(Type::Release, id)); };
        QByteArray oversized(int(4 + kMaxFrame + 10), 'q');
        const quint32 length = kMaxFrame + 10;
        std::memcpy(oversized.data(), &length, 4);
        QTest::newRow("oversized frame") << oversized << 0u << "exceeds" << none;
        QTest::newRow("unknown class") << encode(Pipe::create(7, "{D3301CB9-0000}")) << 7u << "not creatable" << none;
        QTest::newRow("object id 0") << encode(Pipe::create(0)) << 0u << "id 0" << none;
        QTest::newRow("duplicate object") << withObject(8, Pipe::create(8)) << 8u << "already exists" << release(8);
        QTest::newRow("call to unknown object") << encode(Pipe::call(9, 0x7, {})) << 9u << "unknown object" << none;
        // Calls that don't fit a method: the server passes on the record's reason.
        QTest::newRow("wrong argument type")
            << withObject(13, Pipe::call(13, 0x60030001, {QStringLiteral("h"), qint16(80), quint8(0)})) << 13u
            << "clsMain: PingRequest: argument 2 (lTimeOut) must be" << release(13);
        Message stray = Pipe::msg(Type::EventReturn, 15);
        stray.serial = 1;
        QTest::newRow("EventReturn with no event out") << withObject(15, stray) << 15u << "does not answer" << release(15);
        QTest::newRow("client sends an Event") << encode(Pipe::msg(Type::Event, 17)) << 17u << "sent by the server only" << none;
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

    void closedStdoutEndsServer()
    {
        // stdout goes to a pipe of our own, so its reading end can really be closed.
        int fds[2];
        QVERIFY(::pipe2(fds, O_CLOEXEC) == 0);
        const int writeEnd = fds[1];
        QProcess process;
        process.setProgram(QCoreApplication::applicationDirPath() + QStringLiteral("/pelorin"));
        process.setChildProcessModifier([writeEnd] { ::dup2(writeEnd, STDOUT_FILENO); });
        process.start();
        QVERIFY(process.waitForStarted(5000));
        ::close(writeEnd);

        FrameReader reader; // a blocking read: if pelorin ends, our pipe reads empty
        std::optional<FrameReader::Item> greeting;
        char buffer[4096];
        ssize_t n = 0;
        while (!(greeting = reader.next()) && (n = ::read(fds[0], buffer, sizeof buffer)) > 0)
            reader.append(buffer, n);
        QVERIFY(greeting && greeting->message && greeting->message->type == Type::Greeting);
        ::close(fds[0]);

        process.write(encode(Pipe::create(1)));
        process.write(encode(Pipe::msg(Type::Release, 99))); // its answer meets a closed pipe
        QVERIFY(endsCleanly(process));
    }

    void manyObjectsLeaveNothingBehind()
    {
        Pipe server;
        QVERIFY(server.start());
        const qint64 pid = server.pid();
        const int tasks = Harness::procEntries(pid, "task");
        QVERIFY(server.serves(1)); // one round first, so lazily made resources exist
        QTRY_COMPARE_WITH_TIMEOUT(Harness::procEntries(pid, "task"), tasks, 10000);
        const int fds = Harness::procEntries(pid, "fd");

        constexpr quint32 kCount = 255;
        // As a scan uses them: 50 live, each with its own thread, and few more wait.
        int most = 0;
        for (quint32 id = 1000; id < 1000 + kCount; ++id) {
            server.send(Pipe::create(id));
            if (id >= 1050)
                server.send(Pipe::msg(Type::Release, id - 50));
            QVERIFY(server.serves(3));
            most = qMax(most, Harness::procEntries(pid, "task"));
        }
        for (quint32 id = 1000 + kCount - 50; id < 1000 + kCount; ++id)
            server.send(Pipe::msg(Type::Release, id));
        QVERIFY(server.serves(4));
        QVERIFY2(most >= tasks + 50 && most <= tasks + 50 + 12, qPrintable(QString::number(most)));
        QTRY_COMPARE_WITH_TIMEOUT(Harness::procEntries(pid, "task"), tasks, 10000);
        QTRY_COMPARE_WITH_TIMEOUT(Harness::procEntries(pid, "fd"), fds, 10000);
    }

    void releaseEndsWaits_data()
    {
        QTest::addColumn<bool>("messageBox");
        QTest::newRow("event raise") << false;
        QTest::newRow("message box") << true;
    }

    // Release ends an object's wait for the client's answer at once and nothing
    // of it is written later: the next object's answered event repeats 100 ms
    // on, by when a late event would have come. The server then ends at once.
    void releaseEndsWaits()
    {
        QFETCH(bool, messageBox);
        Pipe server;
        QVERIFY(server.start());
        server.send(Pipe::create(1));
        server.send(raisingCall(1, messageBox));
        auto waitingOn = server.next();
        QVERIFY(waitingOn && waitingOn->objectId == 1 && waitingOn->serial == 1);
        QCOMPARE(waitingOn->type, messageBox ? Type::MessageBox : Type::Event);
        server.send(Pipe::msg(Type::Release, 1));

        server.send(Pipe::create(2));
        server.send(raisingCall(2, false));
        for (quint32 serial : {1u, 2u}) {
            const auto event = server.next();
            QVERIFY(event && event->type == Type::Event && event->objectId == 2u && event->serial == serial);
            Message answer = Pipe::msg(Type::EventReturn, 2);
            answer.serial = serial;
            server.send(answer);
        }
        server.send(Pipe::msg(Type::Release, 2));
        server.process().closeWriteChannel();
        QVERIFY(endsCleanly(server.process()));
        QVERIFY(!server.next(0));
    }

    void clientNoticesDeadServer()
    {
        PelorinClient::Connection connection;
        QSignalSpy died(&connection, &PelorinClient::Connection::serverDied);
        auto probe = PelorinClient::clsMain::create(connection);
        QVERIFY(probe);
        const qint64 pid = connection.serverPid();
        auto sibling = PelorinClient::clsMain::create(connection);
        QVERIFY(sibling && sibling->objectId() != probe->objectId());
        QCOMPARE(connection.serverPid(), pid); // one server per client
        ::kill(pid_t(pid), SIGKILL);
        QTRY_COMPARE(died.size(), 1);
        QVERIFY(!probe->isAlive() && !sibling->isAlive() && !connection.isRunning());
        probe->PingRequest(QStringLiteral("127.0.0.1"), 100, 0); // dead: does nothing

        auto fresh = PelorinClient::clsMain::create(connection);
        QVERIFY(fresh && fresh->isAlive());
        QVERIFY(connection.serverPid() != pid);
        QVERIFY(!probe->isAlive());
        probe.reset(); // releasing a dead object sends nothing to the new server
        fresh.reset();
        QCOMPARE(died.size(), 1);
        connection.shutdown();
        QCOMPARE(died.size(), 1); // a requested shutdown is no death
    }

private:
    Pipe m_server; // shared by the bad-input rows: each must leave it serving
    quint32 m_nextId = 100;
};

QTEST_GUILESS_MAIN(ServerProtocolTest)
#include "server_protocol_test.moc"
