#pragma once

#include <QImage>
#include <QString>
#include <cstdint>

namespace tovrik::platform {

// What the pointer's front application looks like, for capture payloads.
struct ForegroundInfo {
    int64_t processID = 0;
    QString bundleIdentifier;       // X11: the WM_CLASS class of the active window
    QString frontWindowSignature;   // stable text describing the active window
    QString focusedElementSignature;
};

class DisplayCapture {
public:
    virtual ~DisplayCapture() = default;
    // The display's pixels at native resolution; a null image on failure.
    virtual QImage captureDisplay(uint32_t displayID) = 0;
    // Waits until the display server has processed every request made so
    // far and repainted (after windows were taken off screen).
    virtual void synchronize() = 0;
    virtual ForegroundInfo foreground() = 0;
};

} // namespace tovrik::platform
