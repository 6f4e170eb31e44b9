#pragma once

// Pointer motion from the RECORD extension, for following the pointer.
//
// XInput2 raw motion reports what devices do, so it misses a pointer that a
// program warps (WarpPointer, as `xdotool mousemove` and some applications
// do): the pointer jumps and no raw event says so. RECORD reports every
// motion the server processes, device motion and warps alike, as core
// MotionNotify events with root coordinates.
//
// A recorder runs on a QThread of its own with two connections of its own
// (RECORD needs one that does nothing but receive the recorded data and one
// to control the context). Its handler gets a MouseMoved event per batch of
// motion, located in global display coordinates; nothing else is delivered.
// It stops through an eventfd polled together with the data connection.
// `start()` returns null where the server has no RECORD extension; callers
// then fall back to raw motion.

#include "platform/Input.h"

#include <QPointF>
#include <functional>
#include <memory>

namespace tovrik::platform::x11 {

class X11MotionRecorder {
public:
    static std::unique_ptr<EventTapSession> start(const QString& threadName,
                                                  std::function<QPointF(QPointF)> rootPixelsToPoints,
                                                  std::function<void(const RawInputEvent&)> handler);
};

} // namespace tovrik::platform::x11
