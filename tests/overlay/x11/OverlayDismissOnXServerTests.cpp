// A pinned answer bubble on a real X server: a click in ANOTHER application's
// window (from another seat, as a person's mouse would be: not our own XTest
// input) dismisses the bubble through the global mouse-down monitor, and the
// click still reaches that window through the overlay.

#include "common/Clock.h"
#include "overlay/OverlayWindowController.h"
#include "platform/sim/SimPlatform.h"
#include "platform/x11/X11Platform.h"
#include "platform/x11/XInputDevices.h"
#include "platform/x11/Xcb.h"
#include "support/SimFixture.h"
#include "support/X11TestClients.h"

#include <gtest/gtest.h>
#include <xcb/xinput.h>
#include <xcb/xtest.h>

#include <cstdlib>
#include <cstring>
#include <memory>
#include <vector>

using namespace tovrik;
using namespace tovrik::platform::x11;
using tovrik::test::spinUntil;

namespace {

// Another X client with a window of its own and a master pointer of its own
// (its XTest input is not ours, so our monitors treat it as the user's).
class ForeignClient : public tovrik::test::SecondSeat {
public:
    explicit ForeignClient(QRect geometry) : SecondSeat("tovrik-overlay-test-seat")
    {
        if (!SecondSeat::ok())
            return;
        m_window = xcb_generate_id(m_conn);
        const uint32_t values[] = {m_conn.screen()->white_pixel, 1u, XCB_EVENT_MASK_BUTTON_PRESS};
        xcb_create_window(m_conn, XCB_COPY_FROM_PARENT, m_window, m_conn.root(), int16_t(geometry.x()),
                          int16_t(geometry.y()), uint16_t(geometry.width()), uint16_t(geometry.height()), 0,
                          XCB_WINDOW_CLASS_INPUT_OUTPUT, XCB_COPY_FROM_PARENT,
                          XCB_CW_BACK_PIXEL | XCB_CW_OVERRIDE_REDIRECT | XCB_CW_EVENT_MASK, values);
        xcb_map_window(m_conn, m_window);
        m_conn.sync();
    }
    ~ForeignClient() override
    {
        if (m_window) {
            xcb_destroy_window(m_conn, m_window);
            m_conn.sync();
        }
    }

    bool ok() const { return SecondSeat::ok() && m_window; }

    // Button presses this window received so far.
    int presses()
    {
        while (xcb_generic_event_t* e = xcb_poll_for_event(m_conn)) {
            if ((e->response_type & 0x7f) == XCB_BUTTON_PRESS)
                ++m_presses;
            std::free(e);
        }
        return m_presses;
    }

private:
    xcb_window_t m_window = 0;
    int m_presses = 0;
};

class PinnedBubbleOnXServer : public ::testing::Test {
protected:
    void SetUp() override
    {
        Clock::install(nullptr);
        QString error;
        ASSERT_TRUE(X11Platform::install(&error)) << error.toStdString();
    }
    void TearDown() override
    {
        controller.reset();
        tovrik::test::drainEvents();
        platform::sim::SimPlatform::install();
    }
    std::unique_ptr<overlay::OverlayWindowController> controller;
};

} // namespace

TEST_F(PinnedBubbleOnXServer, AClickInAnotherApplicationDismissesItAndReachesThatApplication)
{
    ForeignClient other(QRect(1000, 600, 300, 200));
    ASSERT_TRUE(other.ok());
    controller = std::make_unique<overlay::OverlayWindowController>();
    controller->showResponse(QStringLiteral("kept until a click"), QPointF(100, 100), QSizeF(1920, 1080),
                             platform::Platform::get().displays().mainDisplay(), false, 5, true);
    ASSERT_TRUE(controller->hasResponseDismissGlobalMonitor());
    ASSERT_EQ(controller->windowManager().overlayWindows().size(), 1);
    ASSERT_TRUE(controller->windowManager().overlayWindows().first()->isVisible());
    tovrik::test::drainEvents();

    ASSERT_TRUE(other.click(QPoint(1100, 700)));
    EXPECT_TRUE(spinUntil([&] { return other.presses() == 1; })) << "the click did not reach the other application";
    EXPECT_TRUE(spinUntil([&] { return controller->bubbleText().isEmpty(); })) << "the bubble was not dismissed";
    EXPECT_FALSE(controller->isResponseBubblePinned());
    EXPECT_FALSE(controller->targetScreenLocation());
    EXPECT_FALSE(controller->hasResponseDismissGlobalMonitor());
}
