// The main window: its controls at fixed twips places, the resize layout, the start and
// stop steps it owns (checks, boxes, pointer) and the binding to the engine.
#include "MainWindow.h"

#include "Artwork.h"
#include "DisplayThrottle.h"
#include "ResultList.h"
#include "WorkerShell.h"
#include "client/PelorinConnection.h"
#include "client/PelorinProbe.h"
#include "engine/ResultFormat.h"
#include "engine/ScanChecks.h"
#include "engine/ScanEngine.h"
#include "ProbeInterface.h"
#include "WindowSizeLimits.h"
#include "platform/BrowserOpener.h"
#include "platform/MessageBoxes.h"

#include <QAction>
#include <QApplication>
#include <QClipboard>
#include <QCloseEvent>
#include <QDir>
#include <QFileInfo>
#include <QFontDatabase>
#include <QFontMetrics>
#include <QFrame>
#include <QGroupBox>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QPaintEvent>
#include <QPushButton>
#include <QResizeEvent>
#include <QSaveFile>
#include <QShortcut>
#include <QStyleOptionGroupBox>
#include <QStylePainter>
#include <QTextDocument>
#include <QTreeWidgetItem>

#include <algorithm>
#include <tuple>

namespace MsgBox = Pelorin::MsgBox;

namespace {

const QString kStart = QStringLiteral("Start");
const QString kStop = QStringLiteral("Stop");
const QString kIdle = QStringLiteral("X");
const QColor kBusyColour(192, 64, 0);
const QColor kDoneColour(0, 128, 0);
// The progress line and txtIP(3) change with every address and answer; they
// are redrawn at most this often while a scan runs.
constexpr int kProgressRedrawMs = 80;

// The first installed face of the candidates, else the application's font.
QString fontFamily(const QStringList &candidates)
{
    const QStringList installed = QFontDatabase::families();
    for (const QString &family : candidates) {
        if (installed.contains(family, Qt::CaseInsensitive))
            return family;
    }
    return QApplication::font().family();
}

QFont fontOf(const QString &family, double points, bool bold = false)
{
    QFont f(family);
    f.setPointSizeF(points);
    f.setBold(bold);
    return f;
}

// A group box that leaves its title out of a paint that cannot reach it: the
// boxes behind the progress line and txtIP(3) are repainted under them at
// every pacing tick, and laying out the title each time was wasted.
class FrameBox : public QGroupBox
{
public:
    using QGroupBox::QGroupBox;

protected:
    void paintEvent(QPaintEvent *event) override
    {
        QStyleOptionGroupBox option;
        initStyleOption(&option);
        const QRect title = style()->subControlRect(QStyle::CC_GroupBox, &option, QStyle::SC_GroupBoxLabel, this);
        if (!event->region().intersects(title))
            option.subControls &= ~QStyle::SC_GroupBoxLabel;
        QStylePainter painter(this);
        painter.drawComplexControl(QStyle::CC_GroupBox, option);
    }
};

} // namespace

MainWindow::MainWindow(QWidget *parent, ProbeFactory *factory) : QWidget(parent)
{
    if (!factory) {
        m_ownFactory = std::make_unique<PelorinProbeFactory>(PelorinClient::Connection::instance());
        factory = m_ownFactory.get();
    }
    // Each request reads the two boxes anew: an edit applies to every later request.
    m_engine = new ScanEngine(
        *factory,
        [this] {
            return ScanEngine::Settings{ScanChecks::timeOut(txtPingTO->text()),
                                        ScanChecks::retries(txtPingRetries->text())};
        },
        this);

    setObjectName(QStringLiteral("frmMain"));
    setWindowTitle(QString::fromLatin1(kAppTitle));
    setWindowIcon(Artwork::windowIcon());

    m_twipsPerPixelX = WindowSizeLimits::twipsPerPixelX(this);
    m_twipsPerPixelY = WindowSizeLimits::twipsPerPixelY(this);

    buildControls();
    buildMenus();
    applyFonts();

    // Client area 6330 x 7605 twips; the resize layout places the result frame.
    resize(toPixelsX(6330), toPixelsY(7605));
    layoutOnResize();

    MessageBoxes::setParentWindow(this);
    bindEngine();

    WindowSizeLimits::installLimits(this, true, 6450, 4920, 6450, 0);
}

