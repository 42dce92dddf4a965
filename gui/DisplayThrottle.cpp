#include "DisplayThrottle.h"

#include <QThread>

DisplayThrottle::DisplayThrottle(int intervalMs, std::function<void()> draw, QObject *parent)
    : QObject(parent), m_draw(std::move(draw))
{
    m_quiet.setSingleShot(true);
    m_quiet.setInterval(intervalMs);
    connect(&m_quiet, &QTimer::timeout, this, [this] {
        if (m_pending) {
            m_quiet.start();
            drawNow();
        }
    });
}

void DisplayThrottle::changed()
{
    Q_ASSERT(QThread::currentThread() == thread());
    if (m_quiet.isActive()) {
        m_pending = true;
        return;
    }
    m_quiet.start();
    drawNow();
}

void DisplayThrottle::showNow()
{
    Q_ASSERT(QThread::currentThread() == thread());
    m_quiet.stop();
    drawNow();
}

void DisplayThrottle::drawNow()
{
    m_pending = false;
    m_draw();
}
