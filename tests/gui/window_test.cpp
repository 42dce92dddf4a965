// Guards the window's rules without a network: its captions, defaults, size limits and resize layout; which box a
// refused start names (To takes 256), its boxes modal to the window, and that Yes to the retries question starts;
// the scan as seen (locked range, settings read per request, busy pointer until the last address is out, progress
// texts, Enter, Escape, close; a second scan from an empty list); what leaves the window (Copy, Save as CSV with its
// byte-order mark, no dialog history at home); menus, keyboard, the list's columns, order and whole-text find.
#include "DisplayThrottle.h"
#include "Harness.h"
#include "ResultList.h"
#include "StandInProbe.h"
#include "WindowHarness.h"
#include "WindowSizeLimits.h"
#include "client/PelorinConnection.h"
#include "engine/ScanChecks.h"
#include "engine/ScanEngine.h"
#include "platform/BrowserOpener.h"

#include <QtTest>
#include <QtWidgets>

namespace MsgBox = Pelorin::MsgBox;
using Harness::fill;

namespace {

// A menu's items as the operator reads them.
QStringList items(const QMenu *menu)
{
    QStringList out;
    for (const QAction *a : menu->actions())
        out << a->text() + (a->isEnabled() ? QString() : QStringLiteral(" (off)"));
    return out;
}

// What the idle window shows, fact by fact.
QStringList idleDisplay(const MainWindow &w)
{
    const bool locked = w.txtIP[0]->isReadOnly() || w.txtIPScan[1]->isReadOnly();
    return {w.cmdScan->text(), w.txtIP[3]->text(), QString::number(w.picScanning->isVisible()),
            QString::number(w.engine().isScanning()), QString::number(locked), QString::number(w.cursor().shape())};
}
const QStringList kIdle = {"Start", "X", "0", "0", "0", "0"}; // caption, octet, indicator, scanning, locked, pointer

} // namespace

class WindowTest : public QObject
{
    Q_OBJECT

    RecordingBoxes m_boxes;
    std::unique_ptr<StandInFactory> m_factory;
    std::unique_ptr<MainWindow> m_window;
    QTemporaryDir m_dir;
    QList<QUrl> m_urls; // what the window handed to the browser

    Q_INVOKABLE void browse(const QUrl &url) { m_urls.append(url); }

    // A shown window 7605 twips high inside, scanning with stand-ins, or with (missing) pelorin.
    MainWindow &open(StandInFactory *factory)
    {
        m_window.reset();
        m_factory.reset(factory);
        m_window = std::make_unique<MainWindow>(nullptr, factory);
        m_window->show();
        [&] { QVERIFY(QTest::qWaitForWindowExposed(m_window.get())); }();
        m_window->resize(m_window->width(), qRound(7605 / m_window->twipsPerPixelY()));
        return *m_window;
    }

    // On stand-ins, 127.0.0.10 to .12: .10 in 0 ms with MAC, vendor, a two-line page; .11 12 ms, no page; .12 3 ms.
    MainWindow &openOnStandIns()
    {
        MainWindow &w = open(new StandInFactory);
        w.engine().setHardwareSources(QStringLiteral("arp"), QStringLiteral("oui.csv"));
        fill(w, QStringLiteral("127|0|0|10|13|3|100"));
        m_factory->pingTimes = {{"127.0.0.10", 0}, {"127.0.0.11", 12}, {"127.0.0.12", 3}};
        m_factory->pages = {{"127.0.0.10", Lab::LabNetwork::idPage("Model <b>7</b>\nUnit 2")},
                            {"127.0.0.12", Lab::LabNetwork::idPage("Line 3")}};
        return w;
    }

private slots:
    void initTestCase()
    {
        MessageBoxes::install(&m_boxes); // and no probe server: even a start past every check sends nothing
        QDesktopServices::setUrlHandler(QStringLiteral("http"), this, "browse"); // no browser opens
        QVERIFY(QDir(m_dir.path()).mkdir(QStringLiteral("home"))); // an empty home, no settings folder of its own
        qputenv("HOME", QFile::encodeName(m_dir.filePath(QStringLiteral("home"))));
        qunsetenv("XDG_CONFIG_HOME");
        QVERIFY(QDir::setCurrent(m_dir.path()));
        PelorinClient::Connection::instance().setServerPath(m_dir.filePath(QStringLiteral("no-such-pelorin")));
        QVERIFY(Harness::writeFile("arp", "IP address HW type Flags HW address Mask Device\n"
                                          "127.0.0.10 0x1 0x2 00:d0:ef:12:34:56 * eth0\n"));
        QVERIFY(Harness::writeFile("oui.csv", "Registry,Assignment,Organization Name\r\n"
                                              "MA-L,00D0EF,\"Maker, Inc\",Street\r\n"));
    }

