#pragma once

// A desktop for the benchmarks that need a real X server: a private Xvfb
// with two 2560x1440 RandR monitors side by side, its root painted with a
// desktop-like picture, and the x11 platform backend installed on it. Started
// once per process, on first use; the server dies with the process.

#include <QString>

namespace tovrik::bench {

inline constexpr int kScreenW = 2560, kScreenH = 1440;

// A QGuiApplication (offscreen unless QT_QPA_PLATFORM says otherwise).
void ensureApplication();
// Starts the server and installs the x11 backend; false (with the reason)
// when that is not possible. Later calls return the first answer.
bool ensureTwoScreenDesktop(QString* error);

} // namespace tovrik::bench
