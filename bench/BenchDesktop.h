#pragma once

// A desktop for the benchmarks that need a real X server: a private Xvfb
// with two 2560x1440 RandR monitors side by side, its root painted with a
// desktop-like picture, and the x11 platform backend installed on it. Started
// once per process (by main(), before the application, so that the
// benchmark's own windows live on it too); the server dies with the process.
// A compositor (xcompmgr) runs on it unless a benchmark stops it.
// TOVRIK_BENCH_DISPLAY names such a desktop that runs already (picture and
// compositor its own) to measure on instead.

#include <QString>

namespace tovrik::bench {

inline constexpr int kScreenW = 2560, kScreenH = 1440;

// A QGuiApplication (offscreen unless QT_QPA_PLATFORM says otherwise).
void ensureApplication();
// Starts the server (when main() did not), paints its root and installs the
// x11 backend; false (with the reason) when that is not possible. Later
// calls return the first answer.
bool ensureTwoScreenDesktop(QString* error);
// Starts the server and its compositor and points $DISPLAY at it, before
// any application exists; false when Xvfb cannot run here.
bool startDesktopServer();
// The private server's name, or empty.
QByteArray desktopDisplay();
// Whether that is a desktop given through TOVRIK_BENCH_DISPLAY.
bool desktopIsGiven();
// Starts or stops the compositor on the private server and waits until it
// owns (or no longer owns) the compositor selection.
bool setCompositorRunning(bool running);

} // namespace tovrik::bench
