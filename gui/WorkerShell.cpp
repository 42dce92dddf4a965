// The worker shell: one probe object, its two events passed on with the
// shell's index, and a small green label as its only visible content.
#include "WorkerShell.h"

#include "client/ProbeObjectProxy.h"

#include <QPalette>
#include <QResizeEvent>

WorkerShell::WorkerShell(qint16 index, QWidget *parent)
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

WorkerShell::~WorkerShell()
{
    releaseObject();
}

bool WorkerShell::reinit()
{
    releaseObject();
    return connectNewObject();
}

// Disconnects first, so nothing of the old object reaches the window, then
// releases it. Safe from inside the object's own event: the client side
// expects a handler to destroy the object that is raising.
void WorkerShell::releaseObject()
{
    if (!m_probeObject)
        return;
    disconnect(m_probeObject.get(), nullptr, this, nullptr);
    m_probeObject.reset();
}

bool WorkerShell::connectNewObject()
{
    m_error.clear();
    m_probeObject = PelorinClient::ProbeObjectProxy::create(&m_error);
    if (!m_probeObject) {
        if (m_error.isEmpty())
            m_error = QStringLiteral("The probe object could not be created.");
        return false;
    }
    connect(m_probeObject.get(), &PelorinClient::ProbeObjectProxy::PingResponse, this,
            [this](QString &ip, qint16 &pingTime) { emit PingResponse(m_index, ip, pingTime); });
    connect(m_probeObject.get(), &PelorinClient::ProbeObjectProxy::HTTPReqResponse, this,
            [this](QString &host, QString &rawData) { emit HTTPReqResponse(m_index, host, rawData); });
    return true;
}

// The shell is always as large as its label, whatever its container asks.
void WorkerShell::resizeEvent(QResizeEvent *event)
{
    QWidget::resizeEvent(event);
    if (size() != lblDisp->size())
        resize(lblDisp->size());
}
