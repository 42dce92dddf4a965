// The window when its probe server misbehaves or the window goes away mid-scan:
// a frozen server, a server killed while answers are outstanding, a stand-in
// server that sends unreadable or malformed frames, a close while dispatching
// or draining. Lab namespace only; every address is 127.0.0.x.
#include "LabNetwork.h"
#include "MessageBoxes.h"
#include "PelorinConnection.h"
#include "PelorinInterface.h"
#include "ProbeObject.h"
#include "ResultList.h"
#include "ScanObjShell.h"
#include "WireProtocol.h"
#include "frmMain.h"

#include <QElapsedTimer>
#include <QFile>
#include <QLabel>
#include <QLineEdit>
#include <QPointer>
#include <QPushButton>
#include <QScopeGuard>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>
#include <QTreeWidgetItem>

#include <functional>
#include <memory>

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

namespace MsgBox = Pelorin::MsgBox;
namespace Wire = Pelorin::Wire;

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

// Runs step every few milliseconds until it answers true, also from inside
// the dispatch loop, which yields to timers.
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

Wire::Message eventFrame(quint32 objectId, qint32 dispId, QList<Wire::Value> args)
{
    Wire::Message m;
    m.type = Wire::Type::Event;
    m.objectId = objectId;
    m.serial = 1;
    m.number = dispId;
    m.args = std::move(args);
    return m;
}

QByteArray lengthPrefix(quint32 length)
{
    QByteArray bytes(4, '\0');
    for (int i = 0; i < 4; ++i)
        bytes[i] = char((length >> (8 * i)) & 0xff);
    return bytes;
}

} // namespace

class ScannerFaultTest : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();

    void frozenServerThenStop();
    void serverKilledWhileDraining();
    void garbageFromServer_data();
    void garbageFromServer();
    void closeMidScan_data();
    void closeMidScan();

private:
    void newWindow();
    void prepare(int lower, int upper, const QString &timeOut, const QString &retries);
    void verifyIdle();
    void startScan();
    void scanAndExpect(int lower, int upper, const QStringList &listed);
    QStringList entries() const;

    RecordingChannel m_channel;
    std::unique_ptr<frmMain> m_window;
    bool m_clickReturned = false;
};

void ScannerFaultTest::initTestCase()
{
    LAB_REQUIRE_ISOLATED();
    MessageBoxes::install(&m_channel);
}

void ScannerFaultTest::init()
{
    m_channel.boxes.clear();
    newWindow();
}

void ScannerFaultTest::cleanup()
{
    m_window.reset();
}

void ScannerFaultTest::newWindow()
{
    m_window = std::make_unique<frmMain>();
    m_window->show();
    QVERIFY(QTest::qWaitForWindowExposed(m_window.get()));
}

void ScannerFaultTest::prepare(int lower, int upper, const QString &timeOut, const QString &retries)
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

void ScannerFaultTest::verifyIdle()
{
    const frmMain &w = *m_window;
    QCOMPARE(w.lblThreads->text(), QStringLiteral("Scan Completed"));
    QCOMPARE(w.cmdScan->text(), QStringLiteral("Start"));
    QCOMPARE(w.txtIP[3]->text(), QStringLiteral("X"));
    QVERIFY(!w.picScanning->isVisible());
    QCOMPARE(w.busyWorkerCount(), 0);
    QVERIFY(!w.isDispatching());
}

void ScannerFaultTest::startScan()
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

// A short scan on the current window that must end by itself with these entries.
void ScannerFaultTest::scanAndExpect(int lower, int upper, const QStringList &listed)
{
    prepare(lower, upper, QStringLiteral("100"), QStringLiteral("1"));
    m_window->lblThreads->setText(QString());
    startScan();
    QTRY_VERIFY_WITH_TIMEOUT(m_clickReturned, 20000);
    QTRY_COMPARE_WITH_TIMEOUT(m_window->lblThreads->text(), QStringLiteral("Scan Completed"), 20000);
    verifyIdle();
    QStringList got = entries();
    got.sort();
    QCOMPARE(got, listed);
}

QStringList ScannerFaultTest::entries() const
{
    QStringList list;
    for (int i = 1; i <= m_window->lstIPs->Count(); ++i)
        list.append(m_window->lstIPs->Item(i)->text(0));
    return list;
}

