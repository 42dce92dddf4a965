// The main window without a network: its design and artwork, the resize
// layout, the checks that stop a Start before anything is sent, a scan on
// stand-in probes as the operator sees it, the double click and the address
// it opens, and the real message boxes.
#include "Artwork.h"
#include "BrowserOpener.h"
#include "DisplayThrottle.h"
#include "Harness.h"
#include "PelorinConnection.h"
#include "ResultList.h"
#include "ScanEngine.h"
#include "StandInProbe.h"
#include "ScanObjShell.h"
#include "frmMain.h"
#include "modResizeSubclass.h"

#include <QApplication>
#include <QDesktopServices>
#include <QImage>
#include <QFontMetrics>
#include <QGroupBox>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPointer>
#include <QPushButton>
#include <QTest>
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

} // namespace

namespace {

int opaquePixels(const QPixmap &pixmap)
{
    const QImage image = pixmap.toImage().convertToFormat(QImage::Format_ARGB32);
    int count = 0;
    for (int y = 0; y < image.height(); ++y)
        for (int x = 0; x < image.width(); ++x)
            count += qAlpha(image.pixel(x, y)) > 128 ? 1 : 0;
    return count;
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
        m_window = std::make_unique<frmMain>();
        m_window->show();
        QVERIFY(QTest::qWaitForWindowExposed(m_window.get()));
        // The designed client height, whatever the screen gave the window.
        m_window->resize(m_window->width(), py(7605));
        QTRY_COMPARE(m_window->height(), py(7605));
    }

    void cleanup()
    {
        m_window.reset();
        QDesktopServices::unsetUrlHandler(QStringLiteral("http"));
    }

    void designedGeometry_data()
    {
        QTest::addColumn<QString>("name");
        QTest::addColumn<QRectF>("twips");

        QTest::newRow("fraMain(0)") << "fraMain(0)" << QRectF(60, 60, 6195, 1575);
        QTest::newRow("XPHolder") << "XPHolder" << QRectF(60, 180, 6075, 1335);
        QTest::newRow("txtIP(0)") << "txtIP(0)" << QRectF(900, 420, 435, 285);
        QTest::newRow("txtIP(3)") << "txtIP(3)" << QRectF(2340, 420, 435, 285);
        QTest::newRow("txtIPScan(0)") << "txtIPScan(0)" << QRectF(2340, 60, 435, 285);
        QTest::newRow("txtIPScan(1)") << "txtIPScan(1)" << QRectF(2340, 780, 435, 285);
        QTest::newRow("txtPingTO") << "txtPingTO" << QRectF(4200, 60, 615, 285);
        QTest::newRow("cmdScan") << "cmdScan" << QRectF(4200, 840, 1815, 435);
        QTest::newRow("imgScanning") << "imgScanning" << QRectF(660, 60, 720, 720);
        QTest::newRow("lblScanning") << "lblScanning" << QRectF(240, 900, 1695, 195);
        // Sizes of these follow the window's height (checked with the layout).
        QTest::newRow("fraMain(1) place") << "fraMain(1)" << QRectF(60, 1680, 6195, -1);
        QTest::newRow("lstIPs place") << "lstIPs" << QRectF(120, 240, 5955, -1);
        QTest::newRow("ScanObjArr(0) place") << "ScanObjArr(0)" << QRectF(60, 60, -1, -1);
    }

    void designedGeometry()
    {
        QFETCH(QString, name);
        QFETCH(QRectF, twips);
        QWidget *w = control(name);
        QVERIFY2(w, qPrintable(name));
        QCOMPARE(w->x(), px(twips.left()));
        QCOMPARE(w->y(), py(twips.top()));
        if (twips.width() >= 0)
            QCOMPARE(w->width(), px(twips.width()));
        if (twips.height() >= 0)
            QCOMPARE(w->height(), py(twips.height()));
    }

    void resizeLayout_data()
    {
        QTest::addColumn<double>("clientTwips");
        QTest::newRow("designed") << 7605.0;
        QTest::newRow("taller") << 9600.0;
        QTest::newRow("short") << 5100.0;
    }

