#include "interaction/HotkeyMonitor.h"

#include "common/Clock.h"
#include "common/Constants.h"
#include "platform/Platform.h"

#include <QCoreApplication>
#include <QMetaObject>
#include <QThread>
#include <atomic>

namespace tovrik {

namespace {

using platform::RawInputEvent;

constexpr uint32_t kChordModifierMask = platform::ModControl | platform::ModShift | platform::ModOption | platform::ModCommand;

bool isModifierKey(uint16_t keyCode)
{
    namespace K = platform::KeyCode;
    switch (keyCode) {
    case K::Command:
    case K::Shift:
    case K::CapsLock:
    case K::Option:
    case K::Control:
    case K::RightCommand:
    case K::RightShift:
    case K::RightOption:
    case K::RightControl:
    case K::Function:
        return true;
    default:
        return false;
    }
}

uint32_t modifierBits(const ShortcutGesture& gesture) { return gesture.modifiers.rawValue & kChordModifierMask; }

ShortcutGesture makeGesture(uint32_t modifiers, uint16_t keyCode)
{
    ShortcutGesture gesture;
    gesture.modifiers = ShortcutModifiers(modifiers & kChordModifierMask);
    gesture.keyCode = keyCode;
    return gesture;
}

bool onMainThread()
{
    auto* app = QCoreApplication::instance();
    return app && QThread::currentThread() == app->thread();
}

// Runs fn on the main thread as a queued call.
void queueOnMain(std::function<void()> fn)
{
    auto* app = QCoreApplication::instance();
    if (!app)
        return;
    QMetaObject::invokeMethod(app, std::move(fn), Qt::QueuedConnection);
}

} // namespace

struct HotkeyMonitor::CaptureWorkItem {
    uint32_t modifiers = 0;
    std::atomic<bool> cancelled{false};
    quint64 timerId = 0; // main thread only
};

HotkeyMonitor::HotkeyMonitor() : m_alive(std::make_shared<HotkeyMonitor*>(this))
{
    voiceShortcut = ShortcutGesture::defaultVoiceShortcut();
    panelShortcut = ShortcutGesture::defaultPanelShortcut();
}

HotkeyMonitor::~HotkeyMonitor()
{
    stop();
    m_alive.reset();
}

bool HotkeyMonitor::start()
{
    if (m_session)
        return true;
    {
        std::lock_guard lock(stateLock);
        m_heldModifiers = 0;
        shortcutActive = false;
        panelShortcutActive = false;
    }
    if (!platform::Platform::isInstalled())
        return false;
    // Keys and modifiers only: the pointer never wakes it.
    m_session = platform::Platform::get().eventTap().start(
        threadName, [this](const RawInputEvent& event) { handleEvent(event); }, platform::TapKeys);
    return m_session != nullptr;
}

void HotkeyMonitor::stop()
{
    if (m_session) {
        m_session->stop();
        m_session.reset();
    }
    std::lock_guard lock(stateLock);
    endShortcutCaptureLocked();
    shortcutActive = false;
    panelShortcutActive = false;
    m_heldModifiers = 0;
}

bool HotkeyMonitor::isRunning() const { return m_session != nullptr; }

void HotkeyMonitor::beginShortcutCaptureLocked()
{
    isCapturingShortcut = true;
    captureModifiers = ShortcutModifiers();
    cancelCaptureWorkItemLocked();
}

bool HotkeyMonitor::endShortcutCaptureLocked()
{
    const bool wasCapturing = isCapturingShortcut;
    isCapturingShortcut = false;
    captureModifiers = ShortcutModifiers();
    cancelCaptureWorkItemLocked();
    return wasCapturing;
}

void HotkeyMonitor::cancelCaptureWorkItemLocked()
{
    if (!captureWorkItem)
        return;
    captureWorkItem->cancelled = true;
    // The clock is a main-thread object: cancel its timer there; from the tap
    // thread the timer is left to fire and finds the item cancelled.
    if (onMainThread() && captureWorkItem->timerId != 0) {
        Clock::instance().cancel(captureWorkItem->timerId);
        captureWorkItem->timerId = 0;
    }
    captureWorkItem.reset();
}

void HotkeyMonitor::post(Callback which)
{
    std::function<void()> fn;
    switch (which) {
    case Callback::Pressed: fn = onShortcutPressed; break;
    case Callback::Released: fn = onShortcutReleased; break;
    case Callback::PanelPressed: fn = onPanelShortcutPressed; break;
    case Callback::Escape: fn = onEscapePressed; break;
    case Callback::Canceled: fn = onShortcutCaptureCanceled; break;
    }
    if (!fn)
        return;
    std::weak_ptr<HotkeyMonitor*> alive = m_alive;
    queueOnMain([alive, fn = std::move(fn)] {
        if (alive.lock())
            fn();
    });
}

void HotkeyMonitor::postCaptured(ShortcutGesture gesture)
{
    if (!onShortcutCaptured)
        return;
    std::weak_ptr<HotkeyMonitor*> alive = m_alive;
    queueOnMain([alive, fn = onShortcutCaptured, gesture] {
        if (alive.lock())
            fn(gesture);
    });
}

void HotkeyMonitor::postFailed(QString message)
{
    if (!onShortcutCaptureFailed)
        return;
    std::weak_ptr<HotkeyMonitor*> alive = m_alive;
    queueOnMain([alive, fn = onShortcutCaptureFailed, message = std::move(message)] {
        if (alive.lock())
            fn(message);
    });
}

void HotkeyMonitor::handleEvent(const RawInputEvent& event)
{
    if (event.isSynthetic)
        return;
    const int64_t marker = constants::syntheticInputEventSourceUserData();
    if (event.sourceUserData != 0 && event.sourceUserData == marker)
        return;
    switch (event.type) {
    case RawInputEvent::Type::KeyDown:
    case RawInputEvent::Type::KeyUp:
    case RawInputEvent::Type::FlagsChanged:
        break;
    default:
        return;
    }
    const uint32_t mods = event.modifiers & kChordModifierMask;
    std::lock_guard lock(stateLock);
    if (isCapturingShortcut)
        handleCaptureEventLocked(event, mods);
    else
        handleChordEventLocked(event, mods);
    m_heldModifiers = mods;
}

void HotkeyMonitor::handleChordEventLocked(const RawInputEvent& event, uint32_t mods)
{
    const bool modifierChange = event.type == RawInputEvent::Type::FlagsChanged || isModifierKey(event.keyCode);
    const bool keyDown = event.type == RawInputEvent::Type::KeyDown && !modifierChange;
    const bool keyUp = event.type == RawInputEvent::Type::KeyUp && !modifierChange;
    const bool heldChanged = mods != m_heldModifiers;

    // One chord; returns +1 for a down edge, -1 for an up edge, 0 otherwise.
    auto step = [&](const ShortcutGesture& chord, bool& active) -> int {
        const uint32_t chordMods = modifierBits(chord);
        if (chord.keyCode == 0) {
            if (chordMods == 0)
                return 0;
            const bool exact = mods == chordMods;
            if (!active && exact && modifierChange && heldChanged) {
                active = true;
                return 1;
            }
            if (active && !exact) {
                active = false;
                return -1;
            }
            return 0;
        }
        if (!active && keyDown && !event.isAutoRepeat && event.keyCode == chord.keyCode && mods == chordMods) {
            active = true;
            return 1;
        }
        if (active && ((keyUp && event.keyCode == chord.keyCode) || (modifierChange && (mods & chordMods) != chordMods))) {
            active = false;
            return -1;
        }
        return 0;
    };

    const int voice = step(voiceShortcut, shortcutActive);
    if (voice > 0)
        post(Callback::Pressed);
    else if (voice < 0)
        post(Callback::Released);

    if (step(panelShortcut, panelShortcutActive) > 0)
        post(Callback::PanelPressed);

    if (keyDown && !event.isAutoRepeat && event.keyCode == platform::KeyCode::Escape)
        post(Callback::Escape);
}

void HotkeyMonitor::handleCaptureEventLocked(const RawInputEvent& event, uint32_t mods)
{
    const bool modifierChange = event.type == RawInputEvent::Type::FlagsChanged || isModifierKey(event.keyCode);
    if (modifierChange) {
        if (mods == m_heldModifiers)
            return;
        cancelCaptureWorkItemLocked();
        captureModifiers = ShortcutModifiers(mods);
        if (mods != 0)
            scheduleModifierOnlyCaptureLocked(mods);
        return;
    }
    if (event.type != RawInputEvent::Type::KeyDown || event.isAutoRepeat)
        return;
    cancelCaptureWorkItemLocked();
    if (event.keyCode == platform::KeyCode::Escape) {
        endShortcutCaptureLocked();
        post(Callback::Canceled);
        return;
    }
    if (mods == 0) {
        postFailed(kCaptureNeedsModifierMessage);
        return;
    }
    const ShortcutGesture gesture = makeGesture(mods, event.keyCode);
    if (event.keyCode == 0 || !gesture.isUsable()) {
        // Key code 0 means "no key" in a shortcut, so that key (and any key
        // without a name) cannot be bound.
        postFailed(kCaptureUnsupportedKeyMessage);
        return;
    }
    endShortcutCaptureLocked();
    postCaptured(gesture);
}

void HotkeyMonitor::scheduleModifierOnlyCaptureLocked(uint32_t modifiers)
{
    auto item = std::make_shared<CaptureWorkItem>();
    item->modifiers = modifiers;
    captureWorkItem = item;
    std::weak_ptr<HotkeyMonitor*> alive = m_alive;
    auto arm = [this, alive, item] {
        if (!alive.lock() || item->cancelled)
            return;
        item->timerId = Clock::instance().schedule(constants::modifierOnlyShortcutCaptureDelay, nullptr, [this, alive, item] {
            item->timerId = 0;
            if (alive.lock())
                fireModifierOnlyCapture(item);
        });
    };
    if (onMainThread())
        arm();
    else
        queueOnMain(std::move(arm));
}

void HotkeyMonitor::fireModifierOnlyCapture(const std::shared_ptr<CaptureWorkItem>& item)
{
    std::lock_guard lock(stateLock);
    if (captureWorkItem != item || item->cancelled || !isCapturingShortcut)
        return;
    captureWorkItem.reset();
    const ShortcutGesture gesture = makeGesture(item->modifiers, 0);
    if (!gesture.isUsable()) {
        postFailed(kCaptureNeedsTwoModifiersMessage);
        return;
    }
    endShortcutCaptureLocked();
    postCaptured(gesture);
}

} // namespace tovrik
