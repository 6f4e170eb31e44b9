#include "panel/SettingsPanelController.h"

#include "common/Clock.h"
#include "common/Constants.h"
#include "common/Easing.h"
#include "model/TovrikAppModel.h"
#include "panel/KeyablePanel.h"
#include "panel/PanelCardShadow.h"
#include "platform/Platform.h"

#include <QAction>
#include <QGuiApplication>
#include <QMetaMethod>
#include <QVBoxLayout>
#include <QWidget>

#include <algorithm>
#include <cmath>

namespace tovrik {

namespace panel_geometry {

QRectF placementUnderStatusItem(const QRectF& B, const QRectF& V, double w, double h)
{
    const double inset = SettingsPanelController::edgeInset;
    const double vMaxX = V.x() + V.width();
    const double bMidX = B.x() + B.width() / 2.0;
    const double x = std::max(V.x() + inset, std::min(vMaxX - w - inset, bMidX - w / 2.0));
    const double y = std::max(V.y() + inset, B.y() - h - inset);
    return QRectF(x, y, w, h);
}

QRectF placementWithoutStatusItem(const QRectF& V, double w, double h)
{
    const double inset = SettingsPanelController::edgeInset;
    const double x = std::max(V.x() + inset, V.x() + V.width() - w - 20.0);
    const double y = std::max(V.y() + inset, V.y() + V.height() - h - constants::settingsWindowScreenMargin);
    return QRectF(x, y, w, h);
}

QRectF resizedFrame(const QRectF& F, const QRectF& V, double w, double h)
{
    const double inset = SettingsPanelController::edgeInset;
    const double x = std::max(V.x() + inset, std::min(V.x() + V.width() - w - inset, F.x()));
    const double y = std::max(V.y() + inset, F.y() + F.height() - h);
    return QRectF(x, y, w, h);
}

QRectF resizedFrameKeepingBottom(const QRectF& F, const QRectF& V, double w, double h)
{
    const double inset = SettingsPanelController::edgeInset;
    const double x = std::max(V.x() + inset, std::min(V.x() + V.width() - w - inset, F.x()));
    const double y = std::max(V.y() + inset, std::min(V.y() + V.height() - h - inset, F.y()));
    return QRectF(x, y, w, h);
}

bool isAtBottomTray(const QRectF& B, const QRectF& V) { return B.center().y() < V.center().y(); }

} // namespace panel_geometry

namespace {

using namespace panel_geometry;

// AppKit frames against Qt's global (X root) coordinates, through the
// display registry's conversion; without a platform the two differ only by
// the flip of an empty main display.
QRectF globalFromAppKit(const QRectF& frame)
{
    if (platform::Platform::isInstalled())
        return platform::Platform::get().displays().globalFromAppKit(frame);
    return QRectF(frame.x(), -frame.y() - frame.height(), frame.width(), frame.height());
}

QRectF appKitFromGlobal(const QRectF& rect)
{
    if (platform::Platform::isInstalled())
        return platform::Platform::get().displays().appKitFromGlobal(rect);
    return QRectF(rect.x(), -rect.y() - rect.height(), rect.width(), rect.height());
}

// The visible frame of the display whose frame contains `probe`'s centre (or
// intersects it most), else of the main display, else (0, 0, w, h).
QRectF visibleFrameFor(std::optional<QRectF> probe, double w, double h)
{
    if (platform::Platform::isInstalled()) {
        const auto displays = platform::Platform::get().displays().displays();
        if (probe) {
            const QPointF centre = probe->center();
            for (const auto& d : displays)
                if (d.frame.contains(centre))
                    return d.visibleFrame;
            double best = 0;
            std::optional<QRectF> bestFrame;
            for (const auto& d : displays) {
                const QRectF overlap = d.frame.intersected(*probe);
                const double area = overlap.width() * overlap.height();
                if (area > best) {
                    best = area;
                    bestFrame = d.visibleFrame;
                }
            }
            if (bestFrame)
                return *bestFrame;
        }
        if (auto main = platform::Platform::get().displays().mainDisplay())
            return main->visibleFrame;
    }
    return QRectF(0, 0, w, h);
}

bool sameFrame(const QRectF& a, const QRectF& b)
{
    return std::abs(a.x() - b.x()) < 0.5 && std::abs(a.y() - b.y()) < 0.5 && std::abs(a.width() - b.width()) < 0.5 &&
           std::abs(a.height() - b.height()) < 0.5;
}

QRect toScreenRect(const QRectF& appKit)
{
    const QRectF r = globalFromAppKit(appKit);
    return QRect(int(std::lround(r.x())), int(std::lround(r.y())), int(std::lround(r.width())),
                 int(std::lround(r.height())));
}

} // namespace

SettingsPanelController::SettingsPanelController(TovrikAppModel& model, StatusItemAnchor* statusItem, QObject* parent)
    : SettingsPanelController(ModelSource{&model, [m = &model] { return m->preferredPanelSize(); },
                                          [m = &model] { return m->requiresPermissionGrant(); }},
                              statusItem, parent)
{
}

SettingsPanelController::SettingsPanelController(ModelSource model, StatusItemAnchor* statusItem, QObject* parent)
    : QObject(parent), m_model(std::move(model)), m_statusItem(statusItem)
{
    m_isApplicationActive = [] { return QGuiApplication::applicationState() == Qt::ApplicationActive; };
    m_animationTimer = new ClockTimer(this);
    connect(m_animationTimer, &ClockTimer::timeout, this, &SettingsPanelController::animationStep);
    // Each change schedules a resize on a later turn of the event loop, so
    // the resize sees the changed state.
    if (m_model.notifier) {
        const QMetaObject* source = m_model.notifier->metaObject();
        const int signal = source->indexOfSignal("changed()");
        const int slot = metaObject()->indexOfSlot("scheduleResize()");
        if (signal >= 0 && slot >= 0)
            m_modelObservation =
                connect(m_model.notifier.data(), source->method(signal), this, metaObject()->method(slot));
    }
}

void SettingsPanelController::scheduleResize()
{
    QMetaObject::invokeMethod(this, &SettingsPanelController::resizeVisiblePanel, Qt::QueuedConnection);
}

SettingsPanelController::~SettingsPanelController()
{
    QObject::disconnect(m_modelObservation);
    m_clickOutsideMonitor.reset();
    m_cardShadow.reset();
    delete m_panel.data();
}

QSizeF SettingsPanelController::panelSize() const
{
    const QSizeF preferred = m_model.preferredPanelSize ? m_model.preferredPanelSize()
                                                        : QSizeF(constants::readyPanelWidth, constants::menuPanelHeight);
    return QSizeF(preferred.width() * constants::panelDisplayScale, preferred.height() * constants::panelDisplayScale);
}

KeyablePanel* SettingsPanelController::panel() const { return m_panel.data(); }

bool SettingsPanelController::isPanelVisible() const { return m_panel && m_panel->isVisible(); }

QRectF SettingsPanelController::panelFrame() const
{
    if (!m_panel)
        return {};
    return appKitFromGlobal(QRectF(m_panel->geometry()));
}

std::optional<QRectF> SettingsPanelController::resizeAnimationTarget() const
{
    if (!m_animating)
        return std::nullopt;
    return m_animationTo;
}

void SettingsPanelController::createPanel()
{
    const QSizeF size = panelSize();
    m_panel = new KeyablePanel(QRect(0, 0, int(std::lround(size.width())), int(std::lround(size.height()))));
    m_panel->setCornerRadius(constants::panelDisplayScale * constants::panelChromeCornerRadius);
    m_cardShadow = std::make_unique<panel::PanelCardShadow>(m_panel->cornerRadius());
    if (platform::Platform::isInstalled()) {
        connect(&platform::Platform::get().displays(), &platform::Displays::compositorChanged, this,
                &SettingsPanelController::updateCardShadow);
        connect(&platform::Platform::get().displays(), &platform::Displays::displaysChanged, this,
                &SettingsPanelController::screensChanged);
    }

    // The hosting view fills the window; its background stays clear.
    auto* hosting = new QWidget(m_panel);
    hosting->setObjectName(QStringLiteral("SettingsPanelHostingView"));
    hosting->setAttribute(Qt::WA_TranslucentBackground);
    // The window's size is the model's preferred size, never the content's
    // size hints: the layouts impose no constraint on it.
    auto* layout = new QVBoxLayout(m_panel);
    layout->setSizeConstraint(QLayout::SetNoConstraint);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(0);
    layout->addWidget(hosting);
    auto* hostingLayout = new QVBoxLayout(hosting);
    hostingLayout->setSizeConstraint(QLayout::SetNoConstraint);
    hostingLayout->setContentsMargins(0, 0, 0, 0);
    hostingLayout->setSpacing(0);
    for (const auto& action : m_windowActions)
        if (action)
            m_panel->addAction(action);
    if (m_rootViewFactory) {
        QPointer<SettingsPanelController> weak(this);
        if (QWidget* root = m_rootViewFactory([weak] {
                if (weak)
                    weak->hidePanel();
            }))
            hostingLayout->addWidget(root);
    }
}

void SettingsPanelController::setWindowActions(QList<QAction*> actions)
{
    if (m_panel)
        for (const auto& old : m_windowActions)
            if (old)
                m_panel->removeAction(old);
    m_windowActions.clear();
    for (QAction* action : actions)
        m_windowActions.push_back(action);
    if (m_panel)
        m_panel->addActions(actions);
}

void SettingsPanelController::setPanelFrame(const QRectF& appKitFrame)
{
    if (!m_panel)
        return;
    m_panel->setGeometry(toScreenRect(appKitFrame));
    m_panel->update();
    updateCardShadow();
}

panel::PanelCardShadow* SettingsPanelController::cardShadow() const { return m_cardShadow.get(); }

void SettingsPanelController::updateCardShadow()
{
    if (m_cardShadow && m_panel)
        m_cardShadow->follow(m_panel->geometry(),
                             m_panel->isVisible() && KeyablePanel::isCompositingManagerRunning());
}

QRectF SettingsPanelController::placement() const
{
    const QSizeF size = panelSize();
    const double w = size.width(), h = size.height();
    std::optional<QRectF> buttonWindow = m_statusItem ? m_statusItem->buttonWindowFrame() : std::nullopt;
    // A tray on a screen that has just gone (the desktop has not moved it
    // yet) is no place to hang from.
    if (buttonWindow && platform::Platform::isInstalled()) {
        const auto displays = platform::Platform::get().displays().displays();
        if (!displays.isEmpty() && std::none_of(displays.begin(), displays.end(), [&](const auto& d) {
                return d.frame.intersects(*buttonWindow);
            }))
            buttonWindow.reset();
    }
    if (buttonWindow)
        return placementUnderStatusItem(*buttonWindow, visibleFrameFor(buttonWindow, w, h), w, h);
    return placementWithoutStatusItem(visibleFrameFor(std::nullopt, w, h), w, h);
}

void SettingsPanelController::screensChanged()
{
    // A screen went, came or moved: a shown panel goes at once where it
    // would be shown now (a panel on a screen that is gone would be out of
    // reach), without taking the focus; its shadow goes with it. A hidden
    // one is placed when it shows.
    if (!m_panel || !m_panel->isVisible()) {
        updateCardShadow();
        return;
    }
    const QRectF target = placement();
    stopAnimation();
    if (!sameFrame(panelFrame(), target))
        setPanelFrame(target);
    updateCardShadow();
    // The desktop moves its tray to the screens that are left in its own
    // time: once more when it has had that time.
    if (m_statusItem && !m_trayFollowUp)
        m_trayFollowUp = Clock::instance().schedule(trayFollowUpDelay, this, [this] {
            m_trayFollowUp = 0;
            if (m_panel && m_panel->isVisible() && !m_animating && !sameFrame(panelFrame(), placement())) {
                setPanelFrame(placement());
                updateCardShadow();
            }
        });
}

void SettingsPanelController::showPanelOnLaunch()
{
    Clock::instance().schedule(launchShowDelay, this, [this] { showPanel(); });
}

void SettingsPanelController::showPanel()
{
    if (!m_panel)
        createPanel();
    const QRectF target = placement();
    stopAnimation();
    if (!m_panel->isVisible() || !sameFrame(panelFrame(), target))
        setPanelFrame(target);

    m_panel->show();
    updateCardShadow();
    m_panel->raise();
    m_panel->activateWindow();
    // Once mapped, ask the window manager again for no taskbar entry: it
    // drops the hints when the panel is hidden.
    m_panel->requestWindowState();

    installClickOutsideMonitor();
}

void SettingsPanelController::toggle()
{
    if (isPanelVisible())
        hidePanel();
    else
        showPanel();
}

void SettingsPanelController::hidePanel()
{
    if (m_panel)
        m_panel->hide();
    updateCardShadow();
    m_clickOutsideMonitor.reset();
}

void SettingsPanelController::installClickOutsideMonitor()
{
    m_clickOutsideMonitor.reset();
    if (!platform::Platform::isInstalled())
        return;
    QPointer<SettingsPanelController> weak(this);
    m_clickOutsideMonitor = platform::Platform::get().eventTap().addGlobalMouseDownMonitor(
        [weak](platform::MouseButton button, QPointF point) {
            if (!weak)
                return;
            if (button != platform::MouseButton::Left && button != platform::MouseButton::Right)
                return;
            weak->handleClickOutside(point);
        });
}

void SettingsPanelController::handleClickOutside(QPointF displayPoint)
{
    if (!m_panel)
        return;
    // displayPoint is relative to the main display; the window geometry is
    // in global (root) coordinates.
    const QPointF global = platform::Platform::isInstalled()
                               ? platform::Platform::get().displays().globalFromDisplay(displayPoint)
                               : displayPoint;
    if (QRectF(m_panel->geometry()).contains(global))
        return;
    QPointer<KeyablePanel> panel = m_panel;
    Clock::instance().schedule(clickOutsideHideDelay, this, [this, panel] {
        if (!panel || !panel->isVisible())
            return;
        const bool keepForOnboarding = m_model.requiresPermissionGrant && m_model.requiresPermissionGrant() &&
                                       !(m_isApplicationActive && m_isApplicationActive());
        if (keepForOnboarding)
            return;
        hidePanel();
    });
}

void SettingsPanelController::resizeVisiblePanel()
{
    if (!m_panel || !m_panel->isVisible())
        return;
    const QSizeF size = panelSize();
    const double w = size.width(), h = size.height();
    const QRectF F = panelFrame();
    const QRectF V = visibleFrameFor(F, w, h);
    const std::optional<QRectF> B = m_statusItem ? m_statusItem->buttonWindowFrame() : std::nullopt;
    const QRectF target = B && isAtBottomTray(*B, visibleFrameFor(B, w, h)) ? resizedFrameKeepingBottom(F, V, w, h)
                                                                             : resizedFrame(F, V, w, h);
    if (sameFrame(F, target) && !m_animating)
        return;
    if (m_animating && sameFrame(m_animationTo, target))
        return;
    m_animationFrom = F;
    m_animationTo = target;
    m_animationStart = Clock::instance().now();
    m_animating = true;
    m_animationTimer->start(1.0 / 60.0, true);
}

void SettingsPanelController::stopAnimation()
{
    m_animating = false;
    m_animationTimer->stop();
}

void SettingsPanelController::animationStep()
{
    if (!m_animating || !m_panel) {
        stopAnimation();
        return;
    }
    const double t = (Clock::instance().now() - m_animationStart) / resizeAnimationDuration;
    if (t >= 1.0) {
        const QRectF to = m_animationTo;
        stopAnimation();
        if (!sameFrame(panelFrame(), to))
            setPanelFrame(to);
        return;
    }
    const double p = easedProgress(EasingCurve::EaseInOut, t);
    auto lerp = [p](double a, double b) { return a + (b - a) * p; };
    const QRectF f(lerp(m_animationFrom.x(), m_animationTo.x()), lerp(m_animationFrom.y(), m_animationTo.y()),
                   lerp(m_animationFrom.width(), m_animationTo.width()),
                   lerp(m_animationFrom.height(), m_animationTo.height()));
    setPanelFrame(f);
}

} // namespace tovrik
