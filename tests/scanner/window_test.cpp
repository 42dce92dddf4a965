// The main window without a network: the designed figures, the checks that
// stop a Start before anything is sent, a scan on stand-in probes as the
// operator sees it and what leaves the window (Copy, CSV, MAC and vendor),
// the menus, the keyboard, the double click and the real message boxes.
#include "Artwork.h"
#include "BrowserOpener.h"
#include "Harness.h"
#include "PelorinConnection.h"
#include "ResultList.h"
#include "ScanEngine.h"
#include "StandInProbe.h"
#include "frmMain.h"
#include "modResizeSubclass.h"

#include <QAction>
#include <QApplication>
#include <QClipboard>
#include <QDesktopServices>
#include <QGroupBox>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QMessageBox>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTest>
#include <QTextDocument>
#include <QTreeWidgetItem>

#include <memory>

namespace MsgBox = Pelorin::MsgBox;

namespace {

class UrlCatcher : public QObject
{
    Q_OBJECT
public:
    QList<QUrl> urls;
public slots:
    void open(const QUrl &url) { urls.append(url); }
};

int opaquePixels(const QPixmap &pixmap)
{
    const QImage image = pixmap.toImage().convertToFormat(QImage::Format_ARGB32);
    int count = 0;
    for (int y = 0; y < image.height(); ++y)
        for (int x = 0; x < image.width(); ++x)
            count += qAlpha(image.pixel(x, y)) > 128 ? 1 : 0;
    return count;
}

QStringList texts(const QList<QAction *> &actions)
{
    QStringList out;
    for (const QAction *a : actions)
        out << a->text() + (a->isEnabled() ? QString() : QStringLiteral(" (off)"));
    return out;
}

void writeFile(const QString &path, const QByteArray &bytes)
{
    QFile file(path);
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.write(bytes);
}

} // namespace