    void init()
    {
        m_boxes.boxes.clear();
        open(nullptr);
    }

    void designed_data()
    {
        QTest::addColumn<QString>("control"); // object name
        QTest::addColumn<QString>("property");
        QTest::addColumn<QVariant>("expected");
        auto row = [](const char *control, const char *property, const QVariant &expected) {
            QTest::addRow("%s %s", control, property) << control << property << expected;
        };
        row("frmMain", "windowTitle", "Lanterra");
        row("frmMain", "minimumWidth", 430); // 6450 twips, the width fixed
        row("frmMain", "maximumWidth", 430);
        row("frmMain", "minimumHeight", 328); // 4920 twips
        row("frmMain", "maximumHeight", QGuiApplication::primaryScreen()->geometry().height());
        row("fraMain(0)", "title", "Network Information");
        row("fraMain(1)", "title", "Located IPs");
        for (auto [control, text] : {std::pair{"lblDisp(0)", "From:"}, {"lblDisp(1)", "IP Range:"},
                 {"lblDisp(2)", "Time Out (ms):"}, {"lblDisp(3)", "Scan Retries:"}, {"lblDisp(4)", "To:"},
                 {"txtIP(0)", "192"}, {"txtIP(1)", "168"}, {"txtIP(2)", "0"}, {"txtIP(3)", "X"}, {"txtIPScan(0)", "0"},
                 {"txtIPScan(1)", "255"}, {"txtPingTO", "100"}, {"txtPingRetries", "3"},
                 {"lblScanning", "Scanning, please wait..."}})
            row(control, "text", text);
        row("txtIP(3)", "enabled", false);
        for (auto [control, length] : {std::pair{"txtIP(0)", 3}, {"txtIP(3)", 3}, {"txtIPScan(0)", 3},
                                       {"txtIPScan(1)", 3}, {"txtPingRetries", 2}, {"txtPingTO", 32767}}) // no limit
            row(control, "maxLength", length);
        // At 7605 twips inside: frame 5850, list 5295, status at 5565, indicator centred at 2040, 2317.5 (twips).
        row("fraMain(1)", "height", 390);
        row("lstIPs", "height", 353);
        row("lblThreads", "y", 371);
        row("picScanning", "x", 136);
        row("picScanning", "y", 154);
    }

    void designed()
    {
        QFETCH(QString, control);
        QFETCH(QString, property);
        QFETCH(QVariant, expected);
        const bool window = control == "frmMain";
        QObject *found = window ? m_window.get() : m_window->findChild<QObject *>(control);
        QVERIFY(found);
        QVariant actual = found->property(qPrintable(property));
        const QSize frame = m_window->frameGeometry().size() - m_window->size(); // the limits are outer sizes
        if (window && property.startsWith(u'm'))
            actual = actual.toInt() + (property.endsWith("Width") ? frame.width() : frame.height());
        QCOMPARE(actual, expected);
    }

    void sizeLimits_data()
    {
        QTest::addColumn<QList<int>>("twips");  // min width, min height, max width, max height; 0: the default
        QTest::addColumn<QList<int>>("limits"); // pixels, the same order
        QTest::addColumn<QList<int>>("track");  // as the window asks for them on a screen of 1000 x 800
        using L = QList<int>;
        QTest::newRow("defaults") << L{0, 0, 0, 0} << L{133, 67, 1000, 800} << L{150, 100, 1000, 800};
        QTest::newRow("above 150 x 100") << L{2265, 1515, 0, 0} << L{151, 101, 1000, 800} << L{151, 101, 1000, 800};
        QTest::newRow("cut to the screen") << L{0, 0, 30000, 30000} << L{133, 67, 2000, 2000} << L{150, 100, 1000, 800};
        QTest::newRow("below the screen") << L{0, 0, 9000, 6000} << L{133, 67, 600, 400} << L{150, 100, 600, 400};
    }

