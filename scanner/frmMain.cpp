// The main window: its controls as designed, the resize layout, the scan
// controller behind cmdScan and the handlers of the workers' answers.
#include "frmMain.h"

#include "Artwork.h"
#include "BrowserOpener.h"
#include "IdPage.h"
#include "MessageBoxes.h"
#include "PelorinConnection.h"
#include "PelorinInterface.h"
#include "ProbeObject.h"
#include "ResultList.h"
#include "ScanObjShell.h"
#include "TextNumber.h"
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
#include <limits>

using TextNumber::Str;
using TextNumber::Val;
namespace MsgBox = Pelorin::MsgBox;

namespace {

const QString kStart = QStringLiteral("Start");
const QString kStop = QStringLiteral("Stop");
const QString kIdle = QStringLiteral("X");
const QColor kBusyColour(192, 64, 0);
const QColor kDoneColour(0, 128, 0);

// The designed face, or the closest installed one.
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

// The largest size up to the designed one at which every caption fits its control.
QFont fittingFont(const QString &family, double designedPoints, bool bold, const QList<Caption> &captions)
{
    QFont font(family);
    font.setBold(bold);
    for (double points = designedPoints; points > 5.0; points -= 0.25) {
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

frmMain::frmMain(QWidget *parent) : QWidget(parent)
{
    setObjectName(QStringLiteral("frmMain"));
    setWindowTitle(QString::fromLatin1(kAppTitle));
    setWindowIcon(Artwork::windowIcon());

    m_twipsPerPixelX = modResizeSubclass::twipsPerPixelX(this);
    m_twipsPerPixelY = modResizeSubclass::twipsPerPixelY(this);

    buildControls();
    applyFonts();

    // Client area as designed; the resize layout places the result frame.
    resize(toPixelsX(6330), toPixelsY(7605));
    layoutOnResize();

    MessageBoxes::setParentWindow(this);
    connect(&PelorinClient::Connection::instance(), &PelorinClient::Connection::serverDied, this,
            &frmMain::onServerDied, Qt::QueuedConnection);

    modResizeSubclass::SubclassForm(this, true, 6450, 4920, 6450, 0);
}

frmMain::~frmMain()
{
    // Workers first, while the window they report to is still whole.
    const QList<int> indexes = ScanObjArr.keys();
    for (int index : indexes)
        delete ScanObjArr.take(index);
    MessageBoxes::setParentWindow(nullptr);
}

// ---------------------------------------------------------------------------
// Layout

int frmMain::toPixelsX(double twips) const
{
    return qRound(twips / m_twipsPerPixelX);
}

int frmMain::toPixelsY(double twips) const
{
    return qRound(twips / m_twipsPerPixelY);
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

    auto *shell = new ScanObjShell(0, XPHolder);
    place(shell, 60, 60, 1215, 195);
    ScanObjArr.insert(0, shell);

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

    // Keyboard order as designed; frames, labels and pictures take no focus.
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
    if (isScanning())
        stopSteps();
    modResizeSubclass::SubclassForm(this, false, 0, 0, 0, 0);
    event->accept();
}

// ---------------------------------------------------------------------------
// Scan controller

bool frmMain::isScanning() const
{
    return cmdScan->text() != kStart;
}

int frmMain::busyWorkerCount() const
{
    int count = 0;
    for (auto it = ScanObjArr.cbegin(); it != ScanObjArr.cend(); ++it) {
        if (it.key() >= 1 && it.key() <= kSlotCount)
            ++count;
    }
    return count;
}

qint32 frmMain::requestTimeOut() const
{
    const double value = std::max(1.0, Val(txtPingTO->text()));
    bool ok = false;
    const qint32 timeOut = TextNumber::ToLong(value, &ok);
    return ok ? timeOut : std::numeric_limits<qint32>::max();
}

quint8 frmMain::requestRetries() const
{
    const double value = std::max(1.0, Val(txtPingRetries->text()));
    bool ok = false;
    const quint8 retries = TextNumber::ToByte(value, &ok);
    return ok ? retries : std::numeric_limits<quint8>::max();
}

void frmMain::cmdScan_Click()
{
    setPointer(PointerArrowHourglass);
    if (cmdScan->text() == kStart)
        startSteps();
    else
        stopSteps();
}

void frmMain::startSteps()
{
    if (Val(txtIPScan[1]->text()) < Val(txtIPScan[0]->text())) {
        msgBox(QStringLiteral("Scan range is incorrect.  Upper range bound must be higher than the lower one."),
             MsgBox::OKOnly | MsgBox::Information);
        setPointer(PointerDefault);
        return;
    }
    const double retries = Val(txtPingRetries->text());
    if (retries > 10) {
        const QString question = QStringLiteral("Program will retry ") + Str(retries) + QStringLiteral(" times at ")
                                 + Str(Val(txtPingTO->text()))
                                 + QStringLiteral(" ms interval for each IP.  This may take long time to complete.  "
                                                  "Are you sure you want to continue?");
        if (msgBox(question, MsgBox::YesNo | MsgBox::Question) != MsgBox::AnswerYes) {
            setPointer(PointerDefault);
            return;
        }
    }
    if (!probeServerReady()) {
        setPointer(PointerDefault);
        return;
    }

    QPointer<frmMain> self(this);
    txtIP[3]->setText(txtIPScan[0]->text());
    lstIPs->Clear();
    picScanning->show();
    bytQueried = 0;
    unloadAllWorkers();
    ++m_scanGeneration;
    m_scanAnnounced = false;
    m_serverFailureShown = false;
    bDispatchDone = false;
    cmdScan->setText(kStop);

    runDispatchLoop();
    if (self)
        setPointer(PointerDefault);
}

void frmMain::stopSteps()
{
    setPointer(PointerHourglass);
    bDispatchDone = true;
    ++m_scanGeneration;
    unloadAllWorkers();
    ScanFinished();
    setPointer(PointerDefault);
}

// One address per pass, one yield per pass. With every slot busy the loop
// sleeps in the event loop until something arrives (an answer frees a slot,
// Stop, a close) rather than spinning.
void frmMain::runDispatchLoop()
{
    QPointer<frmMain> self(this);
    m_dispatching = true;
    while (!bDispatchDone) {
        const quint8 slot = FindFreeSlot();
        if (slot <= kSlotCount) {
            StartPing(slot);
            if (!self)
                return;
            QCoreApplication::processEvents();
        } else {
            QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
        }
        if (!self)
            return;
    }
    m_dispatching = false;

    if (bThreadsBusy)
        return; // draining: the last answer announces completion
    if (!m_scanAnnounced)
        ScanFinished();
    else
        restoreIdleDisplay();
}

void frmMain::restoreIdleDisplay()
{
    cmdScan->setText(kStart);
    txtIP[3]->setText(kIdle);
    picScanning->hide();
}

QString frmMain::NextAddress()
{
    const QString address = Str(Val(txtIP[0]->text())) + QLatin1Char('.') + Str(Val(txtIP[1]->text()))
                            + QLatin1Char('.') + Str(Val(txtIP[2]->text())) + QLatin1Char('.')
                            + Str(Val(txtIP[3]->text()));
    if (Val(txtIPScan[1]->text()) != Val(txtIP[3]->text()))
        txtIP[3]->setText(Str(Val(txtIP[3]->text()) + 1));
    return address;
}

quint8 frmMain::FindFreeSlot() const
{
    for (quint8 slot = 1; slot <= kSlotCount; ++slot) {
        if (!IsSlotLoaded(slot))
            return slot;
    }
    return kNoFreeSlot;
}

bool frmMain::IsSlotLoaded(quint8 Index) const
{
    return ScanObjArr.contains(Index);
}

void frmMain::StartPing(quint8 Index)
{
    const QString sIP = NextAddress();
    const quint64 generation = m_scanGeneration;
    ScanObjShell *shell = loadWorker(Index);
    if (!shell || generation != m_scanGeneration)
        return;
    const qint32 lTimeOut = requestTimeOut();
    const quint8 Retries = requestRetries();
    shell->ScanObj()->PingRequest(sIP, lTimeOut, Retries);
    if (generation != m_scanGeneration)
        return;
    UpdateProgress();
    // Also ends a range whose octet steps past the upper value without meeting
    // it (a fractional lower value), which would otherwise never end.
    if (Val(txtIP[3]->text()) >= Val(txtIPScan[1]->text()))
        bDispatchDone = true;
}

void frmMain::StartHTTPRequest(quint8 Index)
{
    if (bytQueried >= quint32(lstIPs->Count())) {
        bDispatchDone = true;
        return;
    }
    const quint64 generation = m_scanGeneration;
    ScanObjShell *shell = loadWorker(Index);
    if (!shell || generation != m_scanGeneration)
        return;
    ++bytQueried;
    const QString sHost = lstIPs->Item(int(bytQueried))->text(0);
    const qint32 lPort = IdPage::kPort;
    const QString sFile = QString::fromLatin1(IdPage::kFile);
    const qint32 lTimeOut = requestTimeOut();
    const quint8 Retries = requestRetries();
    shell->ScanObj()->HTTPRequest(sHost, lPort, sFile, lTimeOut, Retries);
    if (generation != m_scanGeneration)
        return;
    UpdateProgress();
}

void frmMain::UpdateProgress()
{
    const int count = busyWorkerCount();
    if (count == 0) {
        if (m_dispatching && !bDispatchDone) {
            // Every worker answered before the next address went out: the
            // scan is not over, the dispatch loop announces its end.
            bThreadsBusy = false;
            return;
        }
        ScanFinished();
        return;
    }
    bThreadsBusy = true;
    setThreadsCaption(QStringLiteral("Processing Threads: ") + QString::number(count), kBusyColour);
}

void frmMain::ScanFinished()
{
    bThreadsBusy = false;
    m_scanAnnounced = true;
    setThreadsCaption(QStringLiteral("Scan Completed"), kDoneColour);
    restoreIdleDisplay();
    if (ScanObjShell *zero = ScanObjArr.value(0))
        zero->Reinit();
}

// Checked before a scan changes anything: a server that can't be started, or
// can't send echo requests, would make a scan that finds nothing.
bool frmMain::probeServerReady()
{
    PelorinClient::Connection &connection = PelorinClient::Connection::instance();
    QString error;
    if (!connection.ensureStarted(&error)) {
        msgBox(QStringLiteral("Lanterra can't scan: its probe server pelorin could not be started.\n\n") + error,
             MsgBox::OKOnly | MsgBox::Critical);
        return false;
    }
    if (!connection.echoUsable()) {
        msgBox(QStringLiteral("Lanterra can't scan: its probe server pelorin is not allowed to send echo requests "
                            "(ping), so no host could be found.\n\n")
                 + connection.echoReason(),
             MsgBox::OKOnly | MsgBox::Exclamation);
        return false;
    }
    return true;
}

// Returns the slot's worker, creating it when the slot is free. Null when the
// scan was stopped while the shell was being made, or no probe object could
// be had (then the scan ends with one message).
ScanObjShell *frmMain::loadWorker(quint8 Index)
{
    if (ScanObjShell *loaded = ScanObjArr.value(Index))
        return loaded->ScanObj() ? loaded : nullptr;

    const quint64 generation = m_scanGeneration;
    QPointer<ScanObjShell> shell = new ScanObjShell(Index, XPHolder);
    if (!shell)
        return nullptr;
    if (generation != m_scanGeneration || IsSlotLoaded(Index)) {
        delete shell;
        return nullptr;
    }
    if (!shell->ScanObj() || !shell->ScanObj()->isAlive()) {
        const QString error = shell->error();
        delete shell;
        reportServerFailure(QStringLiteral("Lanterra could not get a worker from its probe server pelorin, so "
                                           "the scan has been stopped.\n\n")
                            + error);
        return nullptr;
    }
    connect(shell, &ScanObjShell::PingResponse, this, &frmMain::ScanObjArr_PingResponse);
    connect(shell, &ScanObjShell::HTTPReqResponse, this, &frmMain::ScanObjArr_HTTPReqResponse);
    ScanObjArr.insert(Index, shell);
    return shell;
}

void frmMain::unloadWorker(int Index)
{
    if (Index < 1)
        return;
    ScanObjShell *shell = ScanObjArr.take(Index);
    if (!shell)
        return;
    disconnect(shell, nullptr, this, nullptr);
    delete shell;
}

void frmMain::unloadAllWorkers()
{
    for (int index = 1; index <= kSlotCount; ++index)
        unloadWorker(index);
}

bool frmMain::isCurrentWorker(qint16 Index) const
{
    return Index >= 1 && Index <= kSlotCount && ScanObjArr.value(Index) == sender();
}

void frmMain::onServerDied(const QString &reason)
{
    if (!isScanning())
        return;
    reportServerFailure(QStringLiteral("Lanterra's probe server pelorin has stopped, so the scan has been "
                                       "stopped.\n\n")
                        + reason);
}

void frmMain::reportServerFailure(const QString &text)
{
    if (isScanning())
        stopSteps();
    if (m_serverFailureShown)
        return;
    m_serverFailureShown = true;
    msgBox(text, MsgBox::OKOnly | MsgBox::Critical);
}

// ---------------------------------------------------------------------------
// Response handling

void frmMain::ScanObjArr_PingResponse(qint16 Index, QString &sIP, qint16 &iPingTime)
{
    if (!isCurrentWorker(Index))
        return;
    if (iPingTime < 0) {
        unloadWorker(Index);
        UpdateProgress();
        return;
    }
    QTreeWidgetItem *entry = lstIPs->Add(sIP);
    ResultList::SetSubItem(entry, 1,
                           (iPingTime == 0 ? QStringLiteral("<") : QString()) + QString::number(iPingTime)
                               + QStringLiteral(" ms"));
    StartHTTPRequest(quint8(Index));
}

void frmMain::ScanObjArr_HTTPReqResponse(qint16 Index, QString &sIP, QString &sRaw)
{
    if (!isCurrentWorker(Index))
        return;
    // The arguments belong to the probe object: copied before it is released.
    const QString host = sIP;
    const QString raw = sRaw;
    unloadWorker(Index);
    if (!raw.isEmpty()) {
        QTreeWidgetItem *entry = lstIPs->FindItem(host);
        if (entry && IdPage::isIdentificationPage(raw)) {
            if (const std::optional<QString> description = IdPage::description(raw))
                ResultList::SetSubItem(entry, 2, *description);
        }
    }
    UpdateProgress();
}

void frmMain::lstIPs_DblClick()
{
    QTreeWidgetItem *entry = lstIPs->SelectedItem();
    if (!entry)
        return;
    BrowserOpener::open(QStringLiteral("http:\\\\") + entry->text(0));
}
