// The X-free parts of the x11 backend: display geometry conversion, key
// mapping, scroll notches, microphone format conversion and the choice of
// the desktop settings page a privacy step opens.

#include "platform/Types.h"
#include "platform/x11/X11Displays.h"
#include "platform/x11/X11Input.h"
#include "platform/x11/X11Keymap.h"
#include "platform/x11/X11Media.h"
#include "platform/x11/X11Permissions.h"
#include "platform/x11/XInputDevices.h"
#include "platform/x11/Xcb.h"

#include <QtEndian>
#include <cmath>
#include <gtest/gtest.h>

#define XK_MISCELLANY
#define XK_LATIN1
#define XK_XKB_KEYS
#include <X11/keysymdef.h>

using namespace tovrik::platform;
using namespace tovrik::platform::x11;

TEST(X11DisplayGeometry, BoundsAreRelativeToTheMainDisplayAndFramesFlipAgainstItsHeight)
{
    // Each case: the raw screens, then per display in list order its name,
    // bounds and AppKit frame (y' = H - y - h, H = the main display's height).
    const struct {
        std::vector<RawDisplay> screens;
        std::vector<std::tuple<const char*, QRectF, QRectF>> expected;
    } cases[] = {
        {{{"screen", QRect(0, 0, 1920, 1080)}}, {{"screen", QRectF(0, 0, 1920, 1080), QRectF(0, 0, 1920, 1080)}}},
        // A taller screen right of the main one, 100 pixels lower.
        {{{"HDMI-1", QRect(1200, 100, 720, 1080)}, {"DP-1", QRect(0, 0, 1200, 800), true}},
         {{"DP-1", QRectF(0, 0, 1200, 800), QRectF(0, 0, 1200, 800)},
          {"HDMI-1", QRectF(1200, 100, 720, 1080), QRectF(1200, -380, 720, 1080)}}},
        // The primary screen away from the root origin is the origin.
        {{{"LEFT", QRect(0, 0, 1000, 1000)}, {"MAIN", QRect(1000, 200, 1600, 900), true}},
         {{"MAIN", QRectF(0, 0, 1600, 900), QRectF(0, 0, 1600, 900)},
          {"LEFT", QRectF(-1000, -200, 1000, 1000), QRectF(-1000, 100, 1000, 1000)}}},
        // Without a primary: the screen at the root origin, else the first.
        {{{"B", QRect(500, 0, 500, 500)}, {"A", QRect(0, 0, 500, 500)}},
         {{"A", QRectF(0, 0, 500, 500), QRectF(0, 0, 500, 500)}, {"B", QRectF(500, 0, 500, 500), QRectF(500, 0, 500, 500)}}},
        {{{"B", QRect(500, 10, 500, 500)}, {"A", QRect(1000, 10, 500, 500)}},
         {{"B", QRectF(0, 0, 500, 500), QRectF(0, 0, 500, 500)}, {"A", QRectF(500, 0, 500, 500), QRectF(500, 0, 500, 500)}}},
        {{{"EMPTY", QRect()}}, {}},
    };
    for (const auto& c : cases) {
        const auto infos = makeDisplayInfos(QList<RawDisplay>(c.screens.begin(), c.screens.end()), std::nullopt, 1.0);
        ASSERT_EQ(size_t(infos.size()), c.expected.size());
        for (size_t i = 0; i < c.expected.size(); ++i) {
            const auto& [name, bounds, frame] = c.expected[i];
            const DisplayInfo& d = infos[int(i)];
            // No work area: the visible frame is the frame.
            EXPECT_EQ(std::tuple(d.name, d.isMain, d.bounds, d.frame, d.visibleFrame, d.displayID),
                      std::tuple(name, i == 0, bounds, frame, frame, stableDisplayID(name)));
        }
    }
}

TEST(X11DisplayGeometry, WorkAreaScaleAndIds)
{
    // A 32-pixel panel along the top at scale 2: 16 points off the top of
    // the visible frame, which in AppKit form is its height only.
    QList<QRect> rects;
    const auto infos =
        makeDisplayInfos({RawDisplay{"eDP-1", QRect(0, 0, 2880, 1800), true}}, QRect(0, 32, 2880, 1768), 2.0, &rects);
    ASSERT_EQ(infos.size(), 1);
    EXPECT_EQ(std::tuple(infos[0].bounds, infos[0].frame, infos[0].visibleFrame, infos[0].scale),
              std::tuple(QRectF(0, 0, 1440, 900), QRectF(0, 0, 1440, 900), QRectF(0, 0, 1440, 884), 2.0));
    EXPECT_EQ(rects, QList<QRect>{QRect(0, 0, 2880, 1800)});
    // A nonsensical scale is treated as 1.
    EXPECT_EQ(makeDisplayInfos({RawDisplay{"x", QRect(0, 0, 10, 10)}}, std::nullopt, std::nan(""))[0].bounds,
              QRectF(0, 0, 10, 10));
    // Ids: stable, never 0, distinct even for two screens of one name.
    EXPECT_EQ(stableDisplayID("DP-1"), stableDisplayID(QByteArray("DP-1")));
    EXPECT_NE(stableDisplayID("DP-1"), stableDisplayID("DP-2"));
    EXPECT_NE(stableDisplayID(""), 0u);
    const auto same = makeDisplayInfos(
        {RawDisplay{"same", QRect(0, 0, 10, 10)}, RawDisplay{"same", QRect(10, 0, 10, 10)}}, std::nullopt, 1);
    ASSERT_EQ(same.size(), 2);
    EXPECT_NE(same[0].displayID, same[1].displayID);
    EXPECT_NE(same[1].displayID, 0u);
}

