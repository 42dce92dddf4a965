// Guards the window's rules without a network: which box a refused start names (To takes 256), the scan as seen
// (locked range, busy pointer until the last address is out, progress texts), what leaves the window (Copy, CSV),
// menus, keyboard, real message boxes, the list's order and whole-text find.
#include "DisplayThrottle.h"
#include "Harness.h"
#include "ResultList.h"
#include "StandInProbe.h"
#include "client/PelorinConnection.h"
#include "engine/ScanChecks.h"
#include "engine/ScanEngine.h"
#include "MainWindow.h"
#include "platform/BrowserOpener.h"

#include <QtTest>
#include <QtWidgets>

namespace MsgBox = Pelorin::MsgBox;
using Harness::fill;
using Harness::inputs;

namespace {

class UrlCatcher : public QObject
{
    Q_OBJECT
public:
    QList<QUrl> urls;
public slots:
    void open(const QUrl &url) { urls.append(url); }
};

// A menu's items as the operator reads them.
QString items(const QMenu *menu)
{
    QStringList out;
    for (const QAction *a : menu->actions())
        out << a->text() + (a->isEnabled() ? QString() : QStringLiteral(" (off)"));
    return out.join(u'|');
}

} // namespace

class WindowTest : public QObject
{
    Q_OBJECT

    RecordingBoxes m_channel;
    std::unique_ptr<StandInFactory> m_factory;
    std::unique_ptr<MainWindow> m_window;

    // A shown window 7605 twips high inside, scanning with stand-ins, or with (missing) pelorin.
    MainWindow &open(std::unique_ptr<StandInFactory> factory)
    {
        m_window.reset();
        m_factory = std::move(factory);
        m_window = std::make_unique<MainWindow>(nullptr, m_factory.get());
        m_window->show();
        [&] { QVERIFY(QTest::qWaitForWindowExposed(m_window.get())); }();
        m_window->resize(m_window->width(), qRound(7605 / m_window->twipsPerPixelY()));
        return *m_window;
    }

private slots:
    void initTestCase()
    {
        MessageBoxes::install(&m_channel); // and no probe server: even a start past every check sends nothing
        PelorinClient::Connection::instance().setServerPath(QCoreApplication::applicationDirPath() + "/no-such-pelorin");
    }

    void init() { m_channel.boxes.clear(); open(nullptr); }

    void cleanup() { m_window.reset(); m_factory.reset(); }

    // Starts stopped before anything is sent: a box that can't be an octet, the range check, the retries
    // question answered No, no probe server. Nothing but the message may change.
    void startRefused_data()
    {
        QTest::addColumn<QString>("boxes");
        QTest::addColumn<int>("enterIn"); // the box in which Enter is pressed; -1: start is clicked
        QTest::addColumn<QString>("message");
        QTest::addColumn<int>("style");

        const QString range = ScanChecks::rangeRefusal();
        const int info = MsgBox::OKOnly | MsgBox::Information, warn = MsgBox::OKOnly | MsgBox::Exclamation,
                  question = MsgBox::YesNo | MsgBox::Question;
        auto octet = [](const char *box, int highest = 255) { return ScanChecks::octetRefusal(box, highest); };

        QTest::newRow("first octet 999") << "999|0|0|1|9|3|100" << 0 << octet("The first octet") << warn;
        QTest::newRow("second octet negative") << "127|-1|0|1|9|3|100" << 1 << octet("The second octet") << warn;
        QTest::newRow("third octet fraction") << "127|0|0.5|1|9|3|100" << 2 << octet("The third octet") << warn;
        QTest::newRow("From fraction") << "127|0|0|2.5|9|3|100" << 3 << octet("From") << warn;
        QTest::newRow("To above 256") << "127|0|0|254|257|3|100" << 4 << octet("To", 256) << warn;
        QTest::newRow("upper below lower, 255 an octet") << "127|0|255|10|9|3|100" << 5 << range << info;
        QTest::newRow("range checked before retries") << "127|0|0|10|9|50|100" << 6 << range << info;
        QTest::newRow("retries 11, raw time-out") << "127|0|0|1|9|11|2.5" << -1 << ScanChecks::retriesQuestion("11", "2.5") << question;
        QTest::newRow("probe server missing, 10 retries asked nothing, To 256") << "127|0|0| 010|256|10|100" << -1
                                              << "Lanterra can't scan: its probe server pelorin could not be started.\n\n"
                                              << int(MsgBox::OKOnly | MsgBox::Critical);
    }