// A frozen server does not freeze the window: Stop ends the scan at once and
// keeps what was listed; once thawed, the same server scans again.
void ScannerFaultTest::frozenServerThenStop()
{
    Lab::LabNetwork net;
    for (int octet = 2; octet <= 64; ++octet) {
        if (octet != 3 && octet != 62)
            QVERIFY(net.addSilentHost(host(octet)));
    }
    Lab::Behaviour hang;
    hang.kind = Lab::Behaviour::NoAnswer;
    QVERIFY(net.addDevice(host(3), hang));
    Lab::Behaviour idPage;
    idPage.body = Lab::LabNetwork::idPage(QStringLiteral("After Stop"));
    QVERIFY(net.addDevice(host(62), idPage));
    prepare(2, 60, QStringLiteral("300"), QStringLiteral("1"));

    PelorinClient::Connection &connection = PelorinClient::Connection::instance();
    frmMain *w = m_window.get();
    qint64 frozen = 0;
    auto thaw = qScopeGuard([&] {
        if (frozen > 0)
            ::kill(pid_t(frozen), SIGCONT);
    });
    QElapsedTimer sinceFreeze;
    qint64 stopTook = -1;
    Watcher stopper([&] {
        if (!frozen) {
            if (w->busyWorkerCount() < 50 || !w->lstIPs->FindItem(host(3)))
                return false;
            frozen = connection.serverPid();
            if (frozen > 0)
                ::kill(pid_t(frozen), SIGSTOP);
            sinceFreeze.start();
            return false;
        }
        if (sinceFreeze.elapsed() < 400)
            return false;
        QElapsedTimer click;
        click.start();
        w->cmdScan->click();
        stopTook = click.elapsed();
        return true;
    });
    startScan();
    QTRY_VERIFY_WITH_TIMEOUT(m_clickReturned, 20000);
    QVERIFY(frozen > 0);
    QVERIFY(stopper.done());
    QVERIFY2(stopTook >= 0 && stopTook < 1000, qPrintable(QString::number(stopTook)));
    verifyIdle();
    QCOMPARE(entries(), QStringList{host(3)});
    QVERIFY(m_channel.boxes.isEmpty());

    ::kill(pid_t(frozen), SIGCONT);
    thaw.dismiss();
    scanAndExpect(61, 64, {host(62)});
    QCOMPARE(m_window->lstIPs->FindItem(host(62))->text(2), QStringLiteral("After Stop"));
    QCOMPARE(net.echoRequestCount(host(61)), 6);
    QCOMPARE(net.echoRequestCount(host(63)), 6);
    QCOMPARE(net.echoRequestCount(host(64)), 0);
    QCOMPARE(connection.serverPid(), frozen);
    QVERIFY(m_channel.boxes.isEmpty());
}

// All addresses out, answers outstanding: a kill ends the scan with one
// message, entries stay, and the next Start brings up a new server.
void ScannerFaultTest::serverKilledWhileDraining()
{
    Lab::LabNetwork net;
    for (int octet = 2; octet <= 9; ++octet) {
        if (octet != 3)
            QVERIFY(net.addSilentHost(host(octet)));
    }
    Lab::Behaviour hang;
    hang.kind = Lab::Behaviour::NoAnswer;
    QVERIFY(net.addDevice(host(3), hang));
    prepare(2, 10, QStringLiteral("2000"), QStringLiteral("1"));

    PelorinClient::Connection &connection = PelorinClient::Connection::instance();
    frmMain *w = m_window.get();
    qint64 killed = 0;
    int busyAtKill = 0;
    Watcher killer([&] {
        if (w->isDispatching() || !w->isScanning() || !w->lstIPs->FindItem(host(3)))
            return false;
        busyAtKill = w->busyWorkerCount();
        killed = connection.serverPid();
        if (killed > 0)
            ::kill(pid_t(killed), SIGKILL);
        return true;
    });
    startScan();
    QTRY_VERIFY_WITH_TIMEOUT(killer.done(), 20000);
    QVERIFY(killed > 0);
    QCOMPARE(busyAtKill, 8);
    QTRY_VERIFY_WITH_TIMEOUT(!w->isScanning(), 10000);
    verifyIdle();
    QCOMPARE(entries(), QStringList{host(3)});
    QCOMPARE(m_channel.boxes.size(), 1);
    QVERIFY(m_channel.boxes[0].first.contains(QLatin1String("pelorin has stopped")));
    QCOMPARE(m_channel.boxes[0].second & MsgBox::IconMask, MsgBox::Critical);
    // Worker 0's renewal at the end of the scan has already started a new server.
    const qint64 next = connection.serverPid();
    QVERIFY(connection.isRunning());
    QVERIFY(next > 0 && next != killed);

    m_channel.boxes.clear();
    scanAndExpect(1, 2, {host(1)});
    QCOMPARE(connection.serverPid(), next);
    QVERIFY(m_channel.boxes.isEmpty());
}