TEST(X11Keymap, EveryMappedCodeRoundTripsAndModifiersMapAsDesigned)
{
    int mapped = 0;
    for (uint16_t code = 0; code < 128; ++code) {
        if (const uint32_t sym = keysymForMacKeyCode(code); sym && ++mapped) {
            EXPECT_EQ(macKeyCodeForKeysym(sym), std::optional<uint16_t>(code));
        }
    }
    EXPECT_GE(mapped, 100);
    const std::pair<uint16_t, uint32_t> keys[] = {
        {KeyCode::Control, XK_Control_L}, {KeyCode::Shift, XK_Shift_L}, {KeyCode::Option, XK_Alt_L},
        {KeyCode::Command, XK_Super_L},   {KeyCode::Return, XK_Return}, {KeyCode::Escape, XK_Escape},
        {KeyCode::Delete, XK_BackSpace},  {117, XK_Delete},             {KeyCode::T, XK_t},
        {96, XK_F5},                      {121, XK_Page_Down},          {KeyCode::Function, 0}};
    for (const auto& [code, sym] : keys)
        EXPECT_EQ(keysymForMacKeyCode(code), sym) << code;
    // Upper-case letters and common aliases.
    for (const auto& [sym, code] : {std::pair<uint32_t, uint16_t>{XK_A, KeyCode::A}, {XK_Meta_L, KeyCode::Command},
                                    {XK_ISO_Level3_Shift, KeyCode::RightOption}})
        EXPECT_EQ(macKeyCodeForKeysym(sym), std::optional<uint16_t>(code));
    EXPECT_FALSE(macKeyCodeForKeysym(0x1000000 + 0x20AC).has_value());
    const std::pair<uint16_t, uint32_t> flags[] = {
        {KeyCode::Control, ModControl},     {KeyCode::RightControl, ModControl}, {KeyCode::RightShift, ModShift},
        {KeyCode::RightOption, ModOption},  {KeyCode::RightCommand, ModCommand}, {KeyCode::CapsLock, ModCapsLock},
        {KeyCode::A, 0},                    {KeyCode::Escape, 0}};
    for (const auto& [code, flag] : flags)
        EXPECT_EQ(modifierFlagForMacKeyCode(code), flag) << code;
}

TEST(X11Keymap, CodePointsBecomeKeysymsAndScrollDeltasNotches)
{
    const std::pair<char32_t, uint32_t> codePoints[] = {
        {U'a', XK_a},        {U'~', XK_asciitilde}, {U'é', XK_eacute}, {U'€', 0x10020AC}, {U'😀', 0x101F600},
        {U'\n', XK_Return}, {U'\t', XK_Tab},       {U'\x07', 0},      {U'\x85', 0},      {0xD800, 0},
        {0x110000, 0}};
    for (const auto& [cp, sym] : codePoints)
        EXPECT_EQ(keysymForCodePoint(cp), sym) << uint32_t(cp);
    // Lines are notches; the 80-pixel shares of a precise scroll are one
    // notch each, a small share still moves; at most 200.
    const std::tuple<int, bool, int> notches[] = {{0, false, 0},  {0, true, 0},     {3, false, 3},
                                                  {-3, false, 3}, {80, true, 1},    {56, true, 1},
                                                  {-5, true, 1},  {240, true, 3},   {100000, true, 200},
                                                  {-100000, false, 200}};
    for (const auto& [delta, pixels, count] : notches)
        EXPECT_EQ(scrollNotches(delta, pixels), count) << delta;
}

static std::vector<int16_t> samples(const QByteArray& pcm)
{
    std::vector<int16_t> out(size_t(pcm.size() / 2));
    for (size_t i = 0; i < out.size(); ++i)
        out[i] = qFromLittleEndian<int16_t>(pcm.constData() + i * 2);
    return out;
}

