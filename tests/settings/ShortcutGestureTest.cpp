#include "platform/Types.h"
#include "settings/ShortcutGesture.h"

#include <array>
#include <gtest/gtest.h>

using namespace tovrik;
namespace KeyCode = tovrik::platform::KeyCode;

namespace {
const ShortcutModifiers kControl = ShortcutModifiers::control, kShift = ShortcutModifiers::shift,
                        kOption = ShortcutModifiers::option, kCommand = ShortcutModifiers::command;
} // namespace

TEST(ShortcutModifiers, BitValues)
{
    EXPECT_EQ((std::array{kControl.rawValue, kShift.rawValue, kOption.rawValue, kCommand.rawValue}),
              (std::array{1u, 2u, 4u, 8u}));
    // The same bits as the platform's modifier flags.
    EXPECT_EQ(kOption.rawValue, uint32_t(platform::ModOption));
    EXPECT_EQ(ShortcutModifiers(0xFFu).rawValue, 15u);
    EXPECT_TRUE((kControl | kShift).contains(kShift));
    EXPECT_FALSE((kControl | kShift).contains(kShift | kOption));
    EXPECT_FALSE(kControl.contains(ShortcutModifiers()));
}

TEST(ShortcutGesture, DisplayPartsAndTextForm)
{
    // Modifiers in a fixed order whatever order the bits were added in; the
    // stored text keeps the option and command names.
    const std::tuple<ShortcutGesture, QStringList, const char*> cases[] = {
        {{kControl | kOption, 0}, {"Ctrl", "Alt"}, "control+option"},
        {{kControl | kShift | kOption, 0}, {"Ctrl", "Shift", "Alt"}, "control+shift+option"},
        {{kCommand, 40}, {"Super", "K"}, "command+k"},
        {{kCommand | kOption | kShift | kControl, KeyCode::Space}, {"Ctrl", "Shift", "Alt", "Super", "Space"},
         "control+shift+option+command+space"},
        {{kCommand | kShift, KeyCode::Return}, {"Shift", "Super", "Return"}, "shift+command+return"},
        {{kCommand | kShift, 40}, {"Shift", "Super", "K"}, "shift+command+k"},
        {{kControl, 96}, {"Ctrl", "F5"}, "control+f5"},
        {{kControl, 111}, {"Ctrl", "F12"}, "control+f12"},
        {{kOption, 27}, {"Alt", "-"}, "option+minus"},
        {{kOption, KeyCode::LeftArrow}, {"Alt", "Left"}, "option+left"},
        {{kCommand, 44}, {"Super", "/"}, "command+slash"},
        {{kOption | kCommand, 0}, {"Alt", "Super"}, "option+command"}, // stored as option, shown as Alt
    };
    for (const auto& [gesture, parts, text] : cases) {
        EXPECT_EQ(gesture.displayParts(), parts) << text;
        EXPECT_EQ(gesture.text(), QString::fromLatin1(text));
    }
    const auto voice = ShortcutGesture::defaultVoiceShortcut();
    const auto panel = ShortcutGesture::defaultPanelShortcut();
    EXPECT_EQ(voice, (ShortcutGesture{kControl | kOption, 0}));
    EXPECT_EQ(panel, (ShortcutGesture{kControl | kShift | kOption, 0}));
    EXPECT_TRUE(voice.isUsable() && panel.isUsable());
}

TEST(ShortcutGesture, EveryKeyAndModifierSetRoundTrips)
{
    int keys = 0;
    for (uint16_t code = 1; code < 200; ++code) {
        if (keys::keyName(code).isEmpty())
            continue;
        ++keys;
        for (uint32_t mods = 1; mods < 16; ++mods) {
            const ShortcutGesture g{ShortcutModifiers(mods), code};
            EXPECT_EQ(ShortcutGesture::parse(g.text()), g) << g.text().toStdString();
            // A printed form parses back to itself in upper case too.
            EXPECT_EQ(ShortcutGesture::parse(g.text().toUpper()), g);
        }
    }
    // Letters except A (code 0), digits, F1-F20, named and punctuation keys.
    EXPECT_EQ(keys, 25 + 10 + 20 + 15 + 11);
    for (uint32_t mods = 1; mods < 16; ++mods) {
        const ShortcutGesture g{ShortcutModifiers(mods), 0};
        EXPECT_EQ(ShortcutGesture::parse(g.text()), g);
    }
}

