// The real pelorin process, spoken to over its pipes with requests that send
// no packets (Create, Release, refused calls, garbage): the greeting, clear
// refusal of bad input without harm to the server, a clean end when the pipe
// closes, and no thread or descriptor left behind by many objects. Also the
// client library's handling of a server that dies.
#include "MessageBoxChannel.h"
#include "ObjectHost.h"
#include "PelorinConnection.h"
#include "PipeWriter.h"
#include "clsMain.h"
#include "PelorinInterface.h"
#include "ProbeObject.h"
#include "WireProtocol.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QDir>
#include <QProcess>
#include <QtTest>

#include <csignal>
#include <fcntl.h>
#include <poll.h>
#include <unistd.h>
#include <cstring>
#include <optional>

using namespace Pelorin::Wire;

namespace {

QString serverPath()
{
    return QCoreApplication::applicationDirPath() + QStringLiteral("/pelorin");
}

int countEntries(qint64 pid, const char *what)
{
    return int(QDir(QStringLiteral("/proc/%1/%2").arg(pid).arg(QLatin1String(what)))
                   .entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::System)
                   .size());
}

Message msg(Type type, quint32 objectId = 0)
{
    Message m;
    m.type = type;
    m.objectId = objectId;
    return m;
}

Message create(quint32 id, const char *classId = Pelorin::kClsMainClassId)
{
    Message m = msg(Type::Create, id);
    m.text = QLatin1String(classId);
    return m;
}

Message call(quint32 id, qint32 dispId, QList<Value> args)
{
    Message m = msg(Type::Call, id);
    m.number = dispId;
    m.args = std::move(args);
    return m;
}

QByteArray rawFrame(const QByteArray &payload)
{
    QByteArray out(4, '\0');
    const quint32 n = quint32(payload.size());
    std::memcpy(out.data(), &n, 4);
    return out + payload;
}

// pelorin on raw pipes, frames read as they come.
class Server
{
public:
    ~Server()
    {
        if (m_process.state() == QProcess::NotRunning)
            return;
        m_process.closeWriteChannel();
        if (!m_process.waitForFinished(5000)) {
            m_process.kill();
            m_process.waitForFinished();
        }
    }

    bool start()
    {
        m_process.setProgram(serverPath());
        m_process.start();
        if (!m_process.waitForStarted(5000))
            return false;
        greeting = next();
        return greeting.has_value();
    }
    void send(const Message &m) { m_process.write(encode(m)); }
    void sendRaw(const QByteArray &bytes) { m_process.write(bytes); }

    std::optional<Message> next(int timeoutMs = 5000)
    {
        QDeadlineTimer deadline(timeoutMs);
        while (true) {
            if (auto item = m_reader.next()) {
                if (item->message)
                    return item->message;
                continue;
            }
            if (deadline.hasExpired())
                return std::nullopt;
            m_process.waitForReadyRead(int(qMax<qint64>(1, deadline.remainingTime())));
            m_reader.append(m_process.readAllStandardOutput());
            if (m_process.state() == QProcess::NotRunning && m_reader.buffered() == 0)
                return std::nullopt;
        }
    }

    // Proves the server still creates, routes to and releases objects: a
    // refused call names the new object, and once released it is unknown.
    bool serves(quint32 id)
    {
        send(create(id));
        send(call(id, 0x7, {}));
        const auto refused = next();
        send(msg(Type::Release, id));
        send(msg(Type::Release, id));
        const auto unknown = next();
        return refused && refused->type == Type::ProtocolError && refused->objectId == id
            && refused->text.contains(QLatin1String("no method")) && unknown
            && unknown->type == Type::ProtocolError && unknown->objectId == id
            && unknown->text.contains(QLatin1String("unknown object"));
    }

    QProcess &process() { return m_process; }
    qint64 pid() const { return m_process.processId(); }
    std::optional<Message> greeting;

private:
    QProcess m_process;
    FrameReader m_reader;
};

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

