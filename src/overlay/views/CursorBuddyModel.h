#pragma once

// The state and movement of one screen's companion cursor, apart from the
// widget that draws it: the view state (follow position, navigation mode,
// heading, flight scale), the follow timer, the flight along its arc, the
// turn and pointing, fly-back, snap-back and the hand-over to the shared
// return flight, and the animated values each layer is drawn with.
//
// It reads the controller's published state as snapshots (OverlayViewSnapshot)
// and never writes it. Timers run on tovrik::Clock; the animated values are
// stepped by a frame ticker on the same clock that runs only while something
// moves. The pointer is followed from the platform's motion notifications
// where it has them (nothing runs while the pointer is still), else polled
// every follow tick.

#include "common/Spring.h"
#include "overlay/TovrikVoiceState.h"

#include <QObject>
#include <QPointF>
#include <QRectF>
#include <QSizeF>
#include <QString>
#include <functional>
#include <memory>
#include <optional>

namespace tovrik {
class ClockTimer;
}

namespace tovrik::overlay {

class OverlayWindowController;

// The controller's published state that the companion view reads.
struct OverlayViewSnapshot {
    TovrikVoiceState voiceState = TovrikVoiceState::idle;
    double audioPowerLevel = 0;
    QString bubbleText;
    std::optional<QPointF> targetScreenLocation;
    std::optional<uint32_t> statusDisplayID; // the screen a status line was shown for
    bool isTransparent = false;
    bool keepOverlayVisibleWhenIdle = false;
    bool isUIAutopilotBusy = false;
    bool isSharedReturnFlightActive = false;
    std::optional<QPointF> sharedReturnScreenLocation;
    std::optional<uint32_t> sharedReturnDisplayID;
    double sharedReturnAngleDegrees = 0;
    double sharedReturnScale = 1.0;

    static OverlayViewSnapshot of(const OverlayWindowController& controller);
};

enum class BuddyNavigationMode { followingCursor, navigatingToTarget, pointingAtTarget };

// What the layers are drawn with at this moment (local coordinates).
struct CursorBuddyPresentation {
    // Companion glyph (layer 5): halo under guide icon, centred at glyphCentre.
    QPointF glyphCentre;
    double glyphAngle = 0;
    double glyphScale = 1;
    double glyphOpacity = 0;
    double morphProgress = 0;
    // Bubble (layer 4).
    bool bubbleShown = false;
    QString bubbleText;
    QPointF bubbleTopLeft;
    QSizeF bubbleSize;
    double bubbleAccentOpacity = 1;
    // Waveform and spinner (layers 6 and 7), centred at badgeCentre.
    QPointF badgeCentre;
    double waveformOpacity = 0;
    double spinnerOpacity = 0;
    double audioPowerLevel = 0;
    double waveformDate = 0;
    double spinnerRotation = 0;
    double badgeAlpha = 1;

    bool operator==(const CursorBuddyPresentation&) const = default;
};

class CursorBuddyModel : public QObject {
    Q_OBJECT
public:
    // The pointer in global AppKit coordinates; the default reads the platform.
    using PointerSource = std::function<QPointF()>;

    CursorBuddyModel(uint32_t displayID, QRectF screenFrame, PointerSource pointer = {}, QObject* parent = nullptr);
    ~CursorBuddyModel() override;

    // Lifecycle hooks.
    void appear(const OverlayViewSnapshot& state);
    void disappear();
    // A new controller state: runs the change handlers (the pointed place
    // first, then the shared flight flag) and moves the layers.
    void update(const OverlayViewSnapshot& state);
    const OverlayViewSnapshot& controllerState() const { return m_state; }

    // ---- view state ----
    QRectF screenFrame() const { return m_screenFrame; }
    uint32_t displayID() const { return m_displayID; }
    QPointF cursorPosition() const { return m_cursorPosition; }
    bool isCursorOnThisScreen() const { return m_isCursorOnThisScreen; }
    QSizeF bubbleSize() const { return m_bubbleSize; }
    BuddyNavigationMode buddyNavigationMode() const { return m_buddyNavigationMode; }
    double triangleRotationDegrees() const { return m_triangleRotationDegrees; }
    double buddyFlightScale() const { return m_buddyFlightScale; }
    bool isReturningToCursor() const { return m_isReturningToCursor; }
    QPointF cursorPositionWhenNavigationStarted() const { return m_cursorPositionWhenNavigationStarted; }
    bool isTracking() const;
    bool isFlightRunning() const;
    // The running flight's tick count (0 when none).
    int flightFrameCount() const;
    // Stores a measured bubble size (the view measures when the text changes).
    void setBubbleSize(QSizeF size);