class WindowTest : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase()
    {
        MessageBoxes::install(&m_channel);
        // No probe server for these tests: even a Start that got past every check
        // could not send anything.
        PelorinClient::Connection::instance().setServerPath(QCoreApplication::applicationDirPath()
                                                            + QStringLiteral("/no-such-pelorin"));
    }

    void init()
    {
        m_channel.boxes.clear();
        m_channel.answer = MsgBox::AnswerNo;
        open(nullptr);
    }

    void cleanup()
    {
        m_window.reset();
        m_factory.reset();
        QDesktopServices::unsetUrlHandler(QStringLiteral("http"));
    }

    // The resize's worked example at the designed client height, the size
    // limits, the list's columns, the defaults and the artwork; a tiny window
    // lays out without failing.
    void designedFigures()
    {
        frmMain &w = *m_window;
        if (!qFuzzyCompare(w.twipsPerPixelY(), 15.0) || !qFuzzyCompare(w.twipsPerPixelX(), 15.0))
            QSKIP("the figures are in pixels at 96 dpi");
        QTRY_COMPARE(w.fraMain[1]->height(), 390); // 5850 twips
        QCOMPARE(w.lstIPs->height(), 353);     // 5295
        QCOMPARE(w.lblThreads->y(), 371);      // 5565
        QCOMPARE(w.picScanning->x(), 136);     // 2040
        QVERIFY(qAbs(w.picScanning->y() - 154) <= 1); // 2317.5
        QCOMPARE(w.picScanning->size(), QSize(141, 81));
        QCOMPARE(w.minimumSize(), QSize(430, 328) - (w.frameGeometry().size() - w.size()));
        QCOMPARE(w.maximumWidth(), w.minimumWidth());
        QCOMPARE((QList<int>{w.lstIPs->columnWidth(0), w.lstIPs->columnWidth(1), w.lstIPs->columnWidth(2)}),
                 (QList<int>{120, 100, 155}));
        QStringList defaults;
        for (QLineEdit *box : {w.txtIP[0], w.txtIP[1], w.txtIP[2], w.txtIP[3], w.txtIPScan[0], w.txtIPScan[1],
                               w.txtPingTO, w.txtPingRetries})
            defaults << box->text() + QLatin1Char('/') + QString::number(qMin(box->maxLength(), 9));
        QCOMPARE(defaults.join(u' '), QStringLiteral("192/3 168/3 0/3 X/3 0/3 255/3 100/9 3/2"));
        QVERIFY(!w.txtIP[3]->isEnabled() && !w.picScanning->isVisible());
        QCOMPARE(w.windowTitle() + w.lblThreads->text(), QStringLiteral("LanterraReady"));

        const QIcon icon = Artwork::windowIcon();
        for (int size : {16, 32}) {
            const int drawn = opaquePixels(icon.pixmap(QSize(size, size)));
            QVERIFY2(drawn > size * size / 5 && drawn < size * size, qPrintable(QString::number(drawn)));
        }
        QCOMPARE(w.imgScanning->pixmap().deviceIndependentSize().toSize(), QSize(48, 48));
        QVERIFY(opaquePixels(w.imgScanning->pixmap()) > 48 * 48 / 5);

        modResizeSubclass::SubclassForm(&w, false, 0, 0, 0, 0);
        w.resize(w.width(), 3);
        QTRY_COMPARE(w.height(), 3);
        QCOMPARE(w.fraMain[1]->height() + w.lstIPs->height(), 0);
        w.resize(w.width(), 507);
        QTRY_COMPARE(w.fraMain[1]->height(), 390);
    }

    // The window keeps its 8.25 pt font; each label is as wide as its caption.
    // The scanning box is opaque: list rows don't show through it.
    void whatTheOperatorSees()
    {
        frmMain &w = *m_window;
        for (QLabel *label : {w.lblDisp[0], w.lblDisp[1], w.lblDisp[2], w.lblDisp[3], w.lblDisp[4], w.lblScanning,
                              w.lblThreads}) {
            QCOMPARE(label->font().pointSizeF(), 8.25);
            QVERIFY2(label->fontMetrics().horizontalAdvance(label->text()) <= label->width(), qPrintable(label->text()));
        }
        QVERIFY(w.txtIP[3]->font().bold() && w.txtIP[3]->font().pointSizeF() == 8.25);

        for (int i = 0; i < 40; ++i)
            ResultList::SetSubItem(w.lstIPs->Add(QStringLiteral("127.0.0.%1").arg(i)), 1, QStringLiteral("<0 ms"));
        w.picScanning->show();
        const QImage image = w.fraMain[1]->grab().toImage();
        const QRect box = w.picScanning->geometry();
        const QColor window = w.picScanning->palette().color(QPalette::Window);
        QVERIFY(w.lstIPs->palette().color(QPalette::Base) != window);
        for (int y : {box.top() + 4, box.bottom() - 4})
            for (int x = box.left() + 4; x < box.right() - 4; ++x)
                QCOMPARE(image.pixelColor(x, y), window);
    }

    // Starts stopped before anything is sent: a box that can't be an octet,
    // the range check, the retries question answered No, no probe server.
    // Nothing but the message may change.
    void startRefused_data()
    {
        QTest::addColumn<QStringList>("octets");
        QTest::addColumn<QString>("lower");
        QTest::addColumn<QString>("upper");
        QTest::addColumn<QString>("retries");
        QTest::addColumn<QString>("timeOut");
        QTest::addColumn<QString>("message");
        QTest::addColumn<int>("style");

        const QStringList lab = {"127", "0", "0"};
        const QString range =
            QStringLiteral("Scan range is incorrect.  Upper range bound must be higher than the lower one.");
        const int info = MsgBox::OKOnly | MsgBox::Information;
        const int warn = MsgBox::OKOnly | MsgBox::Exclamation;
        const int question = MsgBox::YesNo | MsgBox::Question;
        auto retry = [](const QString &r, const QString &t) {
            return QStringLiteral("Program will retry %1 times at %2 ms interval for each IP.  This may take long "
                                  "time to complete.  Are you sure you want to continue?")
                .arg(r, t);
        };
        auto octet = [](const char *box) { return QString::fromLatin1(box) + " must be a whole number from 0 to 255."; };

        QTest::newRow("first octet 999") << QStringList{"999", "0", "0"} << "1" << "9" << "3" << "100" << octet("The first octet") << warn;
        QTest::newRow("second octet negative") << QStringList{"127", "-1", "0"} << "1" << "9" << "3" << "100" << octet("The second octet") << warn;
        QTest::newRow("third octet fraction") << QStringList{"127", "0", "0.5"} << "1" << "9" << "3" << "100" << octet("The third octet") << warn;
        QTest::newRow("From fraction") << lab << "2.5" << "9" << "3" << "100" << octet("From") << warn;
        QTest::newRow("To above 255") << lab << "254" << "260" << "3" << "100" << octet("To") << warn;
        QTest::newRow("upper below lower") << lab << "10" << "9" << "3" << "100" << range << info;
        QTest::newRow("range checked before retries") << lab << "10" << "9" << "50" << "100" << range << info;
        QTest::newRow("retries 11, raw time-out") << lab << "1" << "9" << "11" << "2.5" << retry("11", "2.5") << question;
        QTest::newRow("time-out read as a number") << lab << "5" << "5" << "12" << " 1 0x" << retry("12", "10") << question;
        QTest::newRow("probe server missing")
            << lab << " 010" << "10" << "3" << "100"
            << "Lanterra can't scan: its probe server pelorin could not be started.\n\n" << int(MsgBox::OKOnly | MsgBox::Critical);
    }

    void startRefused()
    {
        QFETCH(QStringList, octets);
        QFETCH(QString, lower);
        QFETCH(QString, upper);
        QFETCH(QString, retries);
        QFETCH(QString, timeOut);
        QFETCH(QString, message);
        QFETCH(int, style);

        frmMain &w = *m_window;
        for (int i = 0; i < 3; ++i)
            w.txtIP[i]->setText(octets[i]);
        w.lstIPs->Add(QStringLiteral("127.0.0.9"));
        w.txtIPScan[0]->setText(lower);
        w.txtIPScan[1]->setText(upper);
        w.txtPingRetries->setText(retries);
        w.txtPingTO->setText(timeOut);
        ScanObjShell *zero = w.worker0();

        QTest::mouseClick(w.cmdScan, Qt::LeftButton);

        QCOMPARE(m_channel.boxes.size(), 1);
        if ((style & MsgBox::IconMask) == MsgBox::Critical) // followed by the reason the server gave
            QVERIFY2(m_channel.boxes[0].text.startsWith(message), qPrintable(m_channel.boxes[0].text));
        else
            QCOMPARE(m_channel.boxes[0].text, message);
        QCOMPARE(m_channel.boxes[0].style, style);
        QCOMPARE(m_channel.boxes[0].title, QStringLiteral("Lanterra"));

        QCOMPARE(w.cmdScan->text() + w.txtIP[3]->text() + w.lblThreads->text(), QStringLiteral("StartXReady"));
        QCOMPARE(w.lstIPs->Count(), 1);
        QVERIFY(!w.picScanning->isVisible());
        QCOMPARE(w.cursor().shape(), Qt::ArrowCursor);
        QCOMPARE(w.worker0(), zero);
        QVERIFY(!w.engine().isScanning());
        QVERIFY(!w.txtIPScan[0]->isReadOnly());
    }

    // A scan on stand-in probes as the operator sees it: the range boxes
    // locked, txtIP(3) following the next address, hosts listed with their
    // ping time before their page is asked for, time-out and retries read per
    // request; then the MAC and vendor, the description's tooltip, Copy of
    // several rows, Copy all and Save as CSV of awkward descriptions.
    void scanAsSeen()
    {
        frmMain &w = open(std::make_unique<StandInFactory>());
        QTemporaryDir dir;
        writeFile(dir.filePath("arp"), "IP address HW type Flags HW address Mask Device\n"
                                       "127.0.0.10 0x1 0x2 00:d0:ef:12:34:56 * eth0\n");
        writeFile(dir.filePath("oui.csv"), "Registry,Assignment,Organization Name,Organization Address\r\n"
                                           "MA-L,00D0EF,\"Maker, Inc\",Street\r\n");
        w.engine().setHardwareSources(dir.filePath("arp"), dir.filePath("oui.csv"));
        prepare(w, "010", "13", "2.5", "0");
        m_factory->pingTimes = {{"127.0.0.10", 0}, {"127.0.0.11", 12}, {"127.0.0.12", 3}};
        const QString title = QStringLiteral("<title>Quorvane Product ID</title>");
        m_factory->pages = {{"127.0.0.10", title + "<body>Model 7, \"Rev B\"\r\n\u00dcnit 2</body>"},
                            {"127.0.0.12", title + "<body>Line one\nLine two <b>x</b></body>"}};

        QStringList seen; // per request: locked boxes, caption, settings, the entry of a page's host
        QString octetAtFirst;
        m_factory->onRequest = [&](const StandInFactory::Request &r) {
            bool locked = true;
            for (QLineEdit *box : {w.txtIP[0], w.txtIP[1], w.txtIP[2], w.txtIPScan[0], w.txtIPScan[1]})
                locked = locked && box->isReadOnly();
            QTreeWidgetItem *entry = r.page ? w.lstIPs->FindItem(r.host) : nullptr;
            seen.append(QStringLiteral("%1 %2 %3/%4 %5 %6")
                            .arg(locked)
                            .arg(w.cmdScan->text())
                            .arg(r.timeOut)
                            .arg(r.retries)
                            .arg(entry ? entry->text(0) + QLatin1Char(' ') + entry->text(1) : QString())
                            .arg(w.lblThreads->text()));
            if (octetAtFirst.isEmpty())
                octetAtFirst = w.txtIP[3]->text();
            w.txtPingTO->setText(QStringLiteral("7")); // applies from the next request on
            return true;
        };
        QTest::mouseClick(w.cmdScan, Qt::LeftButton);
        QTRY_COMPARE(w.lblThreads->text(), QStringLiteral("Scan Completed"));

        QCOMPARE(m_factory->pinged(), (QStringList{"127.0.0.10", "127.0.0.11", "127.0.0.12"}));
        QCOMPARE(octetAtFirst, QStringLiteral("11"));
        QVERIFY2(seen.first().startsWith("1 Stop 2/1 "), qPrintable(seen.first()));
        for (const QString &s : seen.mid(1))
            QVERIFY2(s.startsWith("1 Stop 7/1 ") && s.contains("Processing Threads: "), qPrintable(s));
        for (const char *entry : {"127.0.0.10 <0 ms Processing", "127.0.0.11 12 ms Processing", "127.0.0.12 3 ms Processing"})
            QVERIFY2(seen.filter(QString::fromUtf8(entry)).size() == 1, entry);
        QCOMPARE(w.lblThreads->palette().color(QPalette::WindowText), QColor(0, 128, 0));
        QCOMPARE(w.cmdScan->text() + w.txtIP[3]->text(), QStringLiteral("StartX"));
        QVERIFY(!w.picScanning->isVisible() && !w.txtIP[0]->isReadOnly() && !w.txtIPScan[1]->isReadOnly());
        QVERIFY(m_channel.boxes.isEmpty());

        // In answer order, the MAC and vendor only where the neighbour table has the host.
        QStringList rows;
        for (int position = 1; position <= w.lstIPs->Count(); ++position) {
            QStringList cells;
            for (int column = 0; column < 5; ++column)
                cells << w.lstIPs->Item(position)->text(column);
            rows << cells.join(u'|');
        }
        QCOMPARE(rows, (QStringList{"127.0.0.10|<0 ms|Model 7, \"Rev B\"\r\n\u00dcnit 2|00:D0:EF:12:34:56|Maker, Inc",
                                    "127.0.0.11|12 ms|||", "127.0.0.12|3 ms|Line one\nLine two <b>x</b>||"}));
        QTextDocument tip;
        tip.setHtml(w.lstIPs->Item(3)->toolTip(2));
        QCOMPARE(tip.toPlainText(), QStringLiteral("Line one\nLine two <b>x</b>"));
        QVERIFY(w.lstIPs->Item(2)->toolTip(2).isEmpty());

        QTest::mouseClick(w.lstIPs->viewport(), Qt::LeftButton, {}, w.lstIPs->visualItemRect(w.lstIPs->Item(1)).center());
        QTest::mouseClick(w.lstIPs->viewport(), Qt::LeftButton, Qt::ControlModifier,
                          w.lstIPs->visualItemRect(w.lstIPs->Item(3)).center());
        QTest::keyClick(w.lstIPs, Qt::Key_C, Qt::ControlModifier);
        const QString first = "127.0.0.10\t<0 ms\tModel 7, \"Rev B\" \u00dcnit 2\t00:D0:EF:12:34:56\tMaker, Inc\n";
        const QString last = "127.0.0.12\t3 ms\tLine one Line two <b>x</b>\t\t\n";
        QCOMPARE(QGuiApplication::clipboard()->text(), first + last);
        w.mnuCopyAll->trigger();
        QCOMPARE(QGuiApplication::clipboard()->text(), first + "127.0.0.11\t12 ms\t\t\t\n" + last);

        MessageBoxes::setNextSavePath(dir.filePath("scan.csv"));
        w.mnuSaveCsv->trigger();
        QFile csv(dir.filePath("scan.csv"));
        QVERIFY(csv.open(QIODevice::ReadOnly));
        QCOMPARE(QString::fromUtf8(csv.readAll()),
                 QString::fromUtf8("host,ping_ms,description,mac,vendor\r\n"
                 "127.0.0.10,0,\"Model 7, \"\"Rev B\"\"\r\n\u00dcnit 2\",00:D0:EF:12:34:56,\"Maker, Inc\"\r\n"
                 "127.0.0.11,12,,,\r\n127.0.0.12,3,\"Line one\nLine two <b>x</b>\",,\r\n"));
        QVERIFY(m_channel.boxes.isEmpty());
        MessageBoxes::setNextSavePath(dir.filePath("no-such-folder/scan.csv"));
        w.mnuSaveCsv->trigger();
        QCOMPARE(m_channel.boxes.size(), 1);
        QVERIFY(m_channel.boxes[0].text.startsWith("The list could not be saved as " + dir.filePath("no-such-folder")));
        QCOMPARE(m_channel.boxes[0].style, MsgBox::OKOnly | MsgBox::Exclamation);
    }

    // Enter in any input box does what Start does; during a scan only Escape
    // stops it, as Stop does.
    void keyboard()
    {
        frmMain &w = open(std::make_unique<StandInFactory>());
        prepare(w, "0", "255", "100", "1");
        for (QLineEdit *box : {w.txtIP[0], w.txtIP[1], w.txtIP[2], w.txtIPScan[0], w.txtIPScan[1], w.txtPingTO,
                               w.txtPingRetries}) {
            m_factory->requests.clear();
            QTest::keyClick(box, Qt::Key_Return);
            QTRY_COMPARE(w.lblThreads->text(), QStringLiteral("Scan Completed"));
            QCOMPARE(m_factory->pinged().size(), 255);
        }

        m_factory->requests.clear();
        m_factory->onRequest = [](const StandInFactory::Request &) { return false; }; // silent hosts
        QVERIFY(QTest::qWaitForWindowActive(&w));
        bool scanningAfterEnter = false;
        Watcher presser([&] {
            if (w.engine().busyCount() < ScanEngine::kSlotCount)
                return false;
            QTest::keyClick(w.txtPingTO, Qt::Key_Return);
            scanningAfterEnter = w.engine().isScanning();
            QTest::keyClick(&w, Qt::Key_Escape);
            return true;
        });
        QTest::keyClick(w.txtPingRetries, Qt::Key_Enter);
        QTRY_VERIFY(presser.done());
        QVERIFY(scanningAfterEnter);
        QCOMPARE(m_factory->pinged().size(), int(ScanEngine::kSlotCount));
        QCOMPARE(w.lblThreads->text() + w.cmdScan->text(), QStringLiteral("Scan CompletedStart"));
        QVERIFY(!w.engine().isScanning() && m_channel.boxes.isEmpty());
    }

    // The header's menu shows and hides MAC Address and Vendor, hidden in
    // every new window; the rows' menu and what it offers.
    void menus()
    {
        frmMain &w = *m_window;
        QHeaderView *header = w.lstIPs->header();
        emit header->customContextMenuRequested(QPoint(5, 5));
        QTRY_VERIFY(w.mnuColumns->isVisible());
        QCOMPARE(texts(w.mnuColumns->actions()), (QStringList{"MAC Address", "Vendor"}));
        QVERIFY(header->isSectionHidden(3) && header->isSectionHidden(4));
        w.mnuShowVendor->trigger();
        QCOMPARE(w.lstIPs->headerItem()->text(4), QStringLiteral("Vendor"));
        QVERIFY(header->isSectionHidden(3) && !header->isSectionHidden(4));
        w.mnuShowMac->trigger();
        w.mnuShowVendor->trigger();
        QCOMPARE(w.lstIPs->headerItem()->text(3), QStringLiteral("MAC Address"));
        QVERIFY(!header->isSectionHidden(3) && header->isSectionHidden(4));
        w.mnuColumns->hide();

        emit w.lstIPs->customContextMenuRequested(QPoint(5, 5));
        QTRY_VERIFY(w.mnuList->isVisible());
        const QStringList empty = {"Open in browser (off)", "Copy (off)", "Copy all (off)", "", "Save as CSV\u2026 (off)"};
        QCOMPARE(texts(w.mnuList->actions()), empty);
        QCOMPARE(w.mnuCopy->shortcut(), QKeySequence(QKeySequence::Copy));
        w.mnuList->hide();
        w.lstIPs->Add(QStringLiteral("127.0.0.5"));
        emit w.lstIPs->customContextMenuRequested(QPoint(5, 5));
        QCOMPARE(texts(w.mnuList->actions()).mid(1), (QStringList{"Copy (off)", "Copy all", "", "Save as CSV\u2026"}));
        w.mnuList->hide();
    }

    // A double click, or Open in browser, opens the selected host; nothing when none is.
    void openSelectedHost()
    {
        UrlCatcher catcher;
        QDesktopServices::setUrlHandler(QStringLiteral("http"), &catcher, "open");
        ResultList *list = m_window->lstIPs;
        list->Add(QStringLiteral("127.0.0.5"));
        QTreeWidgetItem *second = list->Add(QStringLiteral("127.0.0.50"));
        emit list->DblClick();
        QVERIFY(catcher.urls.isEmpty());

        const QRect rect = list->visualItemRect(second);
        QTest::mouseClick(list->viewport(), Qt::LeftButton, {}, rect.center());
        QTest::mouseDClick(list->viewport(), Qt::LeftButton, {}, rect.center());
        QTRY_COMPARE(catcher.urls, QList<QUrl>{QUrl(QStringLiteral("http://127.0.0.50"))});
        list->Item(1)->setSelected(true);
        m_window->mnuOpen->trigger();
        QTRY_COMPARE(catcher.urls.size(), 2);
        QCOMPARE(catcher.urls[1], QUrl(QStringLiteral("http://127.0.0.50")));
        QVERIFY(m_channel.boxes.isEmpty());

        for (const char *refused : {"http:\\\\", "file:\\\\\\etc\\passwd", "javascript:alert(1)", "http:\\\\127.0.0.5 x"})
            QVERIFY2(!BrowserOpener::urlFromShellText(QString::fromLatin1(refused)).isValid(), refused);
        QCOMPARE(BrowserOpener::urlFromShellText(QStringLiteral("HTTP:\\\\127.0.0.5")), QUrl("http://127.0.0.5"));
    }

    void defaultChannelShowsAModalBox_data()
    {
        QTest::addColumn<int>("style");
        QTest::addColumn<int>("press");
        QTest::addColumn<int>("icon");
        QTest::addColumn<int>("answer");

        QTest::newRow("information, OK") << MsgBox::Information << int(QMessageBox::Ok) << int(QMessageBox::Information)
                                         << MsgBox::AnswerOK;
        QTest::newRow("question, No") << (MsgBox::YesNo | MsgBox::Question) << int(QMessageBox::No)
                                      << int(QMessageBox::Question) << MsgBox::AnswerNo;
        QTest::newRow("server's box, Yes") << (MsgBox::YesNo | MsgBox::Critical) << int(QMessageBox::Yes)
                                           << int(QMessageBox::Critical) << MsgBox::AnswerYes;
    }

    // Without a recording channel the box is a real one over the window: modal
    // for the window's own boxes; for the server's, shown without blocking
    // (the window stays usable), answered when pressed, titled just "Pelorin".
    void defaultChannelShowsAModalBox()
    {
        QFETCH(int, style);
        QFETCH(int, press);
        QFETCH(int, icon);
        QFETCH(int, answer);
        const bool server = (style & MsgBox::IconMask) == MsgBox::Critical;

        MessageBoxes::install(nullptr);
        MessageBoxes::setParentWindow(m_window.get());
        QString seen;
        bool shownModal = false;
        Watcher presser([&] {
            QMessageBox *shown = m_window->findChild<QMessageBox *>();
            if (!shown || !shown->isVisible())
                return false;
            shownModal = shown->isModal();
            seen = QStringLiteral("%1 %2 %3 %4").arg(int(shown->icon())).arg(shown->text(), shown->windowTitle())
                       .arg(shown->parentWidget() == m_window.get());
            shown->button(QMessageBox::StandardButton(press))->click();
            return true;
        });
        int got = -1;
        const QString title = QLatin1String(server ? "Pelorin" : "Lanterra");
        if (server) {
            MessageBoxes::current().open(QStringLiteral("Scan range is incorrect."), style, title,
                                         [&got](int reply) { got = reply; });
            QCOMPARE(got, -1);
            QVERIFY(m_window->isEnabled() && !QApplication::activeModalWidget());
            QTRY_VERIFY(presser.done());
        } else {
            got = MessageBoxes::current().show(QStringLiteral("Scan range is incorrect."), style, title);
        }
        MessageBoxes::setParentWindow(nullptr);
        MessageBoxes::install(&m_channel);

        QCOMPARE(got, answer);
        QCOMPARE(seen, QStringLiteral("%1 Scan range is incorrect. %2 1").arg(icon).arg(title));
        QCOMPARE(shownModal, !server);
    }

