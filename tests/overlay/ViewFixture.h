#pragma once

// Two screens side by side, the first the main one, and the real controller
// whose windows host the real companion views, on the virtual clock.

#include "overlay/OverlayWindowController.h"
#include "overlay/views/CursorBuddyView.h"
#include "support/SimFixture.h"

#include <QImage>
#include <memory>

namespace tovrik::test {

class TwoScreenViews : public SimTest {
protected:
    // `second` is the second screen's bounds; `pointer` is y down.
    TwoScreenViews(QRectF second, QPointF pointer) : m_second(second), m_pointer(pointer) {}
    void SetUp() override
    {
        SimTest::SetUp();
        using platform::sim::SimDisplays;
        sim->simDisplays().setDisplays(
            {SimDisplays::make(1, QRectF(0, 0, 1440, 900), 1.0, true), SimDisplays::make(2, m_second)});
        sim->simDisplays().setPointerLocation(m_pointer);
        controller = std::make_unique<overlay::OverlayWindowController>();
    }
    void TearDown() override
    {
        controller.reset();
        SimTest::TearDown();
    }
    overlay::CursorBuddyView* view(uint32_t displayID)
    {
        for (auto* window : controller->windowManager().overlayWindows())
            if (window->displayID() == displayID)
                return qobject_cast<overlay::CursorBuddyView*>(window->contentView());
        return nullptr;
    }

    std::unique_ptr<overlay::OverlayWindowController> controller;

private:
    QRectF m_second;
    QPointF m_pointer;
};

} // namespace tovrik::test