    // Bottom of the result frame 75 twips above the client's, the list ending
    // 120 + status height above the frame's bottom, the status line 30 below the
    // list, the indicator centred.
    void resizeLayout()
    {
        QFETCH(double, clientTwips);
        m_window->resize(m_window->width(), py(clientTwips));
        QTRY_COMPARE(m_window->height(), py(clientTwips));
        const double scale = m_window->height() * m_window->twipsPerPixelY();

        const double frame = scale - 60 - 1575 - 120;
        const double list = frame - 240 - 195 - 120;
        const double status = list + 240 + 30;
        const double picLeft = 6195 / 2.0 - 2115 / 2.0;
        const double picTop = frame / 2 - 1215 / 2.0;

        auto near = [](int actual, int expected) { return qAbs(actual - expected) <= 1; };
        QVERIFY2(near(m_window->fraMain[1]->height(), py(frame)), qPrintable(QString::number(m_window->fraMain[1]->height())));
        QVERIFY(near(m_window->lstIPs->height(), py(list)));
        QVERIFY(near(m_window->lblThreads->y(), py(status)));
        QVERIFY(near(m_window->picScanning->x(), px(picLeft)));
        QVERIFY(near(m_window->picScanning->y(), py(picTop)));
        QCOMPARE(m_window->picScanning->size(), QSize(px(2115), py(1215)));

        if (clientTwips == 7605.0 && qFuzzyCompare(m_window->twipsPerPixelY(), 15.0)) {
            // The designed figures: 5850, 5295, 5565, 2040 and 2317.5 twips.
            QCOMPARE(m_window->fraMain[1]->height(), 390);
            QCOMPARE(m_window->lstIPs->height(), 353);
            QCOMPARE(m_window->lblThreads->y(), 371);
            QCOMPARE(m_window->picScanning->x(), 136);
            QVERIFY(near(m_window->picScanning->y(), 154));
        }
    }

    void tinyWindowLaysOutWithoutFailing()
    {
        modResizeSubclass::SubclassForm(m_window.get(), false, 0, 0, 0, 0);
        m_window->resize(m_window->width(), 3);
        QTRY_COMPARE(m_window->height(), 3);
        QCOMPARE(m_window->fraMain[1]->height(), 0);
        QCOMPARE(m_window->lstIPs->height(), 0);
        QVERIFY(m_window->lblThreads->y() >= 0);
        m_window->resize(m_window->width(), py(7605));
        QTRY_COMPARE(m_window->fraMain[1]->height(), py(5850));
    }

    void initialState()
    {
        frmMain &w = *m_window;
        QCOMPARE(w.windowTitle(), QStringLiteral("Lanterra"));
        const QStringList texts = {"192", "168", "0", "X"};
        for (int i = 0; i < 4; ++i) {
            QCOMPARE(w.txtIP[i]->text(), texts[i]);
            QCOMPARE(w.txtIP[i]->maxLength(), 3);
        }
        QVERIFY(!w.txtIP[3]->isEnabled());
        QCOMPARE(w.txtIPScan[0]->text(), QStringLiteral("0"));
        QCOMPARE(w.txtIPScan[1]->text(), QStringLiteral("255"));
        QCOMPARE(w.txtPingTO->text(), QStringLiteral("100"));
        QVERIFY(w.txtPingTO->maxLength() >= 32767);
        QCOMPARE(w.txtPingRetries->text(), QStringLiteral("3"));
        QCOMPARE(w.txtPingRetries->maxLength(), 2);
        QCOMPARE(w.lblThreads->text(), QStringLiteral("Ready"));
        QCOMPARE(w.lblThreads->palette().color(QPalette::WindowText), QColor(0, 128, 0));
        QVERIFY(!w.picScanning->isVisible());
        QCOMPARE(w.worker0()->parentWidget(), w.XPHolder);
        const QStringList headers = {"Host IP", "Ping Time (ms)", "QV Equipment"};
        const QList<int> widths = {1800, 1500, 2320};
        for (int c = 0; c < 3; ++c) {
            QCOMPARE(w.lstIPs->headerItem()->text(c), headers[c]);
            QCOMPARE(w.lstIPs->columnWidth(c), px(widths[c]));
        }

        // The compiled-in artwork draws something at every size it offers.
        const QIcon icon = Artwork::windowIcon();
        for (int size : {16, 32}) {
            QVERIFY(icon.availableSizes().contains(QSize(size, size)));
            const int drawn = opaquePixels(icon.pixmap(QSize(size, size)));
            QVERIFY2(drawn > size * size / 5 && drawn < size * size, qPrintable(QString::number(drawn)));
        }
        QCOMPARE(w.imgScanning->pixmap().deviceIndependentSize().toSize(), QSize(48, 48));
        QVERIFY(opaquePixels(w.imgScanning->pixmap()) > 48 * 48 / 5);
    }

