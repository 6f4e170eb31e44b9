#pragma once

// Keyboard shortcuts: a set of modifiers plus one key.
//
// Key codes are the macOS virtual key codes used everywhere in the program
// (see platform/Types.h); 0 in a ShortcutGesture means "no key": the chord is
// modifier-only. (Code 0 is also the A key; a shortcut can therefore not be
// bound to a bare A, which no chord needs.)
//
// Text form (the form stored in the settings): lowercase names joined by "+",
// modifiers first in the order control, shift, option, command, then the key
// name, e.g. "control+option", "control+shift+option", "shift+command+k",
// "control+f5", "option+space". Parsing ignores letter case and blanks around
// each name and accepts the modifiers in any order, but refuses unknown names,
// empty parts, a repeated name, more than one key, and a key that is itself a
// modifier key. Printing always gives the canonical form above.
//
// Key names: letters "a".."z", digits "0".."9", "f1".."f20", "space",
// "return", "tab", "escape", "delete", "forwarddelete", "home", "end",
// "pageup", "pagedown", "help", "left", "right", "up", "down", and for the
// punctuation keys "minus", "equal", "leftbracket", "rightbracket",
// "semicolon", "quote", "comma", "period", "slash", "backslash", "grave".

#include <QString>
#include <QStringList>
#include <cstdint>
#include <optional>

namespace tovrik {

// The modifier set of a shortcut: control 1, shift 2, option 4, command 8.
struct ShortcutModifiers {
    uint32_t rawValue = 0;

    static const ShortcutModifiers control;
    static const ShortcutModifiers shift;
    static const ShortcutModifiers option;
    static const ShortcutModifiers command;

    constexpr ShortcutModifiers() = default;
    // Bits above command are dropped.
    constexpr explicit ShortcutModifiers(uint32_t raw) : rawValue(raw & 15u) {}

    constexpr bool contains(ShortcutModifiers other) const
    {
        return other.rawValue != 0 && (rawValue & other.rawValue) == other.rawValue;
    }
    constexpr bool isEmpty() const { return rawValue == 0; }
    // Number of modifiers in the set.
    int count() const;
    void insert(ShortcutModifiers other) { rawValue |= other.rawValue; }
    void remove(ShortcutModifiers other) { rawValue &= ~other.rawValue; }

    constexpr ShortcutModifiers operator|(ShortcutModifiers other) const
    {
        return ShortcutModifiers(rawValue | other.rawValue);
    }
    constexpr bool operator==(const ShortcutModifiers&) const = default;
};

inline constexpr ShortcutModifiers ShortcutModifiers::control{1};
inline constexpr ShortcutModifiers ShortcutModifiers::shift{2};
inline constexpr ShortcutModifiers ShortcutModifiers::option{4};
inline constexpr ShortcutModifiers ShortcutModifiers::command{8};

struct ShortcutGesture {
    ShortcutModifiers modifiers;
    uint16_t keyCode = 0; // 0 = modifier-only

    // Voice (push-to-talk): control+option. Panel: control+shift+option.
    static ShortcutGesture defaultVoiceShortcut();
    static ShortcutGesture defaultPanelShortcut();

    bool isModifierOnly() const { return keyCode == 0; }

    // Usable as a global chord: at least one modifier; a modifier-only chord
    // needs at least two (a lone modifier would fire on every ordinary use of
    // that key); a key must be a known, non-modifier key.
    bool isUsable() const;

    // "Ctrl", "Shift", "Alt", "Super" for the bits that are set (control,
    // shift, option, command), in that order, then the capitalised key label when keyCode is not 0.
    QStringList displayParts() const;

    // The canonical text form; nullopt-free: an unknown key code prints as
    // "key<code>" (which parse() refuses), so such a shortcut never survives
    // a round trip.
    QString text() const;

    // Parses the text form; nullopt for anything not described above.
    static std::optional<ShortcutGesture> parse(const QString& text);

    // The stored text when it parses to a usable shortcut, else `fallback`.
    static ShortcutGesture parseUsable(const QString& text, const ShortcutGesture& fallback);

    bool operator==(const ShortcutGesture&) const = default;
};

// Key names and labels of the macOS virtual key codes.
namespace keys {
// True for the codes of the modifier keys themselves (command, shift, caps
// lock, option, control and their right-hand twins, function).
bool isModifierKeyCode(uint16_t keyCode);
// The lowercase name of the text form ("k", "5", "f5", "space", "minus"),
// empty for an unknown code.
QString keyName(uint16_t keyCode);
// The display label, capitalised ("K", "5", "F5", "Space", "Left", "-"),
// empty for an unknown code.
QString keyLabel(uint16_t keyCode);
// The code of a text-form name (case-insensitive), nullopt when unknown.
std::optional<uint16_t> keyCodeForName(const QString& name);
} // namespace keys

} // namespace tovrik
