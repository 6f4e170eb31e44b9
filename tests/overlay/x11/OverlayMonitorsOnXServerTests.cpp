// Overlay windows over two RandR monitors of the real X server, with the
// main (primary) monitor NOT at the root origin: each window must cover its
// monitor exactly in root coordinates.

#include "common/Clock.h"
#include "overlay/OverlayWindowController.h"
#include "platform/sim/SimPlatform.h"
#include "platform/x11/X11Platform.h"
#include "platform/x11/Xcb.h"
#include "support/RandrMonitors.h"
#include "support/SimFixture.h"

#include <gtest/gtest.h>
#include <memory>
#include <xcb/randr.h>

#include <X11/Xlib.h>
#include <X11/extensions/Xrandr.h>
#undef None
#undef Bool
#undef Status

using namespace tovrik;
using namespace tovrik::platform::x11;
using tovrik::test::firstOutput;
using tovrik::test::setMonitor;
using tovrik::test::spinUntil;

namespace {


struct MonitorsGuard {
    ~MonitorsGuard()
    {
        setMonitor("TOVRIK-OV-SIDE", QRect(), false);
        setMonitor("TOVRIK-OV-MAIN", QRect(), false);
    }
};

} // namespace

TEST(OverlayMonitorsOnXServer, EachWindowCoversItsMonitorWhenTheMainOneIsNotAtTheOrigin)
{
    Clock::install(nullptr);
    const xcb_randr_output_t output = firstOutput();
    ASSERT_NE(output, 0u);
    MonitorsGuard guard;
    ASSERT_TRUE(setMonitor("TOVRIK-OV-MAIN", QRect(720, 0, 1200, 800), true, output));
    ASSERT_TRUE(setMonitor("TOVRIK-OV-SIDE", QRect(0, 0, 720, 1080), false));

    QString error;
    ASSERT_TRUE(X11Platform::install(&error)) << error.toStdString();
    auto& displays = platform::Platform::get().displays();
    ASSERT_TRUE(spinUntil([&] { return displays.displays().size() == 2; }, 3000));
    const auto main = displays.mainDisplay();
    ASSERT_TRUE(main);
    ASSERT_EQ(main->name, QStringLiteral("TOVRIK-OV-MAIN"));
    // The side monitor lies left of the main one: negative display x.
    ASSERT_EQ(displays.displays()[1].bounds, QRectF(-720, 0, 720, 1080));

    {
        overlay::OverlayWindowController controller;
        controller.setIdleBehavior(true, false, false);
        const auto& windows = controller.windowManager().overlayWindows();
        ASSERT_EQ(windows.size(), 2);
        EXPECT_EQ(windows[0]->displayID(), std::optional<uint32_t>(main->displayID));
        EXPECT_EQ(windows[0]->geometry(), QRect(720, 0, 1200, 800));
        EXPECT_EQ(windows[1]->geometry(), QRect(0, 0, 720, 1080));
        // The X server agrees once the windows are mapped.
        ASSERT_TRUE(spinUntil([&] { return windows[0]->isVisible() && windows[1]->isVisible(); }));
        tovrik::test::drainEvents();
        EXPECT_EQ(windows[1]->frameGeometry().topLeft(), QPoint(0, 0));
    }
    tovrik::test::drainEvents();
    platform::sim::SimPlatform::install();
}
