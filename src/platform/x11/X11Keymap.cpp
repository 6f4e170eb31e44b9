#include "platform/x11/X11Keymap.h"

#include "platform/Types.h"
#include "platform/x11/Xcb.h"

#define XK_MISCELLANY
#define XK_LATIN1
#define XK_XKB_KEYS
#include <X11/keysymdef.h>
#include <X11/XF86keysym.h>

#include <xkbcommon/xkbcommon.h>

#include <array>
#include <map>
#include <memory>
#include <mutex>

namespace tovrik::platform::x11 {

namespace {

struct Entry {
    uint16_t mac;
    uint32_t keysym;
};

// macOS virtual key code -> keysym (US layout positions, as the codes name
// positions on an ANSI keyboard).
constexpr Entry kTable[] = {
    {0, XK_a}, {1, XK_s}, {2, XK_d}, {3, XK_f}, {4, XK_h}, {5, XK_g}, {6, XK_z}, {7, XK_x}, {8, XK_c}, {9, XK_v},
    {11, XK_b}, {12, XK_q}, {13, XK_w}, {14, XK_e}, {15, XK_r}, {16, XK_y}, {17, XK_t}, {18, XK_1}, {19, XK_2},
    {20, XK_3}, {21, XK_4}, {22, XK_6}, {23, XK_5}, {24, XK_equal}, {25, XK_9}, {26, XK_7}, {27, XK_minus},
    {28, XK_8}, {29, XK_0}, {30, XK_bracketright}, {31, XK_o}, {32, XK_u}, {33, XK_bracketleft}, {34, XK_i},
    {35, XK_p}, {36, XK_Return}, {37, XK_l}, {38, XK_j}, {39, XK_apostrophe}, {40, XK_k}, {41, XK_semicolon},
    {42, XK_backslash}, {43, XK_comma}, {44, XK_slash}, {45, XK_n}, {46, XK_m}, {47, XK_period}, {48, XK_Tab},
    {49, XK_space}, {50, XK_grave}, {51, XK_BackSpace}, {53, XK_Escape}, {54, XK_Super_R}, {55, XK_Super_L},
    {56, XK_Shift_L}, {57, XK_Caps_Lock}, {58, XK_Alt_L}, {59, XK_Control_L}, {60, XK_Shift_R}, {61, XK_Alt_R},
    {62, XK_Control_R}, {64, XK_F17}, {65, XK_KP_Decimal}, {67, XK_KP_Multiply}, {69, XK_KP_Add},
    {71, XK_Clear}, {72, XF86XK_AudioRaiseVolume}, {73, XF86XK_AudioLowerVolume}, {74, XF86XK_AudioMute},
    {75, XK_KP_Divide}, {76, XK_KP_Enter}, {78, XK_KP_Subtract}, {79, XK_F18}, {80, XK_F19}, {81, XK_KP_Equal},
    {82, XK_KP_0}, {83, XK_KP_1}, {84, XK_KP_2}, {85, XK_KP_3}, {86, XK_KP_4}, {87, XK_KP_5}, {88, XK_KP_6},
    {89, XK_KP_7}, {90, XK_F20}, {91, XK_KP_8}, {92, XK_KP_9}, {96, XK_F5}, {97, XK_F6}, {98, XK_F7},
    {99, XK_F3}, {100, XK_F8}, {101, XK_F9}, {103, XK_F11}, {105, XK_F13}, {106, XK_F16}, {107, XK_F14},
    {109, XK_F10}, {111, XK_F12}, {113, XK_F15}, {114, XK_Insert}, {115, XK_Home}, {116, XK_Page_Up},
    {117, XK_Delete}, {118, XK_F4}, {119, XK_End}, {120, XK_F2}, {121, XK_Page_Down}, {122, XK_F1},
    {123, XK_Left}, {124, XK_Right}, {125, XK_Down}, {126, XK_Up},
};

// Other keysyms that the same physical keys produce on common layouts.
constexpr Entry kAliases[] = {
    {55, XK_Meta_L}, {54, XK_Meta_R}, {61, XK_ISO_Level3_Shift}, {61, XK_Mode_switch}, {55, XK_Hyper_L},
    {54, XK_Hyper_R}, {65, XK_KP_Delete}, {76, XK_ISO_Enter}, {48, XK_ISO_Left_Tab}, {82, XK_KP_Insert},
    {83, XK_KP_End}, {84, XK_KP_Down}, {85, XK_KP_Page_Down}, {86, XK_KP_Left}, {87, XK_KP_Begin},
    {88, XK_KP_Right}, {89, XK_KP_Home}, {91, XK_KP_Up}, {92, XK_KP_Page_Up},
};

} // namespace

uint32_t keysymForMacKeyCode(uint16_t macKeyCode)
{
    for (const auto& e : kTable)
        if (e.mac == macKeyCode)
            return e.keysym;
    return 0;
}

std::optional<uint16_t> macKeyCodeForKeysym(uint32_t keysym)
{
    if (keysym >= XK_A && keysym <= XK_Z)
        keysym += XK_a - XK_A;
    for (const auto& e : kTable)
        if (e.keysym == keysym)
            return e.mac;
    for (const auto& e : kAliases)
        if (e.keysym == keysym)
            return e.mac;
    return std::nullopt;
}

uint32_t modifierFlagForMacKeyCode(uint16_t macKeyCode)
{
    switch (macKeyCode) {
    case KeyCode::Control:
    case KeyCode::RightControl:
        return ModControl;
    case KeyCode::Shift:
    case KeyCode::RightShift:
        return ModShift;
    case KeyCode::Option:
    case KeyCode::RightOption:
        return ModOption;
    case KeyCode::Command:
    case KeyCode::RightCommand:
        return ModCommand;
    case KeyCode::CapsLock:
        return ModCapsLock;
    case KeyCode::Function:
        return ModFunction;
    default:
        return 0;
    }
}

uint32_t keysymForCodePoint(char32_t cp)
{
    if (cp == U'\n' || cp == U'\r')
        return XK_Return;
    if (cp == U'\t')
        return XK_Tab;
    if (cp < 0x20 || (cp >= 0x7f && cp < 0xa0) || cp > 0x10ffff || (cp >= 0xd800 && cp <= 0xdfff))
        return 0;
    if (cp < 0x100)
        return uint32_t(cp);
    return 0x1000000u + uint32_t(cp);
}

std::optional<KeycodeSet> layoutKeycodes(const std::string& ruleNames)
{
    static std::mutex mutex;
    static std::map<std::string, std::optional<KeycodeSet>> known;
    std::lock_guard lock(mutex);
    if (const auto it = known.find(ruleNames); it != known.end())
        return it->second;
    std::optional<KeycodeSet> out;
    // Rules, model, layout, variant, options; the server names the first
    // three at least (it fills in its own defaults).
    std::vector<std::string> fields;
    size_t at = 0;
    for (size_t end; fields.size() < 5 && (end = ruleNames.find('\0', at)) != std::string::npos; at = end + 1)
        fields.push_back(ruleNames.substr(at, end - at));
    if (fields.size() >= 3 && !fields[0].empty() && !fields[2].empty()) {
        fields.resize(5);
        // Not the names of this process's environment: the server's only.
        std::unique_ptr<xkb_context, decltype(&xkb_context_unref)> context(
            xkb_context_new(XKB_CONTEXT_NO_ENVIRONMENT_NAMES), &xkb_context_unref);
        if (context) // its own messages about the system's XKB data are not ours to log
            xkb_context_set_log_level(context.get(), XKB_LOG_LEVEL_CRITICAL);
        const xkb_rule_names names{fields[0].c_str(), fields[1].c_str(), fields[2].c_str(), fields[3].c_str(),
                                   fields[4].c_str()};
        std::unique_ptr<xkb_keymap, decltype(&xkb_keymap_unref)> keymap(
            context ? xkb_keymap_new_from_names(context.get(), &names, XKB_KEYMAP_COMPILE_NO_FLAGS) : nullptr,
            &xkb_keymap_unref);
        if (keymap) {
            KeycodeSet described{};
            const xkb_keycode_t last = std::min<xkb_keycode_t>(255, xkb_keymap_max_keycode(keymap.get()));
            for (xkb_keycode_t kc = xkb_keymap_min_keycode(keymap.get()); kc <= last; ++kc) {
                const xkb_layout_index_t layouts = xkb_keymap_num_layouts_for_key(keymap.get(), kc);
                for (xkb_layout_index_t group = 0; group < layouts && !described[kc]; ++group) {
                    const xkb_level_index_t levels = xkb_keymap_num_levels_for_key(keymap.get(), kc, group);
                    for (xkb_level_index_t level = 0; level < levels && !described[kc]; ++level) {
                        const xkb_keysym_t* syms = nullptr;
                        described[kc] = xkb_keymap_key_get_syms_by_level(keymap.get(), kc, group, level, &syms) > 0;
                    }
                }
            }
            out = described;
        }
    }
    if (known.size() >= 16)
        known.clear();
    known.emplace(ruleNames, out);
    return out;
}

bool KeyboardMapping::load(xcb_connection_t* conn)
{
    if (!conn || xcb_connection_has_error(conn))
        return false;
    const xcb_setup_t* setup = xcb_get_setup(conn);
    m_min = setup->min_keycode;
    m_max = setup->max_keycode;
    if (m_rulesConnection != conn || m_rulesAtom == XCB_ATOM_NONE) {
        m_rulesAtom = internAtom(conn, "_XKB_RULES_NAMES", true);
        m_rulesConnection = conn;
    }
    // The map and the layout's names in one round trip.
    const auto mapping = xcb_get_keyboard_mapping(conn, m_min, uint8_t(m_max - m_min + 1));
    const PropertyRequest rules =
        requestProperty(conn, xcb_setup_roots_iterator(setup).data->root, m_rulesAtom, XCB_ATOM_STRING);
    XcbReply<xcb_get_keyboard_mapping_reply_t> reply(xcb_get_keyboard_mapping_reply(conn, mapping, nullptr));
    const PropertyValue names = propertyReply(conn, rules);
    if (!reply)
        return false;
    m_perKeycode = reply->keysyms_per_keycode;
    const auto* syms = xcb_get_keyboard_mapping_keysyms(reply.get());
    m_syms.assign(syms, syms + xcb_get_keyboard_mapping_keysyms_length(reply.get()));
    m_layout = layoutKeycodes(names.format == 8 ? names.data.toStdString() : std::string());
    return m_perKeycode > 0;
}

uint32_t KeyboardMapping::keysym(uint8_t keycode, int level) const
{
    if (keycode < m_min || keycode > m_max || level < 0 || level >= m_perKeycode)
        return 0;
    const size_t index = size_t(keycode - m_min) * size_t(m_perKeycode) + size_t(level);
    return index < m_syms.size() ? m_syms[index] : 0;
}

std::vector<std::pair<uint8_t, int>> KeyboardMapping::find(uint32_t sym) const
{
    std::vector<std::pair<uint8_t, int>> out;
    if (!sym)
        return out;
    for (int level = 0; level < std::min(2, m_perKeycode); ++level)
        for (int kc = m_min; kc <= m_max; ++kc)
            if (keysym(uint8_t(kc), level) == sym)
                out.emplace_back(uint8_t(kc), level);
    // A letter's second level is often left empty in the core map (the
    // upper case is implied): the lowercase key with Shift types it.
    if (out.empty() && sym >= XK_A && sym <= XK_Z)
        for (int kc = m_min; kc <= m_max; ++kc)
            if (keysym(uint8_t(kc), 0) == sym + (XK_a - XK_A))
                out.emplace_back(uint8_t(kc), 1);
    return out;
}

std::vector<uint8_t> KeyboardMapping::keycodesFor(uint32_t sym) const
{
    std::vector<uint8_t> out;
    if (!sym)
        return out;
    for (int kc = m_min; kc <= m_max; ++kc)
        if (keysym(uint8_t(kc), 0) == sym)
            out.push_back(uint8_t(kc));
    return out;
}

uint8_t KeyboardMapping::spareKeycode() const
{
    const auto spare = spareKeycodes();
    return spare.empty() ? 0 : spare.front();
}

std::vector<uint8_t> KeyboardMapping::spareKeycodes() const
{
    // From the top: the highest keycodes are the least likely to be on a
    // real keyboard.
    std::vector<uint8_t> out;
    for (int kc = m_max; kc >= m_min; --kc) {
        bool empty = !m_layout || !(*m_layout)[size_t(kc)];
        for (int level = 0; level < m_perKeycode && empty; ++level)
            empty = keysym(uint8_t(kc), level) == 0;
        if (empty)
            out.push_back(uint8_t(kc));
    }
    return out;
}

std::optional<uint16_t> KeyboardMapping::macKeyCode(uint8_t keycode) const
{
    const uint32_t sym = keysym(keycode, 0);
    if (!sym)
        return std::nullopt;
    return macKeyCodeForKeysym(sym);
}

} // namespace tovrik::platform::x11