void ScannerFaultTest::garbageFromServer_data()
{
    QTest::addColumn<QByteArray>("afterGreeting");
    QTest::addColumn<int>("eventKind"); // 0: afterGreeting as it is; else a frame for the scan's worker
    QTest::addColumn<bool>("serverDropped");

    QTest::newRow("random bytes") << Lab::LabNetwork::garbage() << 0 << true;
    QTest::newRow("unknown frame type") << lengthPrefix(5) + QByteArray("\x7f" "abcd", 5) << 0 << true;
    QTest::newRow("short frame") << lengthPrefix(9) + QByteArray("\x82\x01\x00\x00\x00\xff\xff\xff\x7f", 9) << 0
                                 << true;
    QTest::newRow("oversized length") << lengthPrefix(0xffffffffu) + QByteArray(64, 'x') << 0 << true;
    QTest::newRow("ping event, wrong argument types") << QByteArray() << 1 << false;
    QTest::newRow("unknown event") << QByteArray() << 2 << false;
    QTest::newRow("event for unknown object") << QByteArray() << 3 << false;
}

// A stand-in server greets properly, then sends what the row says once the
// scan's first worker exists, followed by a good ping answer for that worker.
// Unreadable frames end the server with one message; readable but
// meaningless events are ignored. Either way the window stays usable.
void ScannerFaultTest::garbageFromServer()
{
    QFETCH(QByteArray, afterGreeting);
    QFETCH(int, eventKind);
    QFETCH(bool, serverDropped);

    Lab::LabNetwork net;
    QVERIFY(net.addSilentHost(host(2)));

    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    Wire::Message greeting;
    greeting.type = Wire::Type::Greeting;
    greeting.text = QString::fromLatin1(Pelorin::kLibraryId);
    greeting.major = Pelorin::kLibraryMajor;
    greeting.minor = Pelorin::kLibraryMinor;
    greeting.flag = true;
    QFile greetingFile(dir.filePath(QStringLiteral("greeting")));
    QVERIFY(greetingFile.open(QIODevice::WriteOnly));
    greetingFile.write(Wire::encode(greeting));
    greetingFile.close();
    // What comes after the greeting is written by the test into this pipe.
    const QByteArray fifo = QFile::encodeName(dir.filePath(QStringLiteral("later")));
    QCOMPARE(::mkfifo(fifo.constData(), 0600), 0);
    const QString script = dir.filePath(QStringLiteral("stand-in"));
    QFile scriptFile(script);
    QVERIFY(scriptFile.open(QIODevice::WriteOnly));
    scriptFile.write("#!/bin/sh\nexec 2>/dev/null\ncd \"$(dirname \"$0\")\"\ncat greeting\ncat later\n"
                     "exec cat >/dev/null\n");
    scriptFile.close();
    QVERIFY(scriptFile.setPermissions(QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner));
    auto feed = [&fifo](const QByteArray &bytes) {
        const int fd = ::open(fifo.constData(), O_WRONLY | O_NONBLOCK);
        if (fd < 0)
            return false; // the stand-in has not opened it yet
        const bool written = ::write(fd, bytes.constData(), size_t(bytes.size())) == bytes.size();
        ::close(fd);
        return written;
    };

    PelorinClient::Connection &connection = PelorinClient::Connection::instance();
    const QString realServer = connection.serverPath();
    m_window.reset();
    connection.shutdown();
    connection.setServerPath(script);
    auto restore = qScopeGuard([&] {
        connection.shutdown();
        connection.setServerPath(realServer);
    });
    newWindow();
    QVERIFY(connection.isRunning());

    prepare(2, 2, QStringLiteral("100"), QStringLiteral("1"));
    frmMain *w = m_window.get();
    QSignalSpy died(&connection, &PelorinClient::Connection::serverDied);
    QSignalSpy protocolErrors(&connection, &PelorinClient::Connection::protocolError);
    quint32 id = 0;
    Watcher sender([&] {
        ScanObjShell *first = w->worker(1);
        if (!first || !first->ScanObj())
            return false;
        id = first->ScanObj()->objectId();
        QByteArray bytes = afterGreeting;
        if (eventKind == 1)
            bytes = Wire::encode(eventFrame(id, Pelorin::DispId::PingResponse, {host(2), host(2)}));
        else if (eventKind == 2)
            bytes = Wire::encode(eventFrame(id, 0x7777, {host(2), qint16(1)}));
        else if (eventKind == 3)
            bytes = Wire::encode(eventFrame(id + 1000, Pelorin::DispId::PingResponse, {host(2), qint16(1)}));
        // A failed ping: it ends the scan unless the server has been dropped.
        return feed(bytes + Wire::encode(eventFrame(id, Pelorin::DispId::PingResponse, {host(2), qint16(-11010)})));
    });
    startScan();
    QTRY_VERIFY_WITH_TIMEOUT(sender.done(), 10000);

    QTRY_VERIFY_WITH_TIMEOUT(!w->isScanning(), 10000);
    QTRY_VERIFY(m_clickReturned);
    verifyIdle();
    QCOMPARE(died.size(), serverDropped ? 1 : 0);
    QCOMPARE(protocolErrors.size(), eventKind == 3 ? 0 : 1);
    QCOMPARE(m_channel.boxes.size(), died.size());
    if (serverDropped) {
        QVERIFY(m_channel.boxes[0].first.contains(QLatin1String("unreadable frame from pelorin")));
        QCOMPARE(m_channel.boxes[0].second & MsgBox::IconMask, MsgBox::Critical);
    }
    QVERIFY(entries().isEmpty());
    if (serverDropped) // the end of the scan has started a new stand-in: let it finish
        QTRY_VERIFY(feed(QByteArray()));

    restore.dismiss();
    connection.shutdown();
    connection.setServerPath(realServer);
    m_channel.boxes.clear();
    scanAndExpect(1, 3, {host(1)});
    QVERIFY(m_channel.boxes.isEmpty());
}

