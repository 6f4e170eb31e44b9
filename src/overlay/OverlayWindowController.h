#pragma once

// The one observable object behind every overlay window.
//
// The model creates exactly one at start-up; the voice and chat pipeline, the
// agent loop and the panel drive it through its operations; the per-screen
// views read its published state and never write it.
//
// Contract with the views (CursorBuddyView and the views it hosts):
//  - Read the published state through the getters below, named as the fields.
//  - Connect to changed(). It is emitted ONCE after every operation or timer
//    tick that changed at least one published value (never in the middle of
//    an operation), so a view sees a consistent snapshot. A view that needs
//    "on change of X" handlers keeps its own copy of the previous values and
//    diffs on changed(), running the handler of `targetScreenLocation` before
//    the one of `isSharedReturnFlightActive`.
//  - Places are global AppKit coordinates (points, y up, origin at the
//    bottom-left of the main display), as platform::DisplayInfo::frame. A
//    view converts to its local coordinates with overlay::localFromGlobal.
//  - The pointer comes from platform::Platform::get().displays().pointerLocationAppKit();
//    the autopilot follow tick takes it from a motion watch held for the
//    run where the watch sees every motion (Displays::watchedPointerLocation).
//  - Timers and delays run on tovrik::Clock (tests step a VirtualClock).
//
// Everything runs on the main thread.

#include "overlay/CursorOverlayWindowManager.h"
#include "overlay/TovrikVoiceState.h"
#include "platform/Types.h"

#include <QObject>
#include <QPointF>
#include <QSizeF>
#include <QString>
#include <QUuid>
#include <memory>
#include <optional>

namespace tovrik {
class ClockTimer;
namespace platform {
class EventTapSession;
}
} // namespace tovrik

namespace tovrik::overlay {

// The kind of a synthetic mouse event mirrored by the autopilot cursor (the
// desktop input service reports each one it posts).
enum class MouseVisualEventType {
    leftMouseDown,
    leftMouseUp,
    rightMouseDown,
    rightMouseUp,
    otherMouseDown,
    otherMouseUp,
    mouseMoved,
    leftMouseDragged,
    rightMouseDragged,
    otherMouseDragged,
    scrollWheel,
    other,
};

class OverlayWindowController : public QObject {
    Q_OBJECT
public:
    // Sets the initial state, creates the window manager (no windows) and
    // observes display changes. Creates no window.
    explicit OverlayWindowController(QObject* parent = nullptr);
    ~OverlayWindowController() override;

    // ---- published state (read by the views) ----
    TovrikVoiceState voiceState() const { return m_voiceState; }
    double audioPowerLevel() const { return m_audioPowerLevel; }
    const QString& bubbleText() const { return m_bubbleText; }
    std::optional<QPointF> targetScreenLocation() const { return m_targetScreenLocation; }
    // The screen the shown status line is for (nothing for an answer).
    std::optional<uint32_t> statusDisplayID() const { return m_statusDisplayID; }
    bool isTransparent() const { return m_isTransparent; }
    bool keepOverlayVisibleWhenIdle() const { return m_keepOverlayVisibleWhenIdle; }
    bool isResponseBubblePinned() const { return m_isResponseBubblePinned; }
    bool isUIAutopilotBusy() const { return m_isUIAutopilotBusy; }
    std::optional<QPointF> autopilotCursorLocation() const { return m_autopilotCursorLocation; }
    // How the views should move the autopilot cursor to its latest location:
    // 0 = jump, else an ease-in-out of this many seconds (0.35 for a prepared
    // press, 0.45 for the return after a release).
    double autopilotCursorAnimationDuration() const { return m_autopilotCursorAnimationDuration; }
    std::optional<QPointF> autopilotClickLocation() const { return m_autopilotClickLocation; }
    QUuid autopilotClickID() const { return m_autopilotClickID; }
    bool isSharedReturnFlightActive() const { return m_isSharedReturnFlightActive; }
    std::optional<QPointF> sharedReturnScreenLocation() const { return m_sharedReturnScreenLocation; }
    std::optional<uint32_t> sharedReturnDisplayID() const { return m_sharedReturnDisplayID; }
    double sharedReturnAngleDegrees() const { return m_sharedReturnAngleDegrees; }
    double sharedReturnScale() const { return m_sharedReturnScale; }

    // ---- state and visibility ----
    void updateVoiceState(TovrikVoiceState state);
    // Clamped to 0...1; a value that is not a number stores 0.
    void updateAudioPowerLevel(double level);
    void setIdleBehavior(bool isReady, bool transient, bool transparent);
    // `screen` is not used: the windows cover every screen.
    void showStatus(const QString& text, const std::optional<platform::DisplayInfo>& screen, bool transparent);
    // Replaces any pending hide; a negative or non-finite delay counts as 0,
    // and a delay of 0 still runs later on the main thread.
    void hide(double delay = 0);
    void clearInteractionVisuals();
    void dismissResponseBubble();
    void rebuildOverlayForCurrentScreensIfNeeded(bool force);
    // A few opaque pixels the overlay windows show now (see
    // CursorOverlayWindowManager::captureProbes()).
    QList<platform::RepaintProbe> screenCaptureProbes() const;
    bool suspendForScreenCapture();
    // What the windows covered when they last went for a capture (see
    // CursorOverlayWindowManager::vacatedAreas()).
    QList<platform::VacatedArea> screenCaptureVacatedAreas() const;
    void resumeAfterScreenCapture(bool wasSuspended);