    void captionsFitTheirControls()
    {
        const QList<QLabel *> labels = {m_window->lblDisp[0], m_window->lblDisp[1], m_window->lblDisp[2],
                                        m_window->lblDisp[3], m_window->lblDisp[4], m_window->lblScanning};
        for (QLabel *label : labels) {
            const QFontMetrics metrics(label->font());
            QVERIFY2(metrics.horizontalAdvance(label->text()) <= label->width(), qPrintable(label->text()));
            QVERIFY2(metrics.height() <= label->height(), qPrintable(label->text()));
        }
        const QFontMetrics bold(m_window->txtIP[3]->font());
        QVERIFY(bold.horizontalAdvance(QStringLiteral("255")) < m_window->txtIP[3]->width());
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
        QTest::newRow("From negative") << lab << "-3" << "9" << "3" << "100" << octet("From") << warn;
        QTest::newRow("To above 255") << lab << "254" << "260" << "3" << "100" << octet("To") << warn;
        QTest::newRow("upper below lower") << lab << "10" << "9" << "3" << "100" << range << info;
        QTest::newRow("upper not a number") << lab << "1" << "abc" << "3" << "100" << range << info;
        QTest::newRow("range checked before retries") << lab << "10" << "9" << "50" << "100" << range << info;
        QTest::newRow("retries 11, raw time-out") << lab << "1" << "9" << "11" << "2.5" << retry("11", "2.5") << question;
        QTest::newRow("time-out not a number") << lab << "5" << "5" << "12" << "abc" << retry("12", "0") << question;
        QTest::newRow("blanks inside numbers") << lab << "5" << "5" << "12" << " 1 0" << retry("12", "10") << question;
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

        QCOMPARE(w.cmdScan->text(), QStringLiteral("Start"));
        QCOMPARE(w.txtIP[3]->text(), QStringLiteral("X"));
        QCOMPARE(w.lstIPs->Count(), 1);
        QCOMPARE(w.lblThreads->text(), QStringLiteral("Ready"));
        QVERIFY(!w.picScanning->isVisible());
        QCOMPARE(w.cursor().shape(), Qt::ArrowCursor);
        QCOMPARE(w.worker0(), zero);
        QVERIFY(!w.engine().isScanning());
        QVERIFY(!w.txtIPScan[0]->isReadOnly());
    }

