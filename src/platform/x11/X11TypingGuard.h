#pragma once

// Whether the keys of a character would reach the window the text is typed
// into, told at the moment they go, without disturbing that window.
//
// The receiver is the top-level window (a child of the root) holding the
// window the keys went to when the text's first character went, and that
// window's client; its own child windows count. A character's keys go only
// while the typing connection holds the server (GrabServer): nothing another
// client asks for is done between the look and the keys, so a window that
// closes, a focus that moves or a keyboard grab that begins takes effect
// either before the look (nothing of the character is typed, and the text
// fails with its cause) or after the keys (the character landed). Holding
// the server sends no event to anyone; a grab of the keyboard of our own
// would send the receiver focus-out and focus-in, which close popups.
//
// Who holds the keyboard the server does not say, so RECORD tells it, from
// the start of the watch: every client's GrabKeyboard, UngrabKeyboard,
// XIGrabDevice and XIUngrabDevice (of our keyboard or a keyboard attached to
// it), their replies and errors, and the clients that end. A grab also ends
// when its window stops being viewable, which no request tells: a grab known
// is confirmed while the server is held by trying one on its own window,
// which fails without any event while it is held and is let go at once
// otherwise. A grab held by the receiver's own client (its menu, list or
// popup) is no refusal: the keys reach that client. Our own GrabServer in
// the same stream says that everything before it has been read.
//
// Two connections of its own for RECORD; everything asked while the server
// is held goes on the typing connection (any other would wait for the hold).

#include "platform/Input.h"
#include "platform/x11/XInputDevices.h"
#include "platform/x11/Xcb.h"

#include <atomic>
#include <chrono>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <utility>

namespace tovrik::platform::x11 {

class TypingGuard {
public:
    // Null where the server has no RECORD extension. `typing` is the
    // connection that types; `keyWindow` names the window keys typed on it
    // go to now (asked on that connection).
    static std::unique_ptr<TypingGuard> start(xcb_connection_t* typing, PostingMasters masters,
                                              std::function<xcb_window_t()> keyWindow);
    ~TypingGuard();

    // A new text: its receiver is taken at its first character.
    void forget() { m_receiver.reset(); }
    // Why keys sent now would not reach the receiver (or, before there is
    // one, the window they go to), without holding the server: to fail
    // early instead of waiting for a window that went away.
    std::optional<TypingFailure> look();
    // Holds the server and looks, taking the window the keys go to as the
    // receiver when the text has none yet. The server stays held until
    // release(), also when the keys would not reach it; `stop` ends a wait
    // for the stream (a failure then). nullopt: type.
    std::optional<TypingFailure> hold(const std::atomic<bool>* stop);
    void release();

private:
    struct Grab {
        uint32_t window = 0;
        uint16_t device = 0; // 0: a core grab
        bool operator<(const Grab& o) const { return std::pair(window, device) < std::pair(o.window, o.device); }
    };
    struct Pending {
        Grab grab;
        bool counts = false; // of a keyboard that types our keys
    };
    struct Receiver {
        uint32_t window = 0; // where the first character's keys went
        uint32_t topLevel = 0;
        uint32_t client = 0;
    };

    TypingGuard() = default;
    // Requests and replies of one recorded block, fed to the grab state.
    void takeRequests(uint32_t idBase, const uint8_t* data, size_t length, bool swapped);
    void takeReplies(uint32_t idBase, const uint8_t* data, size_t length, bool swapped);
    void clientDied(uint32_t idBase);
    // The clients known to hold a grab of a keyboard that types our keys.
    std::set<uint32_t> grabbers();
    void drain();
    bool waitForOwnHold(const std::atomic<bool>* stop);
    std::optional<TypingFailure> judge(bool mayAim, bool held);
    bool keyboardCounts(uint16_t device);
    // Whether a grab on `window` is held (by anyone but us): tried with one of
    // our own, let go at once when it succeeds.
    bool grabHeldOn(uint32_t window);
    uint32_t topLevelOf(uint32_t window);
    bool viewable(uint32_t window);
    uint32_t clientOf(uint32_t window) const { return window & ~m_idMask; }

    xcb_connection_t* m_typing = nullptr;
    std::function<xcb_window_t()> m_keyWindow;
    PostingMasters m_masters;
    XcbConnection m_control;
    XcbConnection m_data;
    uint32_t m_context = 0;
    unsigned int m_sequence = 0;
    uint32_t m_ownIdBase = 0;
    uint32_t m_idMask = 0x1fffff;
    uint8_t m_xiOpcode = 0;
    bool m_broken = false;
    std::map<uint32_t, std::deque<Pending>> m_pending; // client -> grab requests awaiting their answer
    std::map<uint32_t, std::set<Grab>> m_grabs;        // client -> grabs of the keyboard it holds
    std::map<uint16_t, bool> m_keyboards;              // device -> whether it types our keys
    uint64_t m_ownHolds = 0;                           // our GrabServer requests seen
    uint64_t m_holdsSent = 0;
    bool m_unknownGrab = false; // a grab held when the watch began, holder unknown
    std::optional<Receiver> m_receiver;
};

} // namespace tovrik::platform::x11