    void startRefused()
    {
        QFETCH(QString, boxes);
        QFETCH(int, enterIn);
        QFETCH(QString, message);
        QFETCH(int, style);
        MainWindow &w = *m_window;
        fill(w, boxes);
        w.lstIPs->addRow(QStringLiteral("127.0.0.9"));
        if (enterIn < 0)
            QTest::mouseClick(w.cmdScan, Qt::LeftButton);
        else
            QTest::keyClick(inputs(w)[enterIn], Qt::Key_Return);
        QCOMPARE(m_channel.boxes.size(), 1);
        const auto &box = m_channel.boxes[0]; // the server's refusal is followed by the reason it gave
        const bool critical = (style & MsgBox::IconMask) == MsgBox::Critical;
        QCOMPARE(QStringLiteral("%1 %2 ").arg(box.style).arg(box.title) + box.text.left(critical ? message.size() : -1),
                 QStringLiteral("%1 Lanterra ").arg(style) + message);
        QCOMPARE(w.cmdScan->text() + w.txtIP[3]->text() + w.lblThreads->text() + QString::number(w.lstIPs->rowCount()), "StartXReady1");
        QVERIFY(w.cursor().shape() == Qt::ArrowCursor && !w.picScanning->isVisible() && !w.engine().isScanning()
                && !w.txtIPScan[0]->isReadOnly());
    }

