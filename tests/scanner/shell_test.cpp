// The worker shell with the real probe server: one probe object per shell,
// its events passed on with the index, and a shell as large as its label.
// No request is ever made here, so no packet is sent.
#include "PelorinConnection.h"
#include "ProbeObject.h"
#include "ScanObjShell.h"

#include <QLabel>
#include <QPointer>
#include <QtTest>

using PelorinClient::clsMain;

namespace {

// The shell's events pass their values by reference, which QSignalSpy can't
// record; this keeps what they carried.
struct Recorded {
    qint16 index;
    QString text;
    QVariant value;
};

struct EventLog {
    explicit EventLog(ScanObjShell *shell)
    {
        QObject::connect(shell, &ScanObjShell::PingResponse, shell,
                         [this](qint16 index, QString &sIP, qint16 &time) { pings.append({index, sIP, time}); });
        QObject::connect(shell, &ScanObjShell::HTTPReqResponse, shell,
                         [this](qint16 index, QString &sIP, QString &raw) { pages.append({index, sIP, raw}); });
    }
    QList<Recorded> pings;
    QList<Recorded> pages;
};

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
        EventLog log(&shell);

        QString ip = QStringLiteral("127.0.0.4");
        qint16 time = -11050;
        emit shell.ScanObj()->PingResponse(ip, time);
        QString host = QStringLiteral("127.0.0.4");
        QString raw;
        emit shell.ScanObj()->HTTPReqResponse(host, raw);

        QCOMPARE(log.pings.size(), 1);
        QCOMPARE(log.pings[0].index, qint16(12));
        QCOMPARE(log.pings[0].text, ip);
        QCOMPARE(log.pings[0].value.value<qint16>(), time);
        QCOMPARE(log.pages.size(), 1);
        QCOMPARE(log.pages[0].index, qint16(12));
        QCOMPARE(log.pages[0].text, host);
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
        EventLog log(&shell);

        QString ip = QStringLiteral("127.0.0.9");
        qint16 time = 3;
        emit old->PingResponse(ip, time);
        QCOMPARE(log.pings.size(), 1);
        QVERIFY(!old);
        QVERIFY(shell.ScanObj());
        QVERIFY(shell.ScanObj()->isAlive());
    }

    void shellTakesItsLabelsSize_data()
    {
        QTest::addColumn<QSize>("asked");
        QTest::newRow("designed surface") << QSize(132, 34);
        QTest::newRow("tiny") << QSize(1, 1);
        QTest::newRow("wide and flat") << QSize(2000, 3);
        QTest::newRow("narrow and tall") << QSize(5, 900);
    }

    void shellTakesItsLabelsSize()
    {
        QFETCH(QSize, asked);

        QWidget holder;
        holder.resize(400, 300);
        auto *shell = new ScanObjShell(0, &holder);
        auto *label = shell->findChild<QLabel *>(QStringLiteral("lblDisp"));
        QVERIFY(label);
        QCOMPARE(label->text(), QStringLiteral("ScanObjectShell"));
        QCOMPARE(label->palette().color(QPalette::Window), QColor(0, 255, 0));
        QCOMPARE(label->pos(), QPoint(0, 0));
        QCOMPARE(label->size(), label->sizeHint());

        holder.show();
        QVERIFY(QTest::qWaitForWindowExposed(&holder));
        shell->resize(asked);
        QTRY_COMPARE(shell->size(), label->size());
        shell->setGeometry(QRect(QPoint(4, 4), asked));
        QTRY_COMPARE(shell->size(), label->size());
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