// Run as a stand-in for pelorin (this binary with kFakeServerVariable set): it
// greets, opens one message box, and reports every frame it receives back as a
// ProtocolError text, so the client library's side can be watched exactly.
constexpr const char *kFakeServerVariable = "LANTERRA_TEST_FAKE_PELORIN";

int runFakeServer()
{
    auto out = [](const Message &m) {
        const QByteArray frame = encode(m);
        return ::write(STDOUT_FILENO, frame.constData(), size_t(frame.size())) == frame.size();
    };
    auto report = [&](quint32 id, const QString &text) {
        Message m = msg(Type::ProtocolError, id);
        m.text = text;
        out(m);
    };
    Message greeting = msg(Type::Greeting);
    greeting.text = QLatin1String(Pelorin::kLibraryId);
    greeting.major = 6;
    greeting.text2 = QStringLiteral("fake: no echo");
    out(greeting);
    Message box = msg(Type::MessageBox, 0);
    box.serial = 3;
    box.number = Pelorin::MsgBox::Exclamation;
    box.text = QStringLiteral("hello");
    box.text2 = QStringLiteral("Pelorin");
    out(box);

    FrameReader reader;
    int creates = 0;
    char buffer[4096];
    ssize_t n;
    while ((n = ::read(STDIN_FILENO, buffer, sizeof buffer)) > 0) {
        reader.append(buffer, n);
        while (auto item = reader.next()) {
            if (!item->message)
                continue;
            const Message &m = *item->message;
            switch (m.type) {
            case Type::Create: {
                Message event = msg(Type::Event, m.objectId);
                event.serial = 100 + m.objectId;
                event.number = Pelorin::DispId::PingResponse;
                event.args = {QStringLiteral("host %1").arg(m.objectId), qint16(m.objectId)};
                if (++creates == 3)
                    event.args = {qint32(1)}; // not what PingResponse carries
                out(event);
                break;
            }
            case Type::Call:
                report(m.objectId, QStringLiteral("call %1 with %2 args").arg(m.number, 0, 16).arg(m.args.size()));
                break;
            case Type::EventReturn:
                report(m.objectId, QStringLiteral("returned %1").arg(m.serial));
                break;
            case Type::Release:
                report(m.objectId, QStringLiteral("released"));
                break;
            case Type::MessageBoxAnswer:
                report(m.objectId, QStringLiteral("answer %1 %2").arg(m.serial).arg(m.number));
                break;
            default:
                break;
            }
        }
    }
    return 0;
}

} // namespace

class ServerProtocolTest : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void greeting();
    void badInput_data();
    void badInput();
    void endOfInputEndsServer();
    void closedStdoutEndsServer();
    void manyObjectsLeaveNothingBehind();
    void raiseWaitsForItsReturn();
    void messageBoxTravelsAndWaits();
    void releaseEndsWaits_data();
    void releaseEndsWaits();
    void clientNoticesDeadServer();
    void clientReportsUnstartableServer();
    void clientDeliversEventsAndBoxes();

private:
    Server m_server; // shared by the bad-input rows: each must leave it serving
    quint32 m_nextId = 100;
};

void ServerProtocolTest::initTestCase()
{
    QVERIFY2(QFile::exists(serverPath()), qPrintable(serverPath()));
    QVERIFY(m_server.start());
}

void ServerProtocolTest::greeting()
{
    const Message &g = *m_server.greeting;
    QCOMPARE(g.type, Type::Greeting);
    QCOMPARE(g.text, QLatin1String(Pelorin::kLibraryId));
    QCOMPARE(g.major, quint16(6));
    QCOMPARE(g.minor, quint16(0));
    // Echo that cannot be used comes with the reason.
    QVERIFY(g.flag || !g.text2.isEmpty());
}