    // Twips to pixels (0: 2000 x 1000 minimum, the screen maximum), halves to even; what each size query gets.
    void sizeLimits()
    {
        QFETCH(QList<int>, twips);
        QFETCH(QList<int>, limits);
        QFETCH(QList<int>, track);
        const auto l = WindowSizeLimits::computeLimits(twips[0], twips[1], twips[2], twips[3], 15, 15, {15000, 12000});
        const auto t = WindowSizeLimits::trackSizes(l, QSize(1000, 800));
        QCOMPARE((QList<int>{l.minWidth, l.minHeight, l.maxWidth, l.maxHeight}), limits);
        QCOMPARE((QList<int>{t.minTrack.width(), t.minTrack.height(), t.maxTrack.width(), t.maxTrack.height()}), track);
        QCOMPARE(WindowSizeLimits::twipsToPixels(37.5, 15), 2);
    }

    // Each refused start: one box modal to the window, nothing sent, nothing but the message changed.
    void startRefused_data()
    {
        QTest::addColumn<QString>("boxes");
        QTest::addColumn<int>("enterIn"); // the box in which Enter is pressed; -1: start is clicked
        QTest::addColumn<QString>("message");
        QTest::addColumn<int>("style");
        const int info = MsgBox::OKOnly | MsgBox::Information, warn = MsgBox::OKOnly | MsgBox::Exclamation;
        const QString noServer = "Lanterra can't scan: its probe server pelorin could not be started.\n\n";
        QTest::newRow("octet 1 999") << "999|0|0|1|9|3|100" << 0 << ScanChecks::octetRefusal("The first octet") << warn;
        QTest::newRow("To 257") << "127|0|0|254|257|3|100" << 4 << ScanChecks::octetRefusal("To", 256) << warn;
        QTest::newRow("range before retries") << "127|0|255|10|9|50|100" << 6 << ScanChecks::rangeRefusal() << info;
        QTest::newRow("retries 11, No") << "127|0|0|1|9|11|2.5" << -1 << ScanChecks::retriesQuestion("11", "2.5")
                                        << int(MsgBox::YesNo | MsgBox::Question);
        QTest::newRow("no probe server, To 256") << "127|0|0| 010|256|10|100" << -1 << noServer
                                                 << int(MsgBox::OKOnly | MsgBox::Critical);
    }

    void startRefused()
    {
        QFETCH(QString, boxes);
        QFETCH(int, enterIn);
        QFETCH(QString, message);
        QFETCH(int, style);
        MainWindow &w = *m_window;
        m_boxes.answer = MsgBox::AnswerNo;
        fill(w, boxes);
        w.lstIPs->addRow(QStringLiteral("127.0.0.9"));
        if (enterIn < 0)
            QTest::mouseClick(w.cmdScan, Qt::LeftButton);
        else
            QTest::keyClick(Harness::inputs(w)[enterIn], Qt::Key_Return);
        QCOMPARE(m_boxes.boxes.size(), 1);
        QCOMPARE(m_boxes.boxes[0].text.left(message.size()), message); // the server's refusal is followed by its reason
        QCOMPARE(m_boxes.boxes[0].style, style);
        QCOMPARE(m_boxes.boxes[0].title, QStringLiteral("Lanterra"));
        QCOMPARE(m_boxes.boxes[0].windowModal, true);
        QCOMPARE(idleDisplay(w), kIdle);
        QCOMPARE(w.lblThreads->text(), QStringLiteral("Ready"));
        QCOMPARE(w.lstIPs->rowCount(), 1);
    }

