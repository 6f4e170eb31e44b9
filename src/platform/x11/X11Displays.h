#pragma once

// Displays from XRandR: RandR 1.5 monitors, else the CRTCs of connected
// outputs, else the root window. Screens are presented as the rest of the
// program expects them (see Types.h): `bounds` in points with the origin at
// the top-left of the main display and y downward, `frame`/`visibleFrame` in
// AppKit form (y upward from the bottom of the main display). X11 itself is
// y-down pixels relative to the root window; the conversion happens here and
// nowhere else.

#include "platform/Displays.h"
#include "platform/Input.h"
#include "platform/x11/Xcb.h"

#include <QRect>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>

class QSocketNotifier;

namespace tovrik::platform::x11 {

// One screen as X11 describes it (root pixels, y down).
struct RawDisplay {
    QByteArray name;       // monitor or output name, e.g. "DP-1"
    QRect pixels;          // in root window pixels
    bool primary = false;
    double rotation = 0.0; // degrees
};

// The conversion from X11 screens to DisplayInfo, kept free of X so that it
// can be checked on its own. The main display is the primary one, else the
// one at the root origin, else the first; it comes first in the result.
// `workArea` is _NET_WORKAREA (root pixels) when the window manager sets it.
// `scale` is pixels per point. `pixelRects`, when given, receives each
// display's root-pixel rectangle in the order of the result.
QList<DisplayInfo> makeDisplayInfos(QList<RawDisplay> raw, std::optional<QRect> workArea, double scale,
                                    QList<QRect>* pixelRects = nullptr);

// The root-pixel <-> display-point conversion of the current configuration,
// shared with event taps so that they keep working (with the last known
// configuration) even if they outlive the registry.
class CoordinateMapping {
public:
    QPoint toRootPixels(QPointF displayPoint) const;
    QPointF fromRootPixels(QPointF rootPixel) const;
    double scale() const;
    void set(QPoint mainOrigin, double scale);

private:
    mutable std::mutex m_mutex;
    QPoint m_mainOrigin;
    double m_scale = 1.0;
};

class X11Displays : public Displays {
    Q_OBJECT
public:
    // Opens its own connection to $DISPLAY and listens for RandR changes on
    // the main thread.
    X11Displays();
    ~X11Displays() override;

    bool isConnected() const { return m_conn.ok(); }
    QList<DisplayInfo> displays() const override;
    QPointF pointerLocation() const override;
    std::optional<QPointF> readPointerLocation() const override;
    quint64 configurationRevision() const override;
    // The main display's root rectangle (RandR monitors need not be screens
    // Qt knows about), in points.
    QPointF mainDisplayGlobalOrigin() const override;

    // The coordinate conversions shared by input, capture and the tap.
    // Global display points (y down, main display top-left) <-> root pixels.
    QPoint toRootPixels(QPointF displayPoint) const { return m_mapping->toRootPixels(displayPoint); }
    QPointF fromRootPixels(QPointF rootPixel) const { return m_mapping->fromRootPixels(rootPixel); }
    std::shared_ptr<const CoordinateMapping> mapping() const { return m_mapping; }
    // The display's rectangle in root pixels; empty for an unknown id.
    QRect pixelRect(uint32_t displayID) const;
    double scale() const { return m_mapping->scale(); }

    // Re-reads the configuration; emits displaysChanged (and bumps the
    // revision) when it differs from what was known.
    void refresh();

    // Motion is seen by a listen-only tap (see X11MotionRecorder.h; XInput2
    // raw motion where the server has no RECORD), on its own thread, that
    // runs while any watch handle is held; `startTap` starts it with a
    // handler of raw events.
    using TapStarter = std::function<std::unique_ptr<EventTapSession>(std::function<void(const RawInputEvent&)>)>;
    void setMotionTapStarter(TapStarter startTap) { m_startTap = std::move(startTap); }
    std::shared_ptr<void> watchPointerMotion() override;
    std::optional<QPointF> watchedPointerLocation() const override;
    bool reportsDesktopChanges() const override { return m_reportsDesktop; }

private:
    QList<RawDisplay> queryRaw();
    std::optional<QRect> queryWorkArea();
    void onReadable();

    XcbConnection m_conn;   // queries
    XcbConnection m_events; // change notifications only (no round trips)
    QSocketNotifier* m_notifier = nullptr;
    uint8_t m_randrEventBase = 0;
    bool m_hasRandr = false;
    bool m_hasMonitors = false;
    xcb_atom_t m_workAreaAtom = XCB_ATOM_NONE;
    xcb_atom_t m_currentDesktopAtom = XCB_ATOM_NONE;
    uint8_t m_xfixesEventBase = 0;
    bool m_reportsDesktop = false;

    mutable std::mutex m_mutex;
    QList<DisplayInfo> m_displays;
    QList<QRect> m_pixelRects; // parallel to m_displays
    QPoint m_mainOrigin;
    std::shared_ptr<CoordinateMapping> m_mapping = std::make_shared<CoordinateMapping>();
    quint64 m_revision = 1;

    struct MotionWatch;
    TapStarter m_startTap;
    std::weak_ptr<MotionWatch> m_motionWatch;
};

} // namespace tovrik::platform::x11