void ServerProtocolTest::badInput_data()
{
    QTest::addColumn<QByteArray>("input");
    QTest::addColumn<quint32>("objectId");
    QTest::addColumn<QString>("reason");
    QTest::addColumn<QByteArray>("cleanup");

    const QByteArray none;
    QTest::newRow("short frame") << rawFrame(QByteArray("\x02\x01", 2)) << 0u << "too short" << none;
    QTest::newRow("empty frame") << rawFrame(QByteArray()) << 0u << "empty" << none;
    QTest::newRow("unknown message type") << rawFrame(QByteArray("\x42", 1)) << 0u << "unknown message type" << none;
    QTest::newRow("trailing bytes") << rawFrame(encode(msg(Type::Release, 1)).mid(4) + "zz") << 0u
                                    << "trailing" << none;
    {
        const quint32 huge = kMaxFrame + 10;
        QByteArray head(4, '\0');
        std::memcpy(head.data(), &huge, 4);
        QTest::newRow("oversized frame") << head + QByteArray(int(huge), 'q') << 0u << "exceeds" << none;
    }
    QTest::newRow("unknown class") << encode(create(7, Pelorin::kClsTimerClassId)) << 7u << "not creatable" << none;
    QTest::newRow("object id 0") << encode(create(0)) << 0u << "id 0" << none;
    QTest::newRow("duplicate object") << encode(create(8)) + encode(create(8)) << 8u << "already exists"
                                      << encode(msg(Type::Release, 8));
    QTest::newRow("call to unknown object")
        << encode(call(9, Pelorin::DispId::PingRequest, {QStringLiteral("127.0.0.1"), qint32(1), quint8(0)}))
        << 9u << "unknown object" << none;
    QTest::newRow("release of unknown object") << encode(msg(Type::Release, 10)) << 10u << "unknown object" << none;
    QTest::newRow("unknown dispatch id")
        << encode(create(11)) + encode(call(11, 0x60030002, {})) << 11u << "no method"
        << encode(msg(Type::Release, 11));
    QTest::newRow("too few arguments")
        << encode(create(12)) + encode(call(12, Pelorin::DispId::PingRequest, {QStringLiteral("x"), qint32(1)}))
        << 12u << "takes 3 arguments" << encode(msg(Type::Release, 12));
    QTest::newRow("wrong argument type")
        << encode(create(13))
               + encode(call(13, Pelorin::DispId::HTTPRequest,
                             {QStringLiteral("h"), qint16(80), QStringLiteral("id.htm"), qint32(1), quint8(0)}))
        << 13u << "argument 2 (lPort) must be 32-bit integer, not 16-bit integer" << encode(msg(Type::Release, 13));
    QTest::newRow("retries as 32-bit")
        << encode(create(14))
               + encode(call(14, Pelorin::DispId::PingRequest, {QStringLiteral("h"), qint32(1), qint32(3)}))
        << 14u << "Retries" << encode(msg(Type::Release, 14));
    QTest::newRow("EventReturn with no event out")
        << encode(create(15)) + encode([] { Message m = msg(Type::EventReturn, 15); m.serial = 1; return m; }())
        << 15u << "does not answer" << encode(msg(Type::Release, 15));
    QTest::newRow("answer with no box open")
        << encode(create(16)) + encode([] { Message m = msg(Type::MessageBoxAnswer, 16); m.serial = 3; return m; }())
        << 16u << "no open message box" << encode(msg(Type::Release, 16));

    const Type serverOnly[] = {Type::Greeting, Type::Event, Type::MessageBox, Type::ProtocolError};
    for (Type t : serverOnly) {
        Message m = msg(t, 17);
        QTest::newRow(qPrintable(QStringLiteral("client sends %1").arg(QLatin1String(typeName(t)))))
            << encode(m) << (t == Type::Greeting ? 0u : 17u) << "sent by the server only" << none;
    }
}

void ServerProtocolTest::badInput()
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