MainWindow::~MainWindow()
{
    // Workers first, while the window they report to is still whole.
    delete m_engine;
    m_engine = nullptr;
    delete m_worker0;
    MessageBoxes::setParentWindow(nullptr);
}

// ---------------------------------------------------------------------------
// Layout

int MainWindow::toPixelsX(double twips) const
{
    return WindowSizeLimits::twipsToPixels(twips, m_twipsPerPixelX);
}

int MainWindow::toPixelsY(double twips) const
{
    return WindowSizeLimits::twipsToPixels(twips, m_twipsPerPixelY);
}

void MainWindow::place(QWidget *control, double left, double top, double width, double height)
{
    m_twips.insert(control, QRectF(left, top, width, height));
    applyGeometry(control);
}

void MainWindow::applyGeometry(QWidget *control)
{
    const QRectF r = m_twips.value(control);
    control->setGeometry(toPixelsX(r.left()), toPixelsY(r.top()), toPixelsX(r.width()), toPixelsY(r.height()));
}

void MainWindow::buildControls()
{
    auto textBox = [](QWidget *parent, const QString &name, const QString &text, int maxLength) {
        auto *box = new QLineEdit(parent);
        box->setObjectName(name);
        if (maxLength > 0)
            box->setMaxLength(maxLength);
        box->setText(text);
        return box;
    };
    auto label = [](QWidget *parent, const QString &name, const QString &caption) {
        auto *l = new QLabel(caption, parent);
        l->setObjectName(name);
        return l;
    };

    fraMain[0] = new FrameBox(QStringLiteral("Network Information"), this);
    fraMain[0]->setObjectName(QStringLiteral("fraMain(0)"));
    place(fraMain[0], 60, 60, 6195, 1575);

    XPHolder = new QWidget(fraMain[0]);
    XPHolder->setObjectName(QStringLiteral("XPHolder"));
    place(XPHolder, 60, 180, 6075, 1335);

    lblDisp[1] = label(XPHolder, QStringLiteral("lblDisp(1)"), QStringLiteral("IP Range:"));
    place(lblDisp[1], 60, 480, 720, 195);
    const char *octets[] = {"192", "168", "0"};
    for (int i = 0; i < 3; ++i) {
        txtIP[i] = textBox(XPHolder, QStringLiteral("txtIP(%1)").arg(i), QString::fromLatin1(octets[i]), 3);
        place(txtIP[i], 900 + 480 * i, 420, 435, 285);
    }
    txtIP[3] = textBox(XPHolder, QStringLiteral("txtIP(3)"), kIdle, 3);
    place(txtIP[3], 2340, 420, 435, 285);
    txtIP[3]->setEnabled(false);
    {
        // Grey-text background with highlight-text letters, also while disabled.
        const QPalette app = QApplication::palette();
        QPalette palette = txtIP[3]->palette();
        for (QPalette::ColorGroup group : {QPalette::Active, QPalette::Inactive, QPalette::Disabled}) {
            palette.setColor(group, QPalette::Base, app.color(QPalette::Disabled, QPalette::Text));
            palette.setColor(group, QPalette::Text, app.color(QPalette::Active, QPalette::HighlightedText));
        }
        txtIP[3]->setPalette(palette);
    }

    lblDisp[0] = label(XPHolder, QStringLiteral("lblDisp(0)"), QStringLiteral("From:"));
    place(lblDisp[0], 1920, 120, 390, 195);
    txtIPScan[0] = textBox(XPHolder, QStringLiteral("txtIPScan(0)"), QStringLiteral("0"), 3);
    place(txtIPScan[0], 2340, 60, 435, 285);
    lblDisp[4] = label(XPHolder, QStringLiteral("lblDisp(4)"), QStringLiteral("To:"));
    place(lblDisp[4], 2040, 840, 240, 195);
    txtIPScan[1] = textBox(XPHolder, QStringLiteral("txtIPScan(1)"), QStringLiteral("255"), 3);
    place(txtIPScan[1], 2340, 780, 435, 285);

    lblDisp[2] = label(XPHolder, QStringLiteral("lblDisp(2)"), QStringLiteral("Time Out (ms):"));
    place(lblDisp[2], 3120, 120, 1020, 195);
    txtPingTO = textBox(XPHolder, QStringLiteral("txtPingTO"), QStringLiteral("100"), 0);
    place(txtPingTO, 4200, 60, 615, 285);
    lblDisp[3] = label(XPHolder, QStringLiteral("lblDisp(3)"), QStringLiteral("Scan Retries:"));
    place(lblDisp[3], 3120, 480, 960, 195);
    txtPingRetries = textBox(XPHolder, QStringLiteral("txtPingRetries"), QStringLiteral("3"), 2);
    place(txtPingRetries, 4200, 420, 615, 285);

    cmdScan = new QPushButton(kStart, XPHolder);
    cmdScan->setObjectName(QStringLiteral("cmdScan"));
    place(cmdScan, 4200, 840, 1815, 435);
    connect(cmdScan, &QPushButton::clicked, this, &MainWindow::startOrStop);

    m_worker0 = new WorkerShell(XPHolder);
    place(m_worker0, 60, 60, 1215, 195);

    fraMain[1] = new FrameBox(QStringLiteral("Located IPs"), this);
    fraMain[1]->setObjectName(QStringLiteral("fraMain(1)"));
    place(fraMain[1], 60, 1680, 6195, 5835);

    lstIPs = new ResultList(fraMain[1]);
    lstIPs->setObjectName(QStringLiteral("lstIPs"));
    place(lstIPs, 120, 240, 5955, 5235);
    lstIPs->addColumn(QStringLiteral("host"), QStringLiteral("Host IP"), 1800, m_twipsPerPixelX);
    lstIPs->addColumn(QStringLiteral("ping"), QStringLiteral("Ping Time (ms)"), 1500, m_twipsPerPixelX);
    lstIPs->addColumn(QStringLiteral("equip"), QStringLiteral("QV Equipment"), 2320, m_twipsPerPixelX);
    // Two more, hidden until the operator shows them from the header's menu.
    lstIPs->addColumn(QStringLiteral("mac"), QStringLiteral("MAC Address"), 1950, m_twipsPerPixelX);
    lstIPs->addColumn(QStringLiteral("vendor"), QStringLiteral("Vendor"), 2320, m_twipsPerPixelX);
    lstIPs->setColumnHidden(3, true);
    lstIPs->setColumnHidden(4, true);
    connect(lstIPs, &ResultList::doubleClicked, this, &MainWindow::openSelectedHost);

    lblThreads = label(fraMain[1], QStringLiteral("lblThreads"), QStringLiteral("Ready"));
    place(lblThreads, 120, 5520, 465, 195);
    {
        QPalette palette = lblThreads->palette();
        palette.setColor(QPalette::WindowText, kDoneColour);
        lblThreads->setPalette(palette);
    }

    picScanning = new QFrame(fraMain[1]);
    picScanning->setObjectName(QStringLiteral("picScanning"));
    // An opaque, bordered box: the list's rows don't show through it.
    picScanning->setFrameStyle(QFrame::Panel | QFrame::Sunken);
    picScanning->setLineWidth(2);
    picScanning->setBackgroundRole(QPalette::Window);
    picScanning->setAutoFillBackground(true);
    place(picScanning, 1860, 1500, 2115, 1215);
    imgScanning = new QLabel(picScanning);
    imgScanning->setObjectName(QStringLiteral("imgScanning"));
    imgScanning->setAlignment(Qt::AlignCenter);
    imgScanning->setPixmap(Artwork::scanningPicture(toPixelsX(720)));
    place(imgScanning, 660, 60, 720, 720);
    lblScanning = label(picScanning, QStringLiteral("lblScanning"), QStringLiteral("Scanning, please wait..."));
    place(lblScanning, 240, 900, 1695, 195);
    picScanning->hide();

    // Keyboard order: Tab goes from each control to the next one in this list;
    // frames, labels and pictures take no focus.
    const QList<QWidget *> order = {txtIP[0],  txtIP[1],       txtIP[2], txtIPScan[0], txtIPScan[1],
                                    txtPingTO, txtPingRetries, cmdScan,  lstIPs};
    for (int i = 1; i < order.size(); ++i)
        setTabOrder(order[i - 1], order[i]);

    // Enter in any input box starts a scan as start does; Escape stops one as stop does.
    for (QLineEdit *box : {txtIP[0], txtIP[1], txtIP[2], txtIPScan[0], txtIPScan[1], txtPingTO, txtPingRetries}) {
        connect(box, &QLineEdit::returnPressed, this, [this] {
            if (!m_engine->isScanning())
                startOrStop();
        });
    }
    connect(new QShortcut(QKeySequence(Qt::Key_Escape), this), &QShortcut::activated, this, [this] {
        if (m_engine->isScanning())
            startOrStop();
    });
}

