#pragma once

// Display capture from the root window: MIT-SHM (one shared segment sized
// for the whole root, reused) when the server offers it, else GetImage.
// Each display is its rectangle of the root at native resolution.
//
// synchronize(): X11 cannot leave windows out of a capture, so callers take
// their windows off screen first. A round trip makes sure the server has
// processed the unmaps; with a compositor running, the screen only changes
// when the compositor repaints, which it does within a frame of the damage,
// so we then wait three frames (50 ms) and make a second round trip.

#include "platform/Capture.h"
#include "platform/x11/Xcb.h"

#include <QRect>
#include <mutex>

namespace tovrik::platform::x11 {

class X11Displays;

class X11Capture : public DisplayCapture {
public:
    // `sharedMemory` false reads every capture through GetImage.
    explicit X11Capture(X11Displays& displays, bool sharedMemory = true);
    ~X11Capture() override;

    QImage captureDisplay(uint32_t displayID) override;
    void synchronize() override;
    ForegroundInfo foreground() override;

    // A rectangle of the root window (pixels); null on failure or when the
    // rectangle lies outside the root.
    QImage captureRootRect(QRect pixels);
    bool usesSharedMemory() const { return m_shmAvailable; }

private:
    bool ensureSegment(size_t bytes);
    void releaseSegment();
    QImage captureShm(QRect r);
    QImage captureGetImage(QRect r);

    X11Displays& m_displays;
    XcbConnection m_conn;
    std::mutex m_mutex;
    bool m_formatOk = false;
    bool m_shmAvailable = false;
    uint32_t m_shmSeg = 0;
    int m_shmId = -1;
    uint8_t* m_shmAddr = nullptr;
    size_t m_shmSize = 0;
};

} // namespace tovrik::platform::x11