void ScannerFaultTest::closeMidScan_data()
{
    QTest::addColumn<bool>("whileDispatching");
    QTest::newRow("dispatching") << true;
    QTest::newRow("draining") << false;
}

// Closing ends the scan: nothing left running, and a new window scans.
void ScannerFaultTest::closeMidScan()
{
    QFETCH(bool, whileDispatching);
    Lab::LabNetwork net;
    for (int octet = 2; octet <= 80; ++octet)
        QVERIFY(net.addSilentHost(host(octet)));
    prepare(2, whileDispatching ? 80 : 10, QStringLiteral("1000"), QStringLiteral("1"));

    frmMain *w = m_window.get();
    bool wasDispatching = false;
    Watcher closer([&] {
        const bool ready = whileDispatching ? w->busyWorkerCount() == 50 : !w->isDispatching() && w->isScanning();
        if (!ready)
            return false;
        wasDispatching = w->isDispatching();
        w->close();
        return true;
    });
    startScan();
    QTRY_VERIFY_WITH_TIMEOUT(m_clickReturned && closer.done(), 20000);
    QCOMPARE(wasDispatching, whileDispatching);
    QVERIFY(!w->isVisible());
    QVERIFY(!w->isScanning());
    QVERIFY(!w->isDispatching());
    QCOMPARE(w->busyWorkerCount(), 0);
    QVERIFY(m_channel.boxes.isEmpty());
    m_window.reset();

    newWindow();
    scanAndExpect(1, 3, {host(1)});
    QVERIFY(m_channel.boxes.isEmpty());
}

QTEST_MAIN(ScannerFaultTest)
#include "scanner_fault_test.moc"
