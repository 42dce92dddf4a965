// Whole scans through the real pelorin inside the lab namespace: 127.0.0.x
// only, most addresses silent, answering hosts, identification devices and
// hostile devices mixed in; then the window when its probe server misbehaves
// (frozen, killed, replaced by a stand-in that sends bad frames) or the window
// goes away mid-scan. 127.0.0.1 is never silent: loopback replies are
// addressed to it. The Start click runs the dispatch loop, so anything a test
// does while a scan dispatches runs from a Watcher nested inside that loop.
#include "Harness.h"
#include "PelorinConnection.h"
#include "ProbeObject.h"
#include "ResultList.h"

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
        // 127.0.0.1 to .40 are scanned (From 1 To 41); .41 is the upper value and is not.
        const QHash<int, QString> descriptions = {
            {4, QStringLiteral("Model 7 Rev B")},
            {22, QStringLiteral("Line one\n<b>Line two</b> &amp; more")},
            {9, QString()},  // a plain web page
            {1, QString()},  // answers ping, serves no web page
            {31, QString()}, // title in other letter case
            {38, QString()}, // "</body>" before "<body>"
        };
        Lab::Behaviour idPage4 = Harness::device(Lab::Behaviour::IdPageOnly, Lab::LabNetwork::idPage(descriptions[4]));
        silence(net, 1, 41, descriptions.keys());
        QVERIFY(net.addDevice(host(4), idPage4));
        QVERIFY(net.addDevice(host(9), Harness::device(Lab::Behaviour::Page,
                                                       "<html><head><title>Printer</title></head><body>Welcome</body></html>")));
        QVERIFY(net.addDevice(host(22), Harness::device(Lab::Behaviour::Page, Lab::LabNetwork::idPage(descriptions[22]))));
        QVERIFY(net.addDevice(host(31), Harness::device(Lab::Behaviour::Page,
                                                        "<html><head><TITLE>Quorvane Product ID</TITLE></head><body>Model 9</body></html>")));
        QVERIFY(net.addDevice(host(38), Harness::device(Lab::Behaviour::Page,
                                                        "<title>Quorvane Product ID</title></body>Model 3<body>")));

        prepare(1, 41, QStringLiteral("100"), QStringLiteral("1"));
        QSignalSpy inserted(m_window->lstIPs->model(), &QAbstractItemModel::rowsInserted);
        startScan();
        QTRY_COMPARE_WITH_TIMEOUT(m_window->lblThreads->text(), QStringLiteral("Scan Completed"), 30000);
        QTRY_VERIFY(m_clickReturned);

        frmMain &w = *m_window;
        verifyIdle();
        QVERIFY(m_boxes.boxes.isEmpty());

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

    // Every answering host misbehaves on purpose. The scan must end, list each host
    // once, show descriptions as plain text and keep both processes' memory bounded.
    void hostileNetwork()
    {
        using B = Lab::Behaviour;
        Lab::LabNetwork net;
        const QByteArray oddDescription = QByteArray("Model\0 9 \xff\xfe end", 15);
        const QByteArray idPage = Lab::LabNetwork::idPage(QStringLiteral("Cut Short"));
        B hugeSize = Harness::device(B::BadChunked);
        hugeSize.badChunkSize = "7fffffffffffffff";
        const QList<QPair<int, B>> devices = {
            {1, Harness::device(B::HugeBody)},
            {2, Harness::device(B::Trickle, QByteArray(10000, 't'))},
            {3, Harness::device(B::Garbage)},
            {4, Harness::device(B::Page, "invalid UTF-8 \xff\xfe\xc0\xaf\xed\xa0\x80 cut \xe2\x82")},
            {5, Harness::device(B::BadChunked)},
            {6, hugeSize},
            {7, Harness::device(B::RedirectLoop, "moved")},
            {8, Harness::device(B::ResetAfterHeaders, idPage.left(idPage.indexOf("</body>")))},
            {9, Harness::device(B::ScriptIdPage)},
            {10, Harness::device(B::NoAnswer)},
            {11, Harness::device(B::Raw, QByteArray())},
            {12, Harness::device(B::Page, "<title>Quorvane Product ID</title><body>" + oddDescription + "</body>")},
        };
        for (const auto &d : devices)
            QVERIFY2(net.addDevice(host(d.first), d.second), qPrintable(host(d.first)));
        QVERIFY(net.addSilentHost(host(13)));

        prepare(1, 13, QStringLiteral("300"), QStringLiteral("1"));
        startScan();
        QTRY_COMPARE_WITH_TIMEOUT(m_window->lblThreads->text(), QStringLiteral("Scan Completed"), 60000);
        QTRY_VERIFY(m_clickReturned);
        verifyIdle();
        QVERIFY(m_boxes.boxes.isEmpty());

        QStringList listed = entries();
        listed.sort();
        QStringList expected;
        for (int octet = 1; octet <= 12; ++octet)
            expected.append(host(octet));
        expected.sort();
        QCOMPARE(listed, expected);

        // Descriptions as plain text: the markup verbatim, NULs and all; no widget
        // of its own that could interpret it.
        for (int octet = 1; octet <= 12; ++octet) {
            QTreeWidgetItem *entry = m_window->lstIPs->FindItem(host(octet));
            QVERIFY(entry);
            QVERIFY(!m_window->lstIPs->itemWidget(entry, 2));
            const QString description = octet == 9 ? Lab::LabNetwork::scriptDescription()
                : octet == 12                      ? QString::fromUtf8(oddDescription)
                                                   : QString();
            QVERIFY2(entry->text(2) == description, qPrintable(host(octet) + QStringLiteral(": ") + entry->text(2).left(60)));
        }
        // The redirect was not followed; every request was for the page.
        QCOMPARE(net.requestCount(host(7)), 1);
        for (const auto &d : devices) {
            for (const QByteArray &path : net.requestPaths(host(d.first)))
                QCOMPARE(path, QByteArray("/id.htm"));
        }

        const qint64 own = Harness::peakMemoryKiB();
        QVERIFY2(own > 0 && own < 300 * 1024, qPrintable(QStringLiteral("lanterra VmHWM %1 kB").arg(own)));
        const qint64 serverPid = PelorinClient::Connection::instance().serverPid();
        QVERIFY(serverPid > 0);
        const qint64 server = Harness::peakMemoryKiB(serverPid);
        QVERIFY2(server > 0 && server < 300 * 1024, qPrintable(QStringLiteral("pelorin VmHWM %1 kB").arg(server)));
    }

    void stopWhileDispatching()
    {
        Lab::LabNetwork net;
        silence(net, 2, 120, {3});
        QVERIFY(net.addDevice(host(3), Harness::device(Lab::Behaviour::NoAnswer)));
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

        verifyIdle();
        QCOMPARE(entries(), QStringList{host(3)});

        // Nothing further is handed out, and late answers change nothing.
        QTest::qWait(400);
        QCOMPARE(net.echoRequestCount(host(52)), 0);
        QCOMPARE(w->busyWorkerCount(), 0);
        QCOMPARE(entries(), QStringList{host(3)});
        QVERIFY(m_boxes.boxes.isEmpty());
    }

    // With every slot busy nothing is handed out; the slot an answer frees is the
    // one the next address gets, and the other 49 workers are left alone.
    void fullPoolReusesFreedSlot()
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

    void settingsEditedDuringScanApplyLater()
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
                bytes = Wire::encode(eventFrame(id, kPing, {host(2), host(2)}));
            else if (eventKind == 2)
                bytes = Wire::encode(eventFrame(id, 0x7777, {host(2), qint16(1)}));
            else if (eventKind == 3)
                bytes = Wire::encode(eventFrame(id + 1000, kPing, {host(2), qint16(1)}));
            // A failed ping: it ends the scan unless the server has been dropped.
            return feed(bytes + Wire::encode(eventFrame(id, kPing, {host(2), qint16(-11010)})));
        });
        startScan();
        QTRY_VERIFY_WITH_TIMEOUT(sender.done(), 10000);

        QTRY_VERIFY_WITH_TIMEOUT(!w->isScanning(), 10000);
        QTRY_VERIFY(m_clickReturned);
        verifyIdle();
        QCOMPARE(died.size(), serverDropped ? 1 : 0);
        QCOMPARE(protocolErrors.size(), eventKind == 3 ? 0 : 1);
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
        QVERIFY(m_boxes.boxes.isEmpty());
        m_window.reset();

        newWindow();
        scanAndExpect(1, 3, {host(1)});
        QVERIFY(m_boxes.boxes.isEmpty());
    }
};

QTEST_MAIN(ScanTest)
#include "scanner_scan_test.moc"