    // A scan on stand-ins as the operator sees it: range boxes locked, hosts listed before their page is
    // asked for, settings read per request, the progress line and txtIP(3) settled while a page is awaited;
    // Enter ignored and Escape stopping then; back to idle with nothing left to redraw; then MAC and vendor,
    // the description's tooltip, Copy of several rows, Copy all and Save as CSV of awkward descriptions; a held start.
    void scanAsSeen()
    {
        MainWindow &w = open(std::make_unique<StandInFactory>());
        QTemporaryDir dir;
        for (auto [name, bytes] : {std::pair{"arp", "IP address HW type Flags HW address Mask Device\n"
                                                    "127.0.0.10 0x1 0x2 00:d0:ef:12:34:56 * eth0\n"},
                                   std::pair{"oui.csv", "Registry,Assignment,Organization Name\r\nMA-L,00D0EF,\"Maker, Inc\",Street\r\n"}}) {
            QFile file(dir.filePath(name));
            QVERIFY(file.open(QIODevice::WriteOnly) && file.write(bytes) > 0);
        }
        w.engine().setHardwareSources(dir.filePath("arp"), dir.filePath("oui.csv"));
        fill(w, QStringLiteral("127|0|0|010|13|0|0.4")); // both settings read below 1: 1
        m_factory->pingTimes = {{"127.0.0.10", 0}, {"127.0.0.11", 12}, {"127.0.0.12", 3}};
        const QString title = QStringLiteral("<title>Quorvane Product ID</title>");
        m_factory->pages = {{"127.0.0.10", title + "<body>Model 7, \"Rev B\"\r\n\u00dcnit 2</body>"},
                            {"127.0.0.12", title + "<body>Line one\nLine two <b>x</b></body>"}};

        QStringList seen; // per request: range locked, caption, pointer (B busy), settings, a page host's entry
        QPointer<StandInProbe> heldPage; // the page of .11 never comes
        m_factory->onRequest = [&](const StandInFactory::Request &r) {
            const QList<QLineEdit *> range = inputs(w).mid(0, 5);
            QTreeWidgetItem *entry = r.page ? w.lstIPs->findRow(r.host) : nullptr;
            seen << QStringLiteral("%1 %2%3 %4/%5 %6")
                        .arg(std::all_of(range.begin(), range.end(), [](QLineEdit *b) { return b->isReadOnly(); }))
                        .arg(w.cmdScan->text(), w.cursor().shape() == Qt::BusyCursor ? "B" : "")
                        .arg(r.timeOut).arg(r.retries).arg(entry ? entry->text(0) + ' ' + entry->text(1) : QString());
            w.txtPingTO->setText(QStringLiteral("300")); // both apply from the next request on
            w.txtPingRetries->setText(QStringLiteral("2"));
            const bool hold = r.page && r.host == QLatin1String("127.0.0.11");
            if (hold)
                heldPage = r.probe;
            return !hold;
        };
        QTest::mouseClick(w.cmdScan, Qt::LeftButton);
        QTRY_COMPARE(w.lblThreads->text(), QStringLiteral("Processing Threads: 1"));
        QCOMPARE(w.lblThreads->palette().color(QPalette::WindowText).name() + w.txtIP[3]->text(), "#c0400013");
        QVERIFY(heldPage && QTest::qWaitForWindowActive(&w));
        QTest::keyClick(w.txtPingTO, Qt::Key_Return); // Enter starts (the refusals show it), but not during a scan
        QVERIFY(w.engine().isScanning() && m_channel.boxes.isEmpty());
        QTest::keyClick(&w, Qt::Key_Escape); // stop: .11 is listed without its page
        QCOMPARE(w.lblThreads->text(), QStringLiteral("Scan Completed"));
        QVERIFY(!w.findChild<DisplayThrottle *>()->pending());

        seen.sort();
        QCOMPARE(seen, (QStringList{"1 Stop 300/2 ", "1 Stop 300/2 127.0.0.12 3 ms", "1 StopB 1/1 ", "1 StopB 300/2 ",
                                    "1 StopB 300/2 127.0.0.10 <0 ms", "1 StopB 300/2 127.0.0.11 12 ms"}));
        QCOMPARE(w.cmdScan->text() + w.txtIP[3]->text() + w.lblThreads->palette().color(QPalette::WindowText).name(), "StartX#008000");
        QVERIFY(!w.picScanning->isVisible() && !w.txtIP[0]->isReadOnly() && !w.txtIPScan[1]->isReadOnly());

        // In answer order, the MAC and vendor only where the neighbour table has the host.
        QString rows;
        for (int cell = 0; cell < 5 * w.lstIPs->rowCount(); ++cell)
            rows += w.lstIPs->row(cell / 5 + 1)->text(cell % 5) + QLatin1Char(cell % 5 == 4 ? '#' : '|');
        QCOMPARE(rows, QString::fromUtf8("127.0.0.10|<0 ms|Model 7, \"Rev B\"\r\n\u00dcnit 2|00:D0:EF:12:34:56|Maker, Inc#"
                                         "127.0.0.11|12 ms|||#127.0.0.12|3 ms|Line one\nLine two <b>x</b>||#"));
        QTextDocument tip; // the whole text, all lines, its markup shown as text
        tip.setHtml(w.lstIPs->row(3)->toolTip(2));
        QCOMPARE(tip.toPlainText(), QStringLiteral("Line one\nLine two <b>x</b>"));
        QVERIFY(w.lstIPs->row(2)->toolTip(2).isEmpty());

        auto rowCentre = [&w](int position) { return w.lstIPs->visualItemRect(w.lstIPs->row(position)).center(); };
        QTest::mouseClick(w.lstIPs->viewport(), Qt::LeftButton, {}, rowCentre(1));
        QTest::mouseClick(w.lstIPs->viewport(), Qt::LeftButton, Qt::ControlModifier, rowCentre(3));
        QTest::keyClick(w.lstIPs, Qt::Key_C, Qt::ControlModifier);
        const QString first = "127.0.0.10\t<0 ms\tModel 7, \"Rev B\" \u00dcnit 2\t00:D0:EF:12:34:56\tMaker, Inc\n";
        const QString last = "127.0.0.12\t3 ms\tLine one Line two <b>x</b>\t\t\n";
        QCOMPARE(QGuiApplication::clipboard()->text(), first + last);
        w.mnuCopyAll->trigger();
        QCOMPARE(QGuiApplication::clipboard()->text(), first + "127.0.0.11\t12 ms\t\t\t\n" + last);

        MessageBoxes::setNextSavePath(dir.filePath("scan")); // no extension: .csv is added
        w.mnuSaveCsv->trigger();
        QFile csv(dir.filePath("scan.csv"));
        QVERIFY(csv.open(QIODevice::ReadOnly));
        QCOMPARE(QString::fromUtf8(csv.readAll()),
                 QString::fromUtf8("\xEF\xBB\xBFhost,ping_ms,description,mac,vendor,seen\r\n"
                                   "127.0.0.10,0,\"Model 7, \"\"Rev B\"\"\r\n\u00dcnit 2\",00:D0:EF:12:34:56,"
                                   "\"Maker, Inc\",echo\r\n"
                                   "127.0.0.11,12,,,,echo\r\n127.0.0.12,3,\"Line one\nLine two <b>x</b>\",,,echo\r\n"));
        QVERIFY(m_channel.boxes.isEmpty());
        MessageBoxes::setNextSavePath(dir.filePath("no-such-folder/scan.csv"));
        w.mnuSaveCsv->trigger();
        QVERIFY(m_channel.boxes.size() == 1 && m_channel.boxes[0].style == (MsgBox::OKOnly | MsgBox::Exclamation));
        QVERIFY(m_channel.boxes[0].text.startsWith("The list could not be saved as " + dir.filePath("no-such-folder")));
        m_factory->pending = true; // a start held, then refused: the normal pointer is back
        m_factory->notReady = "refused";
        QTest::mouseClick(w.cmdScan, Qt::LeftButton);
        m_factory->decide();
        QCOMPARE(w.cursor().shape(), Qt::ArrowCursor);
    }

