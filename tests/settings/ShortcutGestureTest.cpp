#include "platform/Types.h"
#include "settings/ShortcutGesture.h"

#include <gtest/gtest.h>

using namespace tovrik;
namespace KeyCode = tovrik::platform::KeyCode;

namespace {
const ShortcutModifiers kControl = ShortcutModifiers::control;
const ShortcutModifiers kShift = ShortcutModifiers::shift;
const ShortcutModifiers kOption = ShortcutModifiers::option;
const ShortcutModifiers kCommand = ShortcutModifiers::command;
} // namespace

TEST(ShortcutModifiers, BitValues)
{
    EXPECT_EQ(kControl.rawValue, 1u);
    EXPECT_EQ(kShift.rawValue, 2u);
    EXPECT_EQ(kOption.rawValue, 4u);
    EXPECT_EQ(kCommand.rawValue, 8u);
    // The same bits as the platform's modifier flags.
    EXPECT_EQ(kOption.rawValue, uint32_t(platform::ModOption));
    EXPECT_EQ(ShortcutModifiers(0xFFu).rawValue, 15u);
    EXPECT_TRUE((kControl | kShift).contains(kShift));
    EXPECT_FALSE((kControl | kShift).contains(kShift | kOption));
    EXPECT_FALSE(kControl.contains(ShortcutModifiers()));
}

TEST(ShortcutGesture, DisplayParts)
{
    EXPECT_EQ((ShortcutGesture{kControl | kOption, 0}).displayParts(), QStringList({"Ctrl", "Alt"}));
    EXPECT_EQ((ShortcutGesture{kControl | kShift | kOption, 0}).displayParts(),
              QStringList({"Ctrl", "Shift", "Alt"}));
    EXPECT_EQ((ShortcutGesture{kCommand, 40}).displayParts(), QStringList({"Super", "K"}));
    // Order is fixed whatever order the bits were added in.
    EXPECT_EQ((ShortcutGesture{kCommand | kOption | kShift | kControl, KeyCode::Space}).displayParts(),
              QStringList({"Ctrl", "Shift", "Alt", "Super", "Space"}));
    EXPECT_EQ((ShortcutGesture{kCommand | kShift, KeyCode::Return}).displayParts(), QStringList({"Shift", "Super", "Return"}));
    EXPECT_EQ((ShortcutGesture{kControl, 96}).displayParts(), QStringList({"Ctrl", "F5"}));
    EXPECT_EQ((ShortcutGesture{kOption, 27}).displayParts(), QStringList({"Alt", "-"}));
    EXPECT_EQ((ShortcutGesture{kOption, KeyCode::LeftArrow}).displayParts(), QStringList({"Alt", "Left"}));
    // The stored text form keeps the option name and shows as Alt.
    EXPECT_EQ(ShortcutGesture::parse(QStringLiteral("control+option"))->displayParts(), QStringList({"Ctrl", "Alt"}));
    EXPECT_EQ(ShortcutGesture::parse(QStringLiteral("option+command"))->text(), QStringLiteral("option+command"));
    EXPECT_EQ(ShortcutGesture::parse(QStringLiteral("option+command"))->displayParts(), QStringList({"Alt", "Super"}));
}

TEST(ShortcutGesture, Defaults)
{
    const auto voice = ShortcutGesture::defaultVoiceShortcut();
    const auto panel = ShortcutGesture::defaultPanelShortcut();
    EXPECT_EQ(voice.modifiers.rawValue, 1u | 4u);
    EXPECT_EQ(voice.keyCode, 0);
    EXPECT_EQ(panel.modifiers.rawValue, 1u | 2u | 4u);
    EXPECT_EQ(panel.keyCode, 0);
    EXPECT_EQ(voice.text(), "control+option");
    EXPECT_EQ(panel.text(), "control+shift+option");
    EXPECT_TRUE(voice.isUsable());
    EXPECT_TRUE(panel.isUsable());
}

TEST(ShortcutGesture, TextFormIsCanonical)
{
    EXPECT_EQ((ShortcutGesture{kCommand | kShift, 40}).text(), "shift+command+k");
    EXPECT_EQ((ShortcutGesture{kControl | kOption, 49}).text(), "control+option+space");
    EXPECT_EQ((ShortcutGesture{kControl, 111}).text(), "control+f12");
    EXPECT_EQ((ShortcutGesture{kCommand, 44}).text(), "command+slash");
}

