#pragma once

// What the overlay's X server tests share: a plain window in one known colour
// standing in for the desktop under the overlay (it counts the presses it
// receives), and the RandR monitors a test adds, removed again on scope exit.

#include "support/RandrMonitors.h"

#include <QPainter>
#include <QWidget>

namespace tovrik::test {

inline const QColor kDesk(90, 110, 130);

// Set in the child process that runs the cases on an X server without a compositor.
constexpr const char* kNoCompositorChildEnv = "TOVRIK_OVERLAY_NO_COMPOSITOR_CHILD";

inline bool isDesk(QRgb rgb) { return (rgb & 0xffffff) == (kDesk.rgb() & 0xffffff); }

class Desk : public QWidget {
public:
    explicit Desk(Qt::WindowFlags extra = {}) : QWidget(nullptr, Qt::FramelessWindowHint | extra) {}
    int presses = 0;

protected:
    void paintEvent(QPaintEvent*) override { QPainter(this).fillRect(rect(), kDesk); }
    void mousePressEvent(QMouseEvent*) override { ++presses; }
};

struct MonitorsGuard {
    const char* main;
    const char* side;
    ~MonitorsGuard()
    {
        setMonitor(side, QRect(), false);
        setMonitor(main, QRect(), false);
    }
};

} // namespace tovrik::test