void MainWindow::buildMenus()
{
    mnuList = new QMenu(this);
    mnuOpen = mnuList->addAction(QStringLiteral("Open in browser"), this, &MainWindow::openSelectedHost);
    mnuCopy = mnuList->addAction(QStringLiteral("Copy"), this, [this] { copyRows(false); });
    mnuCopy->setShortcut(QKeySequence::Copy);
    mnuCopy->setShortcutContext(Qt::WidgetShortcut);
    lstIPs->addAction(mnuCopy);
    mnuCopyAll = mnuList->addAction(QStringLiteral("Copy all"), this, [this] { copyRows(true); });
    mnuList->addSeparator();
    mnuSaveCsv = mnuList->addAction(QStringLiteral("Save as CSV\u2026"), this, &MainWindow::saveAsCsv);
    lstIPs->setContextMenuPolicy(Qt::CustomContextMenu);
    connect(lstIPs, &QWidget::customContextMenuRequested, this, [this](const QPoint &pos) {
        mnuOpen->setEnabled(lstIPs->selectedRow() != nullptr);
        mnuCopy->setEnabled(!lstIPs->selectedItems().isEmpty());
        mnuCopyAll->setEnabled(lstIPs->rowCount() > 0);
        mnuSaveCsv->setEnabled(lstIPs->rowCount() > 0);
        mnuList->popup(lstIPs->viewport()->mapToGlobal(pos));
    });

    // The extra columns stay as chosen for the rest of the run; nothing is saved.
    mnuColumns = new QMenu(this);
    mnuShowMac = mnuColumns->addAction(QStringLiteral("MAC Address"));
    mnuShowVendor = mnuColumns->addAction(QStringLiteral("Vendor"));
    for (auto [action, column] : {std::pair{mnuShowMac, 3}, std::pair{mnuShowVendor, 4}}) {
        action->setCheckable(true);
        connect(action, &QAction::toggled, this, [this, column = column](bool shown) {
            lstIPs->setColumnHidden(column, !shown);
        });
    }
    QHeaderView *header = lstIPs->header();
    header->setContextMenuPolicy(Qt::CustomContextMenu);
    connect(header, &QWidget::customContextMenuRequested, this,
            [this, header](const QPoint &pos) { mnuColumns->popup(header->mapToGlobal(pos)); });
}

