#pragma once

// Key codes in the program are macOS virtual key codes; X11 speaks keysyms
// (what a key means) and keycodes (which key it is). The table below maps the
// former onto keysyms of a standard layout; KeyboardMapping then finds the
// keycodes of the server's current keyboard map (which the server keeps in
// step with XKB) that produce those keysyms.

#include <xcb/xcb.h>

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace tovrik::platform::x11 {

// The keysym a macOS virtual key code stands for; 0 when X has none (fn).
uint32_t keysymForMacKeyCode(uint16_t macKeyCode);
// The reverse, case-insensitively for letters; keypad and right-hand
// variants map to their own codes.
std::optional<uint16_t> macKeyCodeForKeysym(uint32_t keysym);
// The ModifierFlag bit a modifier key sets (control, shift, option,
// command, caps lock, fn); 0 for other keys.
uint32_t modifierFlagForMacKeyCode(uint16_t macKeyCode);
// The keysym that types one Unicode code point (Latin-1 directly, the rest
// through the 0x1000000 Unicode keysym range); control characters other
// than tab, newline and return have none (0).
uint32_t keysymForCodePoint(char32_t codePoint);

// Which keycodes a keymap gives at least one symbol, by keycode.
using KeycodeSet = std::array<bool, 256>;

// The keycodes the keyboard layout itself describes: those the keymap XKB
// compiles (libxkbcommon, from the system's XKB data) for the rules, model,
// layout, variant and options the server names in its root window's
// _XKB_RULES_NAMES gives at least one symbol. `ruleNames` is that property's
// value (five texts, each ended by a NUL). Nothing when the server names
// none or they do not compile. Results are kept per `ruleNames`.
std::optional<KeycodeSet> layoutKeycodes(const std::string& ruleNames);

class KeyboardMapping {
public:
    // Reads the server's keyboard map (and which keycodes its layout
    // describes); false on a broken connection.
    bool load(xcb_connection_t* conn);
    bool isLoaded() const { return m_perKeycode > 0; }
    uint8_t minKeycode() const { return m_min; }
    uint8_t maxKeycode() const { return m_max; }
    int keysymsPerKeycode() const { return m_perKeycode; }
    uint32_t keysym(uint8_t keycode, int level) const;
    // Keycodes producing `keysym`, best first: (keycode, level), level 0 =
    // unshifted, 1 = with Shift. Only the first two levels are considered.
    std::vector<std::pair<uint8_t, int>> find(uint32_t keysym) const;
    // Keycodes whose unshifted symbol is `keysym` (all of them).
    std::vector<uint8_t> keycodesFor(uint32_t keysym) const;
    // A keycode with no symbols at all that the layout does not describe
    // either (see layoutKeycodes), free to be borrowed; 0 when none.
    uint8_t spareKeycode() const;
    // All of them, highest first. When the layout cannot be told, every
    // keycode without symbols.
    std::vector<uint8_t> spareKeycodes() const;
    // The keycodes the layout describes; nothing when it cannot be told.
    const std::optional<KeycodeSet>& layoutKeys() const { return m_layout; }
    // The macOS key code of a physical keycode (its unshifted symbol).
    std::optional<uint16_t> macKeyCode(uint8_t keycode) const;

private:
    uint8_t m_min = 0;
    uint8_t m_max = 0;
    int m_perKeycode = 0;
    std::vector<uint32_t> m_syms;
    std::optional<KeycodeSet> m_layout;
    xcb_connection_t* m_rulesConnection = nullptr;
    xcb_atom_t m_rulesAtom = XCB_ATOM_NONE;
};

} // namespace tovrik::platform::x11