    // The header's menu shows and hides MAC Address and Vendor, hidden in every new window; what the rows'
    // menu offers; a double click, or Open in browser, opens the selected host, nothing when none is.
    void menusAndOpening()
    {
        MainWindow &w = *m_window;
        QHeaderView *header = w.lstIPs->header();
        emit header->customContextMenuRequested(QPoint(5, 5));
        QTRY_VERIFY(w.mnuColumns->isVisible());
        QCOMPARE(items(w.mnuColumns), QStringLiteral("MAC Address|Vendor"));
        QVERIFY(header->isSectionHidden(3) && header->isSectionHidden(4));
        w.mnuShowVendor->trigger();
        QVERIFY(header->isSectionHidden(3) && !header->isSectionHidden(4));
        w.mnuShowMac->trigger();
        w.mnuShowVendor->trigger();
        QVERIFY(!header->isSectionHidden(3) && header->isSectionHidden(4));
        QCOMPARE(w.lstIPs->headerItem()->text(3) + w.lstIPs->headerItem()->text(4), QStringLiteral("MAC AddressVendor"));
        w.mnuColumns->hide();

        emit w.lstIPs->customContextMenuRequested(QPoint(5, 5));
        QCOMPARE(items(w.mnuList), QStringLiteral("Open in browser (off)|Copy (off)|Copy all (off)||Save as CSV\u2026 (off)"));
        w.lstIPs->addRow(QStringLiteral("127.0.0.5"));
        emit w.lstIPs->customContextMenuRequested(QPoint(5, 5));
        QCOMPARE(items(w.mnuList), QStringLiteral("Open in browser (off)|Copy (off)|Copy all||Save as CSV\u2026"));
        w.mnuList->hide();

        UrlCatcher catcher;
        QDesktopServices::setUrlHandler(QStringLiteral("http"), &catcher, "open");
        QTreeWidgetItem *second = w.lstIPs->addRow(QStringLiteral("127.0.0.50"));
        emit w.lstIPs->doubleClicked();
        QVERIFY(catcher.urls.isEmpty());
        const QPoint centre = w.lstIPs->visualItemRect(second).center();
        QTest::mouseClick(w.lstIPs->viewport(), Qt::LeftButton, {}, centre);
        QTest::mouseDClick(w.lstIPs->viewport(), Qt::LeftButton, {}, centre);
        QTRY_COMPARE(catcher.urls, QList<QUrl>{QUrl(QStringLiteral("http://127.0.0.50"))});
        QTest::keyClick(w.lstIPs, Qt::Key_Return); // Enter opens the selected row as a double click does
        QTRY_COMPARE(catcher.urls.size(), 2);
        w.lstIPs->row(1)->setSelected(true); // of several selected, the one clicked last
        emit w.lstIPs->customContextMenuRequested(QPoint(5, 5));
        w.mnuOpen->trigger();
        QTRY_COMPARE(catcher.urls, QList<QUrl>(3, QUrl(QStringLiteral("http://127.0.0.50"))));
        for (const char *refused : {"http:\\\\", "file:\\\\\\etc\\passwd", "javascript:alert(1)", "http:\\\\127.0.0.5 x"})
            QVERIFY2(!BrowserOpener::urlFromShellText(QString::fromLatin1(refused)).isValid(), refused);
        QCOMPARE(BrowserOpener::urlFromShellText(QStringLiteral("HTTP:\\\\127.0.0.5")), QUrl("http://127.0.0.5"));
        QDesktopServices::unsetUrlHandler(QStringLiteral("http"));
    }