    // A scan on stand-in probes as the operator sees it: the range boxes
    // locked, hosts listed with their ping time before their page is asked
    // for, txtIP(3) and the progress line settled on the next address and the
    // busy workers while a page is awaited, and all of it back to idle, with
    // nothing left to redraw, after the last answer. Time-out and retries are
    // read per request.
    void scanAsSeen()
    {
        StandInFactory factory;
        frmMain w(nullptr, &factory);
        w.show();
        const QStringList octets = {"127", "0", "0"};
        for (int i = 0; i < 3; ++i)
            w.txtIP[i]->setText(octets[i]);
        w.txtIPScan[0]->setText(QStringLiteral("010"));
        w.txtIPScan[1]->setText(QStringLiteral("13"));
        w.txtPingTO->setText(QStringLiteral("2.5"));
        w.txtPingRetries->setText(QStringLiteral("0"));
        factory.pingTimes = {{"127.0.0.10", 0}, {"127.0.0.11", 12}};
        factory.pages = {{"127.0.0.10", "<title>Quorvane Product ID</title><body>Model 7\nRev B</body>"}};

        QStringList seen; // per request: locked boxes, caption, settings, the entry of a page's host
        QPointer<StandInProbe> heldPage; // the page of .11 answers when the test says so
        factory.onRequest = [&](const StandInFactory::Request &r) {
            bool locked = true;
            for (QLineEdit *box : {w.txtIP[0], w.txtIP[1], w.txtIP[2], w.txtIPScan[0], w.txtIPScan[1]})
                locked = locked && box->isReadOnly();
            QTreeWidgetItem *entry = r.page ? w.lstIPs->FindItem(r.host) : nullptr;
            seen.append(QStringLiteral("%1 %2 %3/%4 %5")
                            .arg(locked)
                            .arg(w.cmdScan->text())
                            .arg(r.timeOut)
                            .arg(r.retries)
                            .arg(entry ? entry->text(0) + QLatin1Char(' ') + entry->text(1) : QString()));
            w.txtPingTO->setText(QStringLiteral("7")); // applies from the next request on
            if (r.page && r.host == QLatin1String("127.0.0.11")) {
                heldPage = r.probe;
                return false;
            }
            return true;
        };
        QTest::mouseClick(w.cmdScan, Qt::LeftButton);
        QTRY_COMPARE(w.lblThreads->text(), QStringLiteral("Processing Threads: 1"));
        QCOMPARE(w.lblThreads->palette().color(QPalette::WindowText), QColor(192, 64, 0));
        QCOMPARE(w.txtIP[3]->text(), QStringLiteral("13"));
        QVERIFY(heldPage);
        heldPage->answerPage(QStringLiteral("127.0.0.11"), QString());
        QTRY_COMPARE(w.lblThreads->text(), QStringLiteral("Scan Completed"));
        QVERIFY(!w.findChild<DisplayThrottle *>()->pending());

        QCOMPARE(factory.pinged(), (QStringList{"127.0.0.10", "127.0.0.11", "127.0.0.12"}));
        seen.sort();
        QCOMPARE(seen, (QStringList{"1 Stop 2/1 ", "1 Stop 7/1 ", "1 Stop 7/1 ", "1 Stop 7/1 127.0.0.10 <0 ms",
                                    "1 Stop 7/1 127.0.0.11 12 ms"}));

        QCOMPARE(w.lstIPs->Count(), 2);
        QCOMPARE(w.lstIPs->FindItem("127.0.0.10")->text(1), QStringLiteral("<0 ms"));
        QCOMPARE(w.lstIPs->FindItem("127.0.0.10")->text(2), QStringLiteral("Model 7\nRev B"));
        QCOMPARE(w.lstIPs->FindItem("127.0.0.11")->text(1), QStringLiteral("12 ms"));
        QCOMPARE(w.lstIPs->FindItem("127.0.0.11")->text(2), QString());
        QCOMPARE(w.lblThreads->palette().color(QPalette::WindowText), QColor(0, 128, 0));
        QCOMPARE(w.cmdScan->text(), QStringLiteral("Start"));
        QCOMPARE(w.txtIP[3]->text(), QStringLiteral("X"));
        QVERIFY(!w.picScanning->isVisible());
        QVERIFY(!w.txtIP[0]->isReadOnly());
        QVERIFY(!w.txtIPScan[1]->isReadOnly());
        QVERIFY(m_channel.boxes.isEmpty());
    }

    void doubleClickOpensSelectedHost()
    {
        UrlCatcher catcher;
        QDesktopServices::setUrlHandler(QStringLiteral("http"), &catcher, "open");
        ResultList *list = m_window->lstIPs;

        // Nothing selected: nothing opens.
        list->Add(QStringLiteral("127.0.0.5"));
        QTreeWidgetItem *second = list->Add(QStringLiteral("127.0.0.50"));
        list->clearSelection();
        emit list->DblClick();
        QVERIFY(catcher.urls.isEmpty());

        // A real double click on the second entry.
        const QRect rect = list->visualItemRect(second);
        QTest::mouseClick(list->viewport(), Qt::LeftButton, {}, rect.center());
        QTest::mouseDClick(list->viewport(), Qt::LeftButton, {}, rect.center());
        QCOMPARE(list->SelectedItem(), second);
        QTRY_COMPARE(catcher.urls.size(), 1);
        QCOMPARE(catcher.urls[0], QUrl(QStringLiteral("http://127.0.0.50")));
        QVERIFY(m_channel.boxes.isEmpty());
    }

    void urlFromShellText_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<QString>("url"); // empty: refused

