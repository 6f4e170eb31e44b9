// The X-free parts of the x11 backend: display geometry conversion, key
// mapping, scroll notches, microphone format conversion and the choice of
// the desktop settings page a privacy step opens.

#include "platform/Types.h"
#include "platform/sim/SimPlatform.h"
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

namespace {
RawDisplay raw(const char* name, QRect px, bool primary = false)
{
    RawDisplay d;
    d.name = name;
    d.pixels = px;
    d.primary = primary;
    return d;
}
} // namespace

TEST(X11DisplayGeometry, SingleScreenFramesEqualBoundsFlipped)
{
    const auto infos = makeDisplayInfos({raw("screen", QRect(0, 0, 1920, 1080))}, std::nullopt, 1.0);
    ASSERT_EQ(infos.size(), 1);
    EXPECT_TRUE(infos[0].isMain);
    EXPECT_EQ(infos[0].bounds, QRectF(0, 0, 1920, 1080));
    EXPECT_EQ(infos[0].frame, QRectF(0, 0, 1920, 1080));
    EXPECT_EQ(infos[0].visibleFrame, infos[0].frame);
    EXPECT_EQ(infos[0].displayID, stableDisplayID("screen"));
    EXPECT_EQ(infos[0].name, "screen");
}

TEST(X11DisplayGeometry, SecondScreenFramesAreRelativeToTheMainBottom)
{
    // Main 1200x800 at the root origin, a taller screen to its right whose
    // top is 100 pixels lower: its AppKit frame starts 800 - 100 - 1080
    // below the main screen's bottom.
    const auto infos = makeDisplayInfos(
        {raw("HDMI-1", QRect(1200, 100, 720, 1080)), raw("DP-1", QRect(0, 0, 1200, 800), true)}, std::nullopt, 1.0);
    ASSERT_EQ(infos.size(), 2);
    EXPECT_EQ(infos[0].name, "DP-1");
    EXPECT_TRUE(infos[0].isMain);
    EXPECT_FALSE(infos[1].isMain);
    EXPECT_EQ(infos[1].bounds, QRectF(1200, 100, 720, 1080));
    EXPECT_EQ(infos[1].frame, QRectF(1200, -380, 720, 1080));
    EXPECT_EQ(infos[0].frame, QRectF(0, 0, 1200, 800));
}

TEST(X11DisplayGeometry, MainAwayFromTheRootOriginIsTheCoordinateOrigin)
{
    // The primary screen sits right of another: display coordinates start
    // at its top-left, so the left screen has negative x.
    const auto infos = makeDisplayInfos(
        {raw("LEFT", QRect(0, 0, 1000, 1000)), raw("MAIN", QRect(1000, 200, 1600, 900), true)}, std::nullopt, 1.0);
    ASSERT_EQ(infos.size(), 2);
    EXPECT_EQ(infos[0].name, "MAIN");
    EXPECT_EQ(infos[0].bounds, QRectF(0, 0, 1600, 900));
    EXPECT_EQ(infos[1].bounds, QRectF(-1000, -200, 1000, 1000));
    // y' = H - y - h with H = 900.
    EXPECT_EQ(infos[1].frame, QRectF(-1000, 100, 1000, 1000));
}

TEST(X11DisplayGeometry, MainFallsBackToTheScreenAtTheOriginThenTheFirst)
{
    auto infos = makeDisplayInfos({raw("B", QRect(500, 0, 500, 500)), raw("A", QRect(0, 0, 500, 500))}, std::nullopt, 1);
    ASSERT_EQ(infos.size(), 2);
    EXPECT_EQ(infos[0].name, "A");
    infos = makeDisplayInfos({raw("B", QRect(500, 10, 500, 500)), raw("A", QRect(1000, 10, 500, 500))}, std::nullopt, 1);
    ASSERT_EQ(infos.size(), 2);
    EXPECT_EQ(infos[0].name, "B");
    EXPECT_TRUE(makeDisplayInfos({raw("EMPTY", QRect())}, std::nullopt, 1).isEmpty());
}