    // A scan as seen, started by Yes to the retries question: locked boxes, settings per request, busy pointer,
    // progress, Enter ignored, Escape, the rows; then Copy, Copy all, Save as CSV (mark, header, rows, .csv added,
    // refusal).
    void scanAsSeen()
    {
        MainWindow &w = openOnStandIns();
        fill(w, QStringLiteral("127|0|0|010|13|11|0.4"));
        m_boxes.answer = MsgBox::AnswerYes;
        QStringList busyAt, listedAtPage, settings;
        m_factory->onRequest = [&](const StandInRequest &r) {
            if (w.cursor().shape() == Qt::BusyCursor)
                busyAt << (r.page ? "page " : "ping ") + r.host;
            if (QTreeWidgetItem *entry = r.page ? w.lstIPs->findRow(r.host) : nullptr)
                listedAtPage << entry->text(0) + ' ' + entry->text(1);
            settings << QStringLiteral("%1 %2").arg(r.timeOut).arg(r.retries);
            w.txtPingTO->setText(QStringLiteral("300")); // both apply from the next request on
            w.txtPingRetries->setText(QStringLiteral("2"));
            return !(r.page && r.host == QLatin1String("127.0.0.11")); // that page never comes
        };
        QTest::mouseClick(w.cmdScan, Qt::LeftButton);
        QTRY_COMPARE(w.lblThreads->text(), QStringLiteral("Processing Threads: 1"));
        QCOMPARE(w.lblThreads->palette().color(QPalette::WindowText), QColor(192, 64, 0));
        QCOMPARE(w.txtIP[3]->text(), QStringLiteral("13"));
        QCOMPARE(w.cmdScan->text(), QStringLiteral("Stop"));
        for (QLineEdit *box : Harness::inputs(w).mid(0, 5))
            QVERIFY2(box->isReadOnly(), qPrintable(box->objectName()));
        QVERIFY(QTest::qWaitForWindowActive(&w));
        QTest::keyClick(w.txtPingTO, Qt::Key_Return); // Enter starts (the refusals show it), but not during a scan
        QCOMPARE(w.engine().isScanning(), true);
        QCOMPARE(m_boxes.boxes.size(), 1); // the retries question
        QTest::keyClick(&w, Qt::Key_Escape); // stop: .11 is listed without its page
        QCOMPARE(w.lblThreads->text(), QStringLiteral("Scan Completed"));
        QCOMPARE(w.findChild<DisplayThrottle *>()->pending(), false);
        QCOMPARE(settings, (QStringList{"1 11", "300 2", "300 2", "300 2", "300 2", "300 2"}));
        QCOMPARE(busyAt, (QStringList{"ping 127.0.0.10", "page 127.0.0.10", "ping 127.0.0.11", "page 127.0.0.11"}));
        QCOMPARE(listedAtPage, (QStringList{"127.0.0.10 <0 ms", "127.0.0.11 12 ms", "127.0.0.12 3 ms"}));
        QCOMPARE(idleDisplay(w), kIdle);
        QCOMPARE(w.lblThreads->palette().color(QPalette::WindowText), QColor(0, 128, 0));
        QCOMPARE(w.lstIPs->row(0)->text(2), QStringLiteral("Model <b>7</b>\nUnit 2"));
        QCOMPARE(w.lstIPs->row(0)->text(3), QStringLiteral("00:D0:EF:12:34:56"));
        QCOMPARE(w.lstIPs->row(0)->text(4), QStringLiteral("Maker, Inc"));
        const QString tip = QTextDocumentFragment::fromHtml(w.lstIPs->row(0)->toolTip(2)).toPlainText(); // as shown
        QCOMPARE(tip, QStringLiteral("Model <b>7</b>\nUnit 2"));
        QCOMPARE(w.lstIPs->row(1)->toolTip(2), QString());

        w.lstIPs->row(2)->setSelected(true);
        w.lstIPs->row(0)->setSelected(true);
        w.lstIPs->setFocus();
        QTest::keyClick(w.lstIPs, Qt::Key_C, Qt::ControlModifier);
        QCOMPARE(QGuiApplication::clipboard()->text(),
                 QStringLiteral("127.0.0.10\t<0 ms\tModel <b>7</b> Unit 2\t00:D0:EF:12:34:56\tMaker, Inc\n"
                                "127.0.0.12\t3 ms\tLine 3\t\t\n"));
        w.mnuCopyAll->trigger();
        QCOMPARE(QGuiApplication::clipboard()->text().count(u'\n'), 3);
        MessageBoxes::setNextSavePath(QStringLiteral("scan"));
        w.mnuSaveCsv->trigger();
        QFile csv(QStringLiteral("scan.csv"));
        QVERIFY(csv.open(QIODevice::ReadOnly));
        const QList<QByteArray> lines = csv.readAll().split('\n');
        QCOMPARE(lines.size(), 6); // the first description has a line break
        QCOMPARE(lines[0], QByteArray("\xEF\xBB\xBFhost,ping_ms,description,mac,vendor,seen\r"));
        MessageBoxes::setNextSavePath(QStringLiteral("no-such-folder/scan.csv"));
        w.mnuSaveCsv->trigger();
        QCOMPARE(m_boxes.boxes.size(), 2);
        QCOMPARE(m_boxes.boxes[1].style, int(MsgBox::OKOnly | MsgBox::Exclamation));
        const QString firstLine = m_boxes.boxes[1].text.section(u'\n', 0, 0);
        QCOMPARE(firstLine, QStringLiteral("The list could not be saved as no-such-folder/scan.csv."));
    }

