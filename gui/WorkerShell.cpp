// The worker shell: one probe object, its two events passed on with the
// shell's index, and a small green label as its only visible content.
#include "ScanObjShell.h"

#include "client/ProbeObject.h"

#include <QCoreApplication>
#include <QPalette>
#include <QResizeEvent>

ScanObjShell::ScanObjShell(qint16 index, QWidget *parent)
    : QWidget(parent), m_index(index), lblDisp(new QLabel(QStringLiteral("ScanObjectShell"), this))
{
    setObjectName(QStringLiteral("ScanObjArr"));
    lblDisp->setObjectName(QStringLiteral("lblDisp"));
    lblDisp->setAutoFillBackground(true);
    QPalette palette = lblDisp->palette();
    palette.setColor(QPalette::Window, QColor(0, 255, 0));
    lblDisp->setPalette(palette);
    lblDisp->move(0, 0);
    lblDisp->adjustSize();
    resize(lblDisp->size());

    connectNewObject();
}

ScanObjShell::~ScanObjShell()
{
    releaseObject();
}

bool ScanObjShell::Reinit()
{
    releaseObject();
    return connectNewObject();
}

// Disconnects first, so nothing of the old object reaches the window, then
// releases it. Safe from inside the object's own event: the client side
// expects a handler to destroy the object that is raising.
void ScanObjShell::releaseObject()
{
    if (!ScanThread)
        return;
    disconnect(ScanThread.get(), nullptr, this, nullptr);
    ScanThread.reset();
}

bool ScanObjShell::connectNewObject()
{
    m_error.clear();
    ScanThread = PelorinClient::clsMain::create(&m_error);
    if (!ScanThread) {
        if (m_error.isEmpty())
            m_error = QStringLiteral("The probe object could not be created.");
        return false;
    }
    connect(ScanThread.get(), &PelorinClient::clsMain::PingResponse, this,
            [this](QString &sIP, qint16 &iPingTime) { emit PingResponse(m_index, sIP, iPingTime); });
    connect(ScanThread.get(), &PelorinClient::clsMain::HTTPReqResponse, this,
            [this](QString &sHost, QString &sRawData) { emit HTTPReqResponse(m_index, sHost, sRawData); });
    return true;
}

void ScanObjShell::resizeEvent(QResizeEvent *event)
{
    QWidget::resizeEvent(event);
    if (m_fitting)
        return;
    m_fitting = true;
    const QSize labelSize = lblDisp->size();
    if (width() != labelSize.width())
        resize(labelSize.width(), height());
    if (height() != labelSize.height())
        resize(width(), labelSize.height());
    m_fitting = false;
    // May run the window's handlers, which may even destroy this shell:
    // nothing of it is touched afterwards.
    QCoreApplication::processEvents();
}
