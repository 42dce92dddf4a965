// Guards the probe client's link against a server's bad output: an unreadable frame is reported and drops the server,
// an event for no object is dropped, a box left unanswered holds up no later event. A stand-in server; no packet.
#include "client/PelorinConnection.h"
#include "client/ProbeObjectProxy.h"
#include "ProbeInterface.h"
#include "ProbeProtocol.h"

#include <QtTest>

using PelorinClient::ProbeObjectProxy;
using PelorinClient::Connection;
namespace Wire = Pelorin::Wire;
const QString kHost = QStringLiteral("127.0.0.2"); // every event's host

class ClientTest : public QObject
{
    Q_OBJECT

private slots:
    void standInServer_data()
    {
        QTest::addColumn<QByteArray>("afterGreeting"); // frames for object 1, the connection's first
        QTest::addColumn<bool>("serverDropped");
        QTest::addColumn<int>("protocolErrors");
        QTest::addColumn<int>("boxes");
        QByteArray cut = Wire::encode(Wire::PingResponse{1, 1, {kHost, 1}});
        cut.chop(1);
        cut[0] = char(cut.size() - 4);
        QTest::newRow("unknown frame type") << QByteArray("\x05\0\0\0\x7f" "abcd", 9) << true << 1 << 0;
        QTest::newRow("ping event cut short") << cut << true << 1 << 0;
        QTest::newRow("event for unknown object") << Wire::encode(Wire::PingResponse{1001, 1, {kHost, 1}}) << false << 0 << 0;
        QTest::newRow("message box left unanswered") << Wire::encode(Wire::MessageBox{1, 1, 0, QStringLiteral("Error 9"), {}}) << false << 0 << 1;
    }

    // A stand-in server greets, sends what the row says, then a ping answer.
    void standInServer()
    {
        QFETCH(QByteArray, afterGreeting);
        QFETCH(bool, serverDropped);
        QFETCH(int, protocolErrors);
        QFETCH(int, boxes);

        // The stand-in writes what the test put in a file, then reads its input until the client closes it.
        QTemporaryDir dir;
        QFile script(dir.filePath(QStringLiteral("stand-in"))), later(dir.filePath(QStringLiteral("later")));
        const QByteArray greeting = Wire::encode(Wire::Greeting{QString::fromLatin1(Pelorin::kLibraryId), Pelorin::kLibraryMajor, Pelorin::kLibraryMinor, false, {}});
        QVERIFY(script.open(QIODevice::WriteOnly) && script.write("#!/bin/sh\ncat \"$(dirname \"$0\")/later\"\nexec cat >/dev/null\n") > 0
                && script.setPermissions(QFile::ReadOwner | QFile::ExeOwner) && later.open(QIODevice::WriteOnly)
                && later.write(greeting + afterGreeting + Wire::encode(Wire::PingResponse{1, 1, {kHost, -11010}})) > 0);
        script.close();
        later.close();
        Connection connection;
        connection.setServerPath(script.fileName());
        QList<Connection::MessageBoxReply> unanswered;
        connection.setMessageBoxHandler([&](const QString &, int, const QString &, Connection::MessageBoxReply r) { unanswered << std::move(r); });
        QSignalSpy died(&connection, &Connection::serverDied);
        QSignalSpy errors(&connection, &Connection::protocolError);
        std::unique_ptr<ProbeObjectProxy> object = ProbeObjectProxy::create(connection);
        QVERIFY(object && object->objectId() == 1u);
        QStringList heard;
        connect(object.get(), &ProbeObjectProxy::PingResponse, this, [&](QString &ip, qint16 &t) { heard << ip + ' ' + QString::number(t); });

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

QTEST_GUILESS_MAIN(ClientTest)
#include "client_test.moc"
