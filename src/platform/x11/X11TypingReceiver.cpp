// What the program receiving typed keys has done with them, as the X server
// tells it: whether it read the keyboard map after a change, whether it
// handled every key queued before a ping, whether it sends its keys to an
// input method, and whether another client holds the keyboard.

#include "platform/x11/X11Input.h"

#include "platform/x11/ProcessActivity.h"
#include "platform/x11/X11InputMethods.h"
#include "platform/x11/UnixSockets.h"

#include <algorithm>
#include <thread>

namespace tovrik::platform::x11 {

namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

} // namespace

bool X11Input::keyboardGrabbedElsewhere()
{
    // Nothing asks the server who holds the keyboard; a grab of our own
    // tells, and is let go at once (the focus window sees a focus change
    // for a grab, which programs take for no change).
    XcbReply<xcb_grab_keyboard_reply_t> grab(xcb_grab_keyboard_reply(
        m_conn,
        xcb_grab_keyboard(m_conn, 1, m_conn.root(), XCB_CURRENT_TIME, XCB_GRAB_MODE_ASYNC, XCB_GRAB_MODE_ASYNC),
        nullptr));
    if (!grab)
        return true; // nothing known: nothing typed
    if (grab->status == XCB_GRAB_STATUS_SUCCESS) {
        xcb_ungrab_keyboard(m_conn, XCB_CURRENT_TIME);
        m_conn.sync();
        return false;
    }
    return grab->status == XCB_GRAB_STATUS_ALREADY_GRABBED || grab->status == XCB_GRAB_STATUS_FROZEN;
}

bool X11Input::bypassesInputMethods()
{
    // A program that sends its keys to an input method (XIM) gets them back
    // whenever the input method is done with them, in an order of its own:
    // with an input method server running, a text is typed only once a
    // fence shows that the receiver handled a key without sending it there.
    // A program that reads keys as they arrive (GDK) may send one there
    // only later: each character looks again at what the server reported.
    // A program whose input method module over D-Bus may handle its keys out
    // of order is refused at once (X11InputMethods.h).
    // A program whose toolkit has no XIM client needs no look at what it
    // does with a key, however long it takes to handle one.
    if (m_planAt == 0) {
        const ReceiverInputMethods receiver = receiverInputMethods(m_conn, keyWindow());
        if (std::any_of(receiver.reordering.begin(), receiver.reordering.end(), ownedOnSessionBus))
            return false;
        m_inputMethods = inputMethodServers();
        if (!receiver.mayUseXim)
            m_inputMethods.clear();
        if (!m_inputMethods.empty() && (!readyToConfirm() || !fence(kReadBound)))
            return false;
    }
    if (m_inputMethods.empty() || !m_reads)
        return true;
    m_reads->drain();
    const uint32_t receiver = keyReceiver();
    return receiver && std::none_of(m_inputMethods.begin(), m_inputMethods.end(),
                                    [&](uint32_t im) { return m_reads->hasSentTo(receiver, im); });
}

uint32_t X11Input::keyReceiver()
{
    return keyWindow() & ~xcb_get_setup(m_conn)->resource_id_mask;
}

xcb_window_t X11Input::keyWindow()
{
    // The focus window; with the focus following the pointer, the innermost
    // window under it.
    XcbReply<xcb_get_input_focus_reply_t> focus(xcb_get_input_focus_reply(m_conn, xcb_get_input_focus(m_conn), nullptr));
    if (!focus || focus->focus == XCB_NONE)
        return 0;
    xcb_window_t window = focus->focus;
    const xcb_window_t root = m_conn.root();
    if (window == XCB_INPUT_FOCUS_POINTER_ROOT || window == root) {
        window = root;
        for (int depth = 0; depth < 64; ++depth) {
            XcbReply<xcb_query_pointer_reply_t> pointer(
                xcb_query_pointer_reply(m_conn, xcb_query_pointer(m_conn, window), nullptr));
            if (!pointer || pointer->child == XCB_NONE)
                break;
            window = pointer->child;
        }
        if (window == root)
            return 0;
    }
    return window;
}

