#pragma once

// The permission guide: a small floating card at the bottom centre of the
// screen under the pointer that says what to do on the settings page the
// model just opened and, for screen recording and accessibility, offers a
// chip that drags the running application's file to where the desktop wants
// it. The card is one window, made on first show and reused for every kind;
// it never takes the keyboard focus and never activates the application.
//
// Placement is computed in AppKit coordinates (points, y up from the bottom
// of the main display) from the platform's display frames, then converted to
// window coordinates once, with the overlay's conversion.

#include "model/ModelTypes.h"
#include "platform/Types.h"

#include <QMetaObject>
#include <QPointer>
#include <QRectF>
#include <QVariantAnimation>
#include <QWidget>
#include <optional>

class QMimeData;

namespace tovrik {
class TovrikAppModel;
}

namespace tovrik::panel {

class PanelText;

QString permissionGuideTitle(PermissionGuideKind kind);
// `missingInputExtensions`: what the X server lacks for input control
// ("XTEST", "XInput2"); both are named when the list is empty.
QString permissionGuideSubtitle(PermissionGuideKind kind, const QStringList& missingInputExtensions = {});
bool permissionGuideIsDraggable(PermissionGuideKind kind);

namespace guide_geometry {
// The visible frame of the first display whose frame holds `pointer`, else
// of the main display, else (0, 0, 640, 420) when there is no display.
QRectF visibleFrameUnder(const QList<platform::DisplayInfo>& displays, QPointF pointer);
// w = min(max(V.width - 48, 360), 560); h = 154 (draggable) or 126; centred,
// 18 above V's bottom.
QRectF guideFrame(const QRectF& visibleFrame, PermissionGuideKind kind);
} // namespace guide_geometry

// The chip: the application's icon and name on a rounded plate, and "drag"
// at the right when it can be dragged. Hovering and pressing a draggable chip
// grow the plate toward the chip's edges; pressing starts a drag of the
// application's file URL that only offers a copy.
class AppBundleDragChipView : public QWidget {
    Q_OBJECT
public:
    explicit AppBundleDragChipView(bool isDraggable, QWidget* parent = nullptr);
    void setDraggable(bool isDraggable);
    bool isDraggable() const { return m_draggable; }
    bool isHovered() const { return m_hovered; }
    bool isPressed() const { return m_pressed; }
    bool isHandLabelVisible() const;
    // The plate's insets from the chip's edges (horizontal, vertical) and its
    // colours, for the state the chip is in (the end of any animation).
    QPointF insets() const;
    QColor plateColor() const;
    QColor borderColor() const;

    // What a drag carries: exactly one URL, the running application's file.
    static QMimeData* dragPayload();
    static constexpr Qt::DropActions dragActions = Qt::CopyAction;
    // The card shown under the pointer while dragging (dw x 44).
    QImage dragImage(QSize size) const;

protected:
    void paintEvent(QPaintEvent*) override;
    void resizeEvent(QResizeEvent*) override;
    void enterEvent(QEnterEvent*) override;
    void leaveEvent(QEvent*) override;
    void mousePressEvent(QMouseEvent*) override;
    void mouseReleaseEvent(QMouseEvent*) override;

private:
    void updateInteractionState(bool animated);
    QRectF plateRect() const;
    void layoutLabels();

    bool m_draggable;
    bool m_hovered = false;
    bool m_pressed = false;
    bool m_dragging = false;
    PanelText* m_title;
    PanelText* m_hand;
    // What is drawn now; animates toward the state's values.
    QPointF m_shownInsets{12, 6};
    double m_shownEmphasis = 0; // 0 = rest colours, 1 = hover colours
    QPointF m_fromInsets;
    double m_fromEmphasis = 0;
    QVariantAnimation m_animation;
};

class PermissionGuideView : public QWidget {
    Q_OBJECT
public:
    explicit PermissionGuideView(PermissionGuideKind kind, QWidget* parent = nullptr);
    void setKind(PermissionGuideKind kind);
    PermissionGuideKind kind() const { return m_kind; }
    PanelText* title() const { return m_title; }
    PanelText* subtitle() const { return m_subtitle; }
    AppBundleDragChipView* chip() const { return m_chip; }

protected:
    void paintEvent(QPaintEvent*) override;

private:
    PermissionGuideKind m_kind;
    PanelText* m_title;
    PanelText* m_subtitle;
    AppBundleDragChipView* m_chip;
};

// Shows the guide for the kind the model publishes and hides it when the
// model clears it.
class PermissionGuideWindowController : public QObject {
    Q_OBJECT
public:
    explicit PermissionGuideWindowController(TovrikAppModel* model, QObject* parent = nullptr);
    ~PermissionGuideWindowController() override;

    // Shows (or re-shows) the guide for `kind` on the screen under the pointer.
    void show(PermissionGuideKind kind);
    void orderOut();
    // The window; null until the first show.
    QWidget* panel() const { return m_panel; }
    PermissionGuideView* view() const { return m_view; }

private:
    void followModel();
    QPointer<TovrikAppModel> m_model;
    QPointer<QWidget> m_panel;
    PermissionGuideView* m_view = nullptr;
    std::optional<PermissionGuideKind> m_shownKind;
};

} // namespace tovrik::panel