TEST(X11Microphone, ConvertsStereoFloatToMonoInt16AtTheTargetRate)
{
    QAudioFormat from;
    from.setSampleRate(48000);
    from.setChannelCount(2);
    from.setSampleFormat(QAudioFormat::Float);
    PcmConverter converter(from, 16000);
    // Channels are averaged: (1 + 0)/2 = 0.5; a third of the frames remain.
    QByteArray stereo;
    for (int i = 0; i < 4800; ++i)
        for (float v : {1.0f, 0.0f})
            stereo.append(reinterpret_cast<const char*>(&v), 4);
    const auto out = samples(converter.convert(stereo));
    EXPECT_NEAR(double(out.size()), 1600.0, 1.0);
    EXPECT_TRUE(std::all_of(out.begin(), out.end(), [](int16_t s) { return std::abs(s - 16384) <= 1; }));
    // Split into odd chunks, a ramp converts to the same output as in one go.
    QAudioFormat mono16 = from;
    mono16.setChannelCount(1);
    mono16.setSampleFormat(QAudioFormat::Int16);
    mono16.setSampleRate(44100);
    std::vector<int16_t> rampSamples(4410);
    for (size_t i = 0; i < rampSamples.size(); ++i)
        rampSamples[i] = int16_t(int(i) * 7 - 15000);
    const QByteArray ramp(reinterpret_cast<const char*>(rampSamples.data()), qsizetype(rampSamples.size() * 2));
    PcmConverter whole(mono16, 16000), chunked(mono16, 16000);
    const auto expected = samples(whole.convert(ramp));
    QByteArray pieces;
    for (int at = 0; at < ramp.size(); at += 2 * 333)
        pieces += chunked.convert(ramp.mid(at, 2 * 333));
    const auto got = samples(pieces);
    ASSERT_EQ(got.size(), expected.size());
    EXPECT_TRUE(std::equal(got.begin(), got.end(), expected.begin(), [](int16_t a, int16_t b) { return std::abs(a - b) <= 1; }));
    EXPECT_NEAR(double(got.size()), 1600.0, 1.0);
    // Linear interpolation of a ramp stays on the ramp.
    EXPECT_NEAR(got[100], int(std::lround((100 * 44100.0 / 16000.0) * 7 - 15000)), 2);
}

TEST(X11SyntheticRule, OursAreTheXTestSlavesOfOurMasters)
{
    const std::vector<XIDevice> devices = {
        {2, 1, 3, "Virtual core pointer"},   {3, 2, 2, "Virtual core keyboard"},
        {4, 3, 2, "Virtual core XTEST pointer"}, {5, 4, 3, "Virtual core XTEST keyboard"},
        {6, 4, 3, "AT Translated Set 2 keyboard"}, {7, 1, 8, "seat2 pointer"},
        {8, 2, 7, "seat2 keyboard"}, {9, 3, 7, "seat2 XTEST pointer"},
        {10, 4, 8, "seat2 XTEST keyboard"}, {11, 5, 0, "floating XTEST keyboard"}};
    EXPECT_EQ(xtestSlavesOf(devices, {2, 3}), (std::vector<uint16_t>{4, 5}));
    EXPECT_EQ(xtestSlavesOf(devices, {7, 8}), (std::vector<uint16_t>{9, 10}));
    // Unknown masters: every XTEST slave is taken for ours (never a person).
    EXPECT_EQ(xtestSlavesOf(devices, {0, 0}), (std::vector<uint16_t>{4, 5, 9, 10}));
}

TEST(X11Permissions, EachDesktopOpensItsOwnSoundInputSettingsAndNothingElseHasAPage)
{
    struct Row {
        const char* desktop;
        QStringList installed;
        std::optional<SettingsCommand> command;
    };
    const QStringList everything = {"gnome-control-center", "budgie-control-center", "systemsettings",
                                    "systemsettings5", "cinnamon-settings", "mate-volume-control",
                                    "pavucontrol", "pavucontrol-qt"};
    const Row rows[] = {
        {"ubuntu:GNOME", everything, SettingsCommand{"gnome-control-center", {"sound"}}},
        {"KDE", everything, SettingsCommand{"systemsettings", {"kcm_pulseaudio"}}},
        {"KDE", {"systemsettings5", "pavucontrol"}, SettingsCommand{"systemsettings5", {"kcm_pulseaudio"}}},
        {"X-Cinnamon", everything, SettingsCommand{"cinnamon-settings", {"sound"}}},
        {"MATE", everything, SettingsCommand{"mate-volume-control", {"--page=input"}}},
        {"XFCE", everything, SettingsCommand{"pavucontrol", {"--tab=4"}}},
        // The desktop's own tool missing: the volume control stands in.
        {"GNOME", {"pavucontrol-qt"}, SettingsCommand{"pavucontrol-qt", {"--tab=4"}}},
        {"", {"pavucontrol"}, SettingsCommand{"pavucontrol", {"--tab=4"}}},
        {"GNOME", {}, std::nullopt},
    };
    for (const Row& r : rows) {
        const auto installed = [&](const QString& program) { return r.installed.contains(program); };
        EXPECT_EQ(privacySettingsCommand(PrivacyPane::Microphone, r.desktop, installed), r.command) << r.desktop;
        // X11 gates neither capture nor input: no desktop has such a page.
        EXPECT_EQ(privacySettingsCommand(PrivacyPane::ScreenRecording, r.desktop, installed), std::nullopt);
        EXPECT_EQ(privacySettingsCommand(PrivacyPane::Accessibility, r.desktop, installed), std::nullopt);
    }
}
