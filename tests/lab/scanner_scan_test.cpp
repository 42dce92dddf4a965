// A whole scan through the real window and pelorin inside the lab namespace:
// 127.0.0.x only, most addresses silent, answering hosts and identification
// devices mixed in; then the window when its probe server misbehaves
// (frozen, killed, replaced by a stand-in that sends bad frames) or the window
// goes away mid-scan. 127.0.0.1 is never silent: loopback replies are
// addressed to it. The Start click runs the dispatch loop, so anything a test
// does while a scan dispatches runs from a Watcher nested inside that loop.
#include "Harness.h"
#include "PelorinConnection.h"
#include "PelorinProbe.h"
#include "ProbeObject.h"
#include "ScanEngine.h"
#include "ResultList.h"
#include "VendorRegistry.h"

#include <QAbstractItemModel>
#include <QCoreApplication>
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

QByteArray lengthPrefix(quint32 length)
{
    QByteArray bytes(4, '\0');
    for (int i = 0; i < 4; ++i)
        bytes[i] = char((length >> (8 * i)) & 0xff);
    return bytes;
}

} // namespace

class ScanTest : public ScanFixture
{
    Q_OBJECT

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
        m_window->engine().setHardwareSources(arp.fileName(), QString::fromLatin1(VendorRegistry::DefaultPath));
        prepare(1, 41, QStringLiteral("100"), QStringLiteral("1"));
        startScan();
        QTRY_COMPARE_WITH_TIMEOUT(m_window->lblThreads->text(), QStringLiteral("Scan Completed"), 30000);
        QTRY_VERIFY(m_clickReturned);

        frmMain &w = *m_window;
        verifyIdle();
        QVERIFY(m_boxes.boxes.isEmpty());

        // Exactly the answering hosts, each once.
        QStringList listed = entries();
        QStringList expected;
        for (int octet : descriptions.keys())
            expected.append(host(octet));
        listed.sort();
        expected.sort();
        QCOMPARE(listed, expected);

