#pragma once

// The global hotkey monitor: watches the push-to-talk chord, the panel chord
// and Esc on a listen-only event tap that runs on a thread of its own, and
// turns the next chord into a new shortcut while a shortcut capture runs.
//
// Threads. The tap's handler runs on the tap thread (named
// "ai.tovrik.mac.hotkey-monitor"); the fields below marked "guarded" are
// shared with the main thread and touched only while holding `stateLock`.
// Every callback is invoked on the MAIN thread, as a queued call
// (QMetaObject::invokeMethod on qApp with Qt::QueuedConnection): it never runs
// inside the call that caused it, not even when that call was made on the main
// thread, so its effects land after the main-thread action in progress.
// Callbacks must be set on the main thread before start(); they are read
// without the lock afterwards.
//
// Events that we posted ourselves (RawInputEvent::isSynthetic: the per-launch
// marker, or on X11 the process's ledger of posted keys and buttons) are
// ignored entirely, so a chord the autopilot holds never starts a recording,
// while the same chord from another program (xdotool, an on-screen keyboard)
// counts.
//
// Chords. A chord with key code 0 is modifier-only: it goes down when exactly
// its modifiers (control, shift, option, command; caps lock and fn are not
// counted) become the set held, and up when the held set stops being exactly
// that. A chord with a key goes down on a (non-repeat) key-down of that key
// while exactly its modifiers are held, and up on that key's key-up or when one
// of its modifiers is released. The push-to-talk chord reports both edges;
// the panel chord reports its down edge only. While a shortcut capture runs no
// chord and no Esc is reported.
//
// Capture. beginShortcutCaptureLocked() switches capture on. Then:
//  - Esc (any modifiers): capture ends, onShortcutCaptureCanceled;
//  - a non-modifier key with at least one modifier held: capture ends,
//    onShortcutCaptured with that chord;
//  - a non-modifier key with no modifier held: onShortcutCaptureFailed with
//    kCaptureNeedsModifierMessage; capture goes on;
//  - a key that a shortcut cannot name (see ShortcutGesture; also the key
//    whose code is 0): onShortcutCaptureFailed with
//    kCaptureUnsupportedKeyMessage; capture goes on;
//  - a set of modifiers held unchanged for modifierOnlyShortcutCaptureDelay
//    (0.52 s, on tovrik::Clock): capture ends, onShortcutCaptured with the
//    modifier-only chord when it is usable (ShortcutGesture::isUsable: at
//    least two modifiers), else
//    onShortcutCaptureFailed with kCaptureNeedsTwoModifiersMessage and capture
//    goes on. Any change of the held set restarts the 0.52 s.

#include "settings/ShortcutGesture.h"

#include <QString>
#include <functional>
#include <memory>
#include <mutex>

namespace tovrik::platform {
class EventTapSession;
struct RawInputEvent;
} // namespace tovrik::platform

namespace tovrik {

class HotkeyMonitor {
public:
    static inline const QString threadName = QStringLiteral("ai.tovrik.mac.hotkey-monitor");
    static inline const QString kCaptureNeedsModifierMessage =
        QStringLiteral("Use Ctrl, Alt, Shift or Super with that key.");
    static inline const QString kCaptureNeedsTwoModifiersMessage =
        QStringLiteral("Hold at least two modifier keys, or add a key.");
    static inline const QString kCaptureUnsupportedKeyMessage =
        QStringLiteral("That key can't be used in a shortcut. Try another key.");

    HotkeyMonitor();
    ~HotkeyMonitor();
    HotkeyMonitor(const HotkeyMonitor&) = delete;
    HotkeyMonitor& operator=(const HotkeyMonitor&) = delete;

    // Starts the event tap (main thread). Returns whether the tap runs; a
    // second call while running returns true and changes nothing.
    bool start();
    // Stops the tap and joins its thread; clears the chord-active flags and any
    // running capture (without calling back). Idempotent.
    void stop();
    bool isRunning() const;

    // --- Guarded by stateLock -------------------------------------------
    std::mutex stateLock;
    bool isCapturingShortcut = false;
    ShortcutModifiers captureModifiers{};
    // The pending capture of a modifier-only chord; cancel through
    // cancelCaptureWorkItemLocked().
    struct CaptureWorkItem;
    std::shared_ptr<CaptureWorkItem> captureWorkItem;
    ShortcutGesture voiceShortcut;
    ShortcutGesture panelShortcut;
    bool shortcutActive = false;
    bool panelShortcutActive = false;

    // Capture steps; the caller holds stateLock.
    // Marks the monitor as capturing, empties captureModifiers and cancels
    // and forgets the pending modifier-only capture.
    void beginShortcutCaptureLocked();
    // Ends a running capture (clears the flag, the collected modifiers and the
    // pending work). Returns whether a capture was running; calls nothing
    // back (the model calls onShortcutCaptureCanceled itself, unlocked).
    bool endShortcutCaptureLocked();
    void cancelCaptureWorkItemLocked();

    // --- Callbacks (set on the main thread before start()) ---------------
    std::function<void()> onShortcutPressed;       // push-to-talk chord down
    std::function<void()> onShortcutReleased;      // push-to-talk chord up
    std::function<void()> onPanelShortcutPressed;  // panel chord down
    std::function<void()> onEscapePressed;         // physical Esc down (no capture running)
    std::function<void(ShortcutGesture)> onShortcutCaptured;
    std::function<void()> onShortcutCaptureCanceled;
    std::function<void(QString)> onShortcutCaptureFailed;

    // The tap handler (tap thread). Public so that the event tap's
    // backend-independent behaviour can be driven directly.
    void handleEvent(const platform::RawInputEvent& event);

private:
    enum class Callback { Pressed, Released, PanelPressed, Escape, Canceled };
    void post(Callback which);
    void postCaptured(ShortcutGesture gesture);
    void postFailed(QString message);
    void scheduleModifierOnlyCaptureLocked(uint32_t modifiers);
    void fireModifierOnlyCapture(const std::shared_ptr<CaptureWorkItem>& item);
    void handleCaptureEventLocked(const platform::RawInputEvent& event, uint32_t mods);
    void handleChordEventLocked(const platform::RawInputEvent& event, uint32_t mods);

    std::unique_ptr<platform::EventTapSession> m_session;
    // Alive-token: queued callbacks and delayed work check it, so nothing
    // runs after the monitor is gone.
    std::shared_ptr<HotkeyMonitor*> m_alive;
    uint32_t m_heldModifiers = 0; // tap thread, under stateLock
};

} // namespace tovrik