void MainWindow::applyFonts()
{
    const QString sansSerif = fontFamily({QStringLiteral("MS Sans Serif"), QStringLiteral("Liberation Sans"),
                                          QStringLiteral("DejaVu Sans")});
    const QString arial =
        fontFamily({QStringLiteral("Arial"), QStringLiteral("Liberation Sans"), QStringLiteral("DejaVu Sans")});

    setFont(fontOf(sansSerif, 8.25));
    txtIP[3]->setFont(fontOf(sansSerif, 8.25, true));
    lstIPs->setFont(fontOf(arial, 9));
    for (QLabel *l : {lblDisp[0], lblDisp[1], lblDisp[2], lblDisp[3], lblDisp[4], lblScanning, lblThreads})
        fitToCaption(l);
}

// A label is as wide as its caption, at its place in the layout, and never lower
// than its height there.
void MainWindow::fitToCaption(QLabel *label)
{
    const QFontMetrics metrics(label->font());
    QRectF r = m_twips.value(label);
    r.setWidth(metrics.horizontalAdvance(label->text()) * m_twipsPerPixelX);
    r.setHeight(std::max(r.height(), metrics.height() * m_twipsPerPixelY));
    m_twips.insert(label, r);
    label->resize(metrics.horizontalAdvance(label->text()), toPixelsY(r.height()));
}

