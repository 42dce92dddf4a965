// Worker shells against the lab network: real answers of the probe server
// arrive with the shell's index, and a renewed shell hears only its new object.
// Runs only inside the private network namespace of run-in-netns.sh; every
// address is 127.0.0.x.
#include "LabNetwork.h"
#include "PelorinConnection.h"
#include "ProbeObject.h"
#include "ScanObjShell.h"

#include <QtTest>

namespace {

struct Recorded {
    qint16 index;
    QString host;
    QVariant value;
};

// The shell's events pass their values by reference, which QSignalSpy can't record.
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

Lab::Behaviour ofKind(Lab::Behaviour::Kind kind, const QByteArray &body = {})
{
    Lab::Behaviour b;
    b.kind = kind;
    b.body = body;
    return b;
}

} // namespace

class ScannerShellTest : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase()
    {
        LAB_REQUIRE_ISOLATED();
        QString error;
        QVERIFY2(PelorinClient::Connection::instance().ensureStarted(&error), qPrintable(error));
    }

    void pingAnswerCarriesTheIndex()
    {
        Lab::LabNetwork lab;
        ScanObjShell shell(5);
        EventLog log(&shell);
        QVERIFY(shell.ScanObj());
        const qint32 timeOut = 300;
        const quint8 retries = 1;
        shell.ScanObj()->PingRequest(QStringLiteral("127.0.0.1"), timeOut, retries);

        QTRY_VERIFY_WITH_TIMEOUT(!log.pings.isEmpty(), 5000);
        QCOMPARE(log.pings[0].index, qint16(5));
        QCOMPARE(log.pings[0].host, QStringLiteral("127.0.0.1"));
        QVERIFY(log.pings[0].value.value<qint16>() >= 0);
    }

    void silentHostGivesNegativeTime()
    {
        Lab::LabNetwork lab;
        QVERIFY(lab.addSilentHost(QStringLiteral("127.0.0.3")));
        ScanObjShell shell(50);
        EventLog log(&shell);
        const qint32 timeOut = 100;
        const quint8 retries = 1;
        shell.ScanObj()->PingRequest(QStringLiteral("127.0.0.3"), timeOut, retries);

        QTRY_VERIFY_WITH_TIMEOUT(!log.pings.isEmpty(), 5000);
        QCOMPARE(log.pings[0].index, qint16(50));
        QVERIFY(log.pings[0].value.value<qint16>() < 0);
    }

    void emptyPageArrivesAsEmptyText()
    {
        Lab::LabNetwork lab;
        QVERIFY(lab.addDevice(QStringLiteral("127.0.0.7"), ofKind(Lab::Behaviour::EmptyBody)));
        ScanObjShell shell(9);
        EventLog log(&shell);
        const qint32 port = 80;
        const qint32 timeOut = 500;
        const quint8 retries = 1;
        shell.ScanObj()->HTTPRequest(QStringLiteral("127.0.0.7"), port, QStringLiteral("id.htm"), timeOut,
                                     retries);

        QTRY_VERIFY_WITH_TIMEOUT(!log.pages.isEmpty(), 10000);
        QCOMPARE(log.pages[0].index, qint16(9));
        QCOMPARE(log.pages[0].host, QStringLiteral("127.0.0.7"));
        QVERIFY(log.pages[0].value.toString().isEmpty());
        QVERIFY(lab.requestCount(QStringLiteral("127.0.0.7")) >= 1);
    }

    void pageTextIsPassedOnUnchanged()
    {
        Lab::LabNetwork lab;
        const QByteArray page = Lab::LabNetwork::idPage(QStringLiteral("Model 7 Rev B"));
        QVERIFY(lab.addDevice(QStringLiteral("127.0.0.8"), ofKind(Lab::Behaviour::Page, page)));
        ScanObjShell shell(1);
        EventLog log(&shell);
        const qint32 port = 80;
        const qint32 timeOut = 1000;
        const quint8 retries = 1;
        shell.ScanObj()->HTTPRequest(QStringLiteral("127.0.0.8"), port, QStringLiteral("id.htm"), timeOut,
                                     retries);

        QTRY_VERIFY_WITH_TIMEOUT(!log.pages.isEmpty(), 10000);
        QCOMPARE(log.pages[0].index, qint16(1));
        QCOMPARE(log.pages[0].value.toString(), QString::fromUtf8(page));
    }

    void renewedShellHearsOnlyItsNewObject()
    {
        Lab::LabNetwork lab;
        QVERIFY(lab.addDevice(QStringLiteral("127.0.0.10"), ofKind(Lab::Behaviour::Page, "old")));
        QVERIFY(lab.addDevice(QStringLiteral("127.0.0.11"), ofKind(Lab::Behaviour::Page, "new")));
        ScanObjShell shell(0);
        EventLog log(&shell);
        const qint32 port = 80;
        const qint32 timeOut = 1000;
        const quint8 retries = 1;

        shell.ScanObj()->HTTPRequest(QStringLiteral("127.0.0.10"), port, QStringLiteral("id.htm"), timeOut,
                                     retries);
        QVERIFY(shell.Reinit());
        shell.ScanObj()->HTTPRequest(QStringLiteral("127.0.0.11"), port, QStringLiteral("id.htm"), timeOut,
                                     retries);

        // The new object answers, then repeats its answer 100 ms later: by
        // then the old one's answer would have come too.
        QTRY_VERIFY_WITH_TIMEOUT(log.pages.size() >= 2, 10000);
        for (const Recorded &page : log.pages) {
            QCOMPARE(page.host, QStringLiteral("127.0.0.11"));
            QCOMPARE(page.value.toString(), QStringLiteral("new"));
        }
    }
};

QTEST_MAIN(ScannerShellTest)
#include "scanner_shell_test.moc"
