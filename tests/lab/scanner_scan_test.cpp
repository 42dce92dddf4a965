// Whole scans through the real pelorin inside the lab namespace: 127.0.0.x
// only, most addresses silent, answering hosts and identification devices
// mixed in. 127.0.0.1 is never silent: loopback replies are addressed to it.
// The Start click runs the dispatch loop, so anything a test does
// while a scan dispatches runs from a watcher timer nested inside that loop.
// Two headers carry this name (the probe server has its own); this is the window's.
#include "MessageBoxes.h"
#include "LabNetwork.h"
#include "PelorinConnection.h"
#include "PelorinInterface.h"
#include "ResultList.h"
#include "ScanObjShell.h"
#include "frmMain.h"

#include <QAbstractItemModel>
#include <QCoreApplication>
#include <QLabel>
#include <QLineEdit>
#include <QPointer>
#include <QPushButton>
#include <QSignalSpy>
#include <QTest>
#include <QTimer>
#include <QTreeWidgetItem>

#include <functional>
#include <memory>

#include <signal.h>

namespace MsgBox = Pelorin::MsgBox;

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
        return MsgBox::AnswerOK;
    }
    QList<QPair<QString, int>> boxes;
};

// Runs step every few milliseconds until it answers true; also while the
// scan's dispatch loop is on the stack, since the loop yields to timers.
class Watcher : public QObject
{
public:
    explicit Watcher(std::function<bool()> step) : m_step(std::move(step))
    {
        connect(&m_timer, &QTimer::timeout, this, [this] {
            if (m_step())
                m_timer.stop();
        });
        m_timer.start(5);
    }
    bool done() const { return !m_timer.isActive(); }

private:
    std::function<bool()> m_step;
    QTimer m_timer;
};

} // namespace

class ScanTest : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();

    void wholeScan();
    void stopWhileDispatching();
    void fullPoolReusesFreedSlot();
    void settingsEditedDuringScanApplyLater();
    void closeDuringScan();
    void serverDyingEndsScan();

private:
    void prepare(int lower, int upper, const QString &timeOut, const QString &retries);
    static void silence(Lab::LabNetwork &net, int first, int last, QList<int> except = {});
    void verifyIdle(const QString &status);
    void startScan();
    QStringList entries() const;

    RecordingChannel m_channel;
    std::unique_ptr<frmMain> m_window;
    bool m_clickReturned = false;
};

void ScanTest::initTestCase()
{
    LAB_REQUIRE_ISOLATED();
    MessageBoxes::install(&m_channel);
}

void ScanTest::init()
{
    m_channel.boxes.clear();
    m_clickReturned = false;
    m_window = std::make_unique<frmMain>();
    m_window->show();
    QVERIFY(QTest::qWaitForWindowExposed(m_window.get()));
}

void ScanTest::cleanup()
{
    m_window.reset();
}

void ScanTest::prepare(int lower, int upper, const QString &timeOut, const QString &retries)
{
    frmMain &w = *m_window;
    w.txtIP[0]->setText(QStringLiteral("127"));
    w.txtIP[1]->setText(QStringLiteral("0"));
    w.txtIP[2]->setText(QStringLiteral("0"));
    w.txtIPScan[0]->setText(QString::number(lower));
    w.txtIPScan[1]->setText(QString::number(upper));
    w.txtPingTO->setText(timeOut);
    w.txtPingRetries->setText(retries);
}

void ScanTest::silence(Lab::LabNetwork &net, int first, int last, QList<int> except)
{
    for (int octet = first; octet <= last; ++octet) {
        if (!except.contains(octet))
            QVERIFY(net.addSilentHost(host(octet)));
    }
}

// The window as a finished or stopped scan leaves it.
void ScanTest::verifyIdle(const QString &status)
{
    const frmMain &w = *m_window;
    QCOMPARE(w.lblThreads->text(), status);
    QCOMPARE(w.lblThreads->palette().color(QPalette::WindowText), QColor(0, 128, 0));
    QCOMPARE(w.cmdScan->text(), QStringLiteral("Start"));
    QCOMPARE(w.txtIP[3]->text(), QStringLiteral("X"));
    QVERIFY(!w.picScanning->isVisible());
    QCOMPARE(w.busyWorkerCount(), 0);
    QCOMPARE(w.cursor().shape(), Qt::ArrowCursor);
}

