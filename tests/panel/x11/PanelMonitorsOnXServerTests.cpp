// The panel on two RandR monitors of the real X server with the primary one
// on the right (not at the root origin): it opens at the top-right of the
// primary monitor in root coordinates, a click inside keeps it open, a click
// elsewhere closes it, and it is on every workspace.

#include "OnXServer.h"
#include "model/TovrikAppModel.h"
#include "panel/KeyablePanel.h"
#include "panel/SettingsPanelController.h"
#include "platform/x11/Xcb.h"
#include "support/X11TestClients.h"

#include <QWindow>
#include <gtest/gtest.h>


using namespace tovrik;
using tovrik::test::setMonitor;
using tovrik::test::spinUntil;

namespace {

QList<uint32_t> property32(xcb_connection_t* c, uint32_t window, const char* name)
{
    const auto values = platform::x11::getProperty(c, window, platform::x11::internAtom(c, name)).cardinals();
    return QList<uint32_t>(values.begin(), values.end());
}

} // namespace

using PanelMonitorsOnXServer = tovrik::test::OnXServer;

TEST_F(PanelMonitorsOnXServer, OpensOnThePrimaryMonitorAndOnlyAClickElsewhereClosesIt)
{
    tovrik::test::MonitorsGuard guard{{"TOVRIK-PANEL-MAIN", "TOVRIK-PANEL-SIDE"}};
    ASSERT_TRUE(setMonitor("TOVRIK-PANEL-MAIN", QRect(720, 0, 1200, 800), true, tovrik::test::firstOutput()));
    ASSERT_TRUE(setMonitor("TOVRIK-PANEL-SIDE", QRect(0, 0, 720, 1080), false));
    auto& displays = platform::Platform::get().displays();
    ASSERT_TRUE(spinUntil([&] { return displays.displays().size() == 2; }, 3000));
    ASSERT_EQ(displays.mainDisplay()->name, QStringLiteral("TOVRIK-PANEL-MAIN"));
    tovrik::test::SecondSeat person;
    ASSERT_TRUE(person.ok());
    TovrikAppModel model;
    SettingsPanelController controller(model, nullptr);
    controller.showPanel();
    KeyablePanel* panel = controller.panel();
    ASSERT_TRUE(panel);
    ASSERT_TRUE(spinUntil([&] { return panel->isVisible(); }));
    // Top-right of the primary monitor: 20 from its right edge, 32 below its top.
    const QRect g = panel->geometry();
    EXPECT_EQ(g.right() + 1, 720 + 1200 - 20);
    EXPECT_EQ(g.top(), 32);
    EXPECT_EQ(controller.panelFrame().topLeft(), QPointF(1200 - 20 - g.width(), 800 - 32 - g.height()));
    // On every workspace.
    xcb_connection_t* c = person.conn();
    const uint32_t window = uint32_t(panel->windowHandle()->winId());
    EXPECT_TRUE(property32(c, window, "_NET_WM_STATE").contains(platform::x11::internAtom(c, "_NET_WM_STATE_STICKY")));
    EXPECT_EQ(property32(c, window, "_NET_WM_DESKTOP"), QList<uint32_t>{0xFFFFFFFFu});
    // A person's click inside the panel keeps it open ...
    ASSERT_TRUE(person.click(g.center() + QPoint(0, g.height() / 4)));
    spinUntil([] { return false; }, 700);
    EXPECT_TRUE(panel->isVisible());
    // ... and one on the other monitor closes it 0.3 s later.
    ASSERT_TRUE(person.click(QPoint(300, 500)));
    EXPECT_TRUE(spinUntil([&] { return !panel->isVisible(); }, 3000));
}
