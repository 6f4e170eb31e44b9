#pragma once

// Synthetic input over XTest on a connection of its own. Every request is
// checked (a round trip), so when a post returns the server has processed
// it: a pointer query on any connection afterwards sees the new position.

#include "platform/Input.h"
#include "platform/x11/HeldInputRecord.h"
#include "platform/x11/KeymapReads.h"
#include "platform/x11/LentKeycodes.h"
#include "platform/x11/SyntheticLedger.h"
#include "platform/x11/X11Keymap.h"
#include "platform/x11/X11TypingGuard.h"
#include "platform/x11/XInputDevices.h"
#include "platform/x11/XkbKeySyms.h"
#include "platform/x11/Xcb.h"

#include <QObject>
#include <QThread>
#include <array>
#include <atomic>
#include <chrono>
#include <map>
#include <memory>
#include <mutex>
#include <optional>

namespace tovrik::platform::x11 {

class X11Displays;

// Wheel notches for one scroll delta: lines are notches; precise (pixel)
// deltas are approximated at 80 pixels a notch, at least one for a non-zero
// delta, at most 200.
int scrollNotches(int delta, bool pixelUnits);

class X11Input : public SyntheticInput {
public:
    explicit X11Input(X11Displays& displays);
    ~X11Input() override;

    bool isAvailable() const { return m_hasXTest; }
    bool postMouse(MouseEventKind kind, MouseButton button, QPointF point, int clickCount) override;
    bool postKey(uint16_t keyCode, bool down, uint32_t modifiers) override;
    bool postText(const QString& text) override;
    bool postTextUnlessStopped(const QString& text, const std::atomic<bool>& stop) override;
    bool typingMayWait() const override { return true; }
    TypingFailure typingFailure() const override { return m_typingFailure; }
    void willTypeText(const QString& text) override;
    bool postScroll(int deltaY, int deltaX, bool pixelUnits) override;
    bool isKeyPhysicallyDown(uint16_t keyCode) const override;
    uint32_t physicalModifiers() const override;

    // The masters our XTest events go through (see XInputDevices.h).
    PostingMasters masters() const { return m_masters; }
    // Where physical key state comes from while an event tap runs (the keys
    // that devices other than ours hold, see SyntheticLedger.h).
    void setPhysicalKeys(std::shared_ptr<PhysicalKeys> keys);
    // The keycodes down on the core keyboard that we do not hold.
    std::array<bool, 256> coreKeysNotOurs() const;

private:
    // The lock for everything but typing text: a wait of typing (on another
    // thread) gives up when input of another kind wants to go through, so
    // that it never holds that input up for long.
    std::unique_lock<std::recursive_mutex> lockInput() const;
    // Whether a wait of typing should end now: the typing is stopped, or
    // other input waits for the lock.
    bool interrupted() const;
    // Whether another client holds the keyboard (an active grab): keys
    // typed now would go to it.
    bool keyboardGrabbedElsewhere();
    // Types a character's keysyms while the guard holds the server, once it
    // has said the keys reach the receiver.
    bool typeGuarded(const std::vector<uint32_t>& keysyms);
    bool fake(uint8_t type, uint8_t detail, int16_t x = 0, int16_t y = 0);
    bool keycodeEvent(uint8_t keycode, bool down);
    bool typeKeysym(uint32_t keysym);
    // How long the program receiving the keys may take to read the keyboard
    // map or answer a ping: generous, a busy machine delays it by seconds.
    static constexpr std::chrono::milliseconds kReadBound{5000};
    // Lending (X11TextInput.cpp; what the receiver did, X11TypingReceiver.cpp).
    struct Slot {
        uint8_t keycode = 0;
        int level = 0;
    };
    using KeySyms = std::array<uint32_t, 2>; // what a lent keycode types on its two levels
    bool layoutTypes(uint32_t keysym) const;
    bool lendFor(const std::vector<uint32_t>& keysyms);
    bool readyToConfirm();
    bool bypassesInputMethods();
    bool changeKeycodes(const std::map<uint8_t, KeySyms>& contents);
    bool writeKeycodes(const std::map<uint8_t, KeySyms>& contents);
    bool setKeysyms(uint8_t keycode, KeySyms syms);
    bool fence(std::chrono::milliseconds bound);
    bool tapProbeAndWait(std::chrono::milliseconds bound);
    uint32_t keyReceiver();
    xcb_window_t keyWindow();
    xcb_window_t pingWindow(xcb_window_t window);
    // What a wait for the program that owns `window` to handle the keys
    // typed into it came to (X11TypingReceiver.cpp).
    enum class Proof {
        Handled,
        NotYet,     // not within the bound, or the wait was interrupted
        Impossible, // nothing can show it (another machine, a forwarder)
        Gone,       // the window is gone
    };
    Proof waitUntilHandled(xcb_window_t window, std::chrono::milliseconds bound);
    Proof waitUntilIdle(xcb_window_t window, std::chrono::milliseconds bound);
    bool sendNudge(xcb_window_t window);
    static TypingFailure failureFor(Proof proof);
    std::vector<uint32_t> inputMethodServers();
    bool saveLentRecord(const std::map<uint8_t, KeySyms>& extra = {});
    // Gives back what is lent once the receiver has handled every key typed
    // with it, waiting for that at most `bound`, or at once when not
    // `waitForReceiver`; true when nothing is left lent.
    bool restoreLent(bool waitForReceiver, std::chrono::milliseconds bound);
    void giveBackLeftovers();
    void releaseLeftHeldInput();
    void scheduleRestore(std::chrono::milliseconds after, quint64 generation);
    bool heldByAnyone(uint32_t keysym) const;
    std::array<uint8_t, 32> queryKeymap() const;
    std::array<bool, 256> physicalKeycodes() const;
    uint8_t firstKeycode(uint32_t keysym);

