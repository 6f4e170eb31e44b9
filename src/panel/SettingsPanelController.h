#pragma once

// The panel window's controller: creates the KeyablePanel on first show,
// places it under the status item (or in the top-right corner of the main
// screen when there is no status-item window), shows and hides it, hides it
// again 0.3 s after a click elsewhere, and follows the model's preferred size
// with a 0.16 s ease-in-ease-out animation that keeps the top edge, or the
// bottom edge when the status item sits in the lower half of its screen (a
// tray at the bottom: the panel stays on the tray instead of floating above
// it when a page gets shorter).
//
// Geometry is computed in AppKit coordinates (points, origin at the bottom
// left of the main display, y up) exactly as the placement rules are stated,
// from the platform layer's display frames; it is converted to Qt's global
// (X root) coordinates by the display registry only when applied to the
// window. When the screens change while the panel shows, it is placed
// again at once. All timing goes through tovrik::Clock. Main thread only.

#include <QList>
#include <QObject>
#include <QPointer>
#include <QRectF>
#include <QSizeF>

#include <functional>
#include <memory>
#include <optional>

class QAction;

namespace tovrik {

class KeyablePanel;
class TovrikAppModel;
class ClockTimer;

namespace platform {
class EventTapSession;
}
namespace panel {
class PanelCardShadow;
}

// What the panel needs of the status item: the frame of its button's window
// in AppKit coordinates, or nothing when the item has no button or the button
// has no window (e.g. no system tray).
class StatusItemAnchor {
public:
    virtual ~StatusItemAnchor() = default;
    virtual std::optional<QRectF> buttonWindowFrame() const = 0;
};

// The placement rules, in AppKit coordinates (QRectF x/y = minX/minY).
namespace panel_geometry {
// Centred under the status item's window B, 8 below it, kept 8 inside the
// visible frame V.
QRectF placementUnderStatusItem(const QRectF& B, const QRectF& V, double w, double h);
// Top-right of V: 20 from the right, settingsWindowScreenMargin (32) below
// the top, never closer than 8 to the left and bottom edges.
QRectF placementWithoutStatusItem(const QRectF& V, double w, double h);
// The new frame for size w × h keeping F's left and top edges unless that
// would leave V on the right or at the bottom (8-point insets).
QRectF resizedFrame(const QRectF& F, const QRectF& V, double w, double h);
// The same for a panel on a tray at the bottom: F's left and bottom edges
// stay unless that would leave V on the right or at the top (8-point insets;
// the bottom inset wins when the panel is taller than V).
QRectF resizedFrameKeepingBottom(const QRectF& F, const QRectF& V, double w, double h);
// Whether the status item's window B is on a tray at the bottom: its centre
// lies in the lower half of the visible frame V.
bool isAtBottomTray(const QRectF& B, const QRectF& V);
} // namespace panel_geometry

class SettingsPanelController : public QObject {
    Q_OBJECT
public:
    static constexpr double launchShowDelay = 0.3;
    static constexpr double clickOutsideHideDelay = 0.3;
    static constexpr double resizeAnimationDuration = 0.16;
    static constexpr double edgeInset = 8;
    // After the screens change, the panel is placed again once more this
    // much later, where the tray has moved by then.
    static constexpr double trayFollowUpDelay = 1.0;

    // What the controller reads of the model.
    struct ModelSource {
        QPointer<QObject> notifier; // emits changed() after each published change
        std::function<QSizeF()> preferredPanelSize;
        std::function<bool()> requiresPermissionGrant;
    };
    // Builds the panel's root view; `onClose` hides the panel. Called once,
    // on first show. The returned widget is owned by the panel.
    using RootViewFactory = std::function<QWidget*(std::function<void()> onClose)>;

    SettingsPanelController(TovrikAppModel& model, StatusItemAnchor* statusItem, QObject* parent = nullptr);
    SettingsPanelController(ModelSource model, StatusItemAnchor* statusItem, QObject* parent = nullptr);
    ~SettingsPanelController() override;

    // Must be set before the first show to take effect. Without one the
    // panel hosts an empty view.
    void setRootViewFactory(RootViewFactory factory) { m_rootViewFactory = std::move(factory); }
    // Whether the application is active (has a focused window); defaults to
    // Qt's application state.
    void setApplicationActiveProbe(std::function<bool()> probe) { m_isApplicationActive = std::move(probe); }
    // Actions whose shortcuts work while the panel is the active window (the
    // main menu's items); added to the panel now or when it is created.
    void setWindowActions(QList<QAction*> actions);

    void showPanelOnLaunch();
    void showPanel();
    void toggle();
    void hidePanel();

    KeyablePanel* panel() const;
    bool isPanelVisible() const;
    bool hasClickOutsideMonitor() const { return m_clickOutsideMonitor != nullptr; }
    // The panel's frame in AppKit coordinates (empty when no panel).
    QRectF panelFrame() const;
    // The frame the running resize animation ends at (nothing when idle).
    std::optional<QRectF> resizeAnimationTarget() const;
    // The card's shadow; null until the panel exists. It shows with the
    // panel only where a compositing manager runs.
    panel::PanelCardShadow* cardShadow() const;

private slots:
    void scheduleResize();

private:
    void createPanel();
    // Where the placement rules put the panel now (AppKit coordinates).
    QRectF placement() const;
    void screensChanged();
    void installClickOutsideMonitor();
    void handleClickOutside(QPointF displayPoint);
    void resizeVisiblePanel();
    QSizeF panelSize() const;
    void setPanelFrame(const QRectF& appKitFrame);
    void stopAnimation();
    void animationStep();
    // Puts the card's shadow around the panel as it is now.
    void updateCardShadow();

    ModelSource m_model;
    StatusItemAnchor* m_statusItem = nullptr;
    QPointer<KeyablePanel> m_panel;
    std::unique_ptr<panel::PanelCardShadow> m_cardShadow;
    std::unique_ptr<platform::EventTapSession> m_clickOutsideMonitor;
    QMetaObject::Connection m_modelObservation;
    RootViewFactory m_rootViewFactory;
    QList<QPointer<QAction>> m_windowActions;
    std::function<bool()> m_isApplicationActive;

    // The resize animation.
    ClockTimer* m_animationTimer = nullptr;
    QRectF m_animationFrom;
    QRectF m_animationTo;
    double m_animationStart = 0;
    bool m_animating = false;
    quint64 m_trayFollowUp = 0;
};

} // namespace tovrik
