// Whole scans through the real window and pelorin inside the lab namespace,
// 127.0.0.x only: a lab of silent, answering and hostile hosts; the probe
// server frozen or killed, or the window closed, mid-scan; and a stand-in
// server that sends bad frames. 127.0.0.1 is never silent: loopback replies
// are addressed to it. The Start click runs the dispatch loop, so anything a
// test does while a scan dispatches runs from a Watcher nested inside it.
#include "Harness.h"
#include "PelorinConnection.h"
#include "PelorinProbe.h"
#include "ProbeObject.h"
#include "ResultList.h"
#include "ScanEngine.h"
#include "ScanObjShell.h"

#include <QFile>
#include <QLabel>
#include <QLineEdit>
#include <QPointer>
#include <QPushButton>
#include <QScopeGuard>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>
#include <QTreeWidgetItem>

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

namespace MsgBox = Pelorin::MsgBox;
namespace Wire = Pelorin::Wire;
using Harness::host;
using Connection = PelorinClient::Connection;

namespace {

constexpr qint32 kPing = Pelorin::Interface::PingResponse::kDispId;

Wire::Message eventFrame(quint32 objectId, qint32 dispId, QList<Wire::Value> args)
{
    Wire::Message m = PelorinPipe::msg(Wire::Type::Event, objectId);
    m.serial = 1;
    m.dispId = dispId;
    m.args = std::move(args);
    return m;
}

QByteArray frame(quint32 length, const QByteArray &rest)
{
    QByteArray bytes(4, '\0');
    for (int i = 0; i < 4; ++i)
        bytes[i] = char((length >> (8 * i)) & 0xff);
    return bytes + rest;
}

enum Disturbance { Freeze, Kill, CloseDispatching, CloseDraining };

} // namespace

class ScanTest : public QObject
{
    Q_OBJECT

    RecordingBoxes m_boxes;
    std::unique_ptr<frmMain> m_window;
    bool m_clickReturned = false;

    void newWindow()
    {
        m_window = std::make_unique<frmMain>();
        m_window->show();
        QVERIFY(QTest::qWaitForWindowExposed(m_window.get()));
    }

    void prepare(int lower, int upper, const char *timeOut)
    {
        frmMain &w = *m_window;
        QLineEdit *const boxes[] = {w.txtIP[0], w.txtIP[1], w.txtIP[2], w.txtIPScan[0], w.txtIPScan[1],
                                    w.txtPingTO, w.txtPingRetries};
        const QStringList texts = {"127", "0", "0", QString::number(lower), QString::number(upper),
                                   QLatin1String(timeOut), "1"};
        for (int i = 0; i < texts.size(); ++i)
            boxes[i]->setText(texts[i]);
    }

    // Clicks Start from the event loop: the click runs the dispatch loop.
    void startScan()
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

    // A short scan that ends by itself and lists exactly these hosts.
    void scanAndExpect(int lower, int upper, const QStringList &listed)
    {
        prepare(lower, upper, "100");
        m_window->lblThreads->setText(QString());
        startScan();
        QTRY_VERIFY_WITH_TIMEOUT(m_clickReturned, 20000);
        QTRY_COMPARE_WITH_TIMEOUT(m_window->lblThreads->text(), QStringLiteral("Scan Completed"), 20000);
        verifyIdle();
        QStringList got = entries();
        got.sort();
        QCOMPARE(got, listed);
    }

    // The window as a finished or stopped scan leaves it.
    void verifyIdle()
    {
        const frmMain &w = *m_window;
        QCOMPARE(w.lblThreads->text(), QStringLiteral("Scan Completed"));
        QCOMPARE(w.lblThreads->palette().color(QPalette::WindowText), QColor(0, 128, 0));
        QCOMPARE(w.cmdScan->text(), QStringLiteral("Start"));
        QCOMPARE(w.txtIP[3]->text(), QStringLiteral("X"));
        QVERIFY(!w.picScanning->isVisible());
        QCOMPARE(w.engine().busyCount(), 0);
        QVERIFY(!w.engine().isScanning());
        QVERIFY(!w.txtIPScan[0]->isReadOnly());
        QCOMPARE(w.cursor().shape(), Qt::ArrowCursor);
    }

    QStringList entries() const
    {
        QStringList list;
        for (int i = 1; i <= m_window->lstIPs->Count(); ++i)
            list.append(m_window->lstIPs->Item(i)->text(0));
        return list;
    }

private slots:
    void initTestCase()
    {
        LAB_REQUIRE_ISOLATED();
        MessageBoxes::install(&m_boxes);
    }

    void init()
    {
        m_boxes.boxes.clear();
        newWindow();
    }

    void cleanup() { m_window.reset(); }

