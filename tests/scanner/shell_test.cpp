// The worker shell with the real probe server (events passed on with the index,
// destroyed or renewed inside its own event), and the client's link against a
// stand-in server that sends bad frames. No request is made, so no packet is sent.
#include "PelorinConnection.h"
#include "PelorinInterface.h"
#include "ProbeObject.h"
#include "ScanObjShell.h"
#include "WireProtocol.h"

#include <QPointer>
#include <QScopeGuard>
#include <QtTest>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

using PelorinClient::clsMain;
using PelorinClient::Connection;
namespace Wire = Pelorin::Wire;

namespace {

Wire::Message frame(Wire::Type type, quint32 objectId, qint32 dispId = 0, QList<Wire::Value> args = {})
{
    Wire::Message m;
    m.type = type;
    m.objectId = objectId;
    m.serial = 1;
    m.dispId = dispId;
    m.args = std::move(args);
    return m;
}

} // namespace

class ShellTest : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase()
    {
        QString error;
        QVERIFY2(PelorinClient::Connection::instance().ensureStarted(&error), qPrintable(error));
    }

    // Events reach the listener with the shell's index; renewed inside its own
    // event, the shell holds a new live object and the old one is gone.
    void eventsCarryTheIndexAndRenewInside()
    {
        ScanObjShell shell(12);
        QPointer<clsMain> old = shell.ScanObj();
        QVERIFY2(old, qPrintable(shell.error()));
        QCOMPARE(shell.ScanObj(), old.data());
        const quint32 oldId = old->objectId();
        QStringList heard;
        connect(&shell, &ScanObjShell::PingResponse, this, [&](qint16 index, QString &sIP, qint16 &time) {
            heard.append(QStringLiteral("%1 %2 %3").arg(index).arg(sIP).arg(time));
            QVERIFY(shell.Reinit());
        });
        connect(&shell, &ScanObjShell::HTTPReqResponse, this, [&](qint16 index, QString &sIP, QString &raw) {
            heard.append(QStringLiteral("%1 %2 %3").arg(index).arg(sIP, raw));
        });

        QString host = QStringLiteral("127.0.0.4");
        QString raw = QStringLiteral("<body>x</body>");
        emit old->HTTPReqResponse(host, raw);
        qint16 time = -11050;
        emit old->PingResponse(host, time);
        QCOMPARE(heard, (QStringList{"12 127.0.0.4 <body>x</body>", "12 127.0.0.4 -11050"}));
        QVERIFY(!old && shell.ScanObj() && shell.ScanObj()->isAlive() && shell.ScanObj()->objectId() != oldId);
    }

    // The window destroys a worker from inside the handler of its own answer.
    void destroyedInsideItsOwnEvent()
    {
        auto *shell = new ScanObjShell(1);
        QPointer<clsMain> object = shell->ScanObj();
        QVERIFY(object);
        QPointer<ScanObjShell> guard(shell);
        connect(shell, &ScanObjShell::HTTPReqResponse, this, [shell] { delete shell; });
        QString host = QStringLiteral("127.0.0.9");
        QString raw;
        emit object->HTTPReqResponse(host, raw);
        QVERIFY(!guard && !object);
    }

    void serverIsBesideTheProgramElseInTheHelperFolder()
    {
        QTemporaryDir root;
        QVERIFY(QDir(root.path()).mkpath(QStringLiteral("bin")));
        const QString bin = root.filePath(QStringLiteral("bin"));
        QCOMPARE(PelorinClient::Connection::serverPathFor(bin), root.filePath(QStringLiteral("libexec/lanterra/pelorin")));
        QFile beside(bin + QStringLiteral("/pelorin"));
        QVERIFY(beside.open(QIODevice::WriteOnly));
        QCOMPARE(PelorinClient::Connection::serverPathFor(bin), beside.fileName());
    }

    void standInServer_data()
    {
        QTest::addColumn<QByteArray>("afterGreeting"); // frames for object 1, the connection's first
        QTest::addColumn<bool>("serverDropped");
        QTest::addColumn<int>("protocolErrors");
        QTest::addColumn<int>("boxes");
        const QString h = QStringLiteral("127.0.0.2");
        const qint32 ping = Pelorin::Interface::PingResponse::kDispId;
        Wire::Message box = frame(Wire::Type::MessageBox, 1);
        box.style = Pelorin::MsgBox::OKOnly | Pelorin::MsgBox::Critical;
        box.text = QStringLiteral("Error 9");
        // Which bytes make a frame unreadable is the frame reader's own test.
        QTest::newRow("unknown frame type") << QByteArray("\x05\0\0\0\x7f" "abcd", 9) << true << 1 << 0;
        QTest::newRow("ping event, wrong argument types") << Wire::encode(frame(Wire::Type::Event, 1, ping, {h, h})) << false << 1 << 0;
        QTest::newRow("unknown event") << Wire::encode(frame(Wire::Type::Event, 1, 0x7777, {h, qint16(1)})) << false << 1 << 0;
        QTest::newRow("event for unknown object") << Wire::encode(frame(Wire::Type::Event, 1001, ping, {h, qint16(1)})) << false << 0 << 0;
        QTest::newRow("message box left unanswered") << Wire::encode(box) << false << 0 << 1;
    }

    // A stand-in server greets, sends what the row says, then a ping answer.
    // Unreadable frames end the server; meaningless events are reported and
    // dropped, and a server's box does not hold up the events after it.
    void standInServer()
    {
        QFETCH(QByteArray, afterGreeting);
        QFETCH(bool, serverDropped);
        QFETCH(int, protocolErrors);
        QFETCH(int, boxes);

        QTemporaryDir dir;
        Wire::Message greeting = frame(Wire::Type::Greeting, 0);
        greeting.libraryId = QString::fromLatin1(Pelorin::kLibraryId);
        greeting.major = Pelorin::kLibraryMajor;
        greeting.minor = Pelorin::kLibraryMinor;
        greeting.echoUsable = true;
        // The stand-in passes on what the test writes into this pipe, held open
        // for reading and writing so no open ever waits.
        const QString script = dir.filePath(QStringLiteral("stand-in"));
        Connection connection;
        connection.setServerPath(script);
        const QByteArray fifo = QFile::encodeName(dir.filePath(QStringLiteral("later")));
        QCOMPARE(::mkfifo(fifo.constData(), 0600), 0);
        const int fd = ::open(fifo.constData(), O_RDWR | O_CLOEXEC);
        QVERIFY(fd >= 0);
        auto closePipe = qScopeGuard([fd] { ::close(fd); }); // before the connection ends: the stand-in ends with it
        auto feed = [fd](const QByteArray &b) { return ::write(fd, b.constData(), size_t(b.size())) == b.size(); };
        QVERIFY(feed(Wire::encode(greeting)));
        QFile file(script);
        QVERIFY(file.open(QIODevice::WriteOnly) && file.write("#!/bin/sh\nexec cat \"$(dirname \"$0\")/later\"\n") > 0
                && file.setPermissions(QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner));
        file.close();

        QList<Connection::MessageBoxReply> unanswered;
        connection.setMessageBoxHandler([&](const QString &, int, const QString &, Connection::MessageBoxReply r) { unanswered << std::move(r); });
        QSignalSpy died(&connection, &Connection::serverDied);
        QSignalSpy errors(&connection, &Connection::protocolError);
        std::unique_ptr<clsMain> object = clsMain::create(connection);
        QVERIFY(object && object->objectId() == 1u);
        QStringList heard;
        connect(object.get(), &clsMain::PingResponse, this, [&](QString &sIP, qint16 &t) { heard << sIP + ' ' + QString::number(t); });

        const qint32 ping = Pelorin::Interface::PingResponse::kDispId;
        QVERIFY(feed(afterGreeting + Wire::encode(frame(Wire::Type::Event, 1, ping, {QStringLiteral("127.0.0.2"), qint16(-11010)}))));

        if (serverDropped) {
            QTRY_COMPARE(died.size(), 1);
            QVERIFY(died[0][0].toString().contains(QLatin1String("unreadable frame from pelorin")));
            QVERIFY(!object->isAlive());
        }
        QTRY_COMPARE(heard, serverDropped ? QStringList() : QStringList{"127.0.0.2 -11010"});
        QTRY_COMPARE(errors.size(), protocolErrors);
        QCOMPARE(died.size(), serverDropped ? 1 : 0);
        QCOMPARE(unanswered.size(), boxes);
        object.reset();
        for (const auto &reply : std::as_const(unanswered))
            reply(Pelorin::MsgBox::AnswerOK); // for an object released by then
    }

    // Runs last: it stops the shared server.
    void noServerLeavesNoObject()
    {
        auto &connection = PelorinClient::Connection::instance();
        const QString path = connection.serverPath();
        connection.shutdown();
        connection.setServerPath(QDir::temp().filePath(QStringLiteral("no-such-pelorin")));

        ScanObjShell shell(2);
        QVERIFY(!shell.ScanObj() && !shell.error().isEmpty() && !shell.Reinit());

        connection.setServerPath(path);
        QVERIFY(shell.Reinit() && shell.ScanObj());
    }
};

QTEST_MAIN(ShellTest)
#include "shell_test.moc"
