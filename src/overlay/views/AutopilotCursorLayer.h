#pragma once

// What a UI Autopilot run draws in each screen's overlay window, apart from
// the companion: the takeover look (UIAutopilotTakeoverView), the agent's own
// dark arrow cursor at the controller's autopilot cursor location, and a blue
// ring that grows and fades at each synthetic press (the click ripple).
//
// AutopilotOverlayLayers holds one window's state of these layers: it reads
// the controller's published state as snapshots and never writes it, runs
// the takeover transition (ease-out 0.22 s), the cursor's glides (the
// controller's animation hint, ease-in-out) and the ripple (ease-out 0.55 s)
// on tovrik::Clock, and reports the window area each change dirties. Its
// frame ticker runs only while something moves: with no run busy it draws
// nothing and wakes nothing.

#include "common/Spring.h"

#include <QObject>
#include <QPainter>
#include <QPainterPath>
#include <QPointF>
#include <QRectF>
#include <QRegion>
#include <QUuid>
#include <optional>

namespace tovrik {
class ClockTimer;
}

namespace tovrik::overlay {

class OverlayWindowController;

// The arrow: a closed arrowhead in a 24 × 28 box with its tip at the box's
// top-left corner; fill dark navy, white 1.8-point outline, blue glow.
namespace AutopilotArrow {
constexpr QSizeF boxSize{24, 28};
constexpr double glowBlur = 8;
QPainterPath path(); // (0,0) (21,10) (11,14) (7,24), closed
QColor fillColor();
// Draws the arrow (glow included) with its tip at `tip`.
void paint(QPainter& painter, QPointF tip);
// The area the arrow with its glow covers around a tip.
QRectF extent(QPointF tip);
} // namespace AutopilotArrow

// The click ripple: a 44-point ring, 2 points wide, scaled about its centre
// from 0.2 to 1.4 while its opacity falls from 0.95 to 0, eased out over
// 0.55 s. `expansion` is the eased progress (0 small and opaque, 1 large
// and transparent).
namespace AutopilotClickRipple {
constexpr double diameter = 44;
constexpr double lineWidth = 2;
constexpr double duration = 0.55;
QColor ringColor();
double scaleAt(double expansion);
double opacityAt(double expansion);
void paint(QPainter& painter, QPointF centre, double expansion);
QRectF extent(QPointF centre);
} // namespace AutopilotClickRipple

// The controller's published state these layers read.
struct AutopilotLayerSnapshot {
    bool isUIAutopilotBusy = false;
    std::optional<QPointF> autopilotCursorLocation;
    double autopilotCursorAnimationDuration = 0;
    std::optional<QPointF> autopilotClickLocation;
    QUuid autopilotClickID;

    static AutopilotLayerSnapshot of(const OverlayWindowController& controller);
};

// What the layers draw at this moment (local coordinates of the window).
struct AutopilotLayersPresentation {
    double takeoverProgress = 0; // eased 0...1
    std::optional<QPointF> cursorTip;
    std::optional<QPointF> rippleCentre;
    QUuid rippleID;
    double rippleExpansion = 0; // eased 0...1

    bool operator==(const AutopilotLayersPresentation&) const = default;
};

class AutopilotOverlayLayers : public QObject {
    Q_OBJECT
public:
    // `screenFrame` in global AppKit coordinates (the window's screen).
    AutopilotOverlayLayers(QRectF screenFrame, QObject* parent = nullptr);
    ~AutopilotOverlayLayers() override;

    // A new controller state. The first call sets the state without any
    // transition (a window built during a run shows the look at once).
    void update(const AutopilotLayerSnapshot& state);
    // The layers at this moment ...
    AutopilotLayersPresentation presentation() const;
    // ... and as last reported through dirty() (what the window draws).
    const AutopilotLayersPresentation& painted() const { return m_published; }
    bool isAnimating() const;
    // The device pixels per point of the window drawn into (1 unless told).
    void setDevicePixelRatio(double ratio) { m_devicePixelRatio = ratio; }

    // Half-open: a point on the right or top edge belongs to the neighbour.
    static bool isOnScreen(const QRectF& screenFrame, QPointF p);

    // Draws / bounds a presentation in a window of `windowSize`.
    static void paint(QPainter& painter, const AutopilotLayersPresentation& p, QSizeF windowSize);
    static QRegion paintedRegion(const AutopilotLayersPresentation& p, QSizeF windowSize);
    // Whether two presentations draw the same pixels into a window of one
    // device pixel per point (the arrow lands on whole pixels; a ring too
    // faint for an 8-bit surface draws nothing).
    static bool drawsAlike(const AutopilotLayersPresentation& a, const AutopilotLayersPresentation& b);
    // What a change from `before` to `after` dirties.
    static QRegion dirtyRegion(const AutopilotLayersPresentation& before, const AutopilotLayersPresentation& after,
                               QSizeF windowSize);

signals:
    // The area of the window (local points) that must be drawn again.
    void dirty(const QRegion& region);

private:
    void onFrame();
    void advanceTo(double now);
    void publish();
    void updateTicker();
    // Once no layers show the takeover look (a run has ended and the look
    // has faded on every screen), its band images are given back.
    static void lookShownChanged(bool shown);

    QRectF m_screenFrame;
    bool m_initialised = false;
    AutopilotLayerSnapshot m_state;
    AnimatedScalar m_takeover;
    bool m_cursorShown = false;
    AnimatedPoint m_cursor;
    std::optional<QPointF> m_rippleCentre;
    QUuid m_rippleID;
    AnimatedScalar m_ripple;
    ClockTimer* m_ticker = nullptr;
    AutopilotLayersPresentation m_published;
    double m_devicePixelRatio = 1;
};

} // namespace tovrik::overlay
