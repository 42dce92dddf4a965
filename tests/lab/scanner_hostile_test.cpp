// A whole scan through the real pelorin where every answering host misbehaves
// on purpose. The scan must end, list each host once, show descriptions as
// plain text and keep both processes' memory bounded. Runs only inside the
// private network namespace of run-in-netns.sh; every address is 127.0.0.x.
#include "LabNetwork.h"
#include "MessageBoxes.h"
#include "PelorinConnection.h"
#include "PelorinInterface.h"
#include "ResultList.h"
#include "frmMain.h"

#include <QFile>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QRegularExpression>
#include <QTest>
#include <QTimer>
#include <QTreeWidgetItem>

namespace {

QString host(int octet)
{
    return QStringLiteral("127.0.0.%1").arg(octet);
}

class RecordingChannel : public MessageBoxes
{
public:
    int show(const QString &text, int style, const QString &) override
    {
        boxes.append({text, style});
        return Pelorin::MsgBox::AnswerOK;
    }
    QList<QPair<QString, int>> boxes;
};

// Peak resident memory of a process, in KiB; -1 when it cannot be read.
qint64 peakMemoryKiB(const QString &pid)
{
    QFile status(QStringLiteral("/proc/%1/status").arg(pid));
    if (!status.open(QIODevice::ReadOnly))
        return -1;
    const QRegularExpressionMatch m =
        QRegularExpression(QStringLiteral("VmHWM:\\s*(\\d+) kB")).match(QString::fromLatin1(status.readAll()));
    return m.hasMatch() ? m.captured(1).toLongLong() : -1;
}

Lab::Behaviour ofKind(Lab::Behaviour::Kind kind, const QByteArray &body = {})
{
    Lab::Behaviour b;
    b.kind = kind;
    b.body = body;
    return b;
}

} // namespace

class ScannerHostileTest : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void hostileNetwork();

private:
    RecordingChannel m_channel;
};

void ScannerHostileTest::initTestCase()
{
    LAB_REQUIRE_ISOLATED();
    MessageBoxes::install(&m_channel);
}

void ScannerHostileTest::hostileNetwork()
{
    Lab::LabNetwork net;
    const QByteArray oddDescription = QByteArray("Model\0 9 \xff\xfe end", 15);
    const QByteArray idPage = Lab::LabNetwork::idPage(QStringLiteral("Cut Short"));
    Lab::Behaviour trickle = ofKind(Lab::Behaviour::Trickle, QByteArray(10000, 't'));
    Lab::Behaviour badSize = ofKind(Lab::Behaviour::BadChunked);
    Lab::Behaviour hugeSize = ofKind(Lab::Behaviour::BadChunked);
    hugeSize.badChunkSize = "7fffffffffffffff";

    const QList<QPair<int, Lab::Behaviour>> devices = {
        {1, ofKind(Lab::Behaviour::HugeBody)},
        {2, trickle},
        {3, ofKind(Lab::Behaviour::Garbage)},
        {4, ofKind(Lab::Behaviour::InvalidUtf8)},
        {5, badSize},
        {6, hugeSize},
        {7, ofKind(Lab::Behaviour::RedirectLoop, "moved")},
        {8, ofKind(Lab::Behaviour::ResetAfterHeaders, idPage.left(idPage.indexOf("</body>")))},
        {9, ofKind(Lab::Behaviour::ScriptIdPage)},
        {10, ofKind(Lab::Behaviour::NoAnswer)},
        {11, ofKind(Lab::Behaviour::Raw)},
        {12, ofKind(Lab::Behaviour::Page, "<title>Quorvane Product ID</title><body>" + oddDescription + "</body>")},
    };
    for (const auto &device : devices)
        QVERIFY2(net.addDevice(host(device.first), device.second), qPrintable(host(device.first)));
    QVERIFY(net.addSilentHost(host(13)));

    frmMain window;
    window.show();
    QVERIFY(QTest::qWaitForWindowExposed(&window));
    window.txtIP[0]->setText(QStringLiteral("127"));
    window.txtIP[1]->setText(QStringLiteral("0"));
    window.txtIP[2]->setText(QStringLiteral("0"));
    window.txtIPScan[0]->setText(QStringLiteral("1"));
    window.txtIPScan[1]->setText(QStringLiteral("13"));
    window.txtPingTO->setText(QStringLiteral("300"));
    window.txtPingRetries->setText(QStringLiteral("1"));

    QVERIFY(Lab::isIsolated());
    QTimer::singleShot(0, window.cmdScan, &QPushButton::click);
    QTRY_COMPARE_WITH_TIMEOUT(window.lblThreads->text(), QStringLiteral("Scan Completed"), 60000);
    QCOMPARE(window.cmdScan->text(), QStringLiteral("Start"));
    QCOMPARE(window.busyWorkerCount(), 0);
    QVERIFY(m_channel.boxes.isEmpty());

    // Every host once, whatever it answered.
    QStringList listed;
    for (int i = 1; i <= window.lstIPs->Count(); ++i)
        listed.append(window.lstIPs->Item(i)->text(0));
    listed.sort();
    QStringList expected;
    for (int octet = 1; octet <= 12; ++octet)
        expected.append(host(octet));
    expected.sort();
    QCOMPARE(listed, expected);

    // Descriptions as plain text: the markup verbatim, NULs and all; no
    // widget of its own that could interpret it.
    for (int octet = 1; octet <= 12; ++octet) {
        QTreeWidgetItem *entry = window.lstIPs->FindItem(host(octet));
        QVERIFY(entry);
        QVERIFY(!window.lstIPs->itemWidget(entry, 2));
        QString description;
        if (octet == 9)
            description = Lab::LabNetwork::scriptDescription();
        else if (octet == 12)
            description = QString::fromUtf8(oddDescription);
        QVERIFY2(entry->text(2) == description, qPrintable(host(octet) + QStringLiteral(": ") + entry->text(2).left(60)));
    }

    // The redirect was not followed; every request was for the page.
    QCOMPARE(net.requestCount(host(7)), 1);
    for (const auto &device : devices) {
        for (const QByteArray &path : net.requestPaths(host(device.first)))
            QCOMPARE(path, QByteArray("/id.htm"));
    }

    const qint64 own = peakMemoryKiB(QStringLiteral("self"));
    QVERIFY2(own > 0 && own < 300 * 1024, qPrintable(QStringLiteral("lanterra VmHWM %1 kB").arg(own)));
    const qint64 serverPid = PelorinClient::Connection::instance().serverPid();
    QVERIFY(serverPid > 0);
    const qint64 server = peakMemoryKiB(QString::number(serverPid));
    QVERIFY2(server > 0 && server < 300 * 1024, qPrintable(QStringLiteral("pelorin VmHWM %1 kB").arg(server)));
}

QTEST_MAIN(ScannerHostileTest)
#include "scanner_hostile_test.moc"
