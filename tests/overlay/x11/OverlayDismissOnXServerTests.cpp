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
class ForeignClient {
public:
    explicit ForeignClient(QRect geometry) : m_conn(nullptr)
    {
        if (!m_conn.ok() || !initXInput2(m_conn))
            return;
        m_window = xcb_generate_id(m_conn);
        const uint32_t values[] = {m_conn.screen()->white_pixel, 1u, XCB_EVENT_MASK_BUTTON_PRESS};
        xcb_create_window(m_conn, XCB_COPY_FROM_PARENT, m_window, m_conn.root(), int16_t(geometry.x()),
                          int16_t(geometry.y()), uint16_t(geometry.width()), uint16_t(geometry.height()), 0,
                          XCB_WINDOW_CLASS_INPUT_OUTPUT, XCB_COPY_FROM_PARENT,
                          XCB_CW_BACK_PIXEL | XCB_CW_OVERRIDE_REDIRECT | XCB_CW_EVENT_MASK, values);
        xcb_map_window(m_conn, m_window);
        m_conn.sync();
        addMaster();
    }
    ~ForeignClient()
    {
        if (!m_conn.ok())
            return;
        if (m_pointer) {
            xcb_input_remove_master_t remove{};
            remove.type = XCB_INPUT_HIERARCHY_CHANGE_TYPE_REMOVE_MASTER;
            remove.len = sizeof remove / 4;
            remove.deviceid = m_pointer;
            remove.return_mode = XCB_INPUT_CHANGE_MODE_FLOAT;
            XcbReply<xcb_generic_error_t> error(xcb_request_check(
                m_conn, xcb_input_xi_change_hierarchy_checked(
                            m_conn, 1, reinterpret_cast<const xcb_input_hierarchy_change_t*>(&remove))));
        }
        if (m_window)
            xcb_destroy_window(m_conn, m_window);
        m_conn.sync();
    }

    bool ok() const { return m_conn.ok() && m_window && m_pointer; }

    bool click(QPoint rootPixel)
    {
        return fake(XCB_MOTION_NOTIFY, 0, rootPixel) && fake(XCB_BUTTON_PRESS, 1, rootPixel)
            && fake(XCB_BUTTON_RELEASE, 1, rootPixel);
    }

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
    void addMaster()
    {
        const QByteArray name = "tovrik-overlay-test-seat";
        const int padded = (name.size() + 3) & ~3;
        std::vector<uint8_t> buffer(size_t(8 + padded), 0);
        auto* add = reinterpret_cast<xcb_input_add_master_t*>(buffer.data());
        add->type = XCB_INPUT_HIERARCHY_CHANGE_TYPE_ADD_MASTER;
        add->len = uint16_t(buffer.size() / 4);
        add->name_len = uint16_t(name.size());
        add->send_core = 1;
        add->enable = 1;
        std::memcpy(buffer.data() + 8, name.constData(), size_t(name.size()));
        XcbReply<xcb_generic_error_t> error(xcb_request_check(
            m_conn, xcb_input_xi_change_hierarchy_checked(
                        m_conn, 1, reinterpret_cast<const xcb_input_hierarchy_change_t*>(buffer.data()))));
        if (error)
            return;
        for (const auto& d : queryXIDevices(m_conn))
            if (d.type == XCB_INPUT_DEVICE_TYPE_MASTER_POINTER && d.name == name + " pointer")
                m_pointer = d.id;
        if (!m_pointer)
            return;
        XcbReply<xcb_generic_error_t> setError(
            xcb_request_check(m_conn, xcb_input_xi_set_client_pointer_checked(m_conn, XCB_WINDOW_NONE, m_pointer)));
        if (setError)
            m_pointer = 0;
    }

    bool fake(uint8_t type, uint8_t detail, QPoint p)
    {
        XcbReply<xcb_generic_error_t> error(xcb_request_check(
            m_conn, xcb_test_fake_input_checked(m_conn, type, detail, XCB_CURRENT_TIME, m_conn.root(), int16_t(p.x()),
                                                int16_t(p.y()), 0)));
        return !error && m_conn.sync();
    }

    XcbConnection m_conn;
    xcb_window_t m_window = 0;
    uint16_t m_pointer = 0;
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
