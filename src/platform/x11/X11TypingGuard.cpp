#include "platform/x11/X11TypingGuard.h"

#include <cerrno>
#include <poll.h>
#include <xcb/record.h>
#include <xcb/xcbext.h>
#include <xcb/xinput.h>

namespace tovrik::platform::x11 {

namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

constexpr uint8_t kGrabKeyboard = 31;
constexpr uint8_t kUngrabKeyboard = 32;
constexpr uint8_t kGrabServer = 36;
constexpr uint8_t kXIGrabDevice = 51;
constexpr uint8_t kXIUngrabDevice = 52;
// The categories of recorded data.
constexpr uint8_t kFromServer = 0;
constexpr uint8_t kFromClient = 1;
constexpr uint8_t kClientDied = 3;
// How long the stream may take to show our own GrabServer while we hold the
// server: it comes with the server's next flush, at once on any machine
// that runs at all.
constexpr milliseconds kStreamBound{2000};

uint16_t read16(const uint8_t* p, bool swapped)
{
    uint16_t v = uint16_t(p[0] | (p[1] << 8));
    return swapped ? uint16_t((v >> 8) | (v << 8)) : v;
}

uint32_t read32(const uint8_t* p, bool swapped)
{
    uint32_t v = uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
    return swapped ? __builtin_bswap32(v) : v;
}

} // namespace

std::unique_ptr<TypingGuard> TypingGuard::start(xcb_connection_t* typing, PostingMasters masters,
                                                std::function<xcb_window_t()> keyWindow)
{
    std::unique_ptr<TypingGuard> guard(new TypingGuard());
    guard->m_typing = typing;
    guard->m_keyWindow = std::move(keyWindow);
    guard->m_masters = masters;
    guard->m_ownIdBase = xcb_get_setup(typing)->resource_id_base;
    guard->m_idMask = xcb_get_setup(typing)->resource_id_mask;
    auto& control = guard->m_control;
    auto& data = guard->m_data;
    if (!openRecordPair(control, data))
        return nullptr;
    const auto* xi = xcb_get_extension_data(control, &xcb_input_id);
    guard->m_xiOpcode = xi && xi->present ? xi->major_opcode : 0;

    xcb_record_range_t ranges[3]{};
    ranges[0].core_requests = {kGrabKeyboard, kUngrabKeyboard};
    ranges[0].core_replies = {kGrabKeyboard, kGrabKeyboard};
    ranges[0].errors = {XCB_VALUE, XCB_MATCH}; // what a grab can be refused with
    ranges[0].client_died = 1;
    ranges[1].core_requests = {kGrabServer, kGrabServer};
    int count = 2;
    if (guard->m_xiOpcode) {
        ranges[2].ext_requests.major = {guard->m_xiOpcode, guard->m_xiOpcode};
        ranges[2].ext_requests.minor = {kXIGrabDevice, kXIUngrabDevice};
        ranges[2].ext_replies.major = {guard->m_xiOpcode, guard->m_xiOpcode};
        ranges[2].ext_replies.minor = {kXIGrabDevice, kXIGrabDevice};
        count = 3;
    }
    const xcb_record_client_spec_t clients = XCB_RECORD_CS_ALL_CLIENTS;
    const uint32_t context = xcb_generate_id(control);
    XcbReply<xcb_generic_error_t> failed(xcb_request_check(
        control, xcb_record_create_context_checked(control, context, 0, 1, uint32_t(count), &clients, ranges)));
    if (failed)
        return nullptr;
    guard->m_context = context;
    guard->m_sequence = xcb_record_enable_context(data, context).sequence;
    xcb_generic_error_t* error = nullptr;
    void* first = xcb_wait_for_reply(data, guard->m_sequence, &error);
    const bool enabled = first && !error;
    std::free(first);
    std::free(error);
    if (!enabled)
        return nullptr;
    // A grab held before the watch began has no holder the stream names:
    // one is tried on the window with the focus, which sends nobody anything
    // when it fails, nor when that window has the focus itself.
    XcbReply<xcb_get_input_focus_reply_t> focus(xcb_get_input_focus_reply(typing, xcb_get_input_focus(typing), nullptr));
    const xcb_window_t root = xcb_setup_roots_iterator(xcb_get_setup(typing)).data->root;
    const bool realFocus = focus && focus->focus != XCB_NONE && focus->focus != XCB_INPUT_FOCUS_POINTER_ROOT;
    guard->m_unknownGrab = guard->grabHeldOn(realFocus ? focus->focus : root);
    return guard;
}

TypingGuard::~TypingGuard()
{
    if (m_context && m_control.ok()) {
        xcb_record_disable_context(m_control, m_context);
        xcb_record_free_context(m_control, m_context);
        m_control.sync();
    }
}