TEST(ShortcutGesture, ParseIgnoresCaseBlanksAndOrder)
{
    const auto parsed = ShortcutGesture::parse(" Command + SHIFT+k ");
    ASSERT_TRUE(parsed.has_value());
    EXPECT_EQ(parsed->modifiers, kCommand | kShift);
    EXPECT_EQ(parsed->keyCode, 40);
    EXPECT_EQ(parsed->text(), "shift+command+k");

    const auto reordered = ShortcutGesture::parse("option+control");
    ASSERT_TRUE(reordered.has_value());
    EXPECT_EQ(*reordered, ShortcutGesture::defaultVoiceShortcut());
    EXPECT_EQ(reordered->text(), "control+option");
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
            const auto back = ShortcutGesture::parse(g.text());
            ASSERT_TRUE(back.has_value()) << g.text().toStdString();
            EXPECT_EQ(*back, g) << g.text().toStdString();
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
                             "control option"}) {
        EXPECT_FALSE(ShortcutGesture::parse(QString::fromLatin1(text)).has_value()) << text;
    }
}

TEST(ShortcutGesture, UsableRules)
{
    // A lone modifier would fire on every use of that key.
    EXPECT_FALSE((ShortcutGesture{kControl, 0}).isUsable());
    EXPECT_FALSE((ShortcutGesture{ShortcutModifiers(), 0}).isUsable());
    EXPECT_FALSE((ShortcutGesture{ShortcutModifiers(), 40}).isUsable());
    EXPECT_TRUE((ShortcutGesture{kCommand, 40}).isUsable());
    EXPECT_TRUE((ShortcutGesture{kShift | kCommand, 0}).isUsable());
    // A modifier key as the key, or an unknown code, is no chord.
    EXPECT_FALSE((ShortcutGesture{kControl, KeyCode::Command}).isUsable());
    EXPECT_FALSE((ShortcutGesture{kControl, KeyCode::CapsLock}).isUsable());
    EXPECT_FALSE((ShortcutGesture{kControl, 52}).isUsable());
    // A parsed key that is usable.
    EXPECT_TRUE(ShortcutGesture::parse("control+escape")->isUsable());
    EXPECT_FALSE(ShortcutGesture::parse("shift")->isUsable());
}

TEST(ShortcutGesture, ParseUsableFallsBack)
{
    const auto fallback = ShortcutGesture::defaultPanelShortcut();
    EXPECT_EQ(ShortcutGesture::parseUsable("command+k", fallback), (ShortcutGesture{kCommand, 40}));
    EXPECT_EQ(ShortcutGesture::parseUsable("shift", fallback), fallback);
    EXPECT_EQ(ShortcutGesture::parseUsable("garbage", fallback), fallback);
    EXPECT_EQ(ShortcutGesture::parseUsable("", fallback), fallback);
}

TEST(KeyLabels, MacVirtualKeyCodes)
{
    EXPECT_EQ(keys::keyLabel(KeyCode::A), "A");
    EXPECT_EQ(keys::keyLabel(KeyCode::S), "S");
    EXPECT_EQ(keys::keyLabel(KeyCode::Z), "Z");
    EXPECT_EQ(keys::keyLabel(29), "0");
    EXPECT_EQ(keys::keyLabel(23), "5");
    EXPECT_EQ(keys::keyLabel(122), "F1");
    EXPECT_EQ(keys::keyLabel(111), "F12");
    EXPECT_EQ(keys::keyLabel(KeyCode::Return), "Return");
    EXPECT_EQ(keys::keyLabel(KeyCode::Tab), "Tab");
    EXPECT_EQ(keys::keyLabel(KeyCode::Escape), "Escape");
    EXPECT_EQ(keys::keyLabel(KeyCode::UpArrow), "Up");
    EXPECT_EQ(keys::keyLabel(KeyCode::DownArrow), "Down");
    EXPECT_EQ(keys::keyLabel(42), "\\");
    EXPECT_EQ(keys::keyLabel(52), "");
    EXPECT_EQ(keys::keyCodeForName("F5"), std::optional<uint16_t>(96));
    EXPECT_EQ(keys::keyCodeForName("PageDown"), std::optional<uint16_t>(121));
    EXPECT_FALSE(keys::keyCodeForName("control").has_value());
    EXPECT_TRUE(keys::isModifierKeyCode(KeyCode::Control));
    EXPECT_TRUE(keys::isModifierKeyCode(KeyCode::RightCommand));
    EXPECT_FALSE(keys::isModifierKeyCode(KeyCode::Space));
}
