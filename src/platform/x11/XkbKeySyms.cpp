#include "platform/x11/XkbKeySyms.h"

#include "platform/x11/Xcb.h"

#include <cstring>
// The protocol header names a field `explicit`.
#define explicit explicit_
#include <xcb/xkb.h>
#undef explicit

namespace tovrik::platform::x11 {

namespace {

// The canonical key types every XKB keymap starts with.
constexpr uint8_t kTwoLevel = 1;
constexpr size_t kSymMapHeader = 8; // kt_index[4], groupInfo, width, nSyms (16 bits)

} // namespace

XkbKeySyms XkbKeySyms::lent(uint32_t sym, uint32_t shifted)
{
    XkbKeySyms k;
    if (!sym)
        return k;
    k.groupInfo = 1;
    // Two levels even for one symbol: the server shows it on both, as the
    // core request writes it, which no key of a layout with that symbol
    // alone on one level looks like (a record of it is checked against it).
    k.types.fill(kTwoLevel);
    k.width = 2;
    k.syms = {sym, shifted ? shifted : sym};
    return k;
}

bool useXkb(xcb_connection_t* conn)
{
    XcbReply<xcb_xkb_use_extension_reply_t> reply(
        xcb_xkb_use_extension_reply(conn, xcb_xkb_use_extension(conn, XCB_XKB_MAJOR_VERSION, XCB_XKB_MINOR_VERSION), nullptr));
    return reply && reply->supported;
}

std::optional<std::vector<XkbKeySyms>> readXkbKeySyms(xcb_connection_t* conn, uint8_t first, uint8_t count)
{
    static_assert(sizeof(xcb_xkb_get_map_reply_t) == 40);
    XcbReply<xcb_xkb_get_map_reply_t> reply(xcb_xkb_get_map_reply(
        conn,
        xcb_xkb_get_map(conn, XCB_XKB_ID_USE_CORE_KBD, 0, XCB_XKB_MAP_PART_KEY_SYMS, 0, 0, first, count,
                        /* actions */ 0, 0, /* behaviours */ 0, 0, /* virtual mods */ 0, /* explicit */ 0, 0,
                        /* modmap */ 0, 0, /* vmodmap */ 0, 0),
        nullptr));
    if (!reply || reply->firstKeySym != first || reply->nKeySyms != count)
        return std::nullopt;
    const auto* bytes = reinterpret_cast<const uint8_t*>(reply.get()) + sizeof(xcb_xkb_get_map_reply_t);
    const size_t length = size_t(reply->length) * 4 + 32 - sizeof(xcb_xkb_get_map_reply_t);
    std::vector<XkbKeySyms> keys;
    size_t at = 0;
    for (int i = 0; i < count; ++i) {
        if (at + kSymMapHeader > length)
            return std::nullopt;
        XkbKeySyms k;
        std::memcpy(k.types.data(), bytes + at, 4);
        k.groupInfo = bytes[at + 4];
        k.width = bytes[at + 5];
        uint16_t n = 0;
        std::memcpy(&n, bytes + at + 6, 2);
        at += kSymMapHeader;
        if (at + size_t(n) * 4 > length)
            return std::nullopt;
        k.syms.resize(n);
        if (n) // a key without symbols has no storage to copy into
            std::memcpy(k.syms.data(), bytes + at, size_t(n) * 4);
        at += size_t(n) * 4;
        keys.push_back(std::move(k));
    }
    return keys;
}

bool writeXkbKeySyms(xcb_connection_t* conn, uint8_t first, const std::vector<XkbKeySyms>& keys)
{
    if (keys.empty() || first + keys.size() > 256)
        return false;
    std::vector<uint8_t> values;
    uint16_t total = 0;
    for (const XkbKeySyms& k : keys) {
        const auto n = uint16_t(k.syms.size());
        const size_t at = values.size();
        values.resize(at + kSymMapHeader + size_t(n) * 4);
        std::memcpy(values.data() + at, k.types.data(), 4);
        values[at + 4] = k.groupInfo;
        values[at + 5] = k.width;
        std::memcpy(values.data() + at + 6, &n, 2);
        if (n)
            std::memcpy(values.data() + at + kSymMapHeader, k.syms.data(), size_t(n) * 4);
        total = uint16_t(total + n);
    }
    const xcb_setup_t* setup = xcb_get_setup(conn);
    const auto cookie = xcb_xkb_set_map_checked(conn, XCB_XKB_ID_USE_CORE_KBD, XCB_XKB_MAP_PART_KEY_SYMS, 0,
                                                setup->min_keycode, setup->max_keycode, /* types */ 0, 0, first,
                                                uint8_t(keys.size()), total, /* actions */ 0, 0, 0,
                                                /* behaviours */ 0, 0, 0, /* explicit */ 0, 0, 0, /* modmap */ 0, 0, 0,
                                                /* vmodmap */ 0, 0, 0, /* virtual mods */ 0, values.data());
    XcbReply<xcb_generic_error_t> error(xcb_request_check(conn, cookie));
    return !error;
}

} // namespace tovrik::platform::x11