// Rows, captions and txtIP(3) change with every answer; a paint of the
// window waits while the display pace holds a change back, and the pace's
// next drawing paints everything changed meanwhile.
bool MainWindow::event(QEvent *event)
{
    if (event->type() == QEvent::UpdateRequest && m_display && m_display->pending()) {
        m_paintHeld = true;
        return true;
    }
    return QWidget::event(event);
}

void MainWindow::resizeEvent(QResizeEvent *event)
{
    QWidget::resizeEvent(event);
    layoutOnResize();
}

// The result frame follows the window's height: its bottom 75 twips above the
// client area's, the list and status line inside it, the indicator centred.
// Computed in twips in single precision; a minimized or tiny window clamps at 0.
void MainWindow::layoutOnResize()
{
    if (!fraMain[1])
        return;
    const float scaleHeight = float(height() * m_twipsPerPixelY);
    const QRectF top = m_twips.value(fraMain[0]);
    QRectF frame = m_twips.value(fraMain[1]);
    QRectF list = m_twips.value(lstIPs);
    QRectF status = m_twips.value(lblThreads);
    QRectF picture = m_twips.value(picScanning);

    const float frameHeight = std::max(0.0f, scaleHeight - float(top.top()) - float(top.height()) - 120.0f);
    frame.setHeight(frameHeight);
    const float listHeight =
        std::max(0.0f, frameHeight - float(list.top()) - float(status.height()) - 120.0f);
    list.setHeight(listHeight);
    status.moveTop(listHeight + float(list.top()) + 30.0f);
    picture.moveLeft(float(frame.width()) / 2.0f - float(picture.width()) / 2.0f);
    picture.moveTop(frameHeight / 2.0f - float(picture.height()) / 2.0f);

    m_twips.insert(fraMain[1], frame);
    m_twips.insert(lstIPs, list);
    m_twips.insert(lblThreads, status);
    m_twips.insert(picScanning, picture);
    applyGeometry(fraMain[1]);
    applyGeometry(lstIPs);
    lblThreads->move(toPixelsX(status.left()), toPixelsY(status.top()));
    applyGeometry(picScanning);
}

void MainWindow::setPointer(PointerCode code)
{
    switch (code) {
    case PointerArrowHourglass: setCursor(Qt::BusyCursor); break;
    case PointerHourglass: setCursor(Qt::WaitCursor); break;
    case PointerDefault: unsetCursor(); break;
    }
}

void MainWindow::setThreadsCaption(const QString &caption, const QColor &colour)
{
    if (lblThreads->text() == caption && lblThreads->palette().color(QPalette::WindowText) == colour)
        return; // nothing to reshape or repaint
    QPalette palette = lblThreads->palette();
    palette.setColor(QPalette::WindowText, colour);
    lblThreads->setPalette(palette);
    lblThreads->setText(caption);
    fitToCaption(lblThreads);
}

void MainWindow::closeEvent(QCloseEvent *event)
{
    // A close ends a running scan as stop does.
    m_engine->stop();
    WindowSizeLimits::installLimits(this, false, 0, 0, 0, 0);
    event->accept();
}

// ---------------------------------------------------------------------------
// start and stop

void MainWindow::startOrStop()
{
    setPointer(PointerArrowHourglass);
    if (m_engine->isScanning())
        stopSteps();
    else
        startSteps();
}

