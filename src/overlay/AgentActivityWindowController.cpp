#include "overlay/AgentActivityWindowController.h"

#include "common/Clock.h"
#include "common/Easing.h"
#include "overlay/OverlayCoordinates.h"
#include "overlay/views/AgentActivityView.h"
#include "platform/Platform.h"

namespace tovrik::overlay {

AgentActivityWindowController::AgentActivityWindowController(QObject* parent)
    : QObject(parent)
    , m_title(QStringLiteral("Codex Agent"))
    , m_detail(QStringLiteral("Starting Codex worker"))
{
    // A shown panel goes with the screens: its anchor screen as it is now
    // (or, when that screen is gone, the one the placement falls back to).
    if (platform::Platform::isInstalled())
        connect(&platform::Platform::get().displays(), &platform::Displays::displaysChanged, this, [this] {
            if (m_anchorScreen) {
                std::optional<platform::DisplayInfo> now;
                for (const auto& s : platform::Platform::get().displays().displays())
                    if (s.displayID == m_anchorScreen->displayID)
                        now = s;
                m_anchorScreen = now;
            }
            if (m_panel && m_panel->isVisible())
                resizePanel(false);
        });
}

AgentActivityWindowController::~AgentActivityWindowController()
{
    delete m_resizeTimer;
    if (m_hostingView && m_hostingView->parent() != m_panel)
        delete m_hostingView;
    delete m_panel;
}

void AgentActivityWindowController::setTitle(const QString& v)
{
    if (m_title != v) {
        m_title = v;
        emit changed();
    }
}

void AgentActivityWindowController::setDetail(const QString& v)
{
    if (m_detail != v) {
        m_detail = v;
        emit changed();
    }
}

void AgentActivityWindowController::setLogTail(const QString& v)
{
    if (m_logTail != v) {
        m_logTail = v;
        emit changed();
    }
}

void AgentActivityWindowController::setLogLocation(const QString& v)
{
    if (m_logLocation != v) {
        m_logLocation = v;
        emit changed();
    }
}

void AgentActivityWindowController::setExpanded(bool v)
{
    if (m_isExpanded != v) {
        m_isExpanded = v;
        emit changed();
    }
}

void AgentActivityWindowController::setPanel(QWidget* panel)
{
    if (m_panel && m_panel != panel)
        delete m_panel;
    m_panel = panel;
}

AgentActivityView* AgentActivityWindowController::hostingView() const
{
    return static_cast<AgentActivityView*>(m_hostingView.data());
}

void AgentActivityWindowController::setHostingView(AgentActivityView* view) { m_hostingView = view; }

void AgentActivityWindowController::hoverChanged(bool hovering)
{
    if (m_isExpanded != hovering)
        setExpanded(hovering);
    resizePanel(true);
}

QRectF AgentActivityWindowController::placementFrame(const std::optional<platform::DisplayInfo>& anchor,
                                                     const QList<platform::DisplayInfo>& screens, QPointF mouse)
{
    if (anchor)
        return anchor->visibleFrame;
    for (const auto& s : screens)
        if (frameContains(s.frame, mouse))
            return s.visibleFrame;
    for (const auto& s : screens)
        if (s.isMain)
            return s.visibleFrame;
    if (!screens.isEmpty())
        return screens.first().visibleFrame;
    return QRectF(0, 0, 900, 700);
}

QRectF AgentActivityWindowController::panelFrame(QSizeF size, const QRectF& placement)
{
    return QRectF(placement.right() - size.width() - screenInset, placement.bottom() - size.height() - screenInset,
                  size.width(), size.height());
}

QString AgentActivityWindowController::stepSymbolName(const QString& detail)
{
    // Substring tests on the lower-cased text, in this order; the first wins.
    static const std::pair<QString, QString> table[] = {
        {QStringLiteral("running:"), QStringLiteral("terminal")},
        {QStringLiteral("edit"), QStringLiteral("line.3.horizontal")},
        {QStringLiteral("patch"), QStringLiteral("line.3.horizontal")},
        {QStringLiteral("open"), QStringLiteral("safari")},
        {QStringLiteral("workspace"), QStringLiteral("folder")},
    };
    const QString lower = detail.toLower();
    for (const auto& [needle, symbol] : table)
        if (lower.contains(needle))
            return symbol;
    return QStringLiteral("sparkles");
}

void AgentActivityWindowController::resizePanel(bool animated)
{
    if (!m_panel)
        return;
    const QSizeF size = m_isExpanded ? expandedSize : collapsedSize;
    QList<platform::DisplayInfo> screens;
    QPointF mouse;
    if (platform::Platform::isInstalled()) {
        screens = platform::Platform::get().displays().displays();
        mouse = platform::Platform::get().displays().pointerLocationAppKit();
    }
    const QRectF target = panelFrame(size, placementFrame(m_anchorScreen, screens, mouse));
    if (m_hostingView)
        m_hostingView->setGeometry(QRect(QPoint(0, 0), size.toSize()));
    if (!animated) {
        if (m_resizeTimer)
            m_resizeTimer->stop();
        applyFrame(target);
        return;
    }
    if (!m_resizeTimer) {
        m_resizeTimer = new ClockTimer(this);
        connect(m_resizeTimer, &ClockTimer::timeout, this, &AgentActivityWindowController::resizeTick);
    }
    // From where the panel is now, also in the middle of a resize.
    m_resizeFrom = m_currentFrame.isNull() ? target : m_currentFrame;
    m_resizeTo = target;
    m_resizeStart = Clock::instance().now();
    m_resizeTimer->start(1.0 / 60.0, true);
}

bool AgentActivityWindowController::isResizing() const { return m_resizeTimer && m_resizeTimer->isActive(); }

void AgentActivityWindowController::resizeTick()
{
    const double t = (Clock::instance().now() - m_resizeStart) / resizeDuration;
    const double e = easedProgress(EasingCurve::EaseInOut, t);
    const auto mix = [e](double a, double b) { return a + (b - a) * e; };
    applyFrame(QRectF(mix(m_resizeFrom.x(), m_resizeTo.x()), mix(m_resizeFrom.y(), m_resizeTo.y()),
                      mix(m_resizeFrom.width(), m_resizeTo.width()), mix(m_resizeFrom.height(), m_resizeTo.height())));
    if (t >= 1)
        m_resizeTimer->stop();
}

void AgentActivityWindowController::applyFrame(const QRectF& appKitFrame)
{
    if (!m_panel)
        return;
    // AppKit (y up from the main display's bottom) to root coordinates.
    QList<platform::DisplayInfo> screens;
    if (platform::Platform::isInstalled())
        screens = platform::Platform::get().displays().displays();
    double mainHeight = 0;
    for (const auto& s : screens)
        if (s.isMain)
            mainHeight = s.bounds.height();
    platform::DisplayInfo placed;
    placed.bounds = QRectF(appKitFrame.x(), mainHeight - appKitFrame.y() - appKitFrame.height(), appKitFrame.width(),
                           appKitFrame.height());
    m_panel->setGeometry(qtGeometryForDisplay(placed, mainDisplayRootOrigin(screens)).toRect());
    m_currentFrame = appKitFrame;
}

} // namespace tovrik::overlay
