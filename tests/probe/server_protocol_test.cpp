// The real pelorin process, spoken to over its pipes with requests that send
// no packets (Create, Release, refused calls, garbage): the greeting, clear
// refusal of bad input without harm to the server, a clean end when a pipe
// closes, and no thread or descriptor left behind by many objects. Also the
// object host's waits for the client, and the client library's handling of a
// server that dies.
#include "Harness.h"
#include "ObjectHost.h"
#include "PelorinConnection.h"
#include "PipeWriter.h"
#include "ProbeObject.h"
#include "clsMain.h"

#include <QtTest>

#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

using namespace Pelorin::Wire;
using Pipe = PelorinPipe;

namespace {

QByteArray rawFrame(const QByteArray &payload, quint32 length)
{
    QByteArray out(4, '\0');
    std::memcpy(out.data(), &length, 4);
    return out + payload;
}

// A probe object's host in this process, writing to a pipe the test reads.
class HostOnPipe
{
public:
    HostOnPipe()
    {
        if (::pipe2(m_fds, O_CLOEXEC | O_NONBLOCK) == 0) {
            m_writer = std::make_unique<Pelorin::PipeWriter>(m_fds[1]);
            m_host = std::make_unique<Pelorin::ObjectHost>(1, *m_writer);
        }
    }
    ~HostOnPipe()
    {
        m_host.reset();
        ::close(m_fds[0]);
        ::close(m_fds[1]);
    }
    Pelorin::ObjectHost &host() { return *m_host; }

    std::optional<Message> next(int timeoutMs = 5000)
    {
        QDeadlineTimer deadline(timeoutMs);
        while (true) {
            if (auto item = m_reader.next())
                return item->message;
            pollfd p{m_fds[0], POLLIN, 0};
            if (::poll(&p, 1, int(deadline.remainingTime())) != 1)
                return std::nullopt;
            char buffer[4096];
            const ssize_t n = ::read(m_fds[0], buffer, sizeof buffer);
            if (n > 0)
                m_reader.append(buffer, n);
        }
    }
    bool nothingWritten()
    {
        char c;
        return m_reader.buffered() == 0 && ::read(m_fds[0], &c, 1) < 0 && errno == EAGAIN;
    }

private:
    int m_fds[2] = {-1, -1};
    std::unique_ptr<Pelorin::PipeWriter> m_writer;
    std::unique_ptr<Pelorin::ObjectHost> m_host;
    FrameReader m_reader;
};

} // namespace

