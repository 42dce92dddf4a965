// Size limits of a top-level window, kept with Qt's minimum and maximum sizes.
// A small hook object, a child of the window, holds the window's limits and
// applies them again whenever the frame, the screen or the screen's size changes.
#include "WindowSizeLimits.h"

#include <QEvent>
#include <QGuiApplication>
#include <QPointer>
#include <QScreen>
#include <QWidget>
#include <QWindow>

#include <cmath>
#include <limits>

namespace WindowSizeLimits {

namespace {

constexpr qint32 kDefaultMinWidthTwips = 2000;
constexpr qint32 kDefaultMinHeightTwips = 1000;
constexpr int kFloorWidth = 150;
constexpr int kFloorHeight = 100;
// Used only when there is no screen at all.
constexpr int kNoScreenPixels = 1 << 20;

QSize screenPixels(const QWidget *w)
{
    QScreen *screen = w->screen();
    if (!screen)
        screen = QGuiApplication::primaryScreen();
    return screen ? screen->geometry().size() : QSize(kNoScreenPixels, kNoScreenPixels);
}

class SizeLimitHook : public QObject
{
public:
    SizeLimitHook(QWidget *window, const Limits &entry)
        : QObject(window), m_window(window), m_entry(entry)
    {
        setObjectName(QStringLiteral("windowSizeLimits"));
        window->installEventFilter(this);
        watchWindow();
        apply();
    }

    ~SizeLimitHook() override
    {
        if (m_window)
            m_window->removeEventFilter(this);
    }

    bool eventFilter(QObject *watched, QEvent *event) override
    {
        if (watched == m_window) {
            switch (event->type()) {
            case QEvent::Show:
            case QEvent::Move:
            case QEvent::Resize:
            case QEvent::WinIdChange:
                watchWindow();
                apply();
                break;
            default:
                break;
            }
        }
        return QObject::eventFilter(watched, event);
    }

private:
    // Follows the native window to another screen and the screen's size changes.
    void watchWindow()
    {
        QWindow *handle = m_window->windowHandle();
        if (handle == m_handle)
            return;
        if (m_handle)
            disconnect(m_handle, nullptr, this, nullptr);
        m_handle = handle;
        if (m_handle) {
            connect(m_handle, &QWindow::screenChanged, this, [this](QScreen *screen) {
                watchScreen(screen);
                apply();
            });
            watchScreen(m_handle->screen());
        }
    }

    void watchScreen(QScreen *screen)
    {
        if (m_screen)
            disconnect(m_screen, nullptr, this, nullptr);
        m_screen = screen;
        if (m_screen)
            connect(m_screen, &QScreen::geometryChanged, this, [this] { apply(); });
    }

    // The limits are outer sizes; Qt's sizes are without the frame.
    QSize frameExtra() const
    {
        if (!m_window->isVisible())
            return QSize(0, 0);
        const QSize extra = m_window->frameGeometry().size() - m_window->geometry().size();
        return extra.expandedTo(QSize(0, 0));
    }

    void apply()
    {
        if (!m_window || m_applying)
            return;
        m_applying = true;
        const TrackSizes track = trackSizes(m_entry, screenPixels(m_window));
        const QSize extra = frameExtra();
        const QSize minimum = (track.minTrack - extra).expandedTo(QSize(0, 0));
        const QSize maximum = (track.maxTrack - extra).expandedTo(minimum).boundedTo(
            QSize(QWIDGETSIZE_MAX, QWIDGETSIZE_MAX));
        if (m_window->minimumSize() != minimum)
            m_window->setMinimumSize(minimum);
        if (m_window->maximumSize() != maximum)
            m_window->setMaximumSize(maximum);
        m_applying = false;
    }

    QPointer<QWidget> m_window;
    QPointer<QWindow> m_handle;
    QPointer<QScreen> m_screen;
    Limits m_entry;
    bool m_applying = false;
};

SizeLimitHook *findHook(QWidget *w)
{
    for (QObject *child : w->children()) {
        if (auto *hook = dynamic_cast<SizeLimitHook *>(child))
            return hook;
    }
    return nullptr;
}

} // namespace

Limits computeLimits(qint32 minWidth, qint32 minHeight, qint32 maxWidth, qint32 maxHeight,
                            double twipsPerPixelX, double twipsPerPixelY, QSize screenTwips)
{
    Limits entry;
    entry.minWidth = twipsToPixels(minWidth ? minWidth : kDefaultMinWidthTwips, twipsPerPixelX);
    entry.minHeight = twipsToPixels(minHeight ? minHeight : kDefaultMinHeightTwips, twipsPerPixelY);
    entry.maxWidth = twipsToPixels(maxWidth ? maxWidth : screenTwips.width(), twipsPerPixelX);
    entry.maxHeight = twipsToPixels(maxHeight ? maxHeight : screenTwips.height(), twipsPerPixelY);
    return entry;
}

TrackSizes trackSizes(const Limits &entry, QSize screenPixels)
{
    TrackSizes sizes;
    sizes.minTrack = QSize(entry.minWidth < kFloorWidth ? kFloorWidth : entry.minWidth,
                           entry.minHeight < kFloorHeight ? kFloorHeight : entry.minHeight);
    sizes.maxTrack = QSize(screenPixels.width() < entry.maxWidth ? screenPixels.width() : entry.maxWidth,
                           screenPixels.height() < entry.maxHeight ? screenPixels.height() : entry.maxHeight);
    return sizes;
}

qint32 twipsToPixels(double twips, double twipsPerPixel)
{
    // nearbyint rounds in the current mode, which is to nearest, ties to even.
    const double pixels = std::nearbyint(twips / twipsPerPixel);
    if (!(pixels >= std::numeric_limits<qint32>::min()))
        return std::isnan(pixels) ? 0 : std::numeric_limits<qint32>::min();
    return pixels > std::numeric_limits<qint32>::max() ? std::numeric_limits<qint32>::max() : qint32(pixels);
}

double twipsPerPixelX(const QWidget *w)
{
    return w->logicalDpiX() > 0 ? 1440.0 / w->logicalDpiX() : kTwipsPerPixel;
}

double twipsPerPixelY(const QWidget *w)
{
    return w->logicalDpiY() > 0 ? 1440.0 / w->logicalDpiY() : kTwipsPerPixel;
}

void installLimits(QWidget *frm, bool install, qint32 minWidth, qint32 minHeight, qint32 maxWidth,
                  qint32 maxHeight)
{
    if (!frm)
        return;
    SizeLimitHook *existing = findHook(frm);
    if (!install) {
        if (existing) {
            delete existing;
            frm->setMinimumSize(0, 0);
            frm->setMaximumSize(QWIDGETSIZE_MAX, QWIDGETSIZE_MAX);
        }
        return;
    }
    delete existing;
    // The same factors the window lays itself out with.
    const double tppX = twipsPerPixelX(frm);
    const double tppY = twipsPerPixelY(frm);
    const QSize screen = screenPixels(frm);
    const QSize screenTwips(int(qMin<double>(screen.width() * tppX, std::numeric_limits<qint32>::max())),
                            int(qMin<double>(screen.height() * tppY, std::numeric_limits<qint32>::max())));
    const Limits entry = computeLimits(minWidth, minHeight, maxWidth, maxHeight, tppX, tppY, screenTwips);
    new SizeLimitHook(frm, entry);
}

} // namespace WindowSizeLimits
