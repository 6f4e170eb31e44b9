// The panel's window as the X server and a window manager see it: out of
// the taskbar and the pager however often it is hidden and shown again (a
// window manager drops the state of a window it sees withdrawn, which this
// test does in its place, there being none on the test server), and on a
// tray at the bottom of the screen it keeps its bottom edge on the tray while
// a page gets shorter or taller.

#include "OnXServer.h"
#include "panel/KeyablePanel.h"
#include "panel/SettingsPanelController.h"
#include "platform/x11/Xcb.h"

#include <QGuiApplication>
#include <QScreen>
#include <QWindow>
#include <gtest/gtest.h>

#include <cmath>
#include <memory>

using namespace tovrik;
using tovrik::test::spinUntil;

namespace {

class SizedModel : public QObject {
    Q_OBJECT
public:
    QSizeF size{320, 312};
    void set(QSizeF s)
    {
        size = s;
        emit changed();
    }
signals:
    void changed();
};

class Anchor : public StatusItemAnchor {
public:
    std::optional<QRectF> frame;
    std::optional<QRectF> buttonWindowFrame() const override { return frame; }
};

class PanelWindowOnXServer : public test::OnXServer {
protected:
    void SetUp() override
    {
        OnXServer::SetUp();
        if (HasFatalFailure())
            return;
        ASSERT_TRUE(x.ok());
        const auto main = platform::Platform::get().displays().mainDisplay();
        ASSERT_TRUE(main);
        visible = main->visibleFrame;
        SettingsPanelController::ModelSource source;
        source.notifier = &model;
        source.preferredPanelSize = [this] { return model.size; };
        source.requiresPermissionGrant = [] { return false; };
        controller = std::make_unique<SettingsPanelController>(source, &anchor);
    }
    void TearDown() override
    {
        controller.reset();
        OnXServer::TearDown();
    }
    xcb_window_t window() const { return xcb_window_t(controller->panel()->windowHandle()->winId()); }
    std::vector<uint32_t> atoms(const char* property) const
    {
        return platform::x11::getProperty(x, window(), platform::x11::internAtom(x, property), XCB_ATOM_ATOM).cardinals();
    }
    bool hasState(const char* name) const
    {
        const auto states = atoms("_NET_WM_STATE");
        return std::find(states.begin(), states.end(), platform::x11::internAtom(x, name)) != states.end();
    }
    uint8_t mapState() const
    {
        platform::x11::XcbReply<xcb_get_window_attributes_reply_t> a(
            xcb_get_window_attributes_reply(x, xcb_get_window_attributes(x, window()), nullptr));
        return a ? a->map_state : uint8_t(XCB_MAP_STATE_UNMAPPED);
    }
    // The window's rectangle as the X server has it (root coordinates).
    QRect serverGeometry() const
    {
        platform::x11::XcbReply<xcb_get_geometry_reply_t> g(xcb_get_geometry_reply(x, xcb_get_geometry(x, window()), nullptr));
        return g ? QRect(g->x, g->y, g->width, g->height) : QRect();
    }
    // Waits for the resize animation to end and the server to have its last
    // frame.
    QRect settledGeometry(QSize size)
    {
        spinUntil([&] { return !controller->resizeAnimationTarget() && serverGeometry().size() == size; }, 5000);
        return serverGeometry();
    }

    platform::x11::XcbConnection x{nullptr};
    QRectF visible;
    SizedModel model;
    Anchor anchor;
    std::unique_ptr<SettingsPanelController> controller;
};

} // namespace

TEST_F(PanelWindowOnXServer, StaysOutOfTheTaskbarAndThePagerAfterEveryHideAndShow)
{
    const xcb_atom_t utility = platform::x11::internAtom(x, "_NET_WM_WINDOW_TYPE_UTILITY");
    for (int cycle = 0; cycle < 3; ++cycle) {
        controller->showPanel();
        ASSERT_TRUE(spinUntil([&] { return mapState() == XCB_MAP_STATE_VIEWABLE; }, 5000)) << "cycle " << cycle;
        EXPECT_TRUE(hasState("_NET_WM_STATE_SKIP_TASKBAR")) << "cycle " << cycle;
        EXPECT_TRUE(hasState("_NET_WM_STATE_SKIP_PAGER")) << "cycle " << cycle;
        const auto types = atoms("_NET_WM_WINDOW_TYPE");
        ASSERT_FALSE(types.empty());
        EXPECT_EQ(types.front(), utility) << "cycle " << cycle;
        controller->hidePanel();
        ASSERT_TRUE(spinUntil([&] { return mapState() == XCB_MAP_STATE_UNMAPPED; }, 5000)) << "cycle " << cycle;
        // The window manager's part: a withdrawn window loses its state.
        xcb_delete_property(x, window(), platform::x11::internAtom(x, "_NET_WM_STATE"));
        ASSERT_TRUE(x.sync());
    }
}