class ServerProtocolTest : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase() { QVERIFY(m_server.start()); }
    void greeting()
    {
        const Message &g = *m_server.greeting;
        QCOMPARE(g.text, QLatin1String(Pelorin::kLibraryId));
        QCOMPARE(g.major, quint16(6));
        QCOMPARE(g.minor, quint16(0));
        QVERIFY(g.flag || !g.text2.isEmpty()); // echo that cannot be used comes with the reason
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
        QTest::newRow("short frame") << rawFrame("\x02\x01", 2) << 0u << "too short" << none;
        QTest::newRow("oversized frame") << rawFrame(QByteArray(int(kMaxFrame + 10), 'q'), kMaxFrame + 10) << 0u << "exceeds"
                                         << none;
        QTest::newRow("unknown message type") << rawFrame("\x42", 1) << 0u << "unknown message type" << none;
        QTest::newRow("unknown class") << encode(Pipe::create(7, Pelorin::kClsTimerClassId)) << 7u << "not creatable" << none;
        QTest::newRow("object id 0") << encode(Pipe::create(0)) << 0u << "id 0" << none;
        QTest::newRow("duplicate object") << withObject(8, Pipe::create(8)) << 8u << "already exists" << release(8);
        QTest::newRow("call to unknown object")
            << encode(Pipe::call(9, Pelorin::DispId::PingRequest, {QStringLiteral("127.0.0.1"), qint32(1), quint8(0)}))
            << 9u << "unknown object" << none;
        QTest::newRow("unknown dispatch id") << withObject(11, Pipe::call(11, 0x60030002, {})) << 11u << "no method"
                                             << release(11);
        QTest::newRow("too few arguments")
            << withObject(12, Pipe::call(12, Pelorin::DispId::PingRequest, {QStringLiteral("x"), qint32(1)})) << 12u
            << "takes 3 arguments" << release(12);
        QTest::newRow("wrong argument type")
            << withObject(13, Pipe::call(13, Pelorin::DispId::HTTPRequest,
                                         {QStringLiteral("h"), qint16(80), QStringLiteral("id.htm"), qint32(1), quint8(0)}))
            << 13u << "argument 2 (lPort) must be 32-bit integer, not 16-bit integer" << release(13);
        Message stray = Pipe::msg(Type::EventReturn, 15);
        stray.serial = 1;
        QTest::newRow("EventReturn with no event out") << withObject(15, stray) << 15u << "does not answer" << release(15);
        QTest::newRow("client sends an Event") << encode(Pipe::msg(Type::Event, 17)) << 17u << "sent by the server only"
                                               << none;
    }

    void badInput()
    {
        QFETCH(QByteArray, input);
        QFETCH(quint32, objectId);
        QFETCH(QString, reason);
        QFETCH(QByteArray, cleanup);

        m_server.sendRaw(input);
        const auto error = m_server.next(10000);
        QVERIFY(error);
        QCOMPARE(error->type, Type::ProtocolError);
        QCOMPARE(error->objectId, objectId);
        QVERIFY2(error->text.contains(reason), qPrintable(error->text));
        m_server.sendRaw(cleanup);

        QVERIFY(m_server.serves(m_nextId++));
        QCOMPARE(m_server.process().state(), QProcess::Running);
    }

    void endOfInputEndsServer()
    {
        // Objects still held when the pipe closes are released with the server.
        Pipe server;
        QVERIFY(server.start());
        for (quint32 id = 1; id <= 3; ++id)
            server.send(Pipe::create(id));
        QVERIFY(server.serves(4));
        server.process().closeWriteChannel();
        QVERIFY(server.process().waitForFinished(3000));
        QCOMPARE(server.process().exitStatus(), QProcess::NormalExit);
        QCOMPARE(server.process().exitCode(), 0);
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

        FrameReader reader;
        std::optional<FrameReader::Item> greeting;
        while (!greeting) {
            pollfd p{fds[0], POLLIN, 0};
            QVERIFY(::poll(&p, 1, 5000) == 1);
            char buffer[256];
            const ssize_t n = ::read(fds[0], buffer, sizeof buffer);
            QVERIFY(n > 0);
            reader.append(buffer, n);
            greeting = reader.next();
        }
        QVERIFY(greeting->message && greeting->message->type == Type::Greeting);
        ::close(fds[0]);

        process.write(encode(Pipe::create(1)));
        process.write(encode(Pipe::msg(Type::Release, 99))); // its answer meets a closed pipe
        QVERIFY(process.waitForFinished(3000));
        QCOMPARE(process.exitStatus(), QProcess::NormalExit);
        QCOMPARE(process.exitCode(), 0);
    }

    void manyObjectsLeaveNothingBehind()
    {
        Pipe server;
        QVERIFY(server.start());
        const qint64 pid = server.pid();
        const int tasks = Harness::procEntries(pid, "task");
        QVERIFY(server.serves(1)); // one round first, so lazily made resources exist
        QTRY_COMPARE(Harness::procEntries(pid, "task"), tasks);
        const int fds = Harness::procEntries(pid, "fd");

        constexpr quint32 kCount = 255;
        for (quint32 id = 10; id < 10 + kCount; ++id)
            server.send(Pipe::create(id));
        QTRY_VERIFY_WITH_TIMEOUT(Harness::procEntries(pid, "task") >= tasks + int(kCount), 10000);
        for (quint32 id = 10; id < 10 + kCount; ++id)
            server.send(Pipe::msg(Type::Release, id));
        QVERIFY(server.serves(2));

        QTRY_COMPARE_WITH_TIMEOUT(Harness::procEntries(pid, "task"), tasks, 10000);
        QTRY_COMPARE_WITH_TIMEOUT(Harness::procEntries(pid, "fd"), fds, 10000);
        qInfo("pelorin: %d threads and %d descriptors before and after %u objects", tasks, fds, kCount);
    }

    void releaseEndsWaits_data()
    {
        QTest::addColumn<bool>("messageBox");
        QTest::newRow("event raise") << false;
        QTest::newRow("message box") << true;
    }

    void releaseEndsWaits()
    {
        QFETCH(bool, messageBox);
        HostOnPipe pipe;
        std::atomic_bool returned{false};
        pipe.host().runOnObjectThread([&](Pelorin::clsMain &object) {
            QString sHost = QStringLiteral("h");
            QString sRaw;
            if (messageBox)
                Pelorin::ShowMessageBox(QStringLiteral("x"), Pelorin::MsgBox::OKOnly);
            else
                emit object.HTTPReqResponse(sHost, sRaw);
            // Anything the object says after its release goes nowhere.
            sRaw = QStringLiteral("late");
            emit object.HTTPReqResponse(sHost, sRaw);
            Pelorin::ShowMessageBox(QStringLiteral("late"), Pelorin::MsgBox::OKOnly);
            returned = true;
        });
        const auto waitingOn = pipe.next();
        QVERIFY(waitingOn);
        QCOMPARE(waitingOn->type, messageBox ? Type::MessageBox : Type::Event);
        QVERIFY(!returned);
        pipe.host().release();
        QTRY_VERIFY(returned.load());
        QTRY_VERIFY(pipe.host().isFinished());
        QVERIFY(pipe.nothingWritten());
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
        QVERIFY(!probe->isAlive());
        QVERIFY(!sibling->isAlive());
        QVERIFY(!connection.isRunning());
        probe->PingRequest(QStringLiteral("127.0.0.1"), 100, 0); // dead: does nothing

        auto fresh = PelorinClient::clsMain::create(connection);
        QVERIFY(fresh);
        QVERIFY(fresh->isAlive());
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