// The click's handler runs the dispatch loop: start it from the event loop.
void ScanTest::startScan()
{
    QVERIFY(Lab::isIsolated());
    QCOMPARE(m_window->txtIP[0]->text() + m_window->txtIP[1]->text() + m_window->txtIP[2]->text(),
             QStringLiteral("12700"));
    m_clickReturned = false;
    QPointer<frmMain> window = m_window.get();
    QTimer::singleShot(0, this, [this, window] {
        if (window)
            QTest::mouseClick(window->cmdScan, Qt::LeftButton);
        m_clickReturned = true;
    });
}

QStringList ScanTest::entries() const
{
    QStringList list;
    for (int i = 1; i <= m_window->lstIPs->Count(); ++i)
        list.append(m_window->lstIPs->Item(i)->text(0));
    return list;
}

void ScanTest::wholeScan()
{
    Lab::LabNetwork net;
    // 127.0.0.1 to .40 are scanned (From 1 To 41); .41 is the upper value and is not.
    const QHash<int, QString> descriptions = {
        {4, QStringLiteral("Model 7 Rev B")},
        {22, QStringLiteral("Line one\n<b>Line two</b> &amp; more")},
        {9, QString()},  // a plain web page
        {1, QString()},  // answers ping, serves no web page
        {31, QString()}, // title in other letter case
        {38, QString()}, // "</body>" before "<body>"
    };
    Lab::Behaviour plain;
    plain.body = "<html><head><title>Printer</title></head><body>Welcome</body></html>";
    Lab::Behaviour idPage4;
    idPage4.kind = Lab::Behaviour::IdPageOnly;
    idPage4.body = Lab::LabNetwork::idPage(descriptions[4]);
    Lab::Behaviour idPage22;
    idPage22.body = Lab::LabNetwork::idPage(descriptions[22]);
    Lab::Behaviour wrongCase;
    wrongCase.body = "<html><head><TITLE>Quorvane Product ID</TITLE></head><body>Model 9</body></html>";
    Lab::Behaviour reversed;
    reversed.body = "<title>Quorvane Product ID</title></body>Model 3<body>";

    silence(net, 1, 41, descriptions.keys());
    QVERIFY(net.addDevice(host(4), idPage4));
    QVERIFY(net.addDevice(host(9), plain));
    QVERIFY(net.addDevice(host(22), idPage22));
    QVERIFY(net.addDevice(host(31), wrongCase));
    QVERIFY(net.addDevice(host(38), reversed));

    prepare(1, 41, QStringLiteral("100"), QStringLiteral("1"));
    QAbstractItemModel *model = m_window->lstIPs->model();
    QSignalSpy inserted(model, &QAbstractItemModel::rowsInserted);
    startScan();

    QTRY_COMPARE_WITH_TIMEOUT(m_window->lblThreads->text(), QStringLiteral("Scan Completed"), 30000);
    QTRY_VERIFY(m_clickReturned);

    frmMain &w = *m_window;
    verifyIdle(QStringLiteral("Scan Completed"));
    QVERIFY(m_channel.boxes.isEmpty());

    // Exactly the answering hosts, each once, appended in reporting order.
    QStringList listed = entries();
    QCOMPARE(inserted.size(), listed.size());
    for (int i = 0; i < inserted.size(); ++i)
        QCOMPARE(inserted[i].at(1).toInt(), i);
    QStringList expected;
    for (int octet : descriptions.keys())
        expected.append(host(octet));
    listed.sort();
    expected.sort();
    QCOMPARE(listed, expected);

    for (auto it = descriptions.cbegin(); it != descriptions.cend(); ++it) {
        QTreeWidgetItem *entry = w.lstIPs->FindItem(host(it.key()));
        QVERIFY(entry);
        QCOMPARE(entry->text(1), QStringLiteral("<0 ms"));
        QCOMPARE(entry->text(2), it.value());
    }
    // One page request per listed device, for id.htm.
    for (int octet : {4, 9, 22, 31, 38})
        QCOMPARE(net.requestPaths(host(octet)), QList<QByteArray>{"/id.htm"});
    // Silent hosts: time-out and one retry, three echoes a ping. The upper value is not pinged.
    QCOMPARE(net.echoRequestCount(host(2)), 6);
    QCOMPARE(net.echoRequestCount(host(40)), 6);
    QCOMPARE(net.echoRequestCount(host(41)), 0);

    const QString png = QCoreApplication::applicationDirPath() + QStringLiteral("/../lanterra-scan.png");
    QVERIFY(w.grab().save(png));
}

