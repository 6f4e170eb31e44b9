#pragma once

// The per-screen overlay windows: one frameless, always-on-top, click-through,
// translucent window per display that has a display id, each hosting the
// companion cursor view of its screen. Owned by OverlayWindowController; only
// the controller calls it.

#include "overlay/DrawnPixels.h"
#include "platform/Capture.h"
#include "platform/Types.h"

#include <QList>
#include <QObject>
#include <QPointer>
#include <QRectF>
#include <QRegion>
#include <QWidget>
#include <functional>
#include <optional>

namespace tovrik {
class ClockTimer;
}

namespace tovrik::overlay {

class OverlayWindowController;

// One overlay window. Never takes focus or clicks (Qt::WindowTransparentForInput,
// Qt::WindowDoesNotAcceptFocus, WA_ShowWithoutActivating, override-redirect),
// never appears in the taskbar (Qt::Tool). Without a compositor the window is
// clipped to the pixels its content draws (its X shape), so the desktop never
// turns black behind the transparent parts. A second after its content last
// painted, the blank pages of its backing store are given back (see
// BlankPageRelease.h).
class CursorOverlayWindow : public QWidget {
    Q_OBJECT
public:
    CursorOverlayWindow(std::optional<uint32_t> displayID, QRectF screenFrame, QRectF qtGeometry);
    ~CursorOverlayWindow() override;

    std::optional<uint32_t> displayID() const { return m_displayID; }
    // The screen's frame in AppKit coordinates, as it was when built.
    QRectF screenFrame() const { return m_screenFrame; }

    // Hosts `view` full-size (it resizes with the window); null detaches and
    // deletes the current content.
    void setContentView(QWidget* view);
    QWidget* contentView() const { return m_content; }

    // The fade: 1 = opaque. Applied as the window opacity (a compositor blends it).
    void setFadeOpacity(double opacity);
    double fadeOpacity() const { return m_fadeOpacity; }

    // Shape-mask mode, used when no compositor runs: the window shows only
    // the pixels its content drew (alpha > 0). Switching off clears the mask.
    void setClipToContent(bool clip);
    bool clipsToContent() const { return m_clipToContent; }
    // The region currently shown in shape-mask mode (empty = nothing).
    QRegion contentRegion() const { return m_contentRegion; }
    // Up to `count` pixels the window shows fully opaque, in device pixels
    // from its top-left corner (see opaqueSamples() above), read from what
    // was last sent to the display server. Empty while the window is hidden
    // or fading.
    QList<QPair<QPoint, QRgb>> opaqueSamples(int count) const;

    // Brings the window to the front of the stacking order without activating it.
    void orderFront();
    void orderOut();
    // Off screen for a capture and back. On X11 only the native window is
    // unmapped: putting it back then costs no round trip and no repaint of
    // the whole window, just the server's copy of what Qt already holds.
    // `inPlace` (with a compositor) instead leaves the window mapped and
    // makes what it drew transparent on the server, so that the compositor
    // repaints only that; putting it back flushes those pixels again.
    // Elsewhere (and for a window never shown) these are orderOut() and
    // orderFront().
    void takeOffScreen(bool inPlace = false);
    void putBackOnScreen();
    // What the window covered when it last went off screen for a capture:
    // device pixels from its top-left corner, nullopt for all of it.
    std::optional<QRegion> vacatedPixels() const { return m_vacatedPixels; }
    // Raises the window to the top of the stacking order (no activation).
    void raiseAbove();

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;

private:
    void refreshContentRegion(const QRegion& dirty);
    void applyShape(const std::optional<QRegion>& shape);
    void releaseBlankPagesLater();
    QRegion drawnPixels() const;
    void watchContent(QWidget* widget);
    void flushCleared();