    // ---- derived values ----
    QPointF renderedCursorPosition() const;
    bool buddyIsVisibleOnThisScreen() const;
    bool shouldShowCursorGuide() const;
    double cursorGuideMorphProgress() const;
    double displayOpacity() const { return m_state.isTransparent ? 0.72 : 1.0; }
    bool isBubbleShown() const;
    bool isWaveformShown() const;
    bool isSpinnerShown() const;
    // The bubble's top-left corner for the current rendered position and size.
    QPointF bubbleTopLeft() const;

    // ---- what is drawn, animated ----
    CursorBuddyPresentation presentation() const;

    // ---- pure helpers ----
    // Widened by 1 point on every side, edges included; false for a point
    // that is not finite.
    static bool isOnScreen(const QRectF& frame, QPointF p);
    static QPointF localPoint(const QRectF& frame, QPointF p);
    // atan2(dy, dx) in degrees + 90 + 43.5.
    static double headingDegrees(QPointF direction);
    // The value after the shortest turn from `current` to `heading`.
    static double shortestTurn(double current, double heading);
    // Ticks of a flight of length d: duration d/1200 clamped to 0.36...0.78,
    // divided by 1/60 and truncated; 0 for a length that is not finite.
    static int flightFrameCountFor(double distance);
    static QPointF bubbleTopLeftFor(QSizeF bubble, QSizeF screen, QPointF rendered);

    static constexpr double followInterval = 0.016;
    static constexpr double flightInterval = 1.0 / 60.0;
    static constexpr double flightTurnDuration = 0.12;
    static constexpr double arrivalTurnDuration = 0.18;
    static constexpr QPointF badgeOffset{-36, 25};

signals:
    // Something drawn may have changed (state or an animation frame).
    void presentationChanged();

private:
    struct Flight;
    struct Transaction {
        bool cursorPositionChanged = false;
        bool voiceStateChanged = false;
        // Explicit animation of the heading (a turn) or of the finish spring.
        std::optional<std::pair<EasingCurve, double>> rotationTween;
        std::optional<SpringParameters> finishSpring;
    };

    QPointF pointerGlobal() const;
    QPointF localPointer() const;

    void startTrackingCursor();
    void followStep();
    void followPointer(QPointF global);
    void startNavigatingToElement(QPointF screenLocation);
    void animateBezierFlightArc(QPointF destination, std::function<void()> onComplete);
    void flightStep();
    void startFlyingBackToCursor();
    void cancelNavigationAndResumeFollowing();
    void finishNavigationAndResumeFollowing();
    void invalidateFlight();
    void onTargetChanged(const std::optional<QPointF>& target);
    void onSharedReturnFlightActiveChanged(bool active);

    void setCursorPosition(QPointF p);
    void turnTo(double heading, std::optional<std::pair<EasingCurve, double>> animation);
    // Brings the layers in line with the state and reports a changed
    // presentation; `shown` is what was on screen when the state changed
    // before this call (else the presentation as it is now).
    void commit(std::optional<CursorBuddyPresentation> shown = std::nullopt);
    void syncPresentation();
    void onFrame();
    // Steps every layer animation to `now`.
    void advanceLayers(double now);
    void updateTickers();
    bool isAnimating() const;

    uint32_t m_displayID;
    QRectF m_screenFrame;
    PointerSource m_pointer;
    OverlayViewSnapshot m_state;

    QPointF m_cursorPosition;
    bool m_isCursorOnThisScreen = false;
    ClockTimer* m_trackingTimer = nullptr;
    std::shared_ptr<void> m_motionWatch; // motion is reported: no polling
    bool m_tracking = false;
    QSizeF m_bubbleSize;
    QString m_measuredBubbleText;
    BuddyNavigationMode m_buddyNavigationMode = BuddyNavigationMode::followingCursor;
    double m_triangleRotationDegrees = 0;
    ClockTimer* m_navigationAnimationTimer = nullptr;
    quint64 m_flightStartId = 0;
    std::unique_ptr<Flight> m_flight;
    double m_buddyFlightScale = 1.0;
    bool m_isReturningToCursor = false;
    QPointF m_cursorPositionWhenNavigationStarted;

    // Presentation.
    Transaction m_tx;
    bool m_appeared = false;
    bool m_presentationInitialised = false;
    AnimatedPoint m_glyphCentre;
    AnimatedScalar m_glyphAngle;
    AnimatedScalar m_glyphScale{1.0};
    AnimatedScalar m_glyphOpacity;
    AnimatedScalar m_morph;
    AnimatedPoint m_bubbleTopLeft;
    AnimatedPoint m_badgeCentre;
    AnimatedScalar m_waveformOpacity;
    AnimatedScalar m_spinnerOpacity;
    AnimatedScalar m_audioLevel;
    QPointF m_lastBubbleTarget;
    QPointF m_lastBadgeTarget;
    double m_waveformDate = 0;
    double m_spinnerStart = 0;
    ClockTimer* m_frameTicker = nullptr;
    bool m_presentationPending = false; // changed, left to the next frame
    ClockTimer* m_waveformTimer = nullptr;
};

} // namespace tovrik::overlay