TEST(X11DisplayGeometry, WorkAreaShrinksTheVisibleFrameAndScaleGivesPoints)
{
    // A 32-pixel panel along the top at scale 2: 16 points off the top of
    // the visible frame, which in AppKit form is its height only.
    QList<QRect> rects;
    const auto infos =
        makeDisplayInfos({raw("eDP-1", QRect(0, 0, 2880, 1800), true)}, QRect(0, 32, 2880, 1768), 2.0, &rects);
    ASSERT_EQ(infos.size(), 1);
    EXPECT_EQ(infos[0].bounds, QRectF(0, 0, 1440, 900));
    EXPECT_EQ(infos[0].frame, QRectF(0, 0, 1440, 900));
    EXPECT_EQ(infos[0].visibleFrame, QRectF(0, 0, 1440, 884));
    EXPECT_DOUBLE_EQ(infos[0].scale, 2.0);
    ASSERT_EQ(rects.size(), 1);
    EXPECT_EQ(rects[0], QRect(0, 0, 2880, 1800));
    // A nonsensical scale is treated as 1.
    EXPECT_EQ(makeDisplayInfos({raw("x", QRect(0, 0, 10, 10))}, std::nullopt, std::nan(""))[0].bounds,
              QRectF(0, 0, 10, 10));
}

TEST(X11DisplayGeometry, IdsAreStableNonZeroAndDistinct)
{
    EXPECT_EQ(stableDisplayID("DP-1"), stableDisplayID(QByteArray("DP-1")));
    EXPECT_NE(stableDisplayID("DP-1"), stableDisplayID("DP-2"));
    EXPECT_NE(stableDisplayID(""), 0u);
    // Two screens that share a name still get two ids.
    const auto infos =
        makeDisplayInfos({raw("same", QRect(0, 0, 10, 10)), raw("same", QRect(10, 0, 10, 10))}, std::nullopt, 1);
    ASSERT_EQ(infos.size(), 2);
    EXPECT_NE(infos[0].displayID, infos[1].displayID);
    EXPECT_NE(infos[1].displayID, 0u);
}

TEST(X11Keymap, EveryMappedCodeRoundTripsAndModifiersMapAsDesigned)
{
    int mapped = 0;
    for (uint16_t code = 0; code < 128; ++code) {
        const uint32_t sym = keysymForMacKeyCode(code);
        if (!sym)
            continue;
        ++mapped;
        const auto back = macKeyCodeForKeysym(sym);
        ASSERT_TRUE(back.has_value()) << code;
        EXPECT_EQ(*back, code);
    }
    EXPECT_GE(mapped, 100);
    EXPECT_EQ(keysymForMacKeyCode(KeyCode::Control), uint32_t(XK_Control_L));
    EXPECT_EQ(keysymForMacKeyCode(KeyCode::Shift), uint32_t(XK_Shift_L));
    EXPECT_EQ(keysymForMacKeyCode(KeyCode::Option), uint32_t(XK_Alt_L));
    EXPECT_EQ(keysymForMacKeyCode(KeyCode::Command), uint32_t(XK_Super_L));
    EXPECT_EQ(keysymForMacKeyCode(KeyCode::Return), uint32_t(XK_Return));
    EXPECT_EQ(keysymForMacKeyCode(KeyCode::Escape), uint32_t(XK_Escape));
    EXPECT_EQ(keysymForMacKeyCode(KeyCode::Delete), uint32_t(XK_BackSpace));
    EXPECT_EQ(keysymForMacKeyCode(117), uint32_t(XK_Delete));
    EXPECT_EQ(keysymForMacKeyCode(KeyCode::T), uint32_t(XK_t));
    EXPECT_EQ(keysymForMacKeyCode(96), uint32_t(XK_F5));
    EXPECT_EQ(keysymForMacKeyCode(121), uint32_t(XK_Page_Down));
    EXPECT_EQ(keysymForMacKeyCode(KeyCode::Function), 0u);
    // Upper-case letters and common aliases.
    EXPECT_EQ(macKeyCodeForKeysym(XK_A), std::optional<uint16_t>(KeyCode::A));
    EXPECT_EQ(macKeyCodeForKeysym(XK_Meta_L), std::optional<uint16_t>(KeyCode::Command));
    EXPECT_EQ(macKeyCodeForKeysym(XK_ISO_Level3_Shift), std::optional<uint16_t>(KeyCode::RightOption));
    EXPECT_FALSE(macKeyCodeForKeysym(0x1000000 + 0x20AC).has_value());

    EXPECT_EQ(modifierFlagForMacKeyCode(KeyCode::Control), uint32_t(ModControl));
    EXPECT_EQ(modifierFlagForMacKeyCode(KeyCode::RightControl), uint32_t(ModControl));
    EXPECT_EQ(modifierFlagForMacKeyCode(KeyCode::RightShift), uint32_t(ModShift));
    EXPECT_EQ(modifierFlagForMacKeyCode(KeyCode::RightOption), uint32_t(ModOption));
    EXPECT_EQ(modifierFlagForMacKeyCode(KeyCode::RightCommand), uint32_t(ModCommand));
    EXPECT_EQ(modifierFlagForMacKeyCode(KeyCode::CapsLock), uint32_t(ModCapsLock));
    EXPECT_EQ(modifierFlagForMacKeyCode(KeyCode::A), 0u);
    EXPECT_EQ(modifierFlagForMacKeyCode(KeyCode::Escape), 0u);
}