void ScanTest::stopWhileDispatching()
{
    Lab::LabNetwork net;
    silence(net, 2, 120, {3});
    Lab::Behaviour hang;
    hang.kind = Lab::Behaviour::NoAnswer;
    QVERIFY(net.addDevice(host(3), hang));
    prepare(2, 120, QStringLiteral("300"), QStringLiteral("1"));

    QString octetAtStop;
    frmMain *w = m_window.get();
    Watcher stopper([&] {
        if (!w->isDispatching() || w->busyWorkerCount() < 50 || !w->lstIPs->FindItem(host(3)))
            return false;
        octetAtStop = w->txtIP[3]->text();
        w->cmdScan->click();
        return true;
    });
    startScan();
    QTRY_VERIFY_WITH_TIMEOUT(m_clickReturned, 20000);
    QVERIFY(stopper.done());
    QCOMPARE(octetAtStop, QStringLiteral("52"));

    verifyIdle(QStringLiteral("Scan Completed"));
    QCOMPARE(entries(), QStringList{host(3)});

    // Nothing further is handed out, and late answers change nothing.
    QTest::qWait(400);
    QCOMPARE(net.echoRequestCount(host(52)), 0);
    QCOMPARE(w->busyWorkerCount(), 0);
    QCOMPARE(entries(), QStringList{host(3)});
    QVERIFY(m_channel.boxes.isEmpty());
}

// With every slot busy nothing is handed out; the slot an answer frees is the
// one the next address gets, and the other 49 workers are left alone.
void ScanTest::fullPoolReusesFreedSlot()
{
    Lab::LabNetwork net;
    // Addresses .2 to .61; the first fifty go to slots 1 to 50, .6 to slot 5.
    silence(net, 2, 61, {6});
    prepare(2, 62, QStringLiteral("400"), QStringLiteral("1"));

    frmMain *w = m_window.get();
    QList<QPointer<ScanObjShell>> firstFifty;
    QPointer<ScanObjShell> reused;
    QString octetAtReuse;
    bool othersKept = true;
    int busiest = 0;
    bool blockedWhileFull = true;
    Watcher watcher([&] {
        busiest = std::max(busiest, w->busyWorkerCount());
        if (firstFifty.isEmpty()) {
            if (w->busyWorkerCount() == 50) {
                for (int slot = 1; slot <= 50; ++slot)
                    firstFifty.append(w->worker(slot));
            }
            return false;
        }
        if (!firstFifty[4]) { // slot 5's first worker is gone
            if (ScanObjShell *now = w->worker(5)) {
                reused = now;
                octetAtReuse = w->txtIP[3]->text();
                for (int slot = 1; slot <= 50; ++slot) {
                    if (slot != 5 && (!firstFifty[slot - 1] || w->worker(slot) != firstFifty[slot - 1]))
                        othersKept = false;
                }
                return true;
            }
        } else if (w->txtIP[3]->text() != QLatin1String("52")) {
            blockedWhileFull = false;
        }
        return false;
    });
    startScan();
    QTRY_VERIFY_WITH_TIMEOUT(watcher.done(), 20000);

    QVERIFY(blockedWhileFull);
    QVERIFY(reused);
    QCOMPARE(octetAtReuse, QStringLiteral("53")); // .52 went to slot 5
    QVERIFY(othersKept);
    QTRY_COMPARE_WITH_TIMEOUT(w->lblThreads->text(), QStringLiteral("Scan Completed"), 30000);
    QCOMPARE(busiest, 50);
    QCOMPARE(entries(), QStringList{host(6)});
    QCOMPARE(net.echoRequestCount(host(61)), 6);
}

