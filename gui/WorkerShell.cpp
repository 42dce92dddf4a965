// The worker shell: one probe object and a small green label as its only
// visible content.
#include "WorkerShell.h"

#include "client/ProbeObjectProxy.h"

#include <QPalette>
#include <QResizeEvent>

WorkerShell::WorkerShell(QWidget *parent)
    : QWidget(parent), lblDisp(new QLabel(QStringLiteral("ScanObjectShell"), this))
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

WorkerShell::~WorkerShell() = default;

bool WorkerShell::reinit()
{
    m_probeObject.reset();
    return connectNewObject();
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
    return true;
}

// The shell is always as large as its label, whatever its container asks.
void WorkerShell::resizeEvent(QResizeEvent *event)
{
    QWidget::resizeEvent(event);
    if (size() != lblDisp->size())
        resize(lblDisp->size());
}
