#pragma once

// The one object through which UI Autopilot touches the desktop: every
// synthetic mouse, keyboard and scroll-wheel event is posted by it, through
// the platform's SyntheticInput (XTest on X11, an event log in the sim).
// Main thread only; every pause is a sleep of the calling task in whole
// milliseconds on tovrik::Clock, cancelled through the task's token.
//
// Held input. `heldKeys` are the keys this service pressed and has not
// released, in press order, each with the modifier flag it contributes;
// `heldMouseButton` the button pressed by setHeldMouse and not released.
// Anything held is released 120 s after the last change of held state.
// Keys are always released last-pressed first, so a modifier never lifts
// before the key it modifies. Nothing stays pressed on any way out: a
// cancelled hold, click, drag or typing, a failed post, an abort for user
// input, and the destruction of the service (process shut-down) all release
// what they pressed.
//
// Key codes are the logical (macOS virtual) key codes the hosted model sees;
// the platform maps them to real keys. Flags are the event-flag values of
// the modifiers: control 0x40000, option 0x80000, shift 0x20000, command
// 0x100000 (command is Super on X11).
//
// Keys that end or switch the desktop session are never pressed: with control
// and option (Alt) down, backspace (the X server's kill chord), F1-F12 (a
// switch to another console) and forward delete (the desktop's log-out
// chord). A press that would bring those together, in either order and
// counting what is already held, fails as a key text that is not a chord,
// before anything of it is posted.
//
// Errors: TovrikError of the domain "TovrikInput": code 1 for a key text that
// is not a chord or a session key (and the dispatcher's held-input refusals), code 2 for input
// failures and the user's take-over. Cancellation is CancellationError,
// passed on unchanged after the clean-up.
//
// Points are global display coordinates (y down) unless named local; the
// display-local forms take a display id and a point relative to the
// display's origin.

#include "common/Error.h"
#include "common/Task.h"
#include "platform/Input.h"
#include "overlay/OverlayWindowController.h"

#include <QObject>
#include <QPointF>
#include <QString>
#include <QStringList>
#include <QThreadPool>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <utility>
#include <vector>

namespace tovrik {

namespace platform {
class SyntheticInput;
}

using overlay::MouseVisualEventType;

namespace InputFlag {
constexpr uint64_t Control = 0x40000;
constexpr uint64_t Option = 0x80000;
constexpr uint64_t Shift = 0x20000;
constexpr uint64_t Command = 0x100000;
} // namespace InputFlag

// One key text parsed: the union of the modifier flags it names and the
// key code of its main key (of its strongest modifier when it names only
// modifiers).
struct KeyChord {
    uint64_t flags = 0;
    uint16_t keyCode = 0;
    bool operator==(const KeyChord&) const = default;
};

// A check run at a fixed point of a gesture; it fails by throwing.
using InputCheck = std::function<void()>;

class DesktopInputService : public QObject {
public:
    static inline const QString kErrorDomain = QStringLiteral("TovrikInput");
    static inline const QString kTakeoverMessage = QStringLiteral("UI Autopilot stopped because you started using the computer.");
    static inline const QString kKeyboardEventMessage = QStringLiteral("UI Autopilot could not create a keyboard event.");
    static inline const QString kMouseEventMessage = QStringLiteral("UI Autopilot could not create a mouse event.");
    static inline const QString kUnicodeEventMessage = QStringLiteral("UI Autopilot could not create a Unicode keyboard event.");
    // The sentence that says why a text stopped short; the count follows it.
    static QString typingFailureMessage(platform::TypingFailure cause);
    static inline const QString kScrollEventMessage = QStringLiteral("UI Autopilot could not create a scroll event.");
    static inline const QString kShortcutMessage = QStringLiteral("UI Autopilot could not press that keyboard shortcut.");
    static inline const QString kMovementEventMessage = QStringLiteral("UI Autopilot could not create a pointer movement event.");
    static inline const QString kVerifyPointerMessage = QStringLiteral("UI Autopilot could not verify the pointer position.");
    static inline const QString kHeldGestureMessage = QStringLiteral("Use move or mouse_up to finish the held mouse gesture.");
    static inline const QString kDragPointsMessage = QStringLiteral("A new drag requires 2 to 256 points and no held mouse button.");
    // Anything held is released this long after the last change.
    static constexpr double kHeldReleaseSeconds = 120.0;

