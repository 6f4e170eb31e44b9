#pragma once

#include "platform/Types.h"

#include <QObject>
#include <atomic>
#include <functional>
#include <memory>

namespace tovrik::platform {

enum class MouseEventKind { Move, Down, Up, Drag };

// Why typing text stopped short. Each cause has a sentence of its own in the
// step's error, so that the model and the user can act on it.
enum class TypingFailure {
    NoKeyboardEvent, // no keyboard event can carry the character
    FocusMoved,      // another window took the keyboard focus during the text
    ReceiverGone,    // the window the text went to closed
    KeyboardGrabbed, // another program holds or took the keyboard
    InputMethod,     // the receiver hands its keys to an input method
    NoProof,         // no way to tell when the receiver has handled its keys
    ReceiverBehind,  // the receiver did not handle its keys within the bound
};

// Posts synthetic input. Every event we post is ours: on X11 the process's
// ledger records it (SyntheticLedger.h), in the sim backend it carries the
// per-launch marker; the event taps report either as `isSynthetic`.
class SyntheticInput {
public:
    virtual ~SyntheticInput() = default;
    // `point` is in global display coordinates (y down). Returns false when
    // the event could not be posted.
    virtual bool postMouse(MouseEventKind kind, MouseButton button, QPointF point, int clickCount) = 0;
    virtual bool postKey(uint16_t keyCode, bool down, uint32_t modifiers) = 0;
    // Types text that has no key chord (any Unicode). False when any of it
    // could not be typed; what went before it is typed.
    virtual bool postText(const QString& text) = 0;
    // The same, giving up as soon as `stop` is set: nothing more of the text
    // is typed once the backend has seen it (false then).
    virtual bool postTextUnlessStopped(const QString& text, const std::atomic<bool>& stop)
    {
        return !stop && postText(text);
    }
    // Whether typing may wait for other programs (the receiving program's
    // progress), so that callers that must stay responsive call
    // postTextUnlessStopped on a thread of their own; it is safe on any
    // thread then.
    virtual bool typingMayWait() const { return false; }
    // Why the last postText or postTextUnlessStopped that returned false
    // failed; read on the thread that typed, right after it returned.
    virtual TypingFailure typingFailure() const { return TypingFailure::NoKeyboardEvent; }
    // Told the whole text before its characters are posted one by one with
    // postText, so that a backend can prepare for what comes next.
    virtual void willTypeText(const QString& text) { (void)text; }
    // Wheel deltas; pixelUnits = precise scrolling, else lines.
    virtual bool postScroll(int deltaY, int deltaX, bool pixelUnits) = 0;
    // Physical state: keys held by our own synthetic input do not count; keys
    // held on any other device (another master too) do.
    virtual bool isKeyPhysicallyDown(uint16_t keyCode) const = 0;
    virtual uint32_t physicalModifiers() const = 0;
};

// One raw input event seen by a listen-only tap.
struct RawInputEvent {
    // TapDisabled: the tap stopped seeing input (the X connection broke);
    // it is the last event a session delivers.
    enum class Type { KeyDown, KeyUp, FlagsChanged, MouseDown, MouseUp, MouseMoved, MouseDragged, Scroll, TapDisabled };
    Type type = Type::KeyDown;
    uint16_t keyCode = 0;       // macOS virtual key code (key events, FlagsChanged)
    uint32_t modifiers = 0;     // ModifierFlag bits after this event
    MouseButton button = MouseButton::Left;
    QPointF location;           // global display coordinates (y down)
    bool isAutoRepeat = false;
    bool isSynthetic = false;   // posted by this process (marker / the ledger)
    int64_t sourceUserData = 0; // the marker when the backend carries one
};

class EventTapSession {
public:
    virtual ~EventTapSession() = default;
    // Stops the tap and joins its thread; idempotent.
    virtual void stop() = 0;
    // Whether it sees every pointer motion, a warp by a program as well as
    // a device's motion.
    virtual bool seesEveryPointerMotion() const { return false; }
};

// The kinds of input a tap listens to: it is not woken by the others (a
// pointer glide of synthetic input is dozens of motions). The modifiers of
// its events are followed only by a tap that listens to keys.
enum TapEvents : uint32_t {
    TapKeys = 1,    // KeyDown, KeyUp, FlagsChanged
    TapButtons = 2, // MouseDown, MouseUp, Scroll
    TapMotion = 4,  // MouseMoved, MouseDragged
    TapAllEvents = TapKeys | TapButtons | TapMotion,
};
// Whether a tap listening to `events` is given `type` (TapDisabled always).
bool tapWants(uint32_t events, RawInputEvent::Type type);

class EventTap {
public:
    virtual ~EventTap() = default;
    // Starts a listen-only tap on a thread of its own named `threadName`
    // for the kinds of input in `events`; `handler` runs on that thread.
    // Returns null when no tap can be created.
    virtual std::unique_ptr<EventTapSession> start(const QString& threadName,
                                                   std::function<void(const RawInputEvent&)> handler,
                                                   uint32_t events = TapAllEvents) = 0;
    // A global mouse-down monitor: left, right and other button presses
    // anywhere, also in other applications (wheel steps are not presses);
    // `handler` runs on the main thread with the button, so a user can keep
    // to the buttons it cares about. Removed when the returned object is
    // destroyed.
    virtual std::unique_ptr<EventTapSession> addGlobalMouseDownMonitor(
        std::function<void(MouseButton, QPointF)> handler) = 0;
};

} // namespace tovrik::platform
