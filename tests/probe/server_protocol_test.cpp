// The real pelorin process over its pipes, with requests that send no packets:
// greeting, refusal of bad input, release ending waits, a clean end when the
// client's pipe closes, and no thread or descriptor left behind.
#include "Harness.h"

#include <QtTest>


using namespace Pelorin::Wire;
using Pipe = PelorinPipe;

namespace {

// A call that raises a message box (an address with five parts) or an event
// (a host the fetch refuses) at once, without a packet.
Message raisingCall(quint32 id, bool messageBox)
{
    using namespace Pelorin::Interface;
    return messageBox ? invocation(Type::Call, id, PingRequest{QStringLiteral("1.2.3.4.5"), 100, 0})
                      : invocation(Type::Call, id, HTTPRequest{QStringLiteral("user@host"), 80, QStringLiteral("id.htm"), 100, 0});
}

} // namespace

class ServerProtocolTest : public QObject
{
    Q_OBJECT

    Pipe m_server; // shared by the bad-input rows: each must leave it serving
    quint32 m_nextId = 100;

private slots:
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
        for (quint32 id = 1; id <= 3; ++id)
            m_server.send(Pipe::create(id));
        QVERIFY(m_server.serves(4));
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
        QTest::newRow("call to unknown object") << encode(Pipe::call(9, 0x7, {})) << 9u << "unknown object" << QByteArray();
        // A call that doesn't fit its method: the server passes on the record's reason.
        QTest::newRow("wrong argument type")
            << withObject(13, Pipe::call(13, 0x60030001, {QStringLiteral("h"), qint16(80), quint8(0)})) << 13u
            << "clsMain: PingRequest: argument 2 (lTimeOut) must be" << release(13);
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

    // As a scan uses them: 50 objects live, each with a thread of its own, few
    // threads more; once all are released, every thread and descriptor is gone.
    void manyObjectsLeaveNothingBehind()
    {
        Pipe server;
        QVERIFY(server.start());
        const qint64 pid = server.pid();
        const int tasks = Harness::procEntries(pid, "task");
        QVERIFY(server.serves(1)); // one round first, so lazily made resources exist
        QTRY_COMPARE_WITH_TIMEOUT(Harness::procEntries(pid, "task"), tasks, 10000);
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