    // From 1 To 41: every answering host listed once with its description,
    // one id.htm request each, silent hosts pinged with one retry, To not pinged.
    void wholeScan()
    {
        Lab::LabNetwork net;
        const QHash<int, QString> descriptions = Harness::scanLab(net);
        QVERIFY(!descriptions.isEmpty());

        prepare(1, 41, "100");
        startScan();
        QTRY_COMPARE_WITH_TIMEOUT(m_window->lblThreads->text(), QStringLiteral("Scan Completed"), 30000);
        QTRY_VERIFY(m_clickReturned);
        verifyIdle();
        QVERIFY(m_boxes.boxes.isEmpty());

        QStringList listed = entries();
        QStringList expected;
        for (int octet : descriptions.keys())
            expected.append(host(octet));
        listed.sort();
        expected.sort();
        QCOMPARE(listed, expected);
        for (auto it = descriptions.cbegin(); it != descriptions.cend(); ++it) {
            QTreeWidgetItem *entry = m_window->lstIPs->FindItem(host(it.key()));
            QVERIFY(entry->text(1).endsWith(QLatin1String(" ms")));
            QCOMPARE(entry->text(2), it.value());
        }
        for (int octet : {4, 9, 22, 31, 38})
            QCOMPARE(net.requestPaths(host(octet)), QList<QByteArray>{"/id.htm"});
        QCOMPARE(net.echoRequestCount(host(2)), 6); // time-out and one retry, three echoes a ping
        QCOMPARE(net.echoRequestCount(host(40)), 6);
        QCOMPARE(net.echoRequestCount(host(41)), 0);

        const QString png = QCoreApplication::applicationDirPath() + QStringLiteral("/../lanterra-scan.png");
        QVERIFY(m_window->grab().save(png));
    }

    // A renewed worker shell hears only its new probe object, never the old one's answer.
    void renewedShellHearsOnlyItsNewObject()
    {
        Lab::LabNetwork lab;
        QVERIFY(lab.addDevice(host(10), Harness::device(Lab::Behaviour::Page, "old")));
        QVERIFY(lab.addDevice(host(11), Harness::device(Lab::Behaviour::Page, "new")));
        ScanObjShell shell(0);
        QStringList heard;
        connect(&shell, &ScanObjShell::HTTPReqResponse, this, [&](qint16 index, QString &sIP, QString &raw) {
            heard.append(QStringLiteral("%1 %2 %3").arg(index).arg(sIP, raw));
        });
        QVERIFY(shell.ScanObj());
        shell.ScanObj()->HTTPRequest(host(10), 80, QStringLiteral("id.htm"), 1000, 1);
        QVERIFY(shell.Reinit());
        shell.ScanObj()->HTTPRequest(host(11), 80, QStringLiteral("id.htm"), 1000, 1);

        // The new object answers, then repeats its answer 100 ms later: by then
        // the old one's answer would have come too.
        QTRY_VERIFY_WITH_TIMEOUT(heard.size() >= 2, 10000);
        for (const QString &h : std::as_const(heard))
            QCOMPARE(h, QStringLiteral("0 127.0.0.11 new"));
    }

    void disturbed_data()
    {
        QTest::addColumn<int>("disturbance");
        QTest::newRow("server frozen, then Stop") << int(Freeze);
        QTest::newRow("server killed while draining") << int(Kill);
        QTest::newRow("window closed while dispatching") << int(CloseDispatching);
        QTest::newRow("window closed while draining") << int(CloseDraining);
    }