    struct ModifierKey {
        const char* name;
        uint16_t keyCode;
        uint64_t flag;
    };
    // control 59, option 58, shift 56, command 55, in this order.
    static const std::vector<ModifierKey>& modifierKeys();

    explicit DesktopInputService(QObject* parent = nullptr);
    ~DesktopInputService() override; // releases everything still held

    // Set by the model. True means the user took over: the operation that
    // asks fails with kTakeoverMessage. Unset: nothing aborts.
    std::function<bool()> shouldAbortForUserInput;
    // Told about every synthetic button event and the settling moves (and
    // moves with a held button, as a left drag), before the event is posted.
    std::function<void(MouseVisualEventType, QPointF)> onMouseVisual;

    // ---- held state ----
    bool hasHeldInput() const;
    bool hasHeldMouseButton() const;
    std::optional<QString> heldMouseButton() const { return m_heldMouseButton; }
    // Held key codes in press order.
    std::vector<uint16_t> heldKeyCodes() const;
    // "Held keys: [55, 56]; mouse: none." (codes ascending).
    QString inputStateSummary() const;
    // Held modifier names in the order control, option, shift, command,
    // joined by "+"; empty when none.
    QString heldModifierNames() const;
    // Releases the held button (two attempts) and every held key; never fails.
    void releaseHeldInputs();
    // Releases those of `keys` that are held, last to first, in two passes;
    // never fails (a key whose release cannot be posted stays recorded).
    void releaseKeys(const std::vector<uint16_t>& keys);
    bool hasPendingHeldRelease() const { return m_heldReleaseTimer != 0; }

    static TovrikError inputError(const QString& message);
    static TovrikError keyboardShortcutError();

    // ---- key texts, chords, typing ----
    static QStringList splitKeyTokens(const QString& text);
    static QString normalizeKeyToken(const QString& token);
    // Throws keyboardShortcutError() for a text that is not a chord.
    static KeyChord keyChord(const QString& text);
    // Whether keys down together with these flags end or switch the session.
    static bool endsSession(uint64_t flags, const std::vector<uint16_t>& keyCodes);
    // Presses (down) or releases the keys of a chord, modifiers first on a
    // press, in reverse on a release; already held keys are skipped.
    void setHeldKey(const QString& text, bool down);
    // Holds the modifiers named by `text` (may be empty); returns the key
    // codes this call newly held. On failure nothing of this call stays held.
    std::vector<uint16_t> holdModifiers(const QString& text);
    // Holds a chord for `milliseconds` clamped to 100..8000, then releases
    // what it pressed (on every way out).
    QCoro::Task<void> holdKey(QString text, int milliseconds, CancellationToken token = {});
    // Taps a chord (35 ms).
    QCoro::Task<void> pressKey(QString text, CancellationToken token = {});
    // Types `text` one user-perceived character at a time, 2 ms apart;
    // `validateBeforeCharacter` runs before each character.
    QCoro::Task<void> typeText(QString text, InputCheck validateBeforeCharacter = {}, CancellationToken token = {});

    // ---- scrolling ----
    // |pixels| clamped to 1..2400 in steps of about 80 pixels, 12 ms apart;
    // direction "up", "down", "left", "right" (anything else scrolls down).
    QCoro::Task<void> scroll(QString direction, int pixels, CancellationToken token = {});

