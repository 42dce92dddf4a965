// The worker shell with the real probe server: one probe object per shell,
// its events passed on with the index, destroyed or renewed inside its own
// event. No request is ever made here, so no packet is sent.
#include "PelorinConnection.h"
#include "ProbeObject.h"
#include "ScanObjShell.h"

#include <QPointer>
#include <QtTest>

using PelorinClient::clsMain;

class ShellTest : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase()
    {
        QString error;
        QVERIFY2(PelorinClient::Connection::instance().ensureStarted(&error), qPrintable(error));
    }

    // Both events reach the shell's listener with the shell's index; renewed
    // inside its own event, the shell has a new live object and the old one is gone.
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
        QVERIFY(!old);
        QVERIFY(shell.ScanObj() && shell.ScanObj()->isAlive());
        QVERIFY(shell.ScanObj()->objectId() != oldId);
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
        QVERIFY(!guard);
        QVERIFY(!object);
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

    // Runs last: it stops the shared server.
    void noServerLeavesNoObject()
    {
        auto &connection = PelorinClient::Connection::instance();
        const QString path = connection.serverPath();
        connection.shutdown();
        connection.setServerPath(QDir::temp().filePath(QStringLiteral("no-such-pelorin")));

        ScanObjShell shell(2);
        QVERIFY(!shell.ScanObj());
        QVERIFY(!shell.error().isEmpty());
        QVERIFY(!shell.Reinit());

        connection.setServerPath(path);
        QVERIFY(shell.Reinit());
        QVERIFY(shell.ScanObj());
    }
};

QTEST_MAIN(ShellTest)
#include "shell_test.moc"
