// The shortcut screen's actions against the real hotkey monitor on the sim
// event tap: capture, conflicts, cancel, failure, reset and leaving the page.

#include "ModelTestSupport.h"

#include "interaction/HotkeyMonitor.h"

namespace tovrik::test {
namespace {

using namespace platform;

constexpr uint16_t kKeyK = 40, kKeyEscape = 53, kCommand = 55, kShift = 56, kOption = 58, kControl = 59;

class ModelShortcutsTest : public ModelTest {
protected:
    void SetUp() override
    {
        ModelTest::SetUp();
        makeModel().launch();
        ASSERT_TRUE(model->hotkeyMonitorActive());
        model->showAdvancedSettings();
        model->showShortcutSettings();
    }
    // A flag of the monitor's shared state.
    bool monitor(bool HotkeyMonitor::*flag)
    {
        std::lock_guard<std::mutex> lock(model->hotkeyMonitor().stateLock);
        return model->hotkeyMonitor().*flag;
    }
    bool monitorCapturing() { return monitor(&HotkeyMonitor::isCapturingShortcut); }
    ShortcutGesture monitorChord(bool voice)
    {
        std::lock_guard<std::mutex> lock(model->hotkeyMonitor().stateLock);
        return voice ? model->hotkeyMonitor().voiceShortcut : model->hotkeyMonitor().panelShortcut;
    }
    void pressCommandShiftK()
    {
        auto& tap = sim->simEventTap();
        tap.injectFlags(kCommand, ModCommand);
        tap.injectFlags(kShift, ModCommand | ModShift);
        tap.injectKey(kKeyK, true, ModCommand | ModShift);
        tap.injectKey(kKeyK, false, ModCommand | ModShift);
        tap.injectFlags(kShift, ModCommand);
        tap.injectFlags(kCommand, 0);
    }
    bool waitForStatus(const QString& text) { return spinUntil([&] { return model->shortcutCaptureStatusMessage() == text; }); }
};

TEST_F(ModelShortcutsTest, VoiceCaptureStoresTheNewShortcutAndAReportWithoutOneIsIgnored)
{
    auto& m = *model;
    // A report with no capture running changes nothing.
    const TovrikSettings before = m.settings();
    m.handleShortcutCaptured(ShortcutGesture{ShortcutModifiers::command | ShortcutModifiers::shift, kKeyK});
    EXPECT_EQ(m.settings(), before);
    EXPECT_EQ(m.shortcutCaptureStatusMessage(), QString());
    m.beginVoiceShortcutCapture();
    EXPECT_EQ(m.shortcutCaptureTarget(), ShortcutCaptureTarget::voice);
    EXPECT_EQ(m.shortcutCaptureStatusMessage(), QStringLiteral("Press the new voice shortcut. Esc cancels."));
    EXPECT_EQ(m.voiceShortcutCaptureButtonText(), QStringLiteral("Listening"));
    EXPECT_EQ(m.panelShortcutCaptureButtonText(), QStringLiteral("Change"));
    EXPECT_TRUE(monitorCapturing());
    pressCommandShiftK();
    ASSERT_TRUE(waitForStatus(QStringLiteral("Voice shortcut updated.")));
    EXPECT_EQ(m.shortcutCaptureTarget(), ShortcutCaptureTarget::none);
    for (const QString& stored : {m.voiceShortcut().text(), m.settings().voiceShortcut, monitorChord(true).text(),
                                  readSettingsJson().value(QStringLiteral("voiceShortcut")).toString()})
        EXPECT_EQ(stored, QStringLiteral("shift+command+k"));
    EXPECT_EQ(m.panelShortcut(), ShortcutGesture::defaultPanelShortcut());
    EXPECT_FALSE(monitorCapturing());
}

// The voice chord is refused for the panel; a free modifier-only chord is
// taken after 0.52 s.
TEST_F(ModelShortcutsTest, PanelCaptureRefusesTheVoiceChordAndTakesAFreeOne)
{
    auto& m = *model;
    auto& tap = sim->simEventTap();
    m.beginPanelShortcutCapture();
    EXPECT_EQ(m.shortcutCaptureStatusMessage(), QStringLiteral("Press the new menu shortcut. Esc cancels."));
    EXPECT_EQ(m.panelShortcutCaptureButtonText(), QStringLiteral("Listening"));
    tap.injectFlags(kControl, ModControl);
    tap.injectFlags(kOption, ModControl | ModOption);
    advance(0.6, 0.05);
    ASSERT_TRUE(waitForStatus(QStringLiteral("That shortcut is already used.")));
    EXPECT_EQ(m.shortcutCaptureTarget(), ShortcutCaptureTarget::none);
    EXPECT_EQ(m.panelShortcut(), ShortcutGesture::defaultPanelShortcut());
    EXPECT_EQ(m.settings().panelShortcut, QStringLiteral("control+shift+option"));
    tap.injectFlags(kOption, ModControl);
    tap.injectFlags(kControl, 0);
    m.beginPanelShortcutCapture();
    tap.injectFlags(kControl, ModControl);
    tap.injectFlags(kCommand, ModControl | ModCommand);
    advance(0.6, 0.05);
    ASSERT_TRUE(waitForStatus(QStringLiteral("Menu shortcut updated.")));
    for (const QString& stored : {m.panelShortcut().text(), monitorChord(false).text(),
                                  readSettingsJson().value(QStringLiteral("panelShortcut")).toString()})
        EXPECT_EQ(stored, QStringLiteral("control+command"));
}

// A key without a modifier fails the capture, which goes on; Esc cancels it,
// and so does leaving the page.
TEST_F(ModelShortcutsTest, AFailedCaptureGoesOnEscOrLeavingThePageCancelsIt)
{
    auto& m = *model;
    m.beginVoiceShortcutCapture();
    sim->simEventTap().injectKey(kKeyK, true, 0);
    ASSERT_TRUE(waitForStatus(HotkeyMonitor::kCaptureNeedsModifierMessage));
    EXPECT_EQ(m.shortcutCaptureTarget(), ShortcutCaptureTarget::voice);
    EXPECT_TRUE(monitorCapturing());
    sim->simEventTap().injectKey(kKeyK, false, 0);
    sim->simEventTap().injectKey(kKeyEscape, true, 0);
    ASSERT_TRUE(waitForStatus(QStringLiteral("Shortcut change canceled.")));
    EXPECT_EQ(m.shortcutCaptureTarget(), ShortcutCaptureTarget::none);
    EXPECT_EQ(m.voiceShortcut(), ShortcutGesture::defaultVoiceShortcut());
    // Leaving the page ends a capture too.
    m.beginVoiceShortcutCapture();
    ASSERT_EQ(m.shortcutCaptureStatusMessage(), QStringLiteral("Press the new voice shortcut. Esc cancels."));
    m.showMainScreen();
    EXPECT_TRUE(!m.isShowingShortcutSettings() && m.isShowingAdvancedSettings());
    EXPECT_FALSE(monitorCapturing());
    EXPECT_EQ(m.shortcutCaptureTarget(), ShortcutCaptureTarget::none);
    EXPECT_EQ(m.shortcutCaptureStatusMessage(), QStringLiteral("Shortcut change canceled."));
    pressCommandShiftK();
    drainEvents();
    EXPECT_EQ(m.voiceShortcut(), ShortcutGesture::defaultVoiceShortcut()) << "a chord pressed afterwards is no capture";
    m.showShortcutSettings();
    EXPECT_EQ(m.shortcutCaptureStatusMessage(), QString()) << "coming back starts with an empty status line";
}

TEST_F(ModelShortcutsTest, ResetDuringCaptureKeepsTheResetMessageAndClearsHeldChords)
{
    auto& m = *model;
    pressCommandShiftK(); // not capturing: nothing changes
    m.beginVoiceShortcutCapture();
    pressCommandShiftK();
    ASSERT_TRUE(waitForStatus(QStringLiteral("Voice shortcut updated.")));
    m.beginPanelShortcutCapture();
    m.resetShortcutsToDefaults();
    drainEvents();
    advance(1.0, 0.1);
    EXPECT_EQ(m.shortcutCaptureStatusMessage(), QStringLiteral("Shortcuts reset to defaults."));
    EXPECT_EQ(m.shortcutCaptureTarget(), ShortcutCaptureTarget::none);
    EXPECT_FALSE(monitorCapturing());
    EXPECT_EQ(m.voiceShortcut(), ShortcutGesture::defaultVoiceShortcut());
    EXPECT_EQ(monitorChord(true), ShortcutGesture::defaultVoiceShortcut());
    EXPECT_EQ(readSettingsJson().value(QStringLiteral("voiceShortcut")).toString(), QStringLiteral("control+option"));
    // A reset while a chord is held clears the chord-active flags.
    auto& tap = sim->simEventTap();
    tap.injectFlags(kControl, ModControl);
    tap.injectFlags(kOption, ModControl | ModOption);
    ASSERT_TRUE(monitor(&HotkeyMonitor::shortcutActive));
    m.resetShortcutsToDefaults();
    EXPECT_FALSE(monitor(&HotkeyMonitor::shortcutActive) || monitor(&HotkeyMonitor::panelShortcutActive));
}

} // namespace
} // namespace tovrik::test
