// The main window's size limits: a fixed outer width and a height between the
// window's minimum and the screen height. Qt's minimum and maximum sizes take
// the place of the window-procedure hook; the limits and their defaults stay.
#pragma once

#include <QSize>
#include <QtGlobal>

class QWidget;

namespace WindowSizeLimits {

// Twips per pixel when a window reports no logical density (96 dots per inch).
// installLimits otherwise uses 1440 / the window's logical dots per inch, the
// same factors the window lays itself out with.
inline constexpr double kTwipsPerPixel = 15.0;

// The twips-per-pixel factors of a widget's screen (its logical DPI): 15 at
// 96 dpi, and kTwipsPerPixel where the screen reports none.
double twipsPerPixelX(const QWidget *w);
double twipsPerPixelY(const QWidget *w);

// The one twips-to-pixels conversion of the window: the quotient rounded half
// to even, as the window reads its number boxes.
qint32 twipsToPixels(double twips, double twipsPerPixel);

// Limits in whole-window pixels.
struct Limits {
    qint32 minWidth = 0;
    qint32 minHeight = 0;
    qint32 maxWidth = 0;
    qint32 maxHeight = 0;
};

// Twips to limits: 0 takes its default (2000 and 1000 twips for the minimums,
// the screen size for the maximums); each converted by twipsToPixels.
Limits computeLimits(qint32 minWidth, qint32 minHeight, qint32 maxWidth, qint32 maxHeight,
                            double twipsPerPixelX, double twipsPerPixelY, QSize screenTwips);

// What the window may be, as asked at each size query: minimums raised to
// 150 x 100, maximums cut to the screen (in pixels).
struct TrackSizes {
    QSize minTrack;
    QSize maxTrack;
};
TrackSizes trackSizes(const Limits &entry, QSize screenPixels);

// Installs (install true) or removes the limits on a top-level window. The
// limits follow the window to another screen. Limits in twips, 0 = default.
void installLimits(QWidget *frm, bool install, qint32 minWidth, qint32 minHeight, qint32 maxWidth,
                  qint32 maxHeight);

} // namespace WindowSizeLimits