void TypingGuard::takeRequests(uint32_t idBase, const uint8_t* data, size_t length, bool swapped)
{
    size_t at = 0;
    while (at + 4 <= length) {
        const uint8_t major = data[at];
        const uint8_t minor = data[at + 1];
        size_t words = read16(data + at + 2, swapped);
        if (words == 0) { // BIG-REQUESTS: the length follows
            if (at + 8 > length)
                return;
            words = read32(data + at + 4, swapped);
        }
        if (words == 0 || at + words * 4 > length)
            return;
        const uint8_t* r = data + at;
        const bool xi = m_xiOpcode && major == m_xiOpcode;
        if (idBase == m_ownIdBase) {
            // Our own grabs are tries, let go at once; our GrabServer marks
            // how far the stream has been read.
            m_ownHolds += major == kGrabServer;
        } else if (major == kGrabKeyboard && words >= 4) {
            m_pending[idBase].push_back({Grab{read32(r + 4, swapped), 0}});
        } else if (major == kUngrabKeyboard) {
            std::erase_if(m_grabs[idBase], [](const Grab& g) { return g.device == 0; });
        } else if (xi && minor == kXIGrabDevice && words >= 6) {
            m_pending[idBase].push_back({Grab{read32(r + 4, swapped), read16(r + 16, swapped)}});
        } else if (xi && minor == kXIUngrabDevice && words >= 3) {
            const uint16_t device = read16(r + 8, swapped);
            std::erase_if(m_grabs[idBase], [device](const Grab& g) { return g.device == device; });
        }
        at += words * 4;
    }
}

void TypingGuard::takeReplies(uint32_t idBase, const uint8_t* data, size_t length, bool swapped)
{
    // Replies and errors come in the order of the client's requests: each
    // answers the oldest grab request of its client still unanswered.
    size_t at = 0;
    while (at + 32 <= length) {
        const uint8_t* r = data + at;
        size_t size = 32;
        auto& pending = m_pending[idBase];
        if (r[0] == 1) {
            size += size_t(read32(r + 4, swapped)) * 4;
            if (idBase != m_ownIdBase && !pending.empty()) {
                const Grab grab = pending.front().grab;
                pending.pop_front();
                const uint8_t status = grab.device == 0 ? r[1] : r[8];
                if (status == XCB_GRAB_STATUS_SUCCESS)
                    m_grabs[idBase].insert(grab);
            }
        } else if (r[0] == 0) {
            const uint8_t major = r[10];
            const uint16_t minor = read16(r + 8, swapped);
            if (!pending.empty() && (major == kGrabKeyboard || (m_xiOpcode && major == m_xiOpcode && minor == kXIGrabDevice)))
                pending.pop_front();
        }
        at += size;
    }
}

void TypingGuard::clientDied(uint32_t idBase)
{
    m_pending.erase(idBase);
    m_grabs.erase(idBase);
}

bool TypingGuard::keyboardCounts(uint16_t device)
{
    if (device == 0)
        return true; // a core grab takes the keyboard of the client's pair, ours as a rule
    auto it = m_keyboards.find(device);
    if (it == m_keyboards.end()) {
        // Asked on the typing connection: the only one that is served while
        // the server is held.
        m_keyboards.clear();
        for (const XIDevice& d : queryXIDevices(m_typing)) {
            const bool keyboard = d.type == XCB_INPUT_DEVICE_TYPE_MASTER_KEYBOARD || d.type == XCB_INPUT_DEVICE_TYPE_SLAVE_KEYBOARD;
            const uint16_t master = d.type == XCB_INPUT_DEVICE_TYPE_MASTER_KEYBOARD ? d.id : d.attachment;
            m_keyboards[d.id] = keyboard && (m_masters.keyboard == 0 || master == m_masters.keyboard);
        }
        it = m_keyboards.try_emplace(device, true).first; // unknown: it may
    }
    return it->second;
}

std::set<uint32_t> TypingGuard::grabbers()
{
    std::set<uint32_t> out;
    for (const auto& [client, grabs] : m_grabs)
        for (const Grab& g : grabs)
            if (keyboardCounts(g.device))
                out.insert(client);
    return out;
}

void TypingGuard::drain()
{
    if (m_broken || !m_data.ok())
        return;
    const bool ok = drainRecord(m_data, m_sequence,
                                [this](uint8_t category, uint32_t idBase, const uint8_t* bytes, size_t length, bool swapped) {
                                    if (category == kFromClient)
                                        takeRequests(idBase, bytes, length, swapped);
                                    else if (category == kFromServer)
                                        takeReplies(idBase, bytes, length, swapped);
                                    else if (category == kClientDied)
                                        clientDied(idBase);
                                });
    if (!ok)
        m_broken = true;
}

