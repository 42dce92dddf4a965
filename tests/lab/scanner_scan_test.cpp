// Whole scans through the real window and pelorin inside the lab namespace,
// 127.0.0.x only: a lab of silent, answering and page-less hosts; and the probe
// server frozen or killed, or the window closed, mid-scan. 127.0.0.1 is never
// silent: loopback replies are addressed to it. The Start click runs the
// dispatch loop, so anything a test does while a scan dispatches runs from a
// Watcher nested inside it.
#include "Harness.h"
#include "PelorinConnection.h"
#include "ResultList.h"
#include "ScanEngine.h"
#include "VendorRegistry.h"

#include <QFile>
#include <QLabel>
#include <QLineEdit>
#include <QPointer>
#include <QPushButton>
#include <QScopeGuard>
#include <QTemporaryDir>
#include <QTest>
#include <QTreeWidgetItem>

#include <signal.h>

namespace MsgBox = Pelorin::MsgBox;
using Harness::host;
using Connection = PelorinClient::Connection;

namespace {

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

    // Fills in 127.0.0, the range and time-out, one retry, and clicks Start
    // from the event loop: the click runs the dispatch loop.
    void startScan(int lower, int upper, const char *timeOut)
    {
        QVERIFY(Lab::isIsolated());
        frmMain &w = *m_window;
        const QList<QLineEdit *> boxes = {w.txtIP[0], w.txtIP[1], w.txtIP[2], w.txtIPScan[0], w.txtIPScan[1],
                                          w.txtPingTO, w.txtPingRetries};
        const QStringList texts = {"127", "0", "0", QString::number(lower), QString::number(upper), timeOut, "1"};
        for (int i = 0; i < texts.size(); ++i)
            boxes[i]->setText(texts[i]);
        w.lblThreads->clear();
        m_clickReturned = false;
        QTimer::singleShot(0, this, [this, window = QPointer<frmMain>(&w)] {
            if (window)
                QTest::mouseClick(window->cmdScan, Qt::LeftButton);
            m_clickReturned = true;
        });
    }

    void waitForEnd()
    {
        QTRY_VERIFY_WITH_TIMEOUT(m_clickReturned && m_window->lblThreads->text() == QLatin1String("Scan Completed"), 30000);
    }

