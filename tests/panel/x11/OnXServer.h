#pragma once

// The panel's X server tests: the real x11 platform for a test's life, the
// main display's capture, and how the captured pixels at a window's place
// compare with what its widgets draw.

#include "common/Clock.h"
#include "platform/sim/SimPlatform.h"
#include "platform/x11/X11Platform.h"
#include "support/RandrMonitors.h"
#include "support/SimFixture.h"

#include <QImage>
#include <gtest/gtest.h>

#include <initializer_list>
#include <string>

namespace tovrik::test {

class OnXServer : public ::testing::Test {
protected:
    void SetUp() override
    {
        Clock::install(nullptr);
        QString error;
        ASSERT_TRUE(platform::x11::X11Platform::install(&error)) << error.toStdString();
    }
    void TearDown() override
    {
        drainEvents();
        platform::sim::SimPlatform::install();
    }
    static QImage captureMainDisplay()
    {
        auto& cap = platform::Platform::get().capture();
        cap.synchronize();
        return cap.captureDisplay(platform::Platform::get().displays().mainDisplay()->displayID);
    }
};

// Removes the named RandR monitors when the test ends, however it ends.
struct MonitorsGuard {
    std::initializer_list<const char*> names;
    ~MonitorsGuard()
    {
        for (const char* name : names)
            setMonitor(name, QRect(), false);
    }
};

inline bool nearRgb(QRgb a, QRgb b, int tolerance)
{
    return std::abs(qRed(a) - qRed(b)) <= tolerance && std::abs(qGreen(a) - qGreen(b)) <= tolerance &&
           std::abs(qBlue(a) - qBlue(b)) <= tolerance;
}

// The opaque pixels of `drawn` (rows `top` to `bottom`, all when -1) against
// the screen at `origin`: how many the screen shows within `tolerance`, and
// how many show `desk` instead.
struct Comparison {
    int opaque = 0;
    int matching = 0;
    int deskInside = 0;
    bool complete() const { return opaque > 0 && matching == opaque; }
    std::string describe() const
    {
        return std::to_string(matching) + " of " + std::to_string(opaque) + " opaque pixels on screen, " +
               std::to_string(deskInside) + " show the desk";
    }
};

inline Comparison compareWithScreen(const QImage& screen, QPoint origin, const QImage& drawn, int tolerance,
                                    QRgb desk = 0, int top = 0, int bottom = -1)
{
    Comparison c;
    const QImage own = drawn.convertToFormat(QImage::Format_ARGB32);
    for (int y = top; y < (bottom < 0 ? own.height() : bottom); ++y)
        for (int x = 0; x < own.width(); ++x) {
            const QRgb d = own.pixel(x, y);
            if (qAlpha(d) != 255)
                continue;
            ++c.opaque;
            const QPoint s = origin + QPoint(x, y);
            if (!screen.rect().contains(s))
                continue;
            const QRgb on = screen.pixel(s);
            if (nearRgb(on, d, tolerance))
                ++c.matching;
            else if (desk && nearRgb(on, desk, 0))
                ++c.deskInside;
        }
    return c;
}

} // namespace tovrik::test