TEST(ShortcutGesture, RefusesUnknownAndMalformedText)
{
    for (const char* text : {"", "+", "control+", "+option", "control++option", "ctrl+option", "control+alt",
                             "control+option+hyper", "command+kk", "command+k+j", "control+control",
                             "command+shift+shift", "control+option+a", "command+key40", "control;option",
                             "control option"})
        EXPECT_FALSE(ShortcutGesture::parse(QString::fromLatin1(text)).has_value()) << text;
}

TEST(ShortcutGesture, UsableRules)
{
    // A lone modifier would fire on every use of that key; a modifier key as
    // the key, or an unknown code, is no chord.
    const std::pair<ShortcutGesture, bool> cases[] = {
        {{kControl, 0}, false},         {{ShortcutModifiers(), 0}, false},     {{ShortcutModifiers(), 40}, false},
        {{kCommand, 40}, true},         {{kShift | kCommand, 0}, true},        {{kControl, KeyCode::Command}, false},
        {{kControl, KeyCode::CapsLock}, false}, {{kControl, 52}, false}};
    for (const auto& [gesture, usable] : cases)
        EXPECT_EQ(gesture.isUsable(), usable) << gesture.text().toStdString();
    // A parsed key that is usable.
    EXPECT_TRUE(ShortcutGesture::parse("control+escape")->isUsable());
    EXPECT_FALSE(ShortcutGesture::parse("shift")->isUsable());
}

TEST(ShortcutGesture, ParseIgnoresCaseBlanksAndOrderAndFallsBack)
{
    EXPECT_EQ(ShortcutGesture::parse(" Command + SHIFT+k "), (ShortcutGesture{kCommand | kShift, 40}));
    EXPECT_EQ(ShortcutGesture::parse("option+control"), ShortcutGesture::defaultVoiceShortcut());
    const auto fallback = ShortcutGesture::defaultPanelShortcut();
    EXPECT_EQ(ShortcutGesture::parseUsable("command+k", fallback), (ShortcutGesture{kCommand, 40}));
    for (const char* text : {"shift", "garbage", ""})
        EXPECT_EQ(ShortcutGesture::parseUsable(QString::fromLatin1(text), fallback), fallback) << text;
}

TEST(KeyLabels, MacVirtualKeyCodes)
{
    const std::pair<uint16_t, const char*> labels[] = {
        {KeyCode::A, "A"}, {KeyCode::S, "S"}, {KeyCode::Z, "Z"}, {29, "0"}, {23, "5"}, {122, "F1"}, {111, "F12"},
        {KeyCode::Return, "Return"}, {KeyCode::Tab, "Tab"}, {KeyCode::Escape, "Escape"}, {KeyCode::UpArrow, "Up"},
        {KeyCode::DownArrow, "Down"}, {42, "\\"}, {52, ""}};
    for (const auto& [code, label] : labels)
        EXPECT_EQ(keys::keyLabel(code), QString::fromLatin1(label)) << code;
    EXPECT_EQ(keys::keyCodeForName("F5"), 96);
    EXPECT_EQ(keys::keyCodeForName("PageDown"), 121);
    EXPECT_FALSE(keys::keyCodeForName("control").has_value());
    EXPECT_TRUE(keys::isModifierKeyCode(KeyCode::Control) && keys::isModifierKeyCode(KeyCode::RightCommand));
    EXPECT_FALSE(keys::isModifierKeyCode(KeyCode::Space));
}