        QTest::newRow("backslashes") << "http:\\\\127.0.0.5" << "http://127.0.0.5";
        QTest::newRow("slashes") << "http://127.0.0.5" << "http://127.0.0.5";
        QTest::newRow("capital scheme") << "HTTP:\\\\127.0.0.5" << "http://127.0.0.5";
        QTest::newRow("no host") << "http:\\\\" << "";
        QTest::newRow("file") << "file:\\\\\\etc\\passwd" << "";
        QTest::newRow("other scheme") << "javascript:alert(1)" << "";
        QTest::newRow("blank in host") << "http:\\\\127.0.0.5 x" << "";
    }

    void urlFromShellText()
    {
        QFETCH(QString, text);
        QFETCH(QString, url);
        const QUrl got = BrowserOpener::urlFromShellText(text);
        if (url.isEmpty())
            QVERIFY2(!got.isValid(), qPrintable(got.toString()));
        else
            QCOMPARE(got.toString(), url);
    }

    void defaultChannelShowsAModalBox_data()
    {
        QTest::addColumn<int>("style");
        QTest::addColumn<int>("press");
        QTest::addColumn<int>("icon");
        QTest::addColumn<int>("answer");

        QTest::newRow("information, OK") << MsgBox::Information << int(QMessageBox::Ok) << int(QMessageBox::Information)
                                         << MsgBox::AnswerOK;
        QTest::newRow("exclamation, OK") << MsgBox::Exclamation << int(QMessageBox::Ok) << int(QMessageBox::Warning)
                                         << MsgBox::AnswerOK;
        QTest::newRow("question, No") << (MsgBox::YesNo | MsgBox::Question) << int(QMessageBox::No)
                                      << int(QMessageBox::Question) << MsgBox::AnswerNo;
        QTest::newRow("server's box, Yes") << (MsgBox::YesNo | MsgBox::Critical) << int(QMessageBox::Yes)
                                           << int(QMessageBox::Critical) << MsgBox::AnswerYes;
    }

    // Without a recording channel the box is a real one over the window: modal
    // for the window's own boxes; for the server's, shown without blocking
    // (the window stays usable) and answered when pressed.
    void defaultChannelShowsAModalBox()
    {
        QFETCH(int, style);
        QFETCH(int, press);
        QFETCH(int, icon);
        QFETCH(int, answer);
        const bool server = (style & MsgBox::IconMask) == MsgBox::Critical;

        MessageBoxes::install(nullptr);
        MessageBoxes::setParentWindow(m_window.get());
        QMessageBox *shown = nullptr;
        int shownIcon = -1;
        QString shownText;
        QWidget *shownParent = nullptr;
        bool shownModal = false;
        Watcher presser([&] {
            shown = m_window->findChild<QMessageBox *>();
            if (!shown || !shown->isVisible())
                return false;
            shownModal = shown->isModal();
            shownIcon = int(shown->icon());
            shownText = shown->text();
            shownParent = shown->parentWidget();
            shown->button(QMessageBox::StandardButton(press))->click();
            return true;
        });
        int got = -1;
        if (server) {
            MessageBoxes::current().open(QStringLiteral("Scan range is incorrect."), style, QStringLiteral("Lanterra"),
                                         [&got](int reply) { got = reply; });
            QCOMPARE(got, -1);
            QVERIFY(m_window->isEnabled() && !QApplication::activeModalWidget());
            QTRY_VERIFY(presser.done());
        } else {
            got = MessageBoxes::current().show(QStringLiteral("Scan range is incorrect."), style,
                                               QStringLiteral("Lanterra"));
        }
        MessageBoxes::setParentWindow(nullptr);
        MessageBoxes::install(&m_channel);

        QCOMPARE(got, answer);
        QCOMPARE(shownIcon, icon);
        QCOMPARE(shownText, QStringLiteral("Scan range is incorrect."));
        QCOMPARE(shownParent, m_window.get());
        QCOMPARE(shownModal, !server);
    }

private:
    QWidget *control(const QString &name) const;
    int px(double twips) const { return qRound(twips / m_window->twipsPerPixelX()); }
    int py(double twips) const { return qRound(twips / m_window->twipsPerPixelY()); }

    RecordingBoxes m_channel;
    std::unique_ptr<frmMain> m_window;
};

QWidget *WindowTest::control(const QString &name) const
{
    if (name == QLatin1String("ScanObjArr(0)"))
        return m_window->worker0();
    return m_window->findChild<QWidget *>(name);
}


QTEST_MAIN(WindowTest)
#include "window_test.moc"