bool TypingGuard::waitForOwnHold(const std::atomic<bool>* stop)
{
    const auto deadline = Clock::now() + kStreamBound;
    for (;;) {
        drain();
        if (m_ownHolds >= m_holdsSent)
            return true;
        const auto left = std::chrono::duration_cast<milliseconds>(deadline - Clock::now());
        if (m_broken || left.count() <= 0 || (stop && stop->load()))
            return false;
        pollfd fd{xcb_get_file_descriptor(m_data), POLLIN, 0};
        if (::poll(&fd, 1, int(std::min<int64_t>(left.count(), 20))) < 0 && errno != EINTR)
            return false;
    }
}

bool TypingGuard::grabHeldOn(uint32_t window)
{
    XcbReply<xcb_grab_keyboard_reply_t> grab(xcb_grab_keyboard_reply(
        m_typing, xcb_grab_keyboard(m_typing, 1, window, XCB_CURRENT_TIME, XCB_GRAB_MODE_ASYNC, XCB_GRAB_MODE_ASYNC),
        nullptr));
    if (grab && grab->status == XCB_GRAB_STATUS_SUCCESS) {
        xcb_ungrab_keyboard(m_typing, XCB_CURRENT_TIME);
        xcb_flush(m_typing);
        return false;
    }
    return grab && (grab->status == XCB_GRAB_STATUS_ALREADY_GRABBED || grab->status == XCB_GRAB_STATUS_FROZEN);
}

uint32_t TypingGuard::topLevelOf(uint32_t window)
{
    for (int depth = 0; window && depth < 64; ++depth) {
        XcbReply<xcb_query_tree_reply_t> tree(xcb_query_tree_reply(m_typing, xcb_query_tree(m_typing, window), nullptr));
        if (!tree)
            return 0;
        if (tree->parent == XCB_NONE || tree->parent == tree->root)
            return tree->parent == XCB_NONE ? 0 : window;
        window = tree->parent;
    }
    return 0;
}

bool TypingGuard::viewable(uint32_t window)
{
    XcbReply<xcb_get_window_attributes_reply_t> attributes(
        xcb_get_window_attributes_reply(m_typing, xcb_get_window_attributes(m_typing, window), nullptr));
    return attributes && attributes->map_state == XCB_MAP_STATE_VIEWABLE;
}

std::optional<TypingFailure> TypingGuard::judge(bool mayAim, bool held)
{
    drain();
    const xcb_window_t key = m_keyWindow();
    const uint32_t receiverClient = m_receiver ? m_receiver->client : clientOf(key);
    if (held) {
        // Grabs the stream cannot see end (their window went) are tried.
        for (auto& [client, grabs] : m_grabs)
            std::erase_if(grabs, [this](const Grab& g) { return keyboardCounts(g.device) && !grabHeldOn(g.window); });
        if (m_unknownGrab)
            m_unknownGrab = grabHeldOn(key ? key : xcb_setup_roots_iterator(xcb_get_setup(m_typing)).data->root);
    }
    const std::set<uint32_t> holders = grabbers();
    for (uint32_t holder : holders)
        if (holder != receiverClient)
            return TypingFailure::KeyboardGrabbed;
    if (held && m_unknownGrab)
        return TypingFailure::KeyboardGrabbed;
    if (!m_receiver) {
        if (mayAim)
            m_receiver = Receiver{key, key ? topLevelOf(key) : 0, clientOf(key)};
        return std::nullopt;
    }
    if (holders.count(receiverClient))
        return std::nullopt; // its own grab: the keys go to that client
    if (m_receiver->topLevel && !viewable(m_receiver->topLevel))
        return TypingFailure::ReceiverGone;
    if (topLevelOf(key) != m_receiver->topLevel || clientOf(key) != m_receiver->client)
        // A window manager's frame outlives the window in it for a moment,
        // and the focus reverts to it: that window went, nobody took the keys.
        return m_receiver->window && !viewable(m_receiver->window) ? TypingFailure::ReceiverGone
                                                                   : TypingFailure::FocusMoved;
    return std::nullopt;
}

std::optional<TypingFailure> TypingGuard::look()
{
    return judge(false, false);
}

std::optional<TypingFailure> TypingGuard::hold(const std::atomic<bool>* stop)
{
    // The stream is written out when the server next writes to a client:
    // the round trip's reply makes it.
    xcb_grab_server(m_typing);
    ++m_holdsSent;
    XcbReply<xcb_get_input_focus_reply_t> written(
        xcb_get_input_focus_reply(m_typing, xcb_get_input_focus(m_typing), nullptr));
    if (!waitForOwnHold(stop))
        return TypingFailure::NoKeyboardEvent; // nothing known of who holds the keyboard
    return judge(true, true);
}

void TypingGuard::release()
{
    xcb_ungrab_server(m_typing);
    xcb_flush(m_typing);
}

} // namespace tovrik::platform::x11