    // The window as a finished or stopped scan leaves it, listing these hosts.
    void verifyIdle(QStringList listed)
    {
        const frmMain &w = *m_window;
        QCOMPARE(w.cmdScan->text() + w.txtIP[3]->text() + w.lblThreads->text(), QStringLiteral("StartXScan Completed"));
        QCOMPARE(w.lblThreads->palette().color(QPalette::WindowText), QColor(0, 128, 0));
        QVERIFY(!w.picScanning->isVisible() && !w.txtIPScan[0]->isReadOnly() && w.cursor().shape() == Qt::ArrowCursor);
        QVERIFY(!w.engine().isScanning() && w.engine().busyCount() == 0);
        QStringList got;
        for (int i = 1; i <= w.lstIPs->Count(); ++i)
            got.append(w.lstIPs->Item(i)->text(0));
        got.sort();
        listed.sort();
        QCOMPARE(got, listed);
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

    // From 1 To 41: every answering host listed once with its description and
    // MAC, one id.htm request each, silent hosts pinged with one retry, To not
    // pinged. Saves the screenshot the docs use.
    void wholeScan()
    {
        Lab::LabNetwork net;
        const QHash<int, QString> descriptions = Harness::scanLab(net);
        QVERIFY(!descriptions.isEmpty());
        // Loopback hosts have no MAC: the screenshot's neighbour table is a fixture.
        QTemporaryDir dir;
        QFile arp(dir.filePath(QStringLiteral("arp")));
        QVERIFY(arp.open(QIODevice::WriteOnly) && arp.write("IP address HW type Flags HW address Mask Device\n"
            "127.0.0.4 0x1 0x2 00:80:a3:1c:00:04 * eth0\n127.0.0.9 0x1 0x2 00:0e:8c:2b:00:09 * eth0\n"
            "127.0.0.22 0x1 0x2 00:80:a3:1c:00:16 * eth0\n127.0.0.31 0x1 0x2 00:0e:8c:3d:00:1f * eth0\n") > 0);
        arp.close();
        frmMain &w = *m_window;
        w.engine().setHardwareSources(arp.fileName(), QString::fromLatin1(VendorRegistry::DefaultPath));
        startScan(1, 41, "100");
        waitForEnd();

        QStringList expected;
        for (int octet : descriptions.keys())
            expected.append(host(octet));
        verifyIdle(expected);
        QVERIFY(m_boxes.boxes.isEmpty());
        for (auto it = descriptions.cbegin(); it != descriptions.cend(); ++it) {
            QTreeWidgetItem *entry = w.lstIPs->FindItem(host(it.key()));
            QVERIFY(entry->text(1).endsWith(QLatin1String(" ms")));
            QCOMPARE(entry->text(2), it.value());
        }
        for (int octet : {4, 9, 22, 31})
            QCOMPARE(net.requestPaths(host(octet)), QList<QByteArray>{"/id.htm"});
        QCOMPARE(net.echoRequestCount(host(40)), 6); // time-out and one retry, three echoes a ping
        QCOMPARE(net.echoRequestCount(host(41)), 0);
        QCOMPARE(w.lstIPs->FindItem(host(4))->text(3), QStringLiteral("00:80:A3:1C:00:04"));
        QCOMPARE(w.lstIPs->FindItem(host(1))->text(3), QString());

        // The screenshot: MAC Address and Vendor shown, the columns narrowed by hand to fit the list.
        w.mnuShowMac->trigger();
        w.mnuShowVendor->trigger();
        for (int column : {0, 3, 4})
            w.lstIPs->resizeColumnToContents(column);
        w.lstIPs->setColumnWidth(1, 68);
        w.lstIPs->setColumnWidth(2, w.lstIPs->viewport()->width() - 68 - w.lstIPs->columnWidth(0)
                                        - w.lstIPs->columnWidth(3) - w.lstIPs->columnWidth(4));
        QVERIFY(w.grab().save(QCoreApplication::applicationDirPath() + QStringLiteral("/../lanterra-scan.png")));
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
        for (int octet = 2; octet <= 64; ++octet)
            QVERIFY(octet == 3 || octet == 62 || net.addSilentHost(host(octet)));
        QVERIFY(net.addDevice(host(3), {Lab::Behaviour::NoAnswer}));
        QVERIFY(net.addDevice(host(62), {Lab::Behaviour::Page, Lab::LabNetwork::idPage(QStringLiteral("After"))}));

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
        startScan(2, draining ? 10 : 60, "2000");
        QTRY_VERIFY_WITH_TIMEOUT(m_clickReturned && disturber.done(), 20000);
        QVERIFY(pid > 0);
        QTRY_VERIFY_WITH_TIMEOUT(!w->engine().isScanning(), 10000);
        QCOMPARE(busy, draining ? 8 : 50);
        if (disturbance == Freeze) // a frozen server must not hold up the window
            QVERIFY2(stopTook >= 0 && stopTook < 2000, qPrintable(QString::number(stopTook)));
        if (closed) {
            QVERIFY(!w->isVisible());
            newWindow();
        } else {
            verifyIdle({host(3)});
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

        startScan(61, 64, "100");
        waitForEnd();
        verifyIdle({host(62)});
        QCOMPARE(m_window->lstIPs->FindItem(host(62))->text(2), QStringLiteral("After"));
        if (!closed)
            QCOMPARE(connection.serverPid(), next);
        QVERIFY(m_boxes.boxes.isEmpty());
    }
};

QTEST_MAIN(ScanTest)
#include "scanner_scan_test.moc"