TEST(X11Keymap, CodePointsBecomeKeysyms)
{
    EXPECT_EQ(keysymForCodePoint(U'a'), uint32_t(XK_a));
    EXPECT_EQ(keysymForCodePoint(U'~'), uint32_t(XK_asciitilde));
    EXPECT_EQ(keysymForCodePoint(U'é'), uint32_t(XK_eacute));
    EXPECT_EQ(keysymForCodePoint(U'€'), 0x10020ACu);
    EXPECT_EQ(keysymForCodePoint(U'😀'), 0x101F600u);
    EXPECT_EQ(keysymForCodePoint(U'\n'), uint32_t(XK_Return));
    EXPECT_EQ(keysymForCodePoint(U'\t'), uint32_t(XK_Tab));
    EXPECT_EQ(keysymForCodePoint(U'\x07'), 0u);
    EXPECT_EQ(keysymForCodePoint(U'\x85'), 0u);
    EXPECT_EQ(keysymForCodePoint(char32_t(0xD800)), 0u);
    EXPECT_EQ(keysymForCodePoint(char32_t(0x110000)), 0u);
}

TEST(X11Scroll, NotchesFromLinesAndPixels)
{
    EXPECT_EQ(scrollNotches(0, false), 0);
    EXPECT_EQ(scrollNotches(0, true), 0);
    EXPECT_EQ(scrollNotches(3, false), 3);
    EXPECT_EQ(scrollNotches(-3, false), 3);
    // The 80-pixel shares of a precise scroll are one notch each; a small
    // share still moves.
    EXPECT_EQ(scrollNotches(80, true), 1);
    EXPECT_EQ(scrollNotches(56, true), 1);
    EXPECT_EQ(scrollNotches(-5, true), 1);
    EXPECT_EQ(scrollNotches(240, true), 3);
    EXPECT_EQ(scrollNotches(100000, true), 200);
    EXPECT_EQ(scrollNotches(-100000, false), 200);
}

namespace {
QByteArray floatStereo(const std::vector<std::pair<float, float>>& frames)
{
    QByteArray out;
    for (auto [l, r] : frames) {
        out.append(reinterpret_cast<const char*>(&l), 4);
        out.append(reinterpret_cast<const char*>(&r), 4);
    }
    return out;
}
std::vector<int16_t> samples(const QByteArray& pcm)
{
    std::vector<int16_t> out(size_t(pcm.size() / 2));
    for (size_t i = 0; i < out.size(); ++i)
        out[i] = qFromLittleEndian<int16_t>(pcm.constData() + i * 2);
    return out;
}
} // namespace