    // ---- pointer motion ----
    void move(QPointF to);
    QCoro::Task<void> moveSmoothly(QPointF to, CancellationToken token = {});
    QCoro::Task<void> moveContinuous(QPointF to, int milliseconds, CancellationToken token = {});
    void move(uint32_t displayID, QPointF localPoint);
    QCoro::Task<void> moveSmoothly(uint32_t displayID, QPointF localPoint, CancellationToken token = {});

    // ---- buttons ----
    // Button names: "right", "middle", anything else is the left button.
    void setHeldMouse(const QString& button, bool down, QPointF at, int64_t clickState);
    QCoro::Task<void> click(QPointF at, CancellationToken token = {});
    QCoro::Task<void> dragPath(std::vector<QPointF> points, int milliseconds, QString button, InputCheck validateDown,
                               InputCheck validateMove, InputCheck validateUp, CancellationToken token = {});
    QCoro::Task<void> click(uint32_t displayID, QPointF localPoint, InputCheck validateBeforeMouseDown,
                            CancellationToken token = {});
    QCoro::Task<void> doubleClick(uint32_t displayID, QPointF localPoint, InputCheck validateBeforeMouseDown,
                                  CancellationToken token = {});
    QCoro::Task<void> rightClick(uint32_t displayID, QPointF localPoint, InputCheck validateBeforeMouseDown,
                                 CancellationToken token = {});
    QCoro::Task<void> middleClick(uint32_t displayID, QPointF localPoint, InputCheck validateBeforeMouseDown,
                                  CancellationToken token = {});
    QCoro::Task<void> drag(uint32_t fromDisplayID, QPointF localStartPoint, uint32_t toDisplayID, QPointF localEndPoint,
                           InputCheck validateBeforeMouseDown, InputCheck validateBeforeMouseUp,
                           CancellationToken token = {});

private:
    struct Held {
        uint16_t keyCode;
        uint64_t flag;
    };
    enum class ButtonKind { Left, Right, Middle };

    uint64_t heldFlags() const;
    bool isKeyHeld(uint16_t keyCode) const;
    // Throws keyboardShortcutError() when pressing `chord` now would end or
    // switch the session.
    void refuseSessionChord(const KeyChord& chord) const;
    void armHeldRelease();
    void checkAbort() const;
    std::optional<QPointF> pointerLocation() const;
    QPointF displayOrigin(uint32_t displayID) const;
    bool postButton(ButtonKind button, bool down, QPointF at, int clickState);
    void postButtonOrThrow(ButtonKind button, bool down, QPointF at, int clickState);
    void postSettleMove(QPointF at);
    QCoro::Task<void> settlePointer(QPointF at, CancellationToken token);
    QCoro::Task<void> pause(int milliseconds, CancellationToken token);
    // Types one character on the typing thread, for a backend whose typing
    // may wait for the receiving program; the event loop runs meanwhile and
    // a take-over or cancellation ends the wait at once (and the typing).
    // The input outlives the service's typing: stopTyping() runs before the
    // platform goes (at quit) and when the service goes.
    // Empty when the character was typed, else why it was not.
    QCoro::Task<std::optional<platform::TypingFailure>> postTextAside(platform::SyntheticInput* input,
                                                                        QString character, CancellationToken token);
    // Stops the character being typed and waits until its thread is done.
    void stopTyping();
    QCoro::Task<void> displayClick(uint32_t displayID, QPointF localPoint, InputCheck validate, ButtonKind button,
                                   int pauseAfterMs, CancellationToken token);
    void verifyPointer(QPointF target) const;
    static ButtonKind buttonKind(const QString& name);

    std::vector<Held> m_heldKeys;
    std::optional<QString> m_heldMouseButton;
    quint64 m_heldReleaseTimer = 0;
    // Shared with suspended operations: false once the service is gone.
    std::shared_ptr<bool> m_alive = std::make_shared<bool>(true);
    // One thread for typing; the character on it now.
    struct TextJob;
    std::unique_ptr<QThreadPool> m_typingThread;
    std::shared_ptr<TextJob> m_textJob;
};

} // namespace tovrik