// The refusals, each one box, before anything changes or is sent; the retries
// question goes on to the start only on Yes. Every box is modal to the window
// and answers through its continuation.
void MainWindow::startSteps()
{
    using ScanChecks::kHighestOctet;
    const std::tuple<QLineEdit *, const char *, int> octetBoxes[] = {
        {txtIP[0], "The first octet", kHighestOctet},  {txtIP[1], "The second octet", kHighestOctet},
        {txtIP[2], "The third octet", kHighestOctet},  {txtIPScan[0], "From", kHighestOctet},
        {txtIPScan[1], "To", ScanChecks::kHighestUpperBound},
    };
    const auto refuse = [this](const QString &text, int style) {
        openBox(text, style, [this](int) { setPointer(PointerDefault); });
    };
    for (const auto &[box, name, highest] : octetBoxes) {
        if (!ScanChecks::octet(box->text(), highest))
            return refuse(ScanChecks::octetRefusal(QString::fromLatin1(name), highest),
                          MsgBox::OKOnly | MsgBox::Exclamation);
    }
    if (ScanChecks::rangeReversed(txtIPScan[0]->text(), txtIPScan[1]->text()))
        return refuse(ScanChecks::rangeRefusal(), MsgBox::OKOnly | MsgBox::Information);
    if (!ScanChecks::retriesNeedQuestion(txtPingRetries->text()))
        return startScan();
    openBox(ScanChecks::retriesQuestion(txtPingRetries->text(), txtPingTO->text()), MsgBox::YesNo | MsgBox::Question,
            [this](int answer) {
                if (answer == MsgBox::AnswerYes && !m_engine->isScanning())
                    startScan();
                else
                    setPointer(PointerDefault);
            });
}

void MainWindow::startScan()
{
    m_range = ScanChecks::range(txtIP[0]->text(), txtIP[1]->text(), txtIP[2]->text(), txtIPScan[0]->text(),
                                txtIPScan[1]->text());
    // The arrow-and-hourglass stays until the last address has been handed out.
    if (!m_engine->start(ScanChecks::addresses(m_range)))
        setPointer(PointerDefault);
}

void MainWindow::openBox(const QString &text, int style, std::function<void(int)> reply)
{
    MessageBoxes::current().open(text, style, QString::fromLatin1(kAppTitle), std::move(reply), true);
}

void MainWindow::stopSteps()
{
    setPointer(PointerHourglass);
    m_engine->stop();
    setPointer(PointerDefault);
}

// The range boxes hold still while a scan runs: the range was taken at start.
void MainWindow::setRangeLocked(bool locked)
{
    for (QLineEdit *box : {txtIP[0], txtIP[1], txtIP[2], txtIPScan[0], txtIPScan[1]})
        box->setReadOnly(locked);
}

void MainWindow::bindEngine()
{
    m_display = new DisplayThrottle(kProgressRedrawMs, [this] { drawScanProgress(); }, this);
    connect(m_engine, &ScanEngine::started, this, [this] {
        m_busy = 0;
        lstIPs->clearRows();
        m_hosts.clear();
        m_positions.clear();
        picScanning->show();
        setRangeLocked(true);
        cmdScan->setText(kStop);
    });
    // Only the end of a scan (octet -1) is drawn at once, so that the idle
    // display is exact; the rest follows at the display's pace.
    connect(m_engine, &ScanEngine::cursorChanged, this, [this](qsizetype dispatched) {
        m_nextOctet = ScanChecks::nextOctet(m_range, dispatched);
        if (dispatched < 0 || dispatched >= m_engine->addressCount())
            setPointer(PointerDefault);
        if (m_nextOctet < 0)
            m_display->showNow();
        else
            m_display->changed();
    });
    connect(m_engine, &ScanEngine::hostFound, this, [this](quint64 row, const HostRecord &record) {
        QTreeWidgetItem *entry = lstIPs->addRow(record.host);
        ResultList::setSubItem(entry, 1, ResultFormat::pingText(record.pingTime));
        ResultList::setSubItem(entry, 3, record.mac);
        ResultList::setSubItem(entry, 4, record.vendor);
        m_positions.insert(row, lstIPs->rowCount() - 1);
        m_hosts.append(record);
        m_display->changed();
    });
    connect(m_engine, &ScanEngine::descriptionSet, this, [this](quint64 row, const QString &description) {
        const int position = m_positions.value(row, -1);
        QTreeWidgetItem *entry = lstIPs->row(position);
        if (!entry || position >= m_hosts.size())
            return;
        m_hosts[position].description = description;
        ResultList::setSubItem(entry, 2, description);
        // The whole text, every line of it, as plain text: a page's markup is not rendered.
        if (!description.isEmpty())
            entry->setToolTip(2, Qt::convertFromPlainText(description, Qt::WhiteSpacePre));
        m_display->changed();
    });
    connect(m_engine, &ScanEngine::rowComplete, this, [this](quint64 row) { m_positions.remove(row); });
    connect(m_engine, &ScanEngine::progress, this, [this](int busy) {
        m_busy = busy;
        m_display->changed();
    });
    connect(m_engine, &ScanEngine::finished, this, [this] {
        m_busy = 0;
        m_display->showNow();
        setThreadsCaption(QStringLiteral("Scan Completed"), kDoneColour);
        cmdScan->setText(kStart);
        picScanning->hide();
        setRangeLocked(false);
        m_worker0->reinit();
    });
    // A start held until pelorin answered, then refused: its message has said why.
    connect(m_engine, &ScanEngine::startRefused, this, [this] { setPointer(PointerDefault); });
    connect(m_engine, &ScanEngine::message, this,
            [this](const QString &text, int style) { openBox(text, style, [](int) {}); });
}

