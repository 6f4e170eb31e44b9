#pragma once

// The symbols of a range of keycodes as XKB keeps them (each key's types,
// groups and symbols), read and written in one request each: a change of
// several keycodes in one XKB SetMap is one change notification to every
// client, where the core ChangeKeyboardMapping of scattered keycodes is one
// a keycode.

#include <xcb/xcb.h>

#include <array>
#include <cstdint>
#include <optional>
#include <vector>

namespace tovrik::platform::x11 {

struct XkbKeySyms {
    std::array<uint8_t, 4> types{}; // key type index per group
    uint8_t groupInfo = 0;
    uint8_t width = 0;
    std::vector<uint32_t> syms;
    bool operator==(const XkbKeySyms&) const = default;

    // A key of two levels that types `sym` and, with Shift, `shifted`
    // (`sym` again when 0); no symbol at all when `sym` is 0.
    static XkbKeySyms lent(uint32_t sym, uint32_t shifted);
};

// Initialises XKB on `conn` (once per connection); false without it.
bool useXkb(xcb_connection_t* conn);
// The symbols of keycodes first .. first + count - 1 of the core keyboard.
std::optional<std::vector<XkbKeySyms>> readXkbKeySyms(xcb_connection_t* conn, uint8_t first, uint8_t count);
// Writes them (one request, waited for).
bool writeXkbKeySyms(xcb_connection_t* conn, uint8_t first, const std::vector<XkbKeySyms>& keys);

} // namespace tovrik::platform::x11