void ServerProtocolTest::endOfInputEndsServer()
{
    // Objects still held when the pipe closes are released with the server.
    Server server;
    QVERIFY(server.start());
    for (quint32 id = 1; id <= 3; ++id)
        server.send(create(id));
    QVERIFY(server.serves(4));
    server.process().closeWriteChannel();
    QVERIFY(server.process().waitForFinished(3000));
    QCOMPARE(server.process().exitStatus(), QProcess::NormalExit);
    QCOMPARE(server.process().exitCode(), 0);
}

void ServerProtocolTest::closedStdoutEndsServer()
{
    // stdout goes to a pipe of our own, so its reading end can really be closed.
    int fds[2];
    QVERIFY(::pipe2(fds, O_CLOEXEC) == 0);
    const int readEnd = fds[0];
    const int writeEnd = fds[1];
    QProcess process;
    process.setProgram(serverPath());
    process.setChildProcessModifier([writeEnd] { ::dup2(writeEnd, STDOUT_FILENO); });
    process.start();
    QVERIFY(process.waitForStarted(5000));
    ::close(writeEnd);

    FrameReader reader;
    std::optional<FrameReader::Item> greeting;
    while (!greeting) {
        pollfd p{readEnd, POLLIN, 0};
        QVERIFY(::poll(&p, 1, 5000) == 1);
        char buffer[256];
        const ssize_t n = ::read(readEnd, buffer, sizeof buffer);
        QVERIFY(n > 0);
        reader.append(buffer, n);
        greeting = reader.next();
    }
    QVERIFY(greeting->message && greeting->message->type == Type::Greeting);
    ::close(readEnd);

    process.write(encode(create(1)));
    // Anything the server has to say now meets a closed pipe.
    process.write(encode(msg(Type::Release, 99)));
    QVERIFY(process.waitForFinished(3000));
    QCOMPARE(process.exitStatus(), QProcess::NormalExit);
    QCOMPARE(process.exitCode(), 0);
}

void ServerProtocolTest::manyObjectsLeaveNothingBehind()
{
    Server server;
    QVERIFY(server.start());
    const qint64 pid = server.pid();
    const int tasks = countEntries(pid, "task");
    QVERIFY(server.serves(1)); // one round first, so lazily made resources exist
    QTRY_COMPARE(countEntries(pid, "task"), tasks);
    const int fds = countEntries(pid, "fd");

    constexpr quint32 kCount = 255;
    for (quint32 id = 10; id < 10 + kCount; ++id)
        server.send(create(id));
    QTRY_VERIFY_WITH_TIMEOUT(countEntries(pid, "task") >= tasks + int(kCount), 10000);
    for (quint32 id = 10; id < 10 + kCount; ++id)
        server.send(msg(Type::Release, id));
    QVERIFY(server.serves(2));

    QTRY_COMPARE_WITH_TIMEOUT(countEntries(pid, "task"), tasks, 10000);
    QTRY_COMPARE_WITH_TIMEOUT(countEntries(pid, "fd"), fds, 10000);
    qInfo("pelorin: %d threads and %d descriptors before and after %u objects", tasks, fds, kCount);
}

void ServerProtocolTest::raiseWaitsForItsReturn()
{
    HostOnPipe pipe;
    std::atomic_int raisesDone{0};
    auto raise = [&](Pelorin::clsMain &object) {
        QString sIP = QStringLiteral("127.0.0.7");
        qint16 iPingTime = 3;
        emit object.PingResponse(sIP, iPingTime);
        ++raisesDone;
    };
    pipe.host().runOnObjectThread(raise);
    const auto event = pipe.next();
    QVERIFY(event);
    QCOMPARE(event->type, Type::Event);
    QCOMPARE(event->objectId, 1u);
    QCOMPARE(event->number, Pelorin::DispId::PingResponse);
    QCOMPARE(event->args, (QList<Value>{QStringLiteral("127.0.0.7"), qint16(3)}));
    QCOMPARE(raisesDone.load(), 0); // still waiting for the client

    // Another tick of the object while the client handles the event: no second raise.
    pipe.host().runOnObjectThread(raise);
    QTRY_COMPARE(raisesDone.load(), 1);
    QVERIFY(pipe.nothingWritten());

    // An answer to some other raise is refused and does not end the wait.
    pipe.host().eventReturned(event->serial + 1);
    const auto refused = pipe.next();
    QVERIFY(refused && refused->type == Type::ProtocolError && refused->objectId == 1);
    QCOMPARE(raisesDone.load(), 1);

    pipe.host().eventReturned(event->serial);
    QTRY_COMPARE(raisesDone.load(), 2);

    // The next raise goes out again.
    pipe.host().runOnObjectThread(raise);
    const auto again = pipe.next();
    QVERIFY(again && again->type == Type::Event);
    QVERIFY(again->serial != event->serial);
    pipe.host().eventReturned(again->serial);
    QTRY_COMPARE(raisesDone.load(), 3);
}