TEST(X11Microphone, ConvertsStereoFloatToMonoInt16AtTheTargetRate)
{
    QAudioFormat from;
    from.setSampleRate(48000);
    from.setChannelCount(2);
    from.setSampleFormat(QAudioFormat::Float);
    PcmConverter converter(from, 16000);
    // Channels are averaged: (1 + 0)/2 = 0.5; a third of the frames remain.
    std::vector<std::pair<float, float>> frames(4800, {1.0f, 0.0f});
    const auto out = samples(converter.convert(floatStereo(frames)));
    EXPECT_NEAR(double(out.size()), 1600.0, 1.0);
    for (int16_t s : out)
        EXPECT_NEAR(s, 16384, 1);
    // Split into odd chunks, a ramp converts to the same output as in one go.
    QAudioFormat mono16 = from;
    mono16.setChannelCount(1);
    mono16.setSampleFormat(QAudioFormat::Int16);
    mono16.setSampleRate(44100);
    QByteArray ramp;
    for (int i = 0; i < 4410; ++i) {
        const auto v = int16_t(i * 7 - 15000);
        ramp.append(reinterpret_cast<const char*>(&v), 2);
    }
    PcmConverter whole(mono16, 16000), chunked(mono16, 16000);
    const auto expected = samples(whole.convert(ramp));
    QByteArray pieces;
    for (int at = 0; at < ramp.size(); at += 2 * 333)
        pieces += chunked.convert(ramp.mid(at, 2 * 333));
    const auto got = samples(pieces);
    ASSERT_EQ(got.size(), expected.size());
    for (size_t i = 0; i < got.size(); ++i)
        EXPECT_NEAR(got[i], expected[i], 1) << i;
    EXPECT_NEAR(double(got.size()), 1600.0, 1.0);
    // Linear interpolation of a ramp stays on the ramp.
    EXPECT_NEAR(got[100], int(std::lround((100 * 44100.0 / 16000.0) * 7 - 15000)), 2);
}

TEST(SimPlatform, CompositorFlagIsScriptable)
{
    sim::SimPlatform sim;
    EXPECT_TRUE(sim.compositorActive());
    sim.setCompositorActive(false);
    EXPECT_FALSE(sim.compositorActive());
}

TEST(X11SyntheticRule, OursAreTheXTestSlavesOfOurMasters)
{
    using namespace tovrik::platform::x11;
    auto dev = [](uint16_t id, uint16_t type, uint16_t attachment, const char* name) {
        XIDevice d;
        d.id = id;
        d.type = type;
        d.attachment = attachment;
        d.name = name;
        return d;
    };
    const std::vector<XIDevice> devices = {
        dev(2, 1, 3, "Virtual core pointer"),
        dev(3, 2, 2, "Virtual core keyboard"),
        dev(4, 3, 2, "Virtual core XTEST pointer"),
        dev(5, 4, 3, "Virtual core XTEST keyboard"),
        dev(6, 4, 3, "AT Translated Set 2 keyboard"),
        dev(7, 1, 8, "seat2 pointer"),
        dev(8, 2, 7, "seat2 keyboard"),
        dev(9, 3, 7, "seat2 XTEST pointer"),
        dev(10, 4, 8, "seat2 XTEST keyboard"),
        dev(11, 5, 0, "floating XTEST keyboard"),
    };
    EXPECT_EQ(xtestSlavesOf(devices, {2, 3}), (std::vector<uint16_t>{4, 5}));
    EXPECT_EQ(xtestSlavesOf(devices, {7, 8}), (std::vector<uint16_t>{9, 10}));
    // Unknown masters: every XTEST slave is taken for ours (never a person).
    EXPECT_EQ(xtestSlavesOf(devices, {0, 0}), (std::vector<uint16_t>{4, 5, 9, 10}));
    EXPECT_FALSE(devices[4].isXTest());
    EXPECT_FALSE(devices[0].isXTest());
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
