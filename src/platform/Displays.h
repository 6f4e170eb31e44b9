#pragma once

#include "platform/Types.h"

#include <QList>
#include <QObject>
#include <memory>
#include <optional>

namespace tovrik::platform {

// The display registry: the one source of display ids for the overlay, the
// capture service and synthetic input.
class Displays : public QObject {
    Q_OBJECT
public:
    using QObject::QObject;
    // Every connected display, the main display first.
    virtual QList<DisplayInfo> displays() const = 0;
    std::optional<DisplayInfo> mainDisplay() const;
    std::optional<DisplayInfo> display(uint32_t displayID) const;
    // The pointer in global display coordinates (y down) ...
    virtual QPointF pointerLocation() const = 0;
    // The same, or nothing when the pointer cannot be read.
    virtual std::optional<QPointF> readPointerLocation() const { return pointerLocation(); }
    // ... and in AppKit coordinates (y up): y' = H - y, H = main display height.
    QPointF pointerLocationAppKit() const;
    QPointF toAppKit(QPointF displayPoint) const;
    // Motion without polling: while the returned handle is held,
    // pointerMoved() is emitted on the main thread soon after the pointer
    // moved (a burst of motion may arrive as one). Null when this backend
    // cannot see motion; callers then poll pointerLocation().
    virtual std::shared_ptr<void> watchPointerMotion() { return nullptr; }
    // Where the held motion watch last saw the pointer (global display
    // coordinates), without asking the display server: only while a watch
    // is held that sees every motion (warps too) and has seen the pointer;
    // else nothing, and callers read pointerLocation().
    virtual std::optional<QPointF> watchedPointerLocation() const { return std::nullopt; }
    // Whether windowsRestacked() and compositorChanged() are emitted (else
    // callers look again now and then).
    virtual bool reportsDesktopChanges() const { return false; }
    // Increases on every change of the display configuration.
    virtual quint64 configurationRevision() const = 0;

    // Qt's global window coordinates (the X root window, in points, y down)
    // against display and AppKit coordinates. The one conversion for every
    // window the program places: the main display need not lie at the root
    // origin. mainDisplayGlobalOrigin() is where the main display's top-left
    // lies in Qt's global coordinates.
    virtual QPointF mainDisplayGlobalOrigin() const;
    QPointF globalFromDisplay(QPointF displayPoint) const;
    QPointF displayFromGlobal(QPointF globalPoint) const;
    QRectF globalFromAppKit(const QRectF& frame) const;
    QRectF appKitFromGlobal(const QRectF& globalRect) const;
    // The Qt screens' answer for a main display named `mainName`: that
    // screen's top-left, else the primary screen's, else the origin.
    static QPointF globalOriginAmongScreens(const QString& mainName);

signals:
    // Emitted on the main thread after the configuration changed.
    void displaysChanged();
    // The pointer moved to `location` (global display coordinates, y down).
    void pointerMoved(QPointF location);
    // Top-level windows (native ids) were mapped or moved in the stacking order.
    void windowsRestacked(const QList<quint64>& windows);
    // A compositing manager started or stopped.
    void compositorChanged();
};

} // namespace tovrik::platform