    // Silent hosts and one listed host whose page never comes, disturbed once
    // that host is listed and all fifty workers are out (or all addresses are
    // out): Stop answers at once even with the server frozen; a killed server
    // ends the scan with one message; closing ends the scan. What was listed
    // stays, and the next scan works, on the same server unless it was killed.
    void disturbed()
    {
        QFETCH(int, disturbance);
        const bool draining = disturbance == Kill || disturbance == CloseDraining;
        const bool closed = disturbance == CloseDispatching || disturbance == CloseDraining;
        Lab::LabNetwork net;
        for (int octet = 2; octet <= 64; ++octet) {
            if (octet != 3 && octet != 62)
                QVERIFY(net.addSilentHost(host(octet)));
        }
        QVERIFY(net.addDevice(host(3), Harness::device(Lab::Behaviour::NoAnswer)));
        QVERIFY(net.addDevice(host(62), Harness::device(Lab::Behaviour::Page,
                                                        Lab::LabNetwork::idPage(QStringLiteral("After")))));
        prepare(2, draining ? 10 : 60, "2000");

        Connection &connection = Connection::instance();
        frmMain *w = m_window.get();
        qint64 pid = 0;
        int busy = 0;
        qint64 stopTook = -1;
        QElapsedTimer sinceFreeze;
        auto thaw = qScopeGuard([&] {
            if (disturbance == Freeze && pid > 0)
                ::kill(pid_t(pid), SIGCONT);
        });
        Watcher disturber([&] {
            if (sinceFreeze.isValid()) {
                if (sinceFreeze.elapsed() < 400)
                    return false;
                QElapsedTimer click;
                click.start();
                w->cmdScan->click();
                stopTook = click.elapsed();
                return true;
            }
            const ScanEngine &engine = w->engine();
            if (!w->lstIPs->FindItem(host(3))
                || (draining ? engine.state() != ScanEngine::State::Draining : engine.busyCount() < 50))
                return false;
            busy = engine.busyCount();
            pid = connection.serverPid();
            if (disturbance == Freeze) {
                ::kill(pid_t(pid), SIGSTOP);
                sinceFreeze.start();
                return false;
            }
            if (disturbance == Kill)
                ::kill(pid_t(pid), SIGKILL);
            else
                w->close();
            return true;
        });
        startScan();
        QTRY_VERIFY_WITH_TIMEOUT(m_clickReturned && disturber.done(), 20000);
        QVERIFY(pid > 0);
        QTRY_VERIFY_WITH_TIMEOUT(!w->engine().isScanning(), 10000);
        QCOMPARE(w->engine().busyCount(), 0);
        QCOMPARE(busy, draining ? 8 : 50);
        if (disturbance == Freeze) // a frozen server must not hold up the window
            QVERIFY2(stopTook >= 0 && stopTook < 2000, qPrintable(QString::number(stopTook)));
        if (closed) {
            QVERIFY(!w->isVisible());
            m_window.reset();
            newWindow();
        } else {
            verifyIdle();
            QCOMPARE(entries(), QStringList{host(3)});
        }
        qint64 next = pid;
        if (disturbance == Kill) {
            QCOMPARE(m_boxes.boxes.size(), 1);
            QVERIFY(m_boxes.boxes[0].text.contains(QLatin1String("pelorin has stopped")));
            QCOMPARE(m_boxes.boxes[0].style & MsgBox::IconMask, MsgBox::Critical);
            // Worker 0's renewal at the end of the scan has already started a new server.
            next = connection.serverPid();
            QVERIFY(connection.isRunning() && next > 0 && next != pid);
            m_boxes.boxes.clear();
        }
        QVERIFY(m_boxes.boxes.isEmpty());
        if (disturbance == Freeze) {
            ::kill(pid_t(pid), SIGCONT);
            thaw.dismiss();
        }

        scanAndExpect(61, 64, {host(62)});
        QCOMPARE(m_window->lstIPs->FindItem(host(62))->text(2), QStringLiteral("After"));
        QCOMPARE(net.echoRequestCount(host(61)), 6);
        QCOMPARE(net.echoRequestCount(host(63)), 6);
        QCOMPARE(net.echoRequestCount(host(64)), 0);
        if (!closed)
            QCOMPARE(connection.serverPid(), next);
        QVERIFY(m_boxes.boxes.isEmpty());
    }

    void garbageFromServer_data()
    {
        QTest::addColumn<QByteArray>("afterGreeting");
        QTest::addColumn<int>("eventKind"); // 0: afterGreeting as it is; else a frame for the scan's worker
        QTest::addColumn<bool>("serverDropped");
        // Which bytes make a frame unreadable is the frame reader's own test.

        QTest::newRow("unknown frame type") << frame(5, QByteArray("\x7f" "abcd", 5)) << 0 << true;
        QTest::newRow("oversized length") << frame(0xffffffffu, QByteArray(64, 'x')) << 0 << true;
        QTest::newRow("ping event, wrong argument types") << QByteArray() << 1 << false;
        QTest::newRow("unknown event") << QByteArray() << 2 << false;
        QTest::newRow("event for unknown object") << QByteArray() << 3 << false;
        QTest::newRow("message box left unanswered") << QByteArray() << 4 << false;
    }