    // Closing ends a scan at once; a held start refused later gives the normal pointer back.
    void closedOrRefusedLate()
    {
        MainWindow &w = openOnStandIns();
        m_factory->onRequest = [](const StandInRequest &) { return false; };
        QTest::mouseClick(w.cmdScan, Qt::LeftButton);
        QTRY_COMPARE(m_factory->requests.size(), 3);
        w.close();
        QCOMPARE(w.engine().isScanning(), false);
        m_factory->pending = true;
        m_factory->notReady = "refused";
        QTest::mouseClick(w.cmdScan, Qt::LeftButton);
        QCOMPARE(w.cursor().shape(), Qt::BusyCursor);
        m_factory->decide();
        QCOMPARE(w.cursor().shape(), Qt::ArrowCursor);
    }

    // A second scan starts from an empty list: what leaves the window is its hosts alone.
    void secondScanStartsEmpty()
    {
        MainWindow &w = openOnStandIns();
        QTest::mouseClick(w.cmdScan, Qt::LeftButton);
        QTRY_COMPARE(w.engine().isScanning(), false);
        m_factory->pingTimes = {{"127.0.0.12", 3}};
        QTest::mouseClick(w.cmdScan, Qt::LeftButton);
        QTRY_COMPARE(w.engine().isScanning(), false);
        w.mnuCopyAll->trigger();
        QCOMPARE(QGuiApplication::clipboard()->text(), QStringLiteral("127.0.0.12\t3 ms\tLine 3\t\t\n"));
    }