void ScanTest::settingsEditedDuringScanApplyLater()
{
    Lab::LabNetwork net;
    silence(net, 2, 56);
    prepare(2, 57, QStringLiteral("100"), QStringLiteral("1"));

    frmMain *w = m_window.get();
    Watcher editor([&] {
        if (w->busyWorkerCount() < 50)
            return false;
        w->txtPingRetries->setText(QStringLiteral("2"));
        w->txtPingTO->setText(QStringLiteral("120"));
        return true;
    });
    startScan();
    QTRY_COMPARE_WITH_TIMEOUT(w->lblThreads->text(), QStringLiteral("Scan Completed"), 30000);
    QTRY_VERIFY(m_clickReturned);

    // One retry (2 x 3 echoes) before the edit, two retries (3 x 3) after it.
    QCOMPARE(net.echoRequestCount(host(2)), 6);
    QCOMPARE(net.echoRequestCount(host(51)), 6);
    QCOMPARE(net.echoRequestCount(host(52)), 9);
    QCOMPARE(net.echoRequestCount(host(55)), 9);
    QCOMPARE(w->lstIPs->Count(), 0);
}

void ScanTest::closeDuringScan()
{
    Lab::LabNetwork net;
    silence(net, 2, 100);
    prepare(2, 100, QStringLiteral("300"), QStringLiteral("1"));

    frmMain *w = m_window.get();
    Watcher closer([&] {
        if (!w->isDispatching() || w->busyWorkerCount() < 50)
            return false;
        w->close();
        return true;
    });
    startScan();
    QTRY_VERIFY_WITH_TIMEOUT(m_clickReturned, 20000);
    QVERIFY(closer.done());
    QVERIFY(!w->isVisible());
    QVERIFY(!w->isScanning());
    QCOMPARE(w->busyWorkerCount(), 0);
    QCOMPARE(net.echoRequestCount(host(60)), 0);
    m_window.reset();
}

void ScanTest::serverDyingEndsScan()
{
    Lab::LabNetwork net;
    silence(net, 2, 100, {7});
    prepare(8, 100, QStringLiteral("300"), QStringLiteral("1"));

    PelorinClient::Connection &connection = PelorinClient::Connection::instance();
    frmMain *w = m_window.get();
    qint64 killed = 0;
    Watcher killer([&] {
        if (w->busyWorkerCount() < 50)
            return false;
        killed = connection.serverPid();
        if (killed > 0)
            ::kill(pid_t(killed), SIGKILL);
        return true;
    });
    startScan();
    QTRY_VERIFY_WITH_TIMEOUT(m_clickReturned, 20000);
    QVERIFY(killed > 0);
    verifyIdle(QStringLiteral("Scan Completed"));
    QCOMPARE(m_channel.boxes.size(), 1);
    QVERIFY(m_channel.boxes[0].first.contains(QLatin1String("pelorin")));
    QCOMPARE(m_channel.boxes[0].second & MsgBox::IconMask, MsgBox::Critical);

    // The next Start works with a new server.
    m_channel.boxes.clear();
    prepare(7, 7, QStringLiteral("100"), QStringLiteral("1"));
    startScan();
    QTRY_VERIFY_WITH_TIMEOUT(m_clickReturned, 20000);
    QTRY_COMPARE_WITH_TIMEOUT(w->busyWorkerCount(), 0, 20000);
    verifyIdle(QStringLiteral("Scan Completed"));
    QVERIFY(connection.serverPid() > 0);
    QVERIFY(connection.serverPid() != killed);
    QCOMPARE(entries(), QStringList{host(7)});
    QVERIFY(m_channel.boxes.isEmpty());
}

QTEST_MAIN(ScanTest)
#include "scanner_scan_test.moc"
