// Paces redrawing of something that changes far more often than a person can
// see: the first change after a quiet spell is drawn at once, later ones at
// most once per interval, and showNow() draws the state at once (the end of
// a scan, so that the last state shown is always exact). The
// owner keeps the state to show; draw() shows it. Lives on the GUI thread.
#pragma once

#include <QObject>
#include <QTimer>

#include <functional>

class DisplayThrottle : public QObject
{
    Q_OBJECT

public:
    DisplayThrottle(int intervalMs, std::function<void()> draw, QObject *parent = nullptr);

    // The state to show has changed.
    void changed();
    // Draws the state now; nothing pending is drawn later.
    void showNow();
    // A change is waiting for its turn to be drawn.
    bool pending() const { return m_pending; }

private:
    void drawNow();

    std::function<void()> m_draw;
    QTimer m_quiet; // runs for one interval after each drawing
    bool m_pending = false;
};