    // A stand-in server greets properly, then sends what the row says once the
    // scan's first worker exists, followed by a failed ping answer for that
    // worker. Unreadable frames end the server with one message; readable but
    // meaningless events are ignored. Either way the window stays usable.
    void garbageFromServer()
    {
        QFETCH(QByteArray, afterGreeting);
        QFETCH(int, eventKind);
        QFETCH(bool, serverDropped);

        Lab::LabNetwork net;
        QVERIFY(net.addSilentHost(host(2)));
        QTemporaryDir dir;
        Wire::Message greeting = PelorinPipe::msg(Wire::Type::Greeting);
        greeting.libraryId = QString::fromLatin1(Pelorin::kLibraryId);
        greeting.major = Pelorin::kLibraryMajor;
        greeting.minor = Pelorin::kLibraryMinor;
        greeting.echoUsable = true;
        const QString script = dir.filePath(QStringLiteral("stand-in"));
        const QByteArray files[][2] = {
            {"greeting", Wire::encode(greeting)},
            {"stand-in", "#!/bin/sh\nexec 2>/dev/null\ncd \"$(dirname \"$0\")\"\ncat greeting\ncat later\nexec cat >/dev/null\n"}};
        for (const auto &[name, bytes] : files) {
            QFile file(dir.filePath(QString::fromLatin1(name)));
            QVERIFY(file.open(QIODevice::WriteOnly) && file.write(bytes) == bytes.size());
            QVERIFY(file.setPermissions(QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner));
        }
        // What comes after the greeting is written by the test into this pipe.
        const QByteArray fifo = QFile::encodeName(dir.filePath(QStringLiteral("later")));
        QCOMPARE(::mkfifo(fifo.constData(), 0600), 0);
        auto feed = [&fifo](const QByteArray &bytes) {
            const int fd = ::open(fifo.constData(), O_WRONLY | O_NONBLOCK);
            if (fd < 0)
                return false; // the stand-in has not opened it yet
            const bool written = ::write(fd, bytes.constData(), size_t(bytes.size())) == bytes.size();
            ::close(fd);
            return written;
        };

        Connection &connection = Connection::instance();
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

        prepare(2, 2, "100");
        frmMain *w = m_window.get();
        // A server box is shown without holding up the scan: its answer may come later.
        QList<Connection::MessageBoxReply> unanswered;
        connection.setMessageBoxHandler([&](const QString &, int, const QString &, Connection::MessageBoxReply reply) {
            unanswered.append(std::move(reply));
        });
        QSignalSpy died(&connection, &Connection::serverDied);
        QSignalSpy protocolErrors(&connection, &Connection::protocolError);
        Watcher sender([&] {
            auto *first = static_cast<PelorinProbe *>(w->engine().probeAt(1));
            if (!first)
                return false;
            const quint32 id = first->object()->objectId();
            QByteArray bytes = afterGreeting;
            if (eventKind == 1)
                bytes = Wire::encode(eventFrame(id, kPing, {host(2), host(2)}));
            else if (eventKind == 2)
                bytes = Wire::encode(eventFrame(id, 0x7777, {host(2), qint16(1)}));
            else if (eventKind == 3)
                bytes = Wire::encode(eventFrame(id + 1000, kPing, {host(2), qint16(1)}));
            else if (eventKind == 4) {
                Wire::Message box = PelorinPipe::msg(Wire::Type::MessageBox, id);
                box.serial = 7;
                box.style = MsgBox::OKOnly | MsgBox::Critical;
                box.text = QStringLiteral("Error 9");
                bytes = Wire::encode(box);
            }
            // A failed ping: it ends the scan unless the server has been dropped.
            return feed(bytes + Wire::encode(eventFrame(id, kPing, {host(2), qint16(-11010)})));
        });
        startScan();
        QTRY_VERIFY_WITH_TIMEOUT(sender.done(), 10000);
        QTRY_VERIFY_WITH_TIMEOUT(!w->engine().isScanning(), 10000);
        QTRY_VERIFY(m_clickReturned);
        verifyIdle();
        QVERIFY(entries().isEmpty());
        QCOMPARE(died.size(), serverDropped ? 1 : 0);
        QCOMPARE(protocolErrors.size(), eventKind >= 3 ? 0 : 1);
        QCOMPARE(unanswered.size(), eventKind == 4 ? 1 : 0);
        for (const auto &reply : std::as_const(unanswered))
            reply(MsgBox::AnswerOK); // after the scan's end, for an object released by then
        connection.setMessageBoxHandler({});
        QCOMPARE(m_boxes.boxes.size(), died.size());
        if (serverDropped) {
            QVERIFY(m_boxes.boxes[0].text.contains(QLatin1String("unreadable frame from pelorin")));
            QCOMPARE(m_boxes.boxes[0].style & MsgBox::IconMask, MsgBox::Critical);
            QTRY_VERIFY(feed(QByteArray())); // the end of the scan started a new stand-in: let it finish
        }

        restore.dismiss();
        connection.shutdown();
        connection.setServerPath(realServer);
        m_boxes.boxes.clear();
        scanAndExpect(1, 3, {host(1)});
        QVERIFY(m_boxes.boxes.isEmpty());
    }
};

QTEST_MAIN(ScanTest)
#include "scanner_scan_test.moc"