TEST_F(PanelWindowOnXServer, OnATrayAtTheBottomItKeepsItsBottomEdgeWhileThePageChanges)
{
    // The status item in a tray along the bottom edge, near the right.
    anchor.frame = QRectF(visible.x() + visible.width() - 100, 0, 24, 24);
    model.size = QSizeF(320, 650);
    controller->showPanel();
    ASSERT_TRUE(spinUntil([&] { return mapState() == XCB_MAP_STATE_VIEWABLE; }, 5000));
    const QRect shown = settledGeometry(QSize(320, 650));
    // 8 above the bottom of the visible frame.
    const QRectF visibleOnRoot = platform::Platform::get().displays().globalFromAppKit(visible);
    const int bottom = int(std::lround(visibleOnRoot.y() + visibleOnRoot.height())) - 8;
    EXPECT_EQ(shown.bottom() + 1, bottom);
    // A shorter page: the bottom edge stays on the tray.
    model.set(QSizeF(320, 312));
    EXPECT_EQ(settledGeometry(QSize(320, 312)), QRect(shown.x(), bottom - 312, 320, 312));
    // A taller one grows upward.
    model.set(QSizeF(320, 420));
    EXPECT_EQ(settledGeometry(QSize(320, 420)), QRect(shown.x(), bottom - 420, 320, 420));
    // With the item at the top the top edge stays, as always.
    controller->hidePanel();
    anchor.frame = QRectF(visible.x() + visible.width() - 100, visible.y() + visible.height() - 24, 24, 24);
    controller->showPanel();
    const QRect top = settledGeometry(QSize(320, 420));
    model.set(QSizeF(320, 312));
    EXPECT_EQ(settledGeometry(QSize(320, 312)), QRect(top.x(), top.y(), 320, 312));
}

TEST_F(PanelWindowOnXServer, WhenTheTraysMonitorGoesThePanelLeavesItAndFollowsTheTrayWhereTheDesktopPutsIt)
{
    const QSize root = QGuiApplication::primaryScreen()->virtualSize();
    if (root != QSize(1920, 1080))
        GTEST_SKIP() << "the layout below is for a 1920 x 1080 server";
    test::MonitorsGuard guard{{"TOVRIK-TRAY-MAIN", "TOVRIK-TRAY-SIDE"}};
    ASSERT_TRUE(test::setMonitor("TOVRIK-TRAY-MAIN", QRect(0, 0, 960, 1080), true, test::firstOutput()));
    ASSERT_TRUE(test::setMonitor("TOVRIK-TRAY-SIDE", QRect(960, 0, 960, 1080), false));
    auto& displays = platform::Platform::get().displays();
    ASSERT_TRUE(spinUntil([&] { return displays.displays().size() == 2; }, 3000));
    // The tray at the top of the right monitor (AppKit: y up from the main
    // screen's bottom).
    anchor.frame = QRectF(1760, 1080 - 24, 24, 24);
    controller->showPanel();
    ASSERT_TRUE(spinUntil([&] { return serverGeometry() == QRect(1920 - 320 - 8, 32, 320, 312); }, 5000))
        << serverGeometry().x() << "," << serverGeometry().y();
    // The monitor goes; the tray has not moved yet: top-right of the main one.
    ASSERT_TRUE(test::setMonitor("TOVRIK-TRAY-SIDE", QRect(), false));
    EXPECT_TRUE(spinUntil([&] { return serverGeometry() == QRect(960 - 20 - 320, 32, 320, 312); }, 5000))
        << serverGeometry().x() << "," << serverGeometry().y();
    // The desktop puts the tray on the main monitor: the panel goes under it.
    anchor.frame = QRectF(800, 1080 - 24, 24, 24);
    EXPECT_TRUE(spinUntil([&] { return serverGeometry() == QRect(960 - 320 - 8, 32, 320, 312); }, 5000))
        << serverGeometry().x() << "," << serverGeometry().y();
}

#include "PanelWindowOnXServerTests.moc"
