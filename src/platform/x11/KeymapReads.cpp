#include "platform/x11/KeymapReads.h"

#include <cerrno>
#include <poll.h>
#include <xcb/record.h>
#include <xcb/xcbext.h>

namespace tovrik::platform::x11 {

namespace {

constexpr uint8_t kSendEvent = 25;
constexpr uint8_t kChangeKeyboardMapping = 100;
constexpr uint8_t kGetKeyboardMapping = 101;
constexpr uint8_t kXkbGetMap = 8;
constexpr uint8_t kXkbSetMap = 9;

uint16_t read16(const uint8_t* p, bool swapped)
{
    // The client's byte order: swapped means the other order than ours.
    uint16_t v = uint16_t(p[0] | (p[1] << 8));
    if (swapped)
        v = uint16_t((v >> 8) | (v << 8));
    return v;
}

uint32_t read32(const uint8_t* p, bool swapped)
{
    uint32_t v = uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
    if (swapped)
        v = __builtin_bswap32(v);
    return v;
}

} // namespace

std::unique_ptr<KeymapReads> KeymapReads::forCounting(uint32_t ownIdBase, uint8_t xkbOpcode, uint32_t idMask)
{
    std::unique_ptr<KeymapReads> reads(new KeymapReads());
    reads->m_ownIdBase = ownIdBase;
    reads->m_idMask = idMask;
    reads->m_xkbOpcode = xkbOpcode;
    reads->m_broken = true; // nothing to wait on
    return reads;
}

std::unique_ptr<KeymapReads> KeymapReads::start(uint32_t ownIdBase, uint32_t idMask)
{
    std::unique_ptr<KeymapReads> reads(new KeymapReads());
    reads->m_ownIdBase = ownIdBase;
    reads->m_idMask = idMask;
    auto& control = reads->m_control;
    auto& data = reads->m_data;
    if (!openRecordPair(control, data))
        return nullptr;
    static constexpr char kXkb[] = "XKEYBOARD";
    XcbReply<xcb_query_extension_reply_t> xkb(
        xcb_query_extension_reply(control, xcb_query_extension(control, sizeof kXkb - 1, kXkb), nullptr));
    reads->m_xkbOpcode = xkb && xkb->present ? xkb->major_opcode : 0;

    xcb_record_range_t ranges[2]{};
    ranges[0].core_requests.first = kChangeKeyboardMapping;
    ranges[0].core_requests.last = kGetKeyboardMapping;
    if (reads->m_xkbOpcode) {
        ranges[0].ext_requests.major.first = reads->m_xkbOpcode;
        ranges[0].ext_requests.major.last = reads->m_xkbOpcode;
        ranges[0].ext_requests.minor.first = kXkbGetMap;
        ranges[0].ext_requests.minor.last = kXkbSetMap;
    }
    ranges[1].core_requests.first = kSendEvent;
    ranges[1].core_requests.last = kSendEvent;
    const xcb_record_client_spec_t clients = XCB_RECORD_CS_ALL_CLIENTS;
    const uint32_t context = xcb_generate_id(control);
    XcbReply<xcb_generic_error_t> failed(
        xcb_request_check(control, xcb_record_create_context_checked(control, context, 0, 1, 2, &clients, ranges)));
    if (failed)
        return nullptr;
    reads->m_context = context;
    reads->m_sequence = xcb_record_enable_context(data, context).sequence;
    // Recording starts when the first reply (the start of the data) comes:
    // a change made after this returns is seen.
    xcb_generic_error_t* error = nullptr;
    void* first = xcb_wait_for_reply(data, reads->m_sequence, &error);
    const bool enabled = first && !error;
    std::free(first);
    std::free(error);
    if (!enabled)
        return nullptr;
    return reads;
}

KeymapReads::~KeymapReads()
{
    if (m_context && m_control.ok()) {
        xcb_record_disable_context(m_control, m_context);
        xcb_record_free_context(m_control, m_context);
        m_control.sync();
    }
}

bool KeymapReads::hasSentTo(uint32_t from, uint32_t to) const
{
    return m_sends.count({from, to}) > 0;
}

bool KeymapReads::hasRead(uint32_t idBase, uint64_t changes) const
{
    const auto it = m_readAfter.find(idBase);
    return it != m_readAfter.end() && it->second >= changes;
}

void KeymapReads::takeRequests(uint32_t idBase, const uint8_t* data, size_t length, bool swapped)
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
        if (words == 0)
            return;
        const bool change = major == kChangeKeyboardMapping || (m_xkbOpcode && major == m_xkbOpcode && minor == kXkbSetMap);
        const bool read = major == kGetKeyboardMapping || (m_xkbOpcode && major == m_xkbOpcode && minor == kXkbGetMap);
        if (change && idBase == m_ownIdBase)
            ++m_changesSeen;
        else if (read)
            m_readAfter[idBase] = m_changesSeen;
        else if (major == kSendEvent && at + 8 <= length && words >= 2) {
            m_sends.insert({idBase, read32(data + at + 4, swapped) & ~m_idMask});
            // The event: a client message (33) of 32-bit items whose first
            // is the ping atom, the second its stamp.
            const uint8_t* event = data + at + 12;
            if (m_pingAtom && idBase != m_ownIdBase && words >= 11 && at + 44 <= length && (event[0] & 0x7f) == 33
                && event[1] == 32 && read32(event + 12, swapped) == m_pingAtom)
                m_pingAnswers.insert({idBase, read32(event + 16, swapped)});
        }
        at += words * 4;
    }
}

void KeymapReads::drain()
{
    if (m_broken || !m_data.ok())
        return;
    const bool ok = drainRecord(m_data, m_sequence,
                                [this](uint8_t category, uint32_t idBase, const uint8_t* bytes, size_t length, bool swapped) {
                                    if (category == 1 /* from a client */)
                                        takeRequests(idBase, bytes, length, swapped);
                                });
    if (!ok)
        m_broken = true;
}

bool KeymapReads::waitForMore(std::chrono::steady_clock::time_point until)
{
    drain();
    if (m_broken)
        return false;
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(until - std::chrono::steady_clock::now());
    if (left.count() > 0) {
        pollfd fd{xcb_get_file_descriptor(m_data), POLLIN, 0};
        if (::poll(&fd, 1, int(std::min<int64_t>(left.count(), 1000))) < 0 && errno != EINTR)
            return false;
        drain();
    }
    return !m_broken;
}

bool KeymapReads::waitForRead(uint32_t idBase, uint64_t changes, std::chrono::steady_clock::time_point deadline)
{
    for (;;) {
        drain();
        if (hasRead(idBase, changes))
            return true;
        if (std::chrono::steady_clock::now() >= deadline || !waitForMore(deadline))
            return false;
    }
}

} // namespace tovrik::platform::x11
