// The client's link against a stand-in server that sends bad frames. No request is made, so no packet is
// sent.
#include "client/PelorinConnection.h"
#include "client/ProbeObjectProxy.h"
#include "ProbeInterface.h"
#include "ProbeProtocol.h"

#include <QtTest>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

using PelorinClient::ProbeObjectProxy;
using PelorinClient::Connection;
namespace Wire = Pelorin::Wire;
namespace Interface = Pelorin::Interface;

class ShellTest : public QObject
{
    Q_OBJECT

private slots:
    void standInServer_data()
    {
        QTest::addColumn<QByteArray>("afterGreeting"); // frames for object 1, the connection's first
        QTest::addColumn<bool>("serverDropped");
        QTest::addColumn<int>("protocolErrors");
        QTest::addColumn<int>("boxes");
        const QString h = QStringLiteral("127.0.0.2");
        QByteArray cut = Wire::encode(Wire::PingResponse{1, 1, {h, 1}});
        cut.chop(1);
        cut[0] = char(cut.size() - 4);
        // Which bytes make a frame unreadable is the frame reader's own test.
        QTest::newRow("unknown frame type") << QByteArray("\x05\0\0\0\x7f" "abcd", 9) << true << 1 << 0;
        QTest::newRow("ping event cut short") << cut << true << 1 << 0;
        QTest::newRow("event for unknown object") << Wire::encode(Wire::PingResponse{1001, 1, {h, 1}}) << false << 0 << 0;
        QTest::newRow("message box left unanswered") << Wire::encode(Wire::MessageBox{1, 1, 0, QStringLiteral("Error 9"), {}}) << false << 0 << 1;
    }

    // A stand-in server greets, sends what the row says, then a ping answer. Unreadable frames end the
    // server; meaningless events are reported and dropped, and a server's box does not hold up the events
    // after it.
    void standInServer()
    {
        QFETCH(QByteArray, afterGreeting);
        QFETCH(bool, serverDropped);
        QFETCH(int, protocolErrors);
        QFETCH(int, boxes);

        // The stand-in passes on what the test writes into this pipe, held open for reading and writing so
        // no open ever waits.
        QTemporaryDir dir;
        QFile script(dir.filePath(QStringLiteral("stand-in")));
        QVERIFY(script.open(QIODevice::WriteOnly) && script.write("#!/bin/sh\nexec cat \"$(dirname \"$0\")/later\"\n") > 0
                && script.setPermissions(QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner));
        script.close();
        Connection connection;
        connection.setServerPath(script.fileName());
        const QByteArray fifo = QFile::encodeName(dir.filePath(QStringLiteral("later")));
        QCOMPARE(::mkfifo(fifo.constData(), 0600), 0);
        const int fd = ::open(fifo.constData(), O_RDWR | O_CLOEXEC);
        QVERIFY(fd >= 0);
        auto closePipe = qScopeGuard([fd] { ::close(fd); }); // before the connection ends: the stand-in ends with it
        auto feed = [fd](const QByteArray &b) { return ::write(fd, b.constData(), size_t(b.size())) == b.size(); };
        QVERIFY(feed(Wire::encode(Wire::Greeting{QString::fromLatin1(Pelorin::kLibraryId), Pelorin::kLibraryMajor, Pelorin::kLibraryMinor, false, {}})));

        QList<Connection::MessageBoxReply> unanswered;
        connection.setMessageBoxHandler([&](const QString &, int, const QString &, Connection::MessageBoxReply r) { unanswered << std::move(r); });
        QSignalSpy died(&connection, &Connection::serverDied);
        QSignalSpy errors(&connection, &Connection::protocolError);
        std::unique_ptr<ProbeObjectProxy> object = ProbeObjectProxy::create(connection);
        QVERIFY(object && object->objectId() == 1u);
        QStringList heard;
        connect(object.get(), &ProbeObjectProxy::PingResponse, this, [&](QString &ip, qint16 &t) { heard << ip + ' ' + QString::number(t); });
        QVERIFY(feed(afterGreeting + Wire::encode(Wire::PingResponse{1, 1, {QStringLiteral("127.0.0.2"), -11010}})));

        QTRY_COMPARE(errors.size(), protocolErrors);
        QTRY_COMPARE(heard, serverDropped ? QStringList() : QStringList{"127.0.0.2 -11010"});
        QTRY_COMPARE(died.size(), int(serverDropped));
        QCOMPARE(object->isAlive(), !serverDropped);
        QCOMPARE(unanswered.size(), boxes);
        object.reset();
        for (const auto &reply : std::as_const(unanswered))
            reply(Pelorin::MsgBox::AnswerOK); // for an object released by then
    }
};

QTEST_MAIN(ShellTest)
#include "shell_test.moc"