void ServerProtocolTest::messageBoxTravelsAndWaits()
{
    HostOnPipe pipe;
    std::atomic_int answer{0};
    pipe.host().runOnObjectThread([&](Pelorin::clsMain &) {
        answer = Pelorin::ShowMessageBox(QStringLiteral("Error 6 (Overflow) in procedure PingAddr of Module Ping on line 30"),
                                         Pelorin::MsgBox::YesNo | Pelorin::MsgBox::Question);
    });
    const auto box = pipe.next();
    QVERIFY(box);
    QCOMPARE(box->type, Type::MessageBox);
    QCOMPARE(box->objectId, 1u);
    QCOMPARE(box->number, Pelorin::MsgBox::YesNo | Pelorin::MsgBox::Question);
    QCOMPARE(box->text2, QStringLiteral("Pelorin"));
    QVERIFY(box->text.startsWith(QLatin1String("Error 6")));
    QCOMPARE(answer.load(), 0);

    pipe.host().messageBoxAnswered(box->serial, Pelorin::MsgBox::AnswerNo);
    QTRY_COMPARE(answer.load(), Pelorin::MsgBox::AnswerNo);
    // A second answer to the closed box is refused.
    pipe.host().messageBoxAnswered(box->serial, Pelorin::MsgBox::AnswerYes);
    const auto refused = pipe.next();
    QVERIFY(refused && refused->type == Type::ProtocolError && refused->objectId == 1);
}

void ServerProtocolTest::releaseEndsWaits_data()
{
    QTest::addColumn<bool>("messageBox");
    QTest::newRow("event raise") << false;
    QTest::newRow("message box") << true;
}

void ServerProtocolTest::releaseEndsWaits()
{
    QFETCH(bool, messageBox);
    HostOnPipe pipe;
    std::atomic_bool returned{false};
    pipe.host().runOnObjectThread([&](Pelorin::clsMain &object) {
        if (messageBox) {
            Pelorin::ShowMessageBox(QStringLiteral("x"), Pelorin::MsgBox::OKOnly);
        } else {
            QString sHost = QStringLiteral("h");
            QString sRaw;
            emit object.HTTPReqResponse(sHost, sRaw);
        }
        // Anything the object says after its release goes nowhere.
        QString sHost = QStringLiteral("h");
        QString sRaw = QStringLiteral("late");
        emit object.HTTPReqResponse(sHost, sRaw);
        Pelorin::ShowMessageBox(QStringLiteral("late"), Pelorin::MsgBox::OKOnly);
        returned = true;
    });
    QVERIFY(pipe.next());
    QVERIFY(!returned);
    pipe.host().release();
    QTRY_VERIFY(returned.load());
    QTRY_VERIFY(pipe.host().isFinished());
    QVERIFY(pipe.nothingWritten());
}

void ServerProtocolTest::clientNoticesDeadServer()
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

void ServerProtocolTest::clientReportsUnstartableServer()
{
    PelorinClient::Connection connection;
    connection.setServerPath(QCoreApplication::applicationDirPath() + QStringLiteral("/no-such-pelorin"));
    QString why;
    QTest::ignoreMessage(QtWarningMsg, QRegularExpression(QStringLiteral("could not be started")));
    QVERIFY(!PelorinClient::clsMain::create(connection, &why));
    QVERIFY(why.contains(QLatin1String("no-such-pelorin")));
    QVERIFY(!connection.isRunning());
}