private:
    // A shown window at the designed client height, scanning with the given
    // stand-ins, or with pelorin (missing here) when none are given.
    frmMain &open(std::unique_ptr<StandInFactory> factory)
    {
        m_window.reset();
        m_factory = std::move(factory);
        m_window = std::make_unique<frmMain>(nullptr, m_factory.get());
        m_window->show();
        [&] { QVERIFY(QTest::qWaitForWindowExposed(m_window.get())); }();
        m_window->resize(m_window->width(), qRound(7605 / m_window->twipsPerPixelY()));
        return *m_window;
    }

    static void prepare(frmMain &w, const char *lower, const char *upper, const char *timeOut, const char *retries)
    {
        for (int i = 0; i < 3; ++i)
            w.txtIP[i]->setText(QString::number(i == 0 ? 127 : 0));
        w.txtIPScan[0]->setText(QString::fromLatin1(lower));
        w.txtIPScan[1]->setText(QString::fromLatin1(upper));
        w.txtPingTO->setText(QString::fromLatin1(timeOut));
        w.txtPingRetries->setText(QString::fromLatin1(retries));
    }

    RecordingBoxes m_channel;
    std::unique_ptr<StandInFactory> m_factory;
    std::unique_ptr<frmMain> m_window;
};

QTEST_MAIN(WindowTest)
#include "window_test.moc"