        for (auto it = descriptions.cbegin(); it != descriptions.cend(); ++it) {
            QTreeWidgetItem *entry = w.lstIPs->FindItem(host(it.key()));
            QVERIFY(entry);
            QVERIFY(entry->text(1).endsWith(QLatin1String(" ms"))); // loopback: 0 ms, or a few when busy
            QCOMPARE(entry->text(2), it.value());
        }
        // One page request per listed device, for id.htm.
        for (int octet : {4, 9, 22, 31, 38})
            QCOMPARE(net.requestPaths(host(octet)), QList<QByteArray>{"/id.htm"});
        // Silent hosts: time-out and one retry, three echoes a ping. The upper value is not pinged.
        QCOMPARE(net.echoRequestCount(host(2)), 6);
        QCOMPARE(net.echoRequestCount(host(40)), 6);
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
        const QString png = QCoreApplication::applicationDirPath() + QStringLiteral("/../lanterra-scan.png");
        QVERIFY(w.grab().save(png));
    }

    // A renewed worker shell hears only its new probe object, never the old one's answer.
    void renewedShellHearsOnlyItsNewObject()
    {
        Lab::LabNetwork lab;
        QVERIFY(lab.addDevice(host(10), Harness::device(Lab::Behaviour::Page, "old")));
        QVERIFY(lab.addDevice(host(11), Harness::device(Lab::Behaviour::Page, "new")));
        ScanObjShell shell(0);
        ShellLog log(&shell);
        QVERIFY(shell.ScanObj());
        shell.ScanObj()->HTTPRequest(host(10), 80, QStringLiteral("id.htm"), 1000, 1);
        QVERIFY(shell.Reinit());
        shell.ScanObj()->HTTPRequest(host(11), 80, QStringLiteral("id.htm"), 1000, 1);

        // The new object answers, then repeats its answer 100 ms later: by then
        // the old one's answer would have come too.
        QTRY_VERIFY_WITH_TIMEOUT(log.pages.size() >= 2, 10000);
        for (const ShellLog::Seen &page : std::as_const(log.pages)) {
            QCOMPARE(page.index, qint16(0));
            QCOMPARE(page.host, host(11));
            QCOMPARE(page.value.toString(), QStringLiteral("new"));
        }
    }

    // A frozen server does not freeze the window: Stop ends the scan at once and
    // keeps what was listed; once thawed, the same server scans again.
    void frozenServerThenStop()
    {
        Lab::LabNetwork net;
        silence(net, 2, 64, {3, 62});
        QVERIFY(net.addDevice(host(3), Harness::device(Lab::Behaviour::NoAnswer)));
        QVERIFY(net.addDevice(host(62), Harness::device(Lab::Behaviour::Page,
                                                        Lab::LabNetwork::idPage(QStringLiteral("After Stop")))));
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
                if (w->engine().busyCount() < 50 || !w->lstIPs->FindItem(host(3)))
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
        QVERIFY(m_boxes.boxes.isEmpty());

        ::kill(pid_t(frozen), SIGCONT);
        thaw.dismiss();
        scanAndExpect(61, 64, {host(62)});
        QCOMPARE(m_window->lstIPs->FindItem(host(62))->text(2), QStringLiteral("After Stop"));
        QCOMPARE(net.echoRequestCount(host(61)), 6);
        QCOMPARE(net.echoRequestCount(host(63)), 6);
        QCOMPARE(net.echoRequestCount(host(64)), 0);
        QCOMPARE(connection.serverPid(), frozen);
        QVERIFY(m_boxes.boxes.isEmpty());
    }

    // All addresses out, answers outstanding: a kill ends the scan with one
    // message, entries stay, and the next Start brings up a new server.
    void serverKilledWhileDraining()
    {
        Lab::LabNetwork net;
        silence(net, 2, 9, {3});
        QVERIFY(net.addDevice(host(3), Harness::device(Lab::Behaviour::NoAnswer)));
        prepare(2, 10, QStringLiteral("2000"), QStringLiteral("1"));

        PelorinClient::Connection &connection = PelorinClient::Connection::instance();
        frmMain *w = m_window.get();
        qint64 killed = 0;
        int busyAtKill = 0;
        Watcher killer([&] {
            if (w->engine().state() != ScanEngine::State::Draining || !w->lstIPs->FindItem(host(3)))
                return false;
            busyAtKill = w->engine().busyCount();
            killed = connection.serverPid();
            if (killed > 0)
                ::kill(pid_t(killed), SIGKILL);
            return true;
        });
        startScan();
        QTRY_VERIFY_WITH_TIMEOUT(killer.done(), 20000);
        QVERIFY(killed > 0);
        QCOMPARE(busyAtKill, 8);
        QTRY_VERIFY_WITH_TIMEOUT(!w->engine().isScanning(), 10000);
        verifyIdle();
        QCOMPARE(entries(), QStringList{host(3)});
        QCOMPARE(m_boxes.boxes.size(), 1);
        QVERIFY(m_boxes.boxes[0].text.contains(QLatin1String("pelorin has stopped")));
        QCOMPARE(m_boxes.boxes[0].style & MsgBox::IconMask, MsgBox::Critical);
        // Worker 0's renewal at the end of the scan has already started a new server.
        const qint64 next = connection.serverPid();
        QVERIFY(connection.isRunning());
        QVERIFY(next > 0 && next != killed);

        m_boxes.boxes.clear();
        scanAndExpect(1, 2, {host(1)});
        QCOMPARE(connection.serverPid(), next);
        QVERIFY(m_boxes.boxes.isEmpty());
    }

    void garbageFromServer_data()
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
        QTest::newRow("message box left unanswered") << QByteArray() << 4 << false;
    }

    // A stand-in server greets properly, then sends what the row says once the
    // scan's first worker exists, followed by a good ping answer for that worker.
    // Unreadable frames end the server with one message; readable but
    // meaningless events are ignored. Either way the window stays usable.
    void garbageFromServer()
    {
        QFETCH(QByteArray, afterGreeting);
        QFETCH(int, eventKind);
        QFETCH(bool, serverDropped);

        Lab::LabNetwork net;
        QVERIFY(net.addSilentHost(host(2)));

        QTemporaryDir dir;
        QVERIFY(dir.isValid());
        auto writeFile = [&dir](const char *name, const QByteArray &bytes) {
            QFile file(dir.filePath(QLatin1String(name)));
            return file.open(QIODevice::WriteOnly) && file.write(bytes) == bytes.size()
                && file.setPermissions(QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
        };
        Wire::Message greeting = PelorinPipe::msg(Wire::Type::Greeting);
        greeting.libraryId = QString::fromLatin1(Pelorin::kLibraryId);
        greeting.major = Pelorin::kLibraryMajor;
        greeting.minor = Pelorin::kLibraryMinor;
        greeting.echoUsable = true;
        QVERIFY(writeFile("greeting", Wire::encode(greeting)));
        QVERIFY(writeFile("stand-in", "#!/bin/sh\nexec 2>/dev/null\ncd \"$(dirname \"$0\")\"\ncat greeting\ncat later\n"
                                      "exec cat >/dev/null\n"));
        const QString script = dir.filePath(QStringLiteral("stand-in"));
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
        // A server box is shown without holding up the scan: its answer may come later.
        QList<PelorinClient::Connection::MessageBoxReply> unanswered;
        connection.setMessageBoxHandler([&](const QString &, int, const QString &,
                                            PelorinClient::Connection::MessageBoxReply reply) {
            unanswered.append(std::move(reply));
        });
        QSignalSpy died(&connection, &PelorinClient::Connection::serverDied);
        QSignalSpy protocolErrors(&connection, &PelorinClient::Connection::protocolError);
        quint32 id = 0;
        Watcher sender([&] {
            auto *first = static_cast<PelorinProbe *>(w->engine().probeAt(1));
            if (!first)
                return false;
            id = first->object()->objectId();
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
        }
        QVERIFY(entries().isEmpty());
        if (serverDropped) // the end of the scan has started a new stand-in: let it finish
            QTRY_VERIFY(feed(QByteArray()));

        restore.dismiss();
        connection.shutdown();
        connection.setServerPath(realServer);
        m_boxes.boxes.clear();
        scanAndExpect(1, 3, {host(1)});
        QVERIFY(m_boxes.boxes.isEmpty());
    }

    void closeMidScan_data()
    {
        QTest::addColumn<bool>("whileDispatching");
        QTest::newRow("dispatching") << true;
        QTest::newRow("draining") << false;
    }

    // Closing ends the scan: nothing left running, and a new window scans.
    void closeMidScan()
    {
        QFETCH(bool, whileDispatching);
        Lab::LabNetwork net;
        silence(net, 2, 80);
        prepare(2, whileDispatching ? 80 : 10, QStringLiteral("1000"), QStringLiteral("1"));

        frmMain *w = m_window.get();
        bool wasDispatching = false;
        Watcher closer([&] {
            const ScanEngine::State state = w->engine().state();
            const bool ready = whileDispatching ? w->engine().busyCount() == 50 : state == ScanEngine::State::Draining;
            if (!ready)
                return false;
            wasDispatching = state == ScanEngine::State::Dispatching;
            w->close();
            return true;
        });
        startScan();
        QTRY_VERIFY_WITH_TIMEOUT(m_clickReturned && closer.done(), 20000);
        QCOMPARE(wasDispatching, whileDispatching);
        QVERIFY(!w->isVisible());
        QVERIFY(!w->engine().isScanning());
        QCOMPARE(w->engine().busyCount(), 0);
        QVERIFY(m_boxes.boxes.isEmpty());
        m_window.reset();

        newWindow();
        scanAndExpect(1, 3, {host(1)});
        QVERIFY(m_boxes.boxes.isEmpty());
    }
};

QTEST_MAIN(ScanTest)
#include "scanner_scan_test.moc"