void ServerProtocolTest::clientDeliversEventsAndBoxes()
{
    qputenv(kFakeServerVariable, "1");
    auto unset = qScopeGuard([] { qunsetenv(kFakeServerVariable); });
    PelorinClient::Connection connection;
    connection.setServerPath(QCoreApplication::applicationFilePath());
    QStringList boxes;
    connection.setMessageBoxHandler([&](const QString &text, int style, const QString &title) {
        boxes << QStringLiteral("%1 %2 %3").arg(text).arg(style).arg(title);
        return Pelorin::MsgBox::AnswerNo;
    });
    QStringList heard; // what the fake server received, in order
    connect(&connection, &PelorinClient::Connection::protocolError, this,
            [&](quint32 id, const QString &text) { heard << QStringLiteral("%1: %2").arg(id).arg(text); });

    QVERIFY(connection.ensureStarted());
    QVERIFY(!connection.echoUsable());
    QCOMPARE(connection.echoReason(), QStringLiteral("fake: no echo"));
    QTRY_COMPARE(boxes, QStringList{"hello 48 Pelorin"});
    QTRY_COMPARE(heard, QStringList{"0: answer 3 7"});
    heard.clear();

    // A call made inside the handler goes out before the handler's return.
    std::unique_ptr<PelorinClient::clsMain> first = PelorinClient::clsMain::create(connection);
    QVERIFY(first);
    QStringList events;
    connect(first.get(), &PelorinClient::clsMain::PingResponse, this, [&](QString &sIP, qint16 &iPingTime) {
        events << QStringLiteral("%1 %2").arg(sIP).arg(iPingTime);
        first->PingRequest(QStringLiteral("127.0.0.1"), 100, 3);
    });
    const quint32 firstId = first->objectId();
    QTRY_COMPARE(heard.size(), 2);
    QCOMPARE(events, QStringList{QStringLiteral("host %1 %1").arg(firstId)});
    QCOMPARE(heard, (QStringList{QStringLiteral("%1: call 60030001 with 3 args").arg(firstId),
                                 QStringLiteral("%1: returned %2").arg(firstId).arg(100 + firstId)}));
    heard.clear();

    // A handler that destroys its object: only the Release goes out.
    std::unique_ptr<PelorinClient::clsMain> second = PelorinClient::clsMain::create(connection);
    QVERIFY(second);
    const quint32 secondId = second->objectId();
    connect(second.get(), &PelorinClient::clsMain::PingResponse, this, [&](QString &, qint16 &) { second.reset(); });
    QTRY_VERIFY(!second);
    QTRY_COMPARE(heard, QStringList{QStringLiteral("%1: released").arg(secondId)});
    heard.clear();

    // An event the client can't read is still answered, or the server's object would wait for ever.
    QTest::ignoreMessage(QtWarningMsg, QRegularExpression(QStringLiteral("unknown event")));
    std::unique_ptr<PelorinClient::clsMain> third = PelorinClient::clsMain::create(connection);
    QVERIFY(third);
    const quint32 thirdId = third->objectId();
    QTRY_COMPARE(heard.size(), 2);
    QVERIFY(heard.at(0).contains(QLatin1String("unknown event")));
    QCOMPARE(heard.at(1), QStringLiteral("%1: returned %2").arg(thirdId).arg(100 + thirdId));
    connection.shutdown();
}

int main(int argc, char *argv[])
{
    if (qEnvironmentVariableIsSet(kFakeServerVariable))
        return runFakeServer();
    QCoreApplication app(argc, argv);
    ServerProtocolTest test;
    QTEST_SET_MAIN_SOURCE_PATH
    return QTest::qExec(&test, argc, argv);
}
#include "server_protocol_test.moc"
