// The worker shell with the real probe server: one probe object per shell,
// its events passed on with the index, destroyed or renewed inside its own
// event. No request is ever made here, so no packet is sent.
#include "Harness.h"
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

    void scanObjIsStableUntilReinit()
    {
        ScanObjShell shell(7);
        QCOMPARE(shell.index(), qint16(7));
        clsMain *first = shell.ScanObj();
        QVERIFY2(first, qPrintable(shell.error()));
        QCOMPARE(shell.ScanObj(), first);
        const quint32 firstId = first->objectId();

        QVERIFY(shell.Reinit());
        QVERIFY(shell.ScanObj());
        QVERIFY(shell.ScanObj()->isAlive());
        QVERIFY(shell.ScanObj()->objectId() != firstId);
        QCOMPARE(shell.ScanObj(), shell.ScanObj());
    }

    void eventsCarryTheIndex()
    {
        ScanObjShell shell(12);
        ShellLog log(&shell);

        QString ip = QStringLiteral("127.0.0.4");
        qint16 time = -11050;
        emit shell.ScanObj()->PingResponse(ip, time);
        QString host = QStringLiteral("127.0.0.4");
        QString raw;
        emit shell.ScanObj()->HTTPReqResponse(host, raw);

        QCOMPARE(log.pings.size(), 1);
        QCOMPARE(log.pings[0].index, qint16(12));
        QCOMPARE(log.pings[0].host, ip);
        QCOMPARE(log.pings[0].value.value<qint16>(), time);
        QCOMPARE(log.pages.size(), 1);
        QCOMPARE(log.pages[0].index, qint16(12));
        QCOMPARE(log.pages[0].host, host);
        QVERIFY(log.pages[0].value.toString().isEmpty());
    }

    // The window destroys a worker, or renews worker 0, from inside the
    // handler of that worker's own answer.
    void destroyedInsideItsOwnEvent()
    {
        auto *shell = new ScanObjShell(1);
        QPointer<clsMain> object = shell->ScanObj();
        QVERIFY(object);
        QPointer<ScanObjShell> guard(shell);
        connect(shell, &ScanObjShell::HTTPReqResponse, this, [shell] { delete shell; });

        QString host = QStringLiteral("127.0.0.9");
        QString raw = QStringLiteral("<body>x</body>");
        emit object->HTTPReqResponse(host, raw);
        QVERIFY(!guard);
        QVERIFY(!object);
    }

    void reinitInsideItsOwnEvent()
    {
        ScanObjShell shell(0);
        QPointer<clsMain> old = shell.ScanObj();
        connect(&shell, &ScanObjShell::PingResponse, this, [&shell] { shell.Reinit(); });
        ShellLog log(&shell);

        QString ip = QStringLiteral("127.0.0.9");
        qint16 time = 3;
        emit old->PingResponse(ip, time);
        QCOMPARE(log.pings.size(), 1);
        QVERIFY(!old);
        QVERIFY(shell.ScanObj());
        QVERIFY(shell.ScanObj()->isAlive());
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
        QVERIFY(!shell.ScanObj());

        connection.setServerPath(path);
        QVERIFY(shell.Reinit());
        QVERIFY(shell.ScanObj());
    }
};

QTEST_MAIN(ShellTest)
#include "shell_test.moc"
