// The main window: its controls at fixed twips places, the resize layout, the Start and
// Stop steps it owns (checks, boxes, pointer) and the binding to the engine.
#include "frmMain.h"

#include "Artwork.h"
#include "BrowserOpener.h"
#include "MessageBoxes.h"
#include "PelorinConnection.h"
#include "PelorinInterface.h"
#include "PelorinProbe.h"
#include "ResultFormat.h"
#include "ResultList.h"
#include "ScanChecks.h"
#include "ScanEngine.h"
#include "ScanObjShell.h"
#include "modResizeSubclass.h"

#include <QApplication>
#include <QCloseEvent>
#include <QFontDatabase>
#include <QFontMetrics>
#include <QFrame>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QPointer>
#include <QPushButton>
#include <QResizeEvent>
#include <QTreeWidgetItem>

#include <algorithm>

namespace MsgBox = Pelorin::MsgBox;

namespace {

const QString kStart = QStringLiteral("Start");
const QString kStop = QStringLiteral("Stop");
const QString kIdle = QStringLiteral("X");
const QColor kBusyColour(192, 64, 0);
const QColor kDoneColour(0, 128, 0);

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

struct Caption {
    QString text;
    QSize box;
};

// The largest size, from the wanted one down by quarter points, at which every caption fits its control.
QFont fittingFont(const QString &family, double wantedPoints, bool bold, const QList<Caption> &captions)
{
    QFont font(family);
    font.setBold(bold);
    for (double points = wantedPoints; points > 5.0; points -= 0.25) {
        font.setPointSizeF(points);
        const QFontMetrics metrics(font);
        const bool fits = std::all_of(captions.begin(), captions.end(), [&](const Caption &c) {
            return metrics.horizontalAdvance(c.text) <= c.box.width() && metrics.height() <= c.box.height();
        });
        if (fits)
            return font;
    }
    return font;
}

int msgBox(const QString &text, int style)
{
    return MessageBoxes::current().show(text, style, QString::fromLatin1(frmMain::kAppTitle));
}

} // namespace

frmMain::frmMain(QWidget *parent, ProbeFactory *factory) : QWidget(parent)
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

    m_twipsPerPixelX = modResizeSubclass::twipsPerPixelX(this);
    m_twipsPerPixelY = modResizeSubclass::twipsPerPixelY(this);

    buildControls();
    applyFonts();

    // Client area 6330 x 7605 twips; the resize layout places the result frame.
    resize(toPixelsX(6330), toPixelsY(7605));
    layoutOnResize();

    MessageBoxes::setParentWindow(this);
    bindEngine();

    modResizeSubclass::SubclassForm(this, true, 6450, 4920, 6450, 0);
}

frmMain::~frmMain()
{
    // Workers first, while the window they report to is still whole.
    delete m_engine;
    delete m_worker0;
    MessageBoxes::setParentWindow(nullptr);
}

// ---------------------------------------------------------------------------
// Layout

int frmMain::toPixelsX(double twips) const
{
    return modResizeSubclass::twipsToPixels(twips, m_twipsPerPixelX);
}

int frmMain::toPixelsY(double twips) const
{
    return modResizeSubclass::twipsToPixels(twips, m_twipsPerPixelY);
}

void frmMain::place(QWidget *control, double left, double top, double width, double height)
{
    m_twips.insert(control, QRectF(left, top, width, height));
    applyGeometry(control);
}

void frmMain::applyGeometry(QWidget *control)
{
    const QRectF r = m_twips.value(control);
    control->setGeometry(toPixelsX(r.left()), toPixelsY(r.top()), toPixelsX(r.width()), toPixelsY(r.height()));
}