// Selected rows (or all) as tab-separated lines, in list order.
void MainWindow::copyRows(bool all)
{
    QString text;
    for (int position = 0; position < std::min(lstIPs->rowCount(), int(m_hosts.size())); ++position) {
        if (all || lstIPs->row(position)->isSelected())
            text += ResultFormat::line(ResultFormat::Format::TabSeparated, m_hosts[position]);
    }
    if (!text.isEmpty())
        QGuiApplication::clipboard()->setText(text);
}

// The whole list through the command line's CSV writer, replacing the file
// only once all of it is written.
void MainWindow::saveAsCsv()
{
    MessageBoxes::saveFileName(QStringLiteral("Save as CSV"), QDir::home().filePath(QStringLiteral("lanterra-scan.csv")),
                               QStringLiteral("CSV files (*.csv);;All files (*)"),
                               [this](const QString &chosen) { writeCsv(chosen); });
}

void MainWindow::writeCsv(QString path)
{
    if (path.isEmpty())
        return;
    if (QFileInfo(path).suffix().isEmpty())
        path += QStringLiteral(".csv");
    // A byte-order mark first: spreadsheets then read the file as UTF-8.
    QString csv = QChar(QChar::ByteOrderMark) + ResultFormat::header(ResultFormat::Format::Csv);
    for (const HostRecord &record : std::as_const(m_hosts))
        csv += ResultFormat::line(ResultFormat::Format::Csv, record);
    const QByteArray bytes = csv.toUtf8();
    QSaveFile file(path);
    if (file.open(QIODevice::WriteOnly) && file.write(bytes) == bytes.size() && file.commit())
        return;
    openBox(QStringLiteral("The list could not be saved as %1.\n\n%2")
                .arg(QDir::toNativeSeparators(path), file.errorString()),
            MsgBox::OKOnly | MsgBox::Exclamation, [](int) {});
}

void MainWindow::drawScanProgress()
{
    if (std::exchange(m_paintHeld, false))
        QCoreApplication::postEvent(this, new QEvent(QEvent::UpdateRequest), Qt::LowEventPriority);
    const QString octet = m_nextOctet < 0 ? kIdle : QString::number(m_nextOctet);
    if (txtIP[3]->text() != octet)
        txtIP[3]->setText(octet);
    if (m_busy > 0)
        setThreadsCaption(QStringLiteral("Processing Threads: ") + QString::number(m_busy), kBusyColour);
}

void MainWindow::openSelectedHost()
{
    QTreeWidgetItem *entry = lstIPs->selectedRow();
    if (!entry)
        return;
    BrowserOpener::open(QStringLiteral("http:\\\\") + entry->text(0));
}