    X11Displays& m_displays;
    XcbConnection m_conn;
    bool m_hasXTest = false;
    PostingMasters m_masters;
    std::shared_ptr<PhysicalKeys> m_physical;
    mutable std::recursive_mutex m_mutex;
    KeyboardMapping m_map;
    std::array<int, 256> m_heldKeys{};   // presses minus releases per keycode
    std::array<bool, 16> m_heldButtons{};
    // Spare keycodes lent symbols for typing text (one on each of their two
    // levels), kept until typing has been quiet for a second. A keycode is
    // given another symbol only once the program receiving the keys has read
    // the map after the keys typed with the old one (a fence: see
    // X11TextInput.cpp), and keys are typed with a new symbol only once it
    // has read the map that lends it. The list is on disk as long as
    // anything is lent, so that the next start gives back what a killed run
    // could not.
    std::map<uint32_t, Slot> m_lent;         // keysym -> where it is typed
    std::map<uint8_t, KeySyms> m_lentKeys;   // keycode -> what we wrote there
    // A spare keycode kept for fences: it types nothing (no symbol, or
    // VoidSymbol when a fence last changed it), and a tap of it makes a
    // program that reads the map on its next key read it.
    uint8_t m_probe = 0;
    uint32_t m_probeSym = 0;
    std::array<bool, 256> m_pressedSinceFence{};
    // The window the keys typed with lent keycodes went to: the giving back
    // waits for its program, wherever the focus is by then.
    xcb_window_t m_lentReceiver = 0;
    uint64_t m_changes = 0; // keyboard-map changes we made
    bool m_hasXkb = false;
    std::map<uint8_t, XkbKeySyms> m_originalKeys; // what a keycode held before we first lent it
    std::unique_ptr<KeymapReads> m_reads;
    // Whether a character's keys would reach the text's receiver (see
    // X11TypingGuard.h); null without RECORD.
    std::unique_ptr<TypingGuard> m_guard;
    bool m_readsTried = false;
    uint32_t m_pingAtom = 0;
    uint32_t m_pingStamp = 0xf0000000; // above any server time of the first weeks
    // The text being typed, one entry of keysyms per character, and where in
    // it the next character is: the symbols a round lends are those the
    // text needs next.
    std::vector<std::vector<uint32_t>> m_plan;
    size_t m_planAt = 0;
    std::mutex m_nextPlanMutex;
    std::optional<std::vector<std::vector<uint32_t>>> m_nextPlan; // told, not yet typed
    std::vector<uint32_t> m_inputMethods; // the input method servers when the text began
    LentKeycodeRecord m_lentRecord;
    // The keys and buttons held now, on disk for the next start to let go of
    // after a run that could not (see HeldInputRecord.h).
    HeldInputRecord m_heldRecord;
    // The give-back timer's thread: giving back waits for the receiving
    // program (a fence), which no thread that must stay responsive does.
    QThread m_restoreThread;
    std::unique_ptr<QObject> m_timerContext;
    quint64 m_textGeneration = 0;
    const std::atomic<bool>* m_stop = nullptr; // the typing's, while it types
    // Why the last text that failed did; set on the thread that types.
    TypingFailure m_typingFailure = TypingFailure::NoKeyboardEvent;
    mutable std::atomic<int> m_othersWaiting{0};
};

} // namespace tovrik::platform::x11
