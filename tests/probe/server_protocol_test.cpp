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
#include <QSemaphore>

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

// Probe object hosts in this process, on a thread pool of their own, writing
// to a pipe the test reads.
class HostsOnPipe
{
public:
    explicit HostsOnPipe(int idleMs = 3000, int maxSpare = 4) : m_pool(idleMs, maxSpare) {}
    ~HostsOnPipe() { m_hosts.clear(); }
    Pelorin::ObjectHost &add(quint32 id)
    {
        m_hosts.push_back(std::make_unique<Pelorin::ObjectHost>(id, m_writer));
        m_hosts.back()->start(m_pool);
        return *m_hosts.back();
    }

    PipeFrames &out() { return m_out; }

private:
    struct Fds {
        Fds() { QVERIFY(::pipe2(fd, O_CLOEXEC | O_NONBLOCK) == 0); }
        ~Fds() { ::close(fd[0]), ::close(fd[1]); }
        int fd[2] = {-1, -1};
    } m_fds;
    Pelorin::PipeWriter m_writer{m_fds.fd[1]};
    Pelorin::ObjectThreadPool m_pool;
    PipeFrames m_out{m_fds.fd[0]};
    std::vector<std::unique_ptr<Pelorin::ObjectHost>> m_hosts;
};

QThread *threadOf(Pelorin::ObjectHost &host)
{
    QSemaphore done;
    QThread *thread = nullptr;
    host.runOnObjectThread([&](Pelorin::clsMain &) {
        thread = QThread::currentThread();
        done.release();
    });
    return done.tryAcquire(1, 5000) ? thread : nullptr;
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
        QVERIFY(m_server.process().waitForFinished(3000));
        QCOMPARE(m_server.process().exitStatus(), QProcess::NormalExit);
        QCOMPARE(m_server.process().exitCode(), 0);
    }
    void greeting()
    {
        const Message &g = *m_server.greeting;
        QCOMPARE(g.libraryId, QLatin1String(Pelorin::kLibraryId));
        QCOMPARE(g.major, quint16(6));
        QCOMPARE(g.minor, quint16(0));
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
        QTest::newRow("short frame") << rawFrame("\x02\x01", 2) << 0u << "too short" << none;
        QTest::newRow("oversized frame") << rawFrame(QByteArray(int(kMaxFrame + 10), 'q'), kMaxFrame + 10) << 0u << "exceeds"
                                         << none;
        QTest::newRow("unknown class") << encode(Pipe::create(7, "{D3301CB9-372E-4631-9723-80BEBA88C1A8}")) << 7u
                                       << "not creatable" << none;
        QTest::newRow("object id 0") << encode(Pipe::create(0)) << 0u << "id 0" << none;
        QTest::newRow("duplicate object") << withObject(8, Pipe::create(8)) << 8u << "already exists" << release(8);
        QTest::newRow("call to unknown object")
            << encode(invocation(Type::Call, 9, Pelorin::Interface::PingRequest{"127.0.0.1", 1, 0})) << 9u
            << "unknown object" << none;
        // Calls that don't fit a method: the server passes on the record's reason.
        QTest::newRow("wrong argument type")
            << withObject(13, Pipe::call(13, 0x60030001, {QStringLiteral("h"), qint16(80), quint8(0)})) << 13u
            << "clsMain: PingRequest: argument 2 (lTimeOut) must be" << release(13);
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

        const auto greeting = PipeFrames(fds[0]).next();
        QVERIFY(greeting && greeting->type == Type::Greeting);
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
        QTRY_COMPARE_WITH_TIMEOUT(Harness::procEntries(pid, "task"), tasks, 10000);
        const int fds = Harness::procEntries(pid, "fd");

        constexpr quint32 kCount = 255;
        // As a scan uses them: 50 live, each released object followed by a new one.
        // Every live object has a thread of its own, and few more wait.
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
        qInfo("pelorin: at most %d threads for 50 live objects", most);
        QVERIFY2(most >= tasks + 50 && most <= tasks + 50 + 12, qPrintable(QString::number(most)));

        QTRY_COMPARE_WITH_TIMEOUT(Harness::procEntries(pid, "task"), tasks, 10000);
        QTRY_COMPARE_WITH_TIMEOUT(Harness::procEntries(pid, "fd"), fds, 10000);
        qInfo("pelorin: %d threads and %d descriptors before and after", tasks, fds);
    }

    void releaseEndsWaitsAndFreesThread_data()
    {
        QTest::addColumn<bool>("messageBox");
        QTest::newRow("event raise") << false;
        QTest::newRow("message box") << true;
    }

    // Each live object has a thread of its own. Release ends the object's
    // waits at once and nothing of it is written afterwards; its thread then
    // serves the next object from a clean start. No more than the spare
    // threads wait, and idle ones end.
    void releaseEndsWaitsAndFreesThread()
    {
        QFETCH(bool, messageBox);
        const int tasks = Harness::procEntries(0, "task");
        HostsOnPipe pipe(1500, 2);
        QList<Pelorin::ObjectHost *> hosts;
        QSet<QThread *> threads;
        for (quint32 id = 1; id <= 5; ++id) {
            hosts.append(&pipe.add(id));
            threads.insert(threadOf(*hosts.last()));
        }
        threads.remove(nullptr);
        QCOMPARE(threads.size(), 5);
        QCOMPARE(Harness::procEntries(0, "task"), tasks + 5);

        std::atomic_bool returned{false};
        auto raise = [&returned](Pelorin::clsMain &object, bool box, bool late) {
            QString sHost = QStringLiteral("h");
            QString sRaw;
            if (box)
                Pelorin::ShowMessageBox(QStringLiteral("x"), Pelorin::MsgBox::OKOnly);
            else
                emit object.HTTPReqResponse(sHost, sRaw);
            if (late) { // anything the object says after its release goes nowhere
                emit object.HTTPReqResponse(sHost, sRaw);
                Pelorin::ShowMessageBox(QStringLiteral("late"), Pelorin::MsgBox::OKOnly);
            }
            returned = true;
        };
        hosts[0]->runOnObjectThread([&](Pelorin::clsMain &object) { raise(object, messageBox, true); });
        auto waitingOn = pipe.out().next();
        QVERIFY(waitingOn && waitingOn->objectId == 1 && waitingOn->serial == 1);
        QCOMPARE(waitingOn->type, messageBox ? Type::MessageBox : Type::Event);
        QVERIFY(!returned);
        for (Pelorin::ObjectHost *host : hosts)
            host->release();
        QTRY_VERIFY(returned.load());
        QTRY_COMPARE(Harness::procEntries(0, "task"), tasks + 2);
        QVERIFY(pipe.out().nothingWritten());

        // The next object runs on a waiting thread, with its own serials and waits.
        Pelorin::ObjectHost &next = pipe.add(6);
        QVERIFY(threads.contains(threadOf(next)));
        returned = false;
        next.runOnObjectThread([&](Pelorin::clsMain &object) { raise(object, false, false); });
        waitingOn = pipe.out().next();
        QVERIFY(waitingOn && waitingOn->objectId == 6 && waitingOn->serial == 1);
        QVERIFY(!returned);
        next.eventReturned(1);
        QTRY_VERIFY(returned.load());
        QCOMPARE(Harness::procEntries(0, "task"), tasks + 2);

        next.release();
        QTRY_COMPARE_WITH_TIMEOUT(Harness::procEntries(0, "task"), tasks, 10000);
        QVERIFY(pipe.out().nothingWritten());
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