    // Labels as wide as their captions. Tab goes through the octets, From, To, Time Out, Retries, Start and the list.
    // Save as CSV through the real dialog leaves nothing in an empty home folder but the saved file.
    void keyboardAndHome()
    {
        MainWindow &w = *m_window;
        for (QLabel *label : {w.lblDisp[0], w.lblDisp[1], w.lblDisp[2], w.lblDisp[3], w.lblDisp[4], w.lblScanning})
            QVERIFY2(label->fontMetrics().horizontalAdvance(label->text()) <= label->width(), qPrintable(label->text()));
        QVERIFY(QTest::qWaitForWindowActive(&w));
        w.txtIP[0]->setFocus();
        QList<QWidget *> tabbed{QApplication::focusWidget()};
        for (int i = 0; i < 8; ++i) {
            QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
            tabbed << QApplication::focusWidget();
        }
        QCOMPARE(tabbed, (QList<QWidget *>{w.txtIP[0], w.txtIP[1], w.txtIP[2], w.txtIPScan[0], w.txtIPScan[1],
                                            w.txtPingTO, w.txtPingRetries, w.cmdScan, w.lstIPs}));

        QTemporaryDir home;
        const QByteArray oldHome = qgetenv("HOME"), oldConfig = qgetenv("XDG_CONFIG_HOME");
        qputenv("HOME", QFile::encodeName(home.path()));
        qunsetenv("XDG_CONFIG_HOME");
        auto restore = qScopeGuard([&] { qputenv("HOME", oldHome); qputenv("XDG_CONFIG_HOME", oldConfig); }); // empty: unset
        w.mnuSaveCsv->trigger();
        QPointer<QFileDialog> dialog;
        QTRY_VERIFY((dialog = w.findChild<QFileDialog *>()) && dialog->isVisible());
        dialog->selectFile(home.filePath("scan"));
        QMetaObject::invokeMethod(dialog, "accept");
        QTRY_VERIFY(!dialog); // closed and gone, its settings written
        QCOMPARE(QDir(home.path()).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot), QStringList{"scan.csv"});
    }

    // Without a recording channel a box is a real one over the window: the window's own modal; the server's
    // shown without blocking (the window stays usable) and answered when pressed.
    void realMessageBoxes()
    {
        MessageBoxes::install(nullptr);
        QStringList seen;
        Watcher presser([&] {
            QMessageBox *shown = m_window->findChild<QMessageBox *>();
            if (!shown || !shown->isVisible())
                return false;
            seen << QStringLiteral("%1 %2 %3").arg(int(shown->icon())).arg(shown->windowTitle()).arg(shown->isModal());
            shown->button(seen.size() == 1 ? QMessageBox::No : QMessageBox::Yes)->click();
            return seen.size() == 2;
        });
        int windowModal = -1, got = -1;
        MessageBoxes::current().open("Sure?", MsgBox::YesNo | MsgBox::Question, "Lanterra", [&](int reply) { windowModal = reply; }, true);
        QTRY_COMPARE(windowModal, int(MsgBox::AnswerNo));
        MessageBoxes::current().open("Sure?", MsgBox::YesNo | MsgBox::Critical, "Pelorin", [&got](int reply) { got = reply; });
        QVERIFY(got == -1 && m_window->isEnabled() && !QApplication::activeModalWidget());
        QTRY_VERIFY(presser.done());
        MessageBoxes::install(&m_channel);
        QCOMPARE(got, int(MsgBox::AnswerYes));
        QCOMPARE(seen, (QStringList{"4 Lanterra 1", "3 Pelorin 0"})); // question, critical; over the window
    }

    // Entries keep their insertion order, also when the header is clicked; an entry is found by its whole text,
    // the first of duplicates.
    void resultList()
    {
        ResultList list;
        for (const char *entry : {"127.0.0.9", "127.0.0.10", "127.0.0.1", "127.0.0.1"})
            list.addRow(QString::fromLatin1(entry));
        QTest::mouseClick(list.header()->viewport(), Qt::LeftButton, {}, QPoint(5, 5));
        QCOMPARE(list.rowCount(), 4);
        QCOMPARE((QList<QTreeWidgetItem *>{list.findRow("127.0.0.9"), list.findRow("127.0.0.10"), list.findRow("127.0.0.1"), list.findRow("127.0.0.")}),
                 (QList<QTreeWidgetItem *>{list.row(1), list.row(2), list.row(3), nullptr}));
    }
};

QTEST_MAIN(WindowTest)
#include "window_test.moc"