    // ---- response presentation, point mapping, return flight ----
    void showResponse(const QString& text, std::optional<QPointF> point, QSizeF imageSize,
                      const std::optional<platform::DisplayInfo>& screen, bool transparent,
                      double autoHideAfter, bool keepVisibleUntilDismissed = false);
    // A screenshot pixel (origin top-left, y down) to global AppKit
    // coordinates on that screen; nullopt without a point or screen, or when
    // the point, the image size or the frame is not finite.
    static std::optional<QPointF> mapGlobalScreenLocation(std::optional<QPointF> point, QSizeF imageSize,
                                                          const std::optional<platform::DisplayInfo>& screen);
    void startResponseDismissMonitors();
    void stopResponseDismissMonitors();
    void clearTargetScreenLocationWithReturnIfNeeded();
    void cancelSharedReturnFlight();

    // ---- UI Autopilot busy state and cursor ----
    void setUIAutopilotBusy(bool busy);
    // `point` in global display coordinates (y down).
    void prepareAutopilotPress(QPointF point);
    void recordAutopilotMouse(MouseVisualEventType type, QPointF point);
    void releaseAutopilotCursor();

    // ---- inspection (tests, diagnostics) ----
    CursorOverlayWindowManager& windowManager() { return *m_windowManager; }
    bool hasPendingHide() const { return m_hideWorkItem != 0; }
    bool hasResponseDismissGlobalMonitor() const { return bool(m_responseDismissGlobalMonitor); }
    bool hasResponseDismissLocalMonitor() const { return bool(m_responseDismissLocalMonitor); }
    bool autopilotPinned() const { return m_autopilotPinned; }
    // Monotonic seconds (Clock::now()); -infinity = the distant past.
    double autopilotReturnAfter() const { return m_autopilotReturnAfter; }
    bool isAutopilotCursorTimerRunning() const;
    // The running return flight's frame count (0 when none).
    int sharedReturnFrameCount() const { return m_flight ? m_flight->frameCount : 0; }
    int sharedReturnFrame() const { return m_flight ? m_flight->frame : 0; }

signals:
    // One notification per operation or tick that changed published state.
    void changed();

private:
    struct ChangeBatch {
        explicit ChangeBatch(OverlayWindowController* c) : controller(c) { controller->beginBatch(); }
        ~ChangeBatch() { controller->endBatch(); }
        OverlayWindowController* controller;
    };
    struct ReturnFlight {
        QPointF start;
        QPointF control;
        QPointF end;
        QPointF pointerAtStart;
        int frameCount = 1;
        int frame = 0;
        double startedAt = 0;
    };

    void markChanged();
    void beginBatch();
    void endBatch();

    void windowCheck();
    bool somethingToShow() const;
    void performDueHide();
    void fadeOutWhenIdle(double duration, bool requireEmptyBubble);
    void startSharedReturnFlight(QPointF pointedPlace);
    void sharedReturnTick();
    void updateSharedReturnPresentation(QPointF p, QPointF tangent, double scale);
    void autopilotFollowTick();
    // Starts the follow tick again (on its frame grid) if it rests.
    void wakeAutopilotFollow();
    void screensChanged();
    QList<platform::DisplayInfo> currentScreens() const;
    static QPointF pointerLocation();
    static double mainDisplayHeight();

    template <typename T>
    void setPublished(T& field, const T& value)
    {
        if (!(field == value)) {
            field = value;
            markChanged();
        }
    }

    // published
    TovrikVoiceState m_voiceState = TovrikVoiceState::idle;
    double m_audioPowerLevel = 0;
    QString m_bubbleText;
    std::optional<QPointF> m_targetScreenLocation;
    std::optional<uint32_t> m_statusDisplayID;
    bool m_isTransparent = false;
    bool m_keepOverlayVisibleWhenIdle = false;
    bool m_isResponseBubblePinned = false;
    bool m_isUIAutopilotBusy = false;
    std::optional<QPointF> m_autopilotCursorLocation;
    double m_autopilotCursorAnimationDuration = 0;
    std::optional<QPointF> m_autopilotClickLocation;
    QUuid m_autopilotClickID;
    // not published
    ClockTimer* m_autopilotCursorTimer = nullptr;
    std::shared_ptr<void> m_autopilotMotionWatch;
    QMetaObject::Connection m_autopilotMotionConnection;
    bool m_autopilotPinned = false;
    double m_autopilotReturnAfter;
    // published: the shared return flight
    bool m_isSharedReturnFlightActive = false;
    std::optional<QPointF> m_sharedReturnScreenLocation;
    std::optional<uint32_t> m_sharedReturnDisplayID;
    double m_sharedReturnAngleDegrees = 0;
    double m_sharedReturnScale = 1.0;
    // not published
    std::unique_ptr<CursorOverlayWindowManager> m_windowManager;
    quint64 m_hideWorkItem = 0;
    std::unique_ptr<platform::EventTapSession> m_responseDismissGlobalMonitor;
    std::unique_ptr<QObject> m_responseDismissLocalMonitor;
    QMetaObject::Connection m_screenParametersObserver;
    ClockTimer* m_sharedReturnTimer = nullptr;
    std::optional<ReturnFlight> m_flight;

    int m_batchDepth = 0;
    bool m_batchChanged = false;
};

} // namespace tovrik::overlay