    // The columns, their order and find; the column and rows menus; opening the selected host in the browser; label
    // widths; the Tab order; no dialog history left in an empty home folder by Save as CSV.
    void listAndKeyboard()
    {
        MainWindow &w = *m_window;
        const QTreeWidgetItem *titles = w.lstIPs->headerItem();
        QCOMPARE(titles->text(0), QStringLiteral("Host IP"));
        QCOMPARE(titles->text(1), QStringLiteral("Ping Time (ms)"));
        QCOMPARE(titles->text(2), QStringLiteral("QV Equipment"));
        QCOMPARE(w.lstIPs->columnWidth(0), 120); // 1800 twips
        QCOMPARE(w.lstIPs->columnWidth(1), 100); // 1500
        QCOMPARE(w.lstIPs->columnWidth(2), 155); // 2320
        ResultList list;
        for (const char *entry : {"127.0.0.9", "127.0.0.10", "127.0.0.1", "127.0.0.1"})
            list.addRow(QString::fromLatin1(entry));
        QTest::mouseClick(list.header()->viewport(), Qt::LeftButton, {}, QPoint(5, 5));
        QCOMPARE(list.findRow("127.0.0.9"), list.row(0));
        QCOMPARE(list.findRow("127.0.0.1"), list.row(2));
        QCOMPARE(list.findRow("127.0.0."), nullptr);
        QHeaderView *header = w.lstIPs->header();
        emit header->customContextMenuRequested(QPoint(5, 5));
        QTRY_VERIFY(w.mnuColumns->isVisible());
        QCOMPARE(items(w.mnuColumns), (QStringList{"MAC Address", "Vendor"}));
        w.mnuShowMac->trigger();
        w.mnuShowVendor->trigger();
        w.mnuShowVendor->trigger();
        QCOMPARE(header->isSectionHidden(3), false);
        QCOMPARE(header->isSectionHidden(4), true);
        w.mnuColumns->hide();
        emit w.lstIPs->customContextMenuRequested(QPoint(5, 5));
        QCOMPARE(items(w.mnuList), (QStringList{"Open in browser (off)", "Copy (off)", "Copy all (off)", "",
                                                "Save as CSV\u2026 (off)"}));
        w.lstIPs->addRow(QStringLiteral("127.0.0.5"));
        emit w.lstIPs->customContextMenuRequested(QPoint(5, 5));
        QCOMPARE(items(w.mnuList), (QStringList{"Open in browser (off)", "Copy (off)", "Copy all", "",
                                                "Save as CSV\u2026"}));
        w.mnuList->hide();
        QTreeWidgetItem *second = w.lstIPs->addRow(QStringLiteral("127.0.0.50"));
        emit w.lstIPs->doubleClicked();
        QCOMPARE(m_urls.size(), 0);
        const QPoint centre = w.lstIPs->visualItemRect(second).center();
        QTest::mouseClick(w.lstIPs->viewport(), Qt::LeftButton, {}, centre);
        QTest::mouseDClick(w.lstIPs->viewport(), Qt::LeftButton, {}, centre);
        QCOMPARE(m_urls, QList<QUrl>{QUrl(QStringLiteral("http://127.0.0.50"))});
        QTest::keyClick(w.lstIPs, Qt::Key_Return);
        QCOMPARE(m_urls.size(), 2);
        w.lstIPs->setCurrentItem(w.lstIPs->row(0));
        QTest::mouseClick(w.lstIPs->viewport(), Qt::LeftButton, Qt::ControlModifier, centre); // both, .50 clicked last
        emit w.lstIPs->customContextMenuRequested(QPoint(5, 5));
        w.mnuOpen->trigger();
        QCOMPARE(m_urls, QList<QUrl>(3, QUrl(QStringLiteral("http://127.0.0.50"))));
        for (const char *refused : {"http:\\\\", "file:\\\\\\etc\\passwd", "javascript:x", "http:\\\\127.0.0.5 x"})
            QVERIFY2(!BrowserOpener::urlFromShellText(QString::fromLatin1(refused)).isValid(), refused);
        QCOMPARE(BrowserOpener::urlFromShellText(QStringLiteral("HTTP:\\\\127.0.0.5")), QUrl("http://127.0.0.5"));
        for (QLabel *label : {w.lblDisp[0], w.lblDisp[1], w.lblDisp[2], w.lblDisp[3], w.lblDisp[4], w.lblScanning})
            QCOMPARE_LE(label->fontMetrics().horizontalAdvance(label->text()), label->width());
        QVERIFY(QTest::qWaitForWindowActive(&w));
        w.txtIP[0]->setFocus();
        for (QWidget *next : QList<QWidget *>{w.txtIP[1], w.txtIP[2], w.txtIPScan[0], w.txtIPScan[1], w.txtPingTO,
                                              w.txtPingRetries, w.cmdScan, w.lstIPs}) {
            QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
            QCOMPARE(QApplication::focusWidget()->objectName(), next->objectName());
        }
        w.mnuSaveCsv->trigger();
        QPointer<QFileDialog> dialog;
        QTRY_VERIFY((dialog = w.findChild<QFileDialog *>()));
        dialog->selectFile(QDir::home().filePath(QStringLiteral("scan")));
        QMetaObject::invokeMethod(dialog, "accept");
        QTRY_VERIFY(!dialog); // closed and gone, its settings written
        const auto entries = QDir::home().entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot);
        QCOMPARE(entries, QStringList{"scan.csv"});
    }
};

QTEST_MAIN(WindowTest)
#include "window_test.moc"