void frmMain::buildControls()
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

    fraMain[0] = new QGroupBox(QStringLiteral("Network Information"), this);
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
    connect(cmdScan, &QPushButton::clicked, this, &frmMain::cmdScan_Click);

    m_worker0 = new ScanObjShell(0, XPHolder);
    place(m_worker0, 60, 60, 1215, 195);

    fraMain[1] = new QGroupBox(QStringLiteral("Located IPs"), this);
    fraMain[1]->setObjectName(QStringLiteral("fraMain(1)"));
    place(fraMain[1], 60, 1680, 6195, 5835);

    lstIPs = new ResultList(fraMain[1]);
    lstIPs->setObjectName(QStringLiteral("lstIPs"));
    place(lstIPs, 120, 240, 5955, 5235);
    lstIPs->addColumn(QStringLiteral("host"), QStringLiteral("Host IP"), 1800, m_twipsPerPixelX);
    lstIPs->addColumn(QStringLiteral("ping"), QStringLiteral("Ping Time (ms)"), 1500, m_twipsPerPixelX);
    lstIPs->addColumn(QStringLiteral("equip"), QStringLiteral("QV Equipment"), 2320, m_twipsPerPixelX);
    connect(lstIPs, &ResultList::DblClick, this, &frmMain::lstIPs_DblClick);

    lblThreads = label(fraMain[1], QStringLiteral("lblThreads"), QStringLiteral("Ready"));
    place(lblThreads, 120, 5520, 465, 195);
    {
        QPalette palette = lblThreads->palette();
        palette.setColor(QPalette::WindowText, kDoneColour);
        lblThreads->setPalette(palette);
    }

    picScanning = new QFrame(fraMain[1]);
    picScanning->setObjectName(QStringLiteral("picScanning"));
    picScanning->setFrameStyle(QFrame::StyledPanel | QFrame::Sunken);
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
    const QList<QWidget *> order = {cmdScan,   lstIPs,   txtIPScan[1], txtPingRetries, txtPingTO,
                                    txtIP[2],  txtIP[1], txtIP[0],     txtIP[3],       txtIPScan[0]};
    for (int i = 1; i < order.size(); ++i)
        setTabOrder(order[i - 1], order[i]);
}

void frmMain::applyFonts()
{
    const QString sansSerif = fontFamily({QStringLiteral("MS Sans Serif"), QStringLiteral("Liberation Sans"),
                                          QStringLiteral("DejaVu Sans")});
    const QString arial =
        fontFamily({QStringLiteral("Arial"), QStringLiteral("Liberation Sans"), QStringLiteral("DejaVu Sans")});

    QList<Caption> captions;
    for (QLabel *l : {lblDisp[0], lblDisp[1], lblDisp[2], lblDisp[3], lblDisp[4], lblScanning, lblThreads})
        captions.append({l->text(), l->size()});
    captions.append({kStart, cmdScan->size()});
    captions.append({QStringLiteral("192"), txtIP[0]->size()});
    setFont(fittingFont(sansSerif, 8.25, false, captions));

    txtIP[3]->setFont(fittingFont(sansSerif, 8.25, true, {{QStringLiteral("255"), txtIP[3]->size()}}));

    QFont listFont(arial);
    listFont.setPointSizeF(9);
    lstIPs->setFont(listFont);
}

void frmMain::resizeEvent(QResizeEvent *event)
{
    QWidget::resizeEvent(event);
    layoutOnResize();
}

// The result frame follows the window's height: its bottom 75 twips above the
// client area's, the list and status line inside it, the indicator centred.
// Computed in twips in single precision; a minimized or tiny window clamps at 0.
void frmMain::layoutOnResize()
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

void frmMain::setPointer(PointerCode code)
{
    switch (code) {
    case PointerArrowHourglass: setCursor(Qt::BusyCursor); break;
    case PointerHourglass: setCursor(Qt::WaitCursor); break;
    case PointerDefault: unsetCursor(); break;
    }
}

// The status line sizes itself to its caption, as a self-sizing label does.
void frmMain::setThreadsCaption(const QString &caption, const QColor &colour)
{
    QPalette palette = lblThreads->palette();
    palette.setColor(QPalette::WindowText, colour);
    lblThreads->setPalette(palette);
    lblThreads->setText(caption);
    const int width = QFontMetrics(lblThreads->font()).horizontalAdvance(caption);
    lblThreads->resize(width, lblThreads->height());
    QRectF r = m_twips.value(lblThreads);
    r.setWidth(width * m_twipsPerPixelX);
    m_twips.insert(lblThreads, r);
}

void frmMain::closeEvent(QCloseEvent *event)
{
    // A close ends a running scan as Stop does; the dispatch loop, if it is
    // below us on the stack, then finds its work done and returns.
    if (m_engine->isScanning())
        stopSteps();
    modResizeSubclass::SubclassForm(this, false, 0, 0, 0, 0);
    event->accept();
}

