#pragma once

// Virtual RandR monitors on the test X server, for tests that need several
// displays.

#include <QRect>
#include <cstdint>

namespace tovrik::test {

// Sets (or, with an empty rect, deletes) a RandR monitor named `name` bound
// to `output` (0 = none). Through Xlib: this libxcb-randr's SetMonitor
// request serialiser crashes.
bool setMonitor(const char* name, QRect r, bool primary, uint32_t output = 0);
// The first output of the screen's current resources, or 0.
uint32_t firstOutput();

} // namespace tovrik::test
