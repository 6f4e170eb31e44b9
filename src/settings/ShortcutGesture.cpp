#include "settings/ShortcutGesture.h"

#include <array>
#include <bit>

namespace tovrik {

namespace {

struct KeyEntry {
    uint16_t code;
    const char* name;  // text form
    const char* label; // display label (already capitalised)
};

// The macOS virtual key codes of the ANSI layout.
constexpr KeyEntry keyTable[] = {
    {0, "a", "A"}, {11, "b", "B"}, {8, "c", "C"}, {2, "d", "D"}, {14, "e", "E"}, {3, "f", "F"},
    {5, "g", "G"}, {4, "h", "H"}, {34, "i", "I"}, {38, "j", "J"}, {40, "k", "K"}, {37, "l", "L"},
    {46, "m", "M"}, {45, "n", "N"}, {31, "o", "O"}, {35, "p", "P"}, {12, "q", "Q"}, {15, "r", "R"},
    {1, "s", "S"}, {17, "t", "T"}, {32, "u", "U"}, {9, "v", "V"}, {13, "w", "W"}, {7, "x", "X"},
    {16, "y", "Y"}, {6, "z", "Z"},
    {29, "0", "0"}, {18, "1", "1"}, {19, "2", "2"}, {20, "3", "3"}, {21, "4", "4"},
    {23, "5", "5"}, {22, "6", "6"}, {26, "7", "7"}, {28, "8", "8"}, {25, "9", "9"},
    {122, "f1", "F1"}, {120, "f2", "F2"}, {99, "f3", "F3"}, {118, "f4", "F4"}, {96, "f5", "F5"},
    {97, "f6", "F6"}, {98, "f7", "F7"}, {100, "f8", "F8"}, {101, "f9", "F9"}, {109, "f10", "F10"},
    {103, "f11", "F11"}, {111, "f12", "F12"}, {105, "f13", "F13"}, {107, "f14", "F14"},
    {113, "f15", "F15"}, {106, "f16", "F16"}, {64, "f17", "F17"}, {79, "f18", "F18"},
    {80, "f19", "F19"}, {90, "f20", "F20"},
    {49, "space", "Space"}, {36, "return", "Return"}, {48, "tab", "Tab"}, {53, "escape", "Escape"},
    {51, "delete", "Delete"}, {117, "forwarddelete", "Forward Delete"}, {115, "home", "Home"},
    {119, "end", "End"}, {116, "pageup", "Page Up"}, {121, "pagedown", "Page Down"},
    {114, "help", "Help"},
    {123, "left", "Left"}, {124, "right", "Right"}, {125, "down", "Down"}, {126, "up", "Up"},
    {27, "minus", "-"}, {24, "equal", "="}, {33, "leftbracket", "["}, {30, "rightbracket", "]"},
    {41, "semicolon", ";"}, {39, "quote", "'"}, {43, "comma", ","}, {47, "period", "."},
    {44, "slash", "/"}, {42, "backslash", "\\"}, {50, "grave", "`"},
};

const KeyEntry* entryForCode(uint16_t code)
{
    for (const auto& e : keyTable)
        if (e.code == code)
            return &e;
    return nullptr;
}

struct ModifierName {
    ShortcutModifiers bit;
    const char* name;
    const char* display;
};

// Canonical order of the text form and of displayParts. The shown names are
// the ones printed on a Linux keyboard (the option modifier is Alt, the
// command modifier Super); the stored names stay as they are.
constexpr std::array<ModifierName, 4> modifierNames = {{
    {ShortcutModifiers::control, "control", "Ctrl"},
    {ShortcutModifiers::shift, "shift", "Shift"},
    {ShortcutModifiers::option, "option", "Alt"},
    {ShortcutModifiers::command, "command", "Super"},
}};

} // namespace

int ShortcutModifiers::count() const
{
    return std::popcount(rawValue);
}

ShortcutGesture ShortcutGesture::defaultVoiceShortcut()
{
    return {ShortcutModifiers::control | ShortcutModifiers::option, 0};
}

ShortcutGesture ShortcutGesture::defaultPanelShortcut()
{
    return {ShortcutModifiers::control | ShortcutModifiers::shift | ShortcutModifiers::option, 0};
}

bool ShortcutGesture::isUsable() const
{
    if (modifiers.isEmpty())
        return false;
    if (keyCode == 0)
        return modifiers.count() >= 2;
    return !keys::isModifierKeyCode(keyCode) && entryForCode(keyCode) != nullptr;
}

QStringList ShortcutGesture::displayParts() const
{
    QStringList parts;
    for (const auto& m : modifierNames)
        if (modifiers.contains(m.bit))
            parts << QString::fromLatin1(m.display);
    if (keyCode != 0) {
        QString label = keys::keyLabel(keyCode);
        if (label.isEmpty())
            label = QStringLiteral("Key %1").arg(keyCode);
        parts << label;
    }
    return parts;
}

QString ShortcutGesture::text() const
{
    QStringList parts;
    for (const auto& m : modifierNames)
        if (modifiers.contains(m.bit))
            parts << QString::fromLatin1(m.name);
    if (keyCode != 0) {
        QString name = keys::keyName(keyCode);
        if (name.isEmpty())
            name = QStringLiteral("key%1").arg(keyCode);
        parts << name;
    }
    return parts.join(QLatin1Char('+'));
}

std::optional<ShortcutGesture> ShortcutGesture::parse(const QString& text)
{
    const QStringList parts = text.split(QLatin1Char('+'));
    ShortcutGesture gesture;
    bool haveKey = false;
    for (const QString& raw : parts) {
        const QString part = raw.trimmed().toLower();
        if (part.isEmpty())
            return std::nullopt;
        bool isModifier = false;
        for (const auto& m : modifierNames) {
            if (part == QLatin1String(m.name)) {
                if (gesture.modifiers.contains(m.bit))
                    return std::nullopt;
                gesture.modifiers.insert(m.bit);
                isModifier = true;
                break;
            }
        }
        if (isModifier)
            continue;
        const auto code = keys::keyCodeForName(part);
        if (!code || haveKey)
            return std::nullopt;
        // Code 0 (A) would read back as "no key".
        if (*code == 0)
            return std::nullopt;
        gesture.keyCode = *code;
        haveKey = true;
    }
    return gesture;
}

ShortcutGesture ShortcutGesture::parseUsable(const QString& text, const ShortcutGesture& fallback)
{
    const auto parsed = parse(text);
    if (parsed && parsed->isUsable())
        return *parsed;
    return fallback;
}

namespace keys {

bool isModifierKeyCode(uint16_t keyCode)
{
    return (keyCode >= 54 && keyCode <= 63);
}

QString keyName(uint16_t keyCode)
{
    const auto* e = entryForCode(keyCode);
    return e ? QString::fromLatin1(e->name) : QString();
}

QString keyLabel(uint16_t keyCode)
{
    const auto* e = entryForCode(keyCode);
    return e ? QString::fromLatin1(e->label) : QString();
}

std::optional<uint16_t> keyCodeForName(const QString& name)
{
    const QString lower = name.trimmed().toLower();
    for (const auto& e : keyTable)
        if (lower == QLatin1String(e.name))
            return e.code;
    return std::nullopt;
}

} // namespace keys

} // namespace tovrik