    std::optional<uint32_t> m_displayID;
    QRectF m_screenFrame;
    QPointer<QWidget> m_content;
    double m_fadeOpacity = 1.0;
    bool m_clipToContent = false;
    bool m_maskUpdateQueued = false;
    bool m_readingContent = false;
    QRegion m_pendingDirty;
    QRegion m_contentRegion;
    // The shape last given (nullopt: none), and whether the server holds it
    // (X11) rather than a widget mask.
    std::optional<QRegion> m_shape;
    bool m_nativeShape = false;
    ClockTimer* m_blankPageTimer = nullptr;
    double m_lastContentPaint = 0;
    bool m_nativelyUnmapped = false;
    bool m_nativelyCleared = false;
    // What the content drew (device pixels): the tiles found drawn at the
    // last reading, and the tiles it painted since.
    mutable QRegion m_drawnTiles;
    mutable TileMarks m_paintedSinceReading;
    mutable QSize m_readImageSize;
    std::optional<QRegion> m_vacatedPixels;
};

class CursorOverlayWindowManager : public QObject {
    Q_OBJECT
public:
    // Builds the content view of one window: (controller, displayID, screen
    // frame in AppKit coordinates, parent window) -> view. The default builds
    // the companion cursor view; tests may install another.
    using ViewFactory = std::function<QWidget*(OverlayWindowController*, uint32_t, QRectF, QWidget*)>;

    explicit CursorOverlayWindowManager(QObject* parent = nullptr);
    ~CursorOverlayWindowManager() override;

    // Discards every window (keeping the capture-suspension flag) and builds
    // one per screen that has a display id (displayID != 0), in list order.
    void show(const QList<platform::DisplayInfo>& screens, OverlayWindowController* controller);
    void discardAllWindows(bool resetCaptureSuspension);
    // Moves the live windows to the fading list and eases their opacity to 0
    // over `duration` seconds (ease-in); then orders them out and releases them.
    void fadeOutAndHide(double duration);
    // True when the live windows cover exactly these screens: the sorted
    // (display id, frame) pairs are equal. Frames are compared too, so a
    // screen that moved or changed resolution under the same id is rebuilt.
    bool matches(const QList<platform::DisplayInfo>& screens) const;
    // Takes the live windows off screen, finishes any fade at once (a fading
    // window would otherwise land in the capture) and syncs with the display
    // server. False when there were no live windows or already suspended.
    bool suspendForCapture();
    void resumeAfterCapture();
    // Opaque pixels of the shown windows, a few per display, asked for
    // before suspendForCapture(): while the screen still shows one of them,
    // the compositor has not yet drawn the screen without the windows.
    // None without a compositor.
    QList<platform::RepaintProbe> captureProbes() const;
    // What the windows covered when they last went for a capture, per display.
    const QList<platform::VacatedArea>& vacatedAreas() const { return m_vacatedAreas; }
    static constexpr int probesPerWindow = 6;

    const QList<CursorOverlayWindow*>& overlayWindows() const { return m_overlayWindows; }
    const QList<CursorOverlayWindow*>& fadingOverlayWindows() const { return m_fadingOverlayWindows; }
    bool isSuspendedForCapture() const { return m_isSuspendedForCapture; }

    void setViewFactory(ViewFactory factory);

    // Whether a compositor blends our translucent windows (the platform's
    // answer). Re-read on every show and resume and when the platform says it
    // changed (else once a second while windows are shown); without one
    // every window clips itself to what it draws.
    bool compositorActive() const { return m_compositorActive; }
    // The once-a-second look (raise, compositor) runs: only on a platform
    // that does not report restacking and compositor changes.
    bool isRaiseTimerRunning() const;

private:
    void releaseWindow(CursorOverlayWindow* window);
    void fadeTick(quint64 fadeID);
    void finishFade(quint64 fadeID);
    void refreshCompositorState();
    void updateRaiseTimer();
    void raiseShownWindows();

    QList<CursorOverlayWindow*> m_overlayWindows;
    QList<CursorOverlayWindow*> m_fadingOverlayWindows;
    bool m_isSuspendedForCapture = false;
    QList<platform::VacatedArea> m_vacatedAreas;
    ViewFactory m_viewFactory;
    bool m_compositorActive = true;

    struct Fade {
        quint64 id = 0;
        QList<QPointer<CursorOverlayWindow>> windows;
        double start = 0;
        double duration = 0;
        tovrik::ClockTimer* timer = nullptr;
    };
    QList<Fade> m_fades;
    quint64 m_nextFadeID = 1;
    // Re-raises the shown windows once a second: other override-redirect
    // windows and fullscreen windows may be stacked above them meanwhile.
    tovrik::ClockTimer* m_raiseTimer = nullptr;
    bool m_desktopReported = false;
    bool m_raisePending = false;
    double m_lastRaise = -1e9;
};

} // namespace tovrik::overlay