xcb_window_t X11Input::pingWindow(xcb_window_t window)
{
    // The receiver's top-level window, the nearest of the window and its
    // ancestors (of the same client) that names its protocols; it takes
    // pings when it names _NET_WM_PING among them.
    const uint32_t mask = xcb_get_setup(m_conn)->resource_id_mask;
    const uint32_t client = window & ~mask;
    const xcb_atom_t protocols = internAtom(m_conn, "WM_PROTOCOLS", true);
    if (!protocols || !m_pingAtom)
        return 0;
    for (int depth = 0; depth < 64 && window && window != m_conn.root() && (window & ~mask) == client; ++depth) {
        const PropertyValue names = getProperty(m_conn, window, protocols, XCB_ATOM_ATOM);
        if (names.format == 32) {
            const auto atoms = names.cardinals();
            return std::find(atoms.begin(), atoms.end(), m_pingAtom) != atoms.end() ? window : 0;
        }
        XcbReply<xcb_query_tree_reply_t> tree(xcb_query_tree_reply(m_conn, xcb_query_tree(m_conn, window), nullptr));
        if (!tree)
            return 0;
        window = tree->parent;
    }
    return 0;
}

TypingFailure X11Input::failureFor(Proof proof)
{
    switch (proof) {
    case Proof::Impossible:
        return TypingFailure::NoProof;
    case Proof::Gone:
        return TypingFailure::ReceiverGone;
    case Proof::Handled:
    case Proof::NotYet:
        break;
    }
    return TypingFailure::ReceiverBehind;
}

X11Input::Proof X11Input::waitUntilHandled(xcb_window_t window, milliseconds bound)
{
    // A ping sent now is queued behind every key typed so far; a program
    // answers it when it handles it, after those keys (a read of the map
    // proves less: Xlib notes a change when it reads the notification off
    // its connection, possibly before it handles keys queued ahead of it).
    // The answer comes from the program itself, through whatever forwards
    // its connection. A program that does not take pings is watched until
    // it has handled what was sent to it (ProcessActivity.h).
    if (!window)
        return Proof::Gone;
    XcbReply<xcb_get_window_attributes_reply_t> exists(
        xcb_get_window_attributes_reply(m_conn, xcb_get_window_attributes(m_conn, window), nullptr));
    if (!exists)
        return Proof::Gone;
    const xcb_window_t top = pingWindow(window);
    if (!top)
        return waitUntilIdle(window, bound);
    const uint32_t client = window & ~xcb_get_setup(m_conn)->resource_id_mask;
    const uint32_t stamp = ++m_pingStamp;
    xcb_client_message_event_t ping{};
    ping.response_type = XCB_CLIENT_MESSAGE;
    ping.format = 32;
    ping.window = top;
    ping.type = internAtom(m_conn, "WM_PROTOCOLS", true);
    ping.data.data32[0] = m_pingAtom;
    ping.data.data32[1] = stamp;
    ping.data.data32[2] = top;
    XcbReply<xcb_generic_error_t> error(xcb_request_check(
        m_conn, xcb_send_event_checked(m_conn, 0, top, XCB_EVENT_MASK_NO_EVENT, reinterpret_cast<const char*>(&ping))));
    if (error)
        return Proof::Gone;
    const auto deadline = Clock::now() + bound;
    for (;;) {
        if (m_reads->hasAnsweredPing(client, stamp))
            return Proof::Handled;
        if (interrupted() || Clock::now() >= deadline
            || !m_reads->waitForMore(std::min(deadline, Clock::now() + milliseconds(20))))
            return Proof::NotYet;
    }
}

bool X11Input::sendNudge(xcb_window_t window)
{
    // A client message of our own type, which programs pass over; sent to
    // the client that made the window.
    xcb_client_message_event_t nudge{};
    nudge.response_type = XCB_CLIENT_MESSAGE;
    nudge.format = 32;
    nudge.window = window;
    nudge.type = internAtom(m_conn, "_TOVRIK_NUDGE");
    XcbReply<xcb_generic_error_t> error(xcb_request_check(
        m_conn, xcb_send_event_checked(m_conn, 0, window, XCB_EVENT_MASK_NO_EVENT, reinterpret_cast<const char*>(&nudge))));
    return !error;
}

