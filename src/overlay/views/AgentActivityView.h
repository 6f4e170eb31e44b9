#pragma once

// The agent activity panel's content: the 42 × 42 icon tile and, while the
// controller is expanded, the 376 × 238 card (title, "Running" pill, step
// with its icon, live log box, progress bar). Hovering the view expands the
// controller; every change of isExpanded animates over 0.14 s (ease-in-out),
// the card fading in and scaling from 0.98 about its top-right corner.

#include "common/Spring.h"

#include <QPainter>
#include <QPointer>
#include <QWidget>

namespace tovrik {
class ClockTimer;
}

namespace tovrik::overlay {

class AgentActivityWindowController;

// The indeterminate bar: a highlight capsule max(0.36 W, 52) wide sweeping
// from W × −0.35 to W × 1.1, linearly, every 1.25 s, clipped to the track.
namespace AgentActivityProgressBar {
constexpr double initialOffset = -0.35;
constexpr double finalOffset = 1.1;
constexpr double sweepDuration = 1.25;
constexpr double height = 4;
double highlightWidth(double trackWidth);
// The offset (fraction of the width) `elapsed` seconds after the sweep began.
double offsetAt(double elapsed);
// The highlight's left edge on a track of `trackWidth` at `offset`.
inline double highlightX(double trackWidth, double offset) { return trackWidth * offset; }
void paint(QPainter& painter, const QRectF& track, double offset);
} // namespace AgentActivityProgressBar

// Draws the step icon `symbolName` (the names stepSymbolName() returns) in
// `box`, in `color`.
void paintStepSymbol(QPainter& painter, const QString& symbolName, const QRectF& box, const QColor& color);

class AgentActivityView : public QWidget {
    Q_OBJECT
public:
    explicit AgentActivityView(AgentActivityWindowController* controller, QWidget* parent = nullptr);
    ~AgentActivityView() override;

    // The texts the card shows for the controller's state.
    static QString shownTitle(const QString& title) { return title.toUpper(); }
    static QString shownLogName(const QString& logLocation);
    static QString shownLogText(const QString& logTail);
    static double logTextOpacity(const QString& logTail) { return logTail.isEmpty() ? 0.34 : 0.62; }

    // 0 collapsed ... 1 expanded, as animated.
    double expansion() const;

    // Parts of the view, drawn in a box whose top-right corner is `topRight`.
    void paintActivityIcon(QPainter& painter, QPointF topRight) const;
    void paintActivityCard(QPainter& painter, QPointF topRight, double progressOffset) const;

protected:
    void paintEvent(QPaintEvent* event) override;
    void enterEvent(QEnterEvent* event) override;
    void leaveEvent(QEvent* event) override;
    void showEvent(QShowEvent* event) override;
    void hideEvent(QHideEvent* event) override;

private:
    void controllerChanged();
    void tick();
    void updateTicker();

    QPointer<AgentActivityWindowController> m_controller;
    bool m_expanded = false;
    AnimatedScalar m_expansion;
    double m_sweepStart = 0;
    ClockTimer* m_ticker = nullptr;
};

} // namespace tovrik::overlay