// ---------------------------------------------------------------------------
// Start and Stop

void frmMain::cmdScan_Click()
{
    setPointer(PointerArrowHourglass);
    if (m_engine->isScanning())
        stopSteps();
    else
        startSteps();
}

// The refusals, each one box, before anything changes or is sent.
bool frmMain::startRefused()
{
    const std::pair<QLineEdit *, const char *> octetBoxes[] = {
        {txtIP[0], "The first octet"}, {txtIP[1], "The second octet"}, {txtIP[2], "The third octet"},
        {txtIPScan[0], "From"},        {txtIPScan[1], "To"},
    };
    for (const auto &[box, name] : octetBoxes) {
        if (!ScanChecks::octet(box->text())) {
            msgBox(ScanChecks::octetRefusal(QString::fromLatin1(name)), MsgBox::OKOnly | MsgBox::Exclamation);
            return true;
        }
    }
    if (ScanChecks::rangeReversed(txtIPScan[0]->text(), txtIPScan[1]->text())) {
        msgBox(ScanChecks::rangeRefusal(), MsgBox::OKOnly | MsgBox::Information);
        return true;
    }
    if (ScanChecks::retriesNeedQuestion(txtPingRetries->text())
        && msgBox(ScanChecks::retriesQuestion(txtPingRetries->text(), txtPingTO->text()),
                  MsgBox::YesNo | MsgBox::Question)
               != MsgBox::AnswerYes)
        return true;
    return false;
}

void frmMain::startSteps()
{
    QPointer<frmMain> self(this);
    if (!startRefused())
        m_engine->Start(ScanChecks::range(txtIP[0]->text(), txtIP[1]->text(), txtIP[2]->text(),
                                          txtIPScan[0]->text(), txtIPScan[1]->text()));
    if (self)
        setPointer(PointerDefault);
}

void frmMain::stopSteps()
{
    setPointer(PointerHourglass);
    m_engine->Stop();
    setPointer(PointerDefault);
}

// The range boxes hold still while a scan runs: the range was taken at Start.
void frmMain::setRangeLocked(bool locked)
{
    for (QLineEdit *box : {txtIP[0], txtIP[1], txtIP[2], txtIPScan[0], txtIPScan[1]})
        box->setReadOnly(locked);
}

void frmMain::bindEngine()
{
    connect(m_engine, &ScanEngine::started, this, [this] {
        lstIPs->Clear();
        m_entries.clear();
        picScanning->show();
        setRangeLocked(true);
        cmdScan->setText(kStop);
    });
    connect(m_engine, &ScanEngine::cursorChanged, this,
            [this](int octet) { txtIP[3]->setText(octet < 0 ? kIdle : QString::number(octet)); });
    connect(m_engine, &ScanEngine::hostFound, this, [this](quint64 row, const HostRecord &record) {
        QTreeWidgetItem *entry = lstIPs->Add(record.host);
        ResultList::SetSubItem(entry, 1, ResultFormat::pingText(record.pingTime));
        m_entries.insert(row, entry);
    });
    connect(m_engine, &ScanEngine::descriptionSet, this, [this](quint64 row, const QString &description) {
        if (QTreeWidgetItem *entry = m_entries.value(row))
            ResultList::SetSubItem(entry, 2, description);
    });
    connect(m_engine, &ScanEngine::rowComplete, this, [this](quint64 row) { m_entries.remove(row); });
    connect(m_engine, &ScanEngine::progress, this, [this](int busy) {
        setThreadsCaption(QStringLiteral("Processing Threads: ") + QString::number(busy), kBusyColour);
    });
    connect(m_engine, &ScanEngine::finished, this, [this] {
        setThreadsCaption(QStringLiteral("Scan Completed"), kDoneColour);
        cmdScan->setText(kStart);
        picScanning->hide();
        setRangeLocked(false);
        m_worker0->Reinit();
    });
    connect(m_engine, &ScanEngine::message, this, [](const QString &text, int style) { msgBox(text, style); });
}

void frmMain::lstIPs_DblClick()
{
    QTreeWidgetItem *entry = lstIPs->SelectedItem();
    if (!entry)
        return;
    BrowserOpener::open(QStringLiteral("http:\\\\") + entry->text(0));
}