X11Input::Proof X11Input::waitUntilIdle(xcb_window_t window, milliseconds bound)
{
    // Only the program's own process can show it: not one on another
    // machine, nor a forwarder the server names in its place.
    const std::optional<int64_t> pid = receiverProcess(m_conn, window);
    const std::optional<XConnections> connections = pid ? xConnectionsOf(*pid) : std::nullopt;
    if (!connections || connections->sockets.empty())
        return Proof::Impossible;
    // Nudged again at most this often while a thread that ran sleeps
    // elsewhere than in a wait for input.
    constexpr milliseconds kNudgeEvery{20};
    HandledWatch watch;
    auto nudgedAt = Clock::time_point{};
    const auto deadline = Clock::now() + bound;
    bool again = true;
    for (;;) {
        if (again && Clock::now() - nudgedAt >= kNudgeEvery) {
            const std::optional<ThreadsLook> before = lookAtThreads(*pid);
            if (!before)
                return Proof::Gone;
            watch.nudged(*before);
            if (!sendNudge(window))
                return Proof::Gone;
            nudgedAt = Clock::now();
        }
        // A round trip of ours between looks.
        m_conn.sync();
        const std::optional<uint64_t> inFlight = bytesInFlight(connections->sockets);
        const HandledWatch::Verdict verdict = watch.add(inFlight, lookAtThreads(*pid), Clock::now());
        if (verdict == HandledWatch::Verdict::Handled)
            return Proof::Handled;
        again = verdict == HandledWatch::Verdict::Again;
        if (interrupted() || Clock::now() >= deadline)
            return Proof::NotYet;
        std::this_thread::sleep_for(milliseconds(1));
    }
}

std::vector<uint32_t> X11Input::inputMethodServers()
{
    // XIM servers list their selections on the root window; each selection's
    // owner is a window of the server.
    std::vector<uint32_t> servers;
    const xcb_atom_t list = internAtom(m_conn, "XIM_SERVERS", true);
    if (!list)
        return servers;
    const PropertyValue names = getProperty(m_conn, m_conn.root(), list, XCB_ATOM_ATOM);
    for (uint32_t atom : names.cardinals()) {
        XcbReply<xcb_get_selection_owner_reply_t> owner(
            xcb_get_selection_owner_reply(m_conn, xcb_get_selection_owner(m_conn, atom), nullptr));
        if (owner && owner->owner != XCB_NONE)
            servers.push_back(owner->owner & ~xcb_get_setup(m_conn)->resource_id_mask);
    }
    return servers;
}

bool X11Input::tapProbeAndWait(milliseconds bound)
{
    if (!m_reads || !m_probe)
        return false;
    const uint64_t changes = m_changes;
    // Not even the tap, which types nothing, goes out once the typing is
    // stopped (the user took over).
    if ((m_stop && m_stop->load()) || !keycodeEvent(m_probe, true) || !keycodeEvent(m_probe, false))
        return false;
    const std::vector<uint32_t> inputMethods = inputMethodServers();
    const auto deadline = Clock::now() + bound;
    for (;;) {
        // The receiver is asked again now and then: the focus may move.
        const uint32_t receiver = keyReceiver();
        // A receiver that sends its keys to an input method (XIM) gets them
        // back from it whenever the input method is done with them, and
        // translates them then, with whatever map it has read by then:
        // nothing tells when that is, so such typing fails.
        for (uint32_t im : inputMethods)
            if (receiver && m_reads->hasSentTo(receiver, im))
                return false;
        if (receiver && m_reads->hasRead(receiver, changes))
            return true;
        // Short slices: a stop or other input is seen within one.
        if (interrupted() || Clock::now() >= deadline
            || !m_reads->waitForMore(std::min(deadline, Clock::now() + milliseconds(20)))) {
            m_typingFailure = TypingFailure::ReceiverBehind;
            return false;
        }
    }
}

} // namespace tovrik::platform::x11
