#include "panel/PermissionGuide.h"

#include "common/Constants.h"
#include "model/TovrikAppModel.h"
#include "overlay/OverlayCoordinates.h"
#include "panel/KeyablePanel.h"
#include "panel/kit/Marks.h"
#include "panel/kit/PanelText.h"
#include "panel/kit/Symbols.h"
#include "platform/Displays.h"
#include "platform/Platform.h"

#include <QCoreApplication>
#include <QDrag>
#include <QGuiApplication>
#include <QHBoxLayout>
#include <QMimeData>
#include <QMouseEvent>
#include <QPainter>
#include <QPainterPath>
#include <QUrl>
#include <QVBoxLayout>
#include <cmath>

namespace tovrik::panel {

// On X11 nothing is granted in a settings list: the guide appears only when
// the X server lacks what input control or capture needs, so its texts say
// what is missing and what fixes it. The microphone's page is the desktop's
// sound settings, where its texts hold as they are.
QString permissionGuideTitle(PermissionGuideKind kind)
{
    const QString me = QStringLiteral("I'm ") + constants::appDisplayName;
    switch (kind) {
    case PermissionGuideKind::microphone:
        return me + QStringLiteral(" - turn my toggle on above.");
    case PermissionGuideKind::accessibility:
        return me + QStringLiteral(" - I can't use the keyboard and mouse here.");
    case PermissionGuideKind::screenRecording:
        return me + QStringLiteral(" - I can't see the screen here.");
    }
    return {};
}

QString permissionGuideSubtitle(PermissionGuideKind kind, const QStringList& missingInputExtensions)
{
    const QString& app = constants::appDisplayName;
    switch (kind) {
    case PermissionGuideKind::microphone:
        return QStringLiteral("Look for ") + app + QStringLiteral(" above, then flip the toggle on.");
    case PermissionGuideKind::accessibility: {
        const bool noXTest = missingInputExtensions.contains(QStringLiteral("XTEST"));
        const bool noXInput2 = missingInputExtensions.contains(QStringLiteral("XInput2"));
        if (noXTest && !noXInput2)
            return QStringLiteral("This X server has no XTEST extension, so ") + app
                + QStringLiteral(" cannot use the keyboard and mouse. Enable XTEST, or use an X11 session.");
        if (noXInput2 && !noXTest)
            return QStringLiteral("This X server has no XInput2 extension, so ") + app
                + QStringLiteral(" cannot follow the keyboard and mouse. Enable XInput2, or use an X11 session.");
        return QStringLiteral("This X server has neither XTEST nor XInput2, so ") + app
            + QStringLiteral(" cannot use the keyboard and mouse. Enable both, or use an X11 session.");
    }
    case PermissionGuideKind::screenRecording:
        return QStringLiteral("This X server refuses to let ") + app
            + QStringLiteral(" capture the screen. Run it as a trusted X client, or use an X11 session.");
    }
    return {};
}

bool permissionGuideIsDraggable(PermissionGuideKind kind) { return kind != PermissionGuideKind::microphone; }

namespace guide_geometry {

QRectF visibleFrameUnder(const QList<platform::DisplayInfo>& displays, QPointF pointer)
{
    for (const auto& d : displays)
        if (overlay::frameContains(d.frame, pointer))
            return d.visibleFrame;
    for (const auto& d : displays)
        if (d.isMain)
            return d.visibleFrame;
    if (!displays.isEmpty())
        return displays.first().visibleFrame;
    return QRectF(0, 0, 640, 420);
}

QRectF guideFrame(const QRectF& V, PermissionGuideKind kind)
{
    const double w = std::min(std::max(V.width() - 48, 360.0), 560.0);
    const double h = permissionGuideIsDraggable(kind) ? 154 : 126;
    return QRectF(V.x() + V.width() / 2 - w / 2, V.y() + 18, w, h);
}

} // namespace guide_geometry

namespace {

QPixmap applicationIcon(int side, double dpr)
{
    const QIcon icon = QGuiApplication::windowIcon();
    if (!icon.isNull())
        return icon.pixmap(QSize(side, side), dpr);
    return QPixmap::fromImage(TovrikMarkView::render(QSizeF(side, side), dpr));
}

// The guide's window: borderless, above other windows, never focused, its
// corners cut by a mask where no compositor can show them transparent.
class GuidePanel : public QWidget {
public:
    GuidePanel()
        : QWidget(nullptr, Qt::Tool | Qt::FramelessWindowHint | Qt::WindowStaysOnTopHint | Qt::WindowDoesNotAcceptFocus
                               | Qt::X11BypassWindowManagerHint | Qt::NoDropShadowWindowHint)
    {
        setAttribute(Qt::WA_TranslucentBackground);
        setAttribute(Qt::WA_ShowWithoutActivating);
        setFocusPolicy(Qt::NoFocus);
        setWindowTitle(constants::appDisplayName + QStringLiteral(" guide"));
    }

protected:
    void resizeEvent(QResizeEvent* e) override
    {
        QWidget::resizeEvent(e);
        if (KeyablePanel::isCompositingManagerRunning()) {
            clearMask();
            return;
        }
        QPainterPath path;
        path.addRoundedRect(QRectF(rect()), 23, 23);
        setMask(QRegion(path.toFillPolygon().toPolygon()));
    }
};

} // namespace

// ---- AppBundleDragChipView ----

AppBundleDragChipView::AppBundleDragChipView(bool isDraggable, QWidget* parent) : QWidget(parent), m_draggable(isDraggable)
{
    setAttribute(Qt::WA_Hover);
    m_title = new PanelText(constants::appDisplayName, this);
    m_title->setPanelFont(15, FontWeight::Bold);
    m_title->setColor(Qt::white);
    m_title->setMaxLines(1);
    m_hand = new PanelText(QStringLiteral("drag"), this);
    m_hand->setPanelFont(11, FontWeight::Bold);
    m_hand->setColor(constants::turquoiseAccent());
    m_hand->setFixedToIdealWidth(true);
    m_animation.setEasingCurve(QEasingCurve::InOutQuad);
    m_animation.setStartValue(0.0);
    m_animation.setEndValue(1.0);
    connect(&m_animation, &QVariantAnimation::valueChanged, this, [this](const QVariant& v) {
        const double t = v.toDouble();
        const QPointF to = insets();
        const double toEmphasis = (m_draggable && (m_hovered || m_pressed)) ? 1 : 0;
        m_shownInsets = m_fromInsets + (to - m_fromInsets) * t;
        m_shownEmphasis = m_fromEmphasis + (toEmphasis - m_fromEmphasis) * t;
        layoutLabels();
        update();
    });
    updateInteractionState(false);
}

void AppBundleDragChipView::setDraggable(bool isDraggable)
{
    m_draggable = isDraggable;
    if (!isDraggable)
        m_hovered = m_pressed = false;
    updateInteractionState(true);
}

bool AppBundleDragChipView::isHandLabelVisible() const { return m_hand->isVisibleTo(const_cast<AppBundleDragChipView*>(this)); }

QPointF AppBundleDragChipView::insets() const
{
    if (!m_draggable)
        return QPointF(12, 6);
    if (m_pressed)
        return QPointF(4, 2);
    if (m_hovered)
        return QPointF(7, 3);
    return QPointF(12, 6);
}

QColor AppBundleDragChipView::plateColor() const
{
    return whiteAt(m_draggable && (m_hovered || m_pressed) ? 0.115 : 0.08);
}

QColor AppBundleDragChipView::borderColor() const
{
    return whiteAt(m_draggable && (m_hovered || m_pressed) ? 0.18 : 0.1);
}

QRectF AppBundleDragChipView::plateRect() const
{
    return QRectF(rect()).adjusted(m_shownInsets.x(), m_shownInsets.y(), -m_shownInsets.x(), -m_shownInsets.y());
}

void AppBundleDragChipView::updateInteractionState(bool animated)
{
    m_hand->setVisible(m_draggable);
    const QPointF to = insets();
    const double toEmphasis = (m_draggable && (m_hovered || m_pressed)) ? 1 : 0;
    m_animation.stop();
    if (!animated || !isVisible()) {
        m_shownInsets = to;
        m_shownEmphasis = toEmphasis;
    } else {
        m_fromInsets = m_shownInsets;
        m_fromEmphasis = m_shownEmphasis;
        m_animation.setDuration(m_pressed ? 120 : 160);
        m_animation.start();
    }
    layoutLabels();
    update();
}

void AppBundleDragChipView::enterEvent(QEnterEvent*)
{
    if (!m_draggable)
        return;
    m_hovered = true;
    updateInteractionState(true);
}

void AppBundleDragChipView::leaveEvent(QEvent*)
{
    // Qt reports a leave as soon as a drag takes the pointer; the chip stays
    // pressed until the drag ends.
    if (m_dragging)
        return;
    m_hovered = false;
    m_pressed = false;
    updateInteractionState(true);
}

QMimeData* AppBundleDragChipView::dragPayload()
{
    auto* data = new QMimeData;
    data->setUrls({QUrl::fromLocalFile(QCoreApplication::applicationFilePath())});
    return data;
}

void AppBundleDragChipView::mousePressEvent(QMouseEvent* event)
{
    if (!m_draggable) {
        QWidget::mousePressEvent(event);
        return;
    }
    m_pressed = true;
    updateInteractionState(true);
    const int dw = int(std::min(std::max(0.46 * plateRect().width(), 236.0), 300.0));
    auto* drag = new QDrag(this);
    drag->setMimeData(dragPayload());
    drag->setPixmap(QPixmap::fromImage(dragImage(QSize(dw, 44))));
    drag->setHotSpot(QPoint(30, 22));
    m_dragging = true;
    drag->exec(dragActions, Qt::CopyAction);
    m_dragging = false;
    // The drag ended (dropped, refused or cancelled).
    m_pressed = false;
    m_hovered = underMouse();
    updateInteractionState(true);
}

void AppBundleDragChipView::mouseReleaseEvent(QMouseEvent* event)
{
    m_pressed = false;
    updateInteractionState(true);
    QWidget::mouseReleaseEvent(event);
}

QImage AppBundleDragChipView::dragImage(QSize size) const
{
    const double dpr = devicePixelRatioF();
    if (size.width() <= 0)
        return applicationIcon(28, dpr).toImage();
    QImage image(size * dpr, QImage::Format_ARGB32_Premultiplied);
    image.setDevicePixelRatio(dpr);
    image.fill(Qt::transparent);
    QPainter p(&image);
    p.setRenderHint(QPainter::Antialiasing);
    QPainterPath card;
    card.addRoundedRect(QRectF(QPointF(0, 0), QSizeF(size)).adjusted(1, 1, -1, -1), 12, 12);
    p.fillPath(card, withOpacity(constants::panelSurface(), 0.98));
    p.setPen(QPen(whiteAt(0.18), 1));
    p.drawPath(card);
    p.drawPixmap(QRectF(12, 8, 28, 28), applicationIcon(28, dpr), QRectF());
    p.setFont(panelFont(15, FontWeight::Bold));
    p.setPen(Qt::white);
    p.drawText(QRectF(52, 0, size.width() - 52, size.height()), Qt::AlignLeft | Qt::AlignVCenter,
               constants::appDisplayName);
    p.setFont(panelFont(11, FontWeight::Bold));
    p.setPen(constants::turquoiseAccent());
    p.drawText(QRectF(0, 0, size.width() - 12, size.height()), Qt::AlignRight | Qt::AlignVCenter,
               QStringLiteral("drag"));
    return image;
}

void AppBundleDragChipView::paintEvent(QPaintEvent*)
{
    QPainter p(this);
    p.setRenderHint(QPainter::Antialiasing);
    const QRectF plate = plateRect();
    QPainterPath shape;
    shape.addRoundedRect(plate, 12, 12);
    const double t = m_shownEmphasis;
    p.fillPath(shape, whiteAt(0.08 + (0.115 - 0.08) * t));
    p.setPen(QPen(whiteAt(0.1 + (0.18 - 0.1) * t), 1));
    p.drawPath(shape);
    // Icon 12 in, title 12 after it, hand label 12 from the right.
    p.drawPixmap(QRectF(plate.left() + 12, plate.center().y() - 14, 28, 28), applicationIcon(28, devicePixelRatioF()),
                 QRectF());
}

void AppBundleDragChipView::resizeEvent(QResizeEvent*) { layoutLabels(); }

// Icon 12 in from the plate, the title 12 after it, the hand label 12 from
// the plate's right edge.
void AppBundleDragChipView::layoutLabels()
{
    const QRectF plate = plateRect();
    const QSize handHint = m_hand->sizeHint();
    const int handWidth = m_draggable ? handHint.width() : 0;
    m_hand->setGeometry(int(plate.right() - 12 - handWidth), int(plate.center().y() - handHint.height() / 2.0),
                        handWidth, handHint.height());
    const QSize titleHint = m_title->sizeHint();
    const double titleLeft = plate.left() + 12 + 28 + 12;
    const double titleRight = m_draggable ? plate.right() - 12 - handWidth - 12 : plate.right() - 12;
    m_title->setGeometry(int(titleLeft), int(plate.center().y() - titleHint.height() / 2.0),
                         std::max(0, int(titleRight - titleLeft)), titleHint.height());
}

// ---- PermissionGuideView ----

namespace {
class GuideBadge : public QWidget {
public:
    explicit GuideBadge(QWidget* parent) : QWidget(parent) { setFixedSize(34, 34); }

protected:
    void paintEvent(QPaintEvent*) override
    {
        QPainter p(this);
        p.setRenderHint(QPainter::Antialiasing);
        p.setPen(Qt::NoPen);
        p.setBrush(withOpacity(constants::turquoiseAccent(), 0.18));
        p.drawEllipse(QRectF(rect()));
        paintSymbol(p, QStringLiteral("arrow.up"), QRectF(rect()), 16, FontWeight::Heavy, constants::turquoiseAccent());
    }
};
} // namespace

PermissionGuideView::PermissionGuideView(PermissionGuideKind kind, QWidget* parent) : QWidget(parent), m_kind(kind)
{
    auto* column = new QVBoxLayout(this);
    column->setContentsMargins(14, 14, 14, 14);
    column->setSpacing(10);
    auto* head = new QHBoxLayout;
    head->setSpacing(10);
    head->addWidget(new GuideBadge(this), 0, Qt::AlignVCenter);
    auto* texts = new QVBoxLayout;
    texts->setSpacing(4);
    m_title = new PanelText(QString(), this);
    m_title->setPanelFont(15, FontWeight::Bold);
    m_title->setColor(whiteAt(0.94));
    m_title->setMaxLines(1);
    m_title->setMinimumScaleFactor(0.76);
    texts->addWidget(m_title);
    m_subtitle = new PanelText(QString(), this);
    m_subtitle->setPanelFont(12, FontWeight::Semibold);
    m_subtitle->setColor(whiteAt(0.55));
    m_subtitle->setMaxLines(2);
    texts->addWidget(m_subtitle);
    head->addLayout(texts, 1);
    column->addLayout(head);
    m_chip = new AppBundleDragChipView(permissionGuideIsDraggable(kind), this);
    column->addWidget(m_chip);
    column->addStretch(1);
    setKind(kind);
}

void PermissionGuideView::setKind(PermissionGuideKind kind)
{
    m_kind = kind;
    m_title->setText(permissionGuideTitle(kind));
    m_subtitle->setText(
        permissionGuideSubtitle(kind, platform::Platform::get().permissions().missingInputExtensions()));
    m_chip->setDraggable(permissionGuideIsDraggable(kind));
    m_chip->setFixedHeight(permissionGuideIsDraggable(kind) ? 58 : 46);
}

void PermissionGuideView::paintEvent(QPaintEvent*)
{
    QPainter p(this);
    p.setRenderHint(QPainter::Antialiasing);
    QPainterPath shape;
    shape.addRoundedRect(QRectF(rect()), 23, 23);
    p.fillPath(shape, constants::panelBackground());
    p.setClipPath(shape);
    p.setPen(QPen(whiteAt(0.12), 1));
    p.drawPath(shape);
}

// ---- PermissionGuideWindowController ----

PermissionGuideWindowController::PermissionGuideWindowController(TovrikAppModel* model, QObject* parent)
    : QObject(parent), m_model(model)
{
    if (model)
        connect(model, &TovrikAppModel::changed, this, &PermissionGuideWindowController::followModel);
    // A shown guide goes with the screens: placed again when they change,
    // never left where a monitor was.
    if (platform::Platform::isInstalled())
        connect(&platform::Platform::get().displays(), &platform::Displays::displaysChanged, this, [this] {
            if (m_shownKind && m_panel && m_panel->isVisible())
                show(*m_shownKind);
        });
}

PermissionGuideWindowController::~PermissionGuideWindowController() { delete m_panel; }

void PermissionGuideWindowController::followModel()
{
    if (!m_model)
        return;
    const auto kind = m_model->visiblePermissionGuideKind();
    if (kind == m_shownKind)
        return;
    if (kind)
        show(*kind);
    else
        orderOut();
}

void PermissionGuideWindowController::show(PermissionGuideKind kind)
{
    m_shownKind = kind;
    QList<platform::DisplayInfo> displays;
    QPointF pointer;
    if (platform::Platform::isInstalled()) {
        displays = platform::Platform::get().displays().displays();
        pointer = platform::Platform::get().displays().pointerLocationAppKit();
    }
    const QRectF frame = guide_geometry::guideFrame(guide_geometry::visibleFrameUnder(displays, pointer), kind);
    // AppKit (y up) to the main display's top-left (y down), then into the root window.
    double mainHeight = 0;
    for (const auto& d : displays)
        if (d.isMain)
            mainHeight = d.frame.height();
    const QPointF topLeft = overlay::displayToAppKit(QPointF(frame.x(), frame.y() + frame.height()), mainHeight)
                          + overlay::mainDisplayRootOrigin(displays);
    const QRect geometry(int(std::lround(topLeft.x())), int(std::lround(topLeft.y())), int(std::lround(frame.width())),
                         int(std::lround(frame.height())));
    if (!m_panel) {
        m_panel = new GuidePanel;
        auto* layout = new QVBoxLayout(m_panel);
        layout->setContentsMargins(0, 0, 0, 0);
        m_view = new PermissionGuideView(kind, m_panel);
        layout->addWidget(m_view);
    } else {
        m_view->setKind(kind);
    }
    m_panel->setGeometry(geometry);
    m_panel->show();
    m_panel->raise();
    m_panel->update();
}

void PermissionGuideWindowController::orderOut()
{
    m_shownKind.reset();
    if (m_panel)
        m_panel->hide();
}

} // namespace tovrik::panel
