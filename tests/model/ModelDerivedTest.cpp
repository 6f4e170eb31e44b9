// The derived values the panel reads: state tests, panel size, header word,
// titles, credit text, typed-chat gating and the voice list.

#include "ModelTestSupport.h"

#include "common/Constants.h"

#include <QLocale>

namespace tovrik::test {
namespace {

class ModelDerivedTest : public ModelTest {
protected:
    void SetUp() override
    {
        ModelTest::SetUp();
        makeModel();
    }
    void signIn(bool trustedOrigin = true)
    {
        changeSettings([trustedOrigin](TovrikSettings& s) {
            s.hostedAccountSessionToken = QStringLiteral("tok");
            s.workerBaseURL = trustedOrigin ? constants::defaultHostedWorkerBaseURL() : QStringLiteral("https://evil.example");
        });
    }
    double height() const { return model->preferredPanelSize().height(); }
};

TEST_F(ModelDerivedTest, StateTestsFollowTokenOriginAndPermissions)
{
    setPermissions(true, true);
    auto& m = *model;
    EXPECT_FALSE(m.isHostedAccountSignedIn() || m.isAppReady());
    EXPECT_TRUE(m.requiresAuthentication());
    changeSettings([](TovrikSettings& s) { s.hostedAccountSessionToken = QStringLiteral(" \n\t"); });
    EXPECT_FALSE(m.isHostedAccountSignedIn()) << "a blank token is no session";
    signIn(false);
    EXPECT_TRUE(m.isHostedAccountSignedIn() && m.requiresAuthentication());
    EXPECT_FALSE(m.hasValidWorkerBaseURL() || m.requiresPermissionGrant() || m.canUseChatOnly());
    signIn(true);
    EXPECT_FALSE(m.requiresAuthentication());
    EXPECT_TRUE(m.isAppReady() && m.canUseChatOnly());
    setPermissions(false, true, platform::MicrophoneAuthorization::Denied);
    EXPECT_TRUE(m.requiresPermissionGrant() && m.canUseChatOnly());
    EXPECT_FALSE(m.isAppReady());
    setPermissions(true, false);
    EXPECT_TRUE(m.requiresPermissionGrant());
    EXPECT_FALSE(m.canUseChatOnly());
    // The microphone never counts.
    setPermissions(true, true, platform::MicrophoneAuthorization::Denied, false);
    EXPECT_TRUE(!m.requiresPermissionGrant() && m.isAppReady());
}

// (The pages' own heights are checked on the panel's grabs.)
TEST_F(ModelDerivedTest, PanelSizeAndTitleFollowTheShortcutCaptureAndLeavingThePages)
{
    auto& m = *model;
    setPermissions(false, true);
    signIn();
    m.showAdvancedSettings();
    EXPECT_EQ(m.settingsPanelTitle(), QStringLiteral("Settings"));
    m.showVoiceSettings();
    EXPECT_EQ(m.settingsPanelTitle(), QStringLiteral("Voice"));
    m.showMainScreen();
    m.showShortcutSettings();
    EXPECT_EQ(m.settingsPanelTitle(), QStringLiteral("Shortcuts"));
    m.beginVoiceShortcutCapture();
    EXPECT_EQ(height(), 392);
    m.handleShortcutCaptureFailed(QStringLiteral(" "));
    EXPECT_EQ(height(), 354);
    m.showVoiceSettings();
    m.showMainScreen(); // leaves the shortcut page first
    EXPECT_EQ(m.settingsPanelTitle(), QStringLiteral("Voice"));
    m.showMainScreen();
    EXPECT_EQ(m.settingsPanelTitle(), QStringLiteral("Settings"));
    m.showMainScreen();
    EXPECT_FALSE(m.isShowingAdvancedSettings());
    EXPECT_EQ(m.preferredPanelSize(), QSizeF(320, 292)) << "screen recording is granted: typed chat is usable";
}

TEST_F(ModelDerivedTest, PanelSizeOfTheSignInPermissionAndReadyScreens)
{
    auto& m = *model;
    // The shortcut flag alone does not win over sign-in (the settings page
    // does, which the panel's grabs check).
    m.showShortcutSettings();
    EXPECT_EQ(height(), 258);
    m.setHostedAuthStatusMessage(QStringLiteral("Enter a valid email address."));
    EXPECT_EQ(height(), 292);
    m.setHostedEmailAuthVisible(true);
    m.setHostedAuthStatusMessage(QString());
    signIn(false);
    EXPECT_EQ(height(), 380) << "an untrusted origin keeps the sign-in screen";
    signIn();
    const std::tuple<bool, bool, double> permissionCases[] = {
        {false, false, 198}, {false, true, 292}, {true, false, 198}, {true, true, 312}};
    for (const auto& [accessibility, screenRecording, expected] : permissionCases) {
        setPermissions(accessibility, screenRecording, platform::MicrophoneAuthorization::NotDetermined);
        EXPECT_EQ(height(), expected) << accessibility << screenRecording;
    }
}

TEST_F(ModelDerivedTest, HeaderStatusTextTable)
{
    auto& m = *model;
    setPermissions(true, true);
    EXPECT_EQ(m.headerStatusText(), QStringLiteral("Sign in"));
    signIn(false);
    EXPECT_EQ(m.headerStatusText(), QStringLiteral("Sign in"));
    signIn(true);
    EXPECT_EQ(m.headerStatusText(), QStringLiteral("Active"));
    setPermissions(false, true);
    m.setAgentBusy(true);
    EXPECT_EQ(m.headerStatusText(), QStringLiteral("Setup"));
    setPermissions(true, true);
    m.setUIAutopilotBusy(true);
    m.setChatOnlyBusy(true);
    EXPECT_EQ(m.headerStatusText(), QStringLiteral("Agent"));
    m.setAgentBusy(false);
    EXPECT_EQ(m.headerStatusText(), QStringLiteral("UI Agent"));
    m.setUIAutopilotBusy(false);
    EXPECT_EQ(m.headerStatusText(), QStringLiteral("Chatting"));
    m.setChatOnlyBusy(false);
    const std::pair<TovrikVoiceState, const char*> states[] = {
        {TovrikVoiceState::listening, "Listening"}, {TovrikVoiceState::processing, "Processing"},
        {TovrikVoiceState::responding, "Responding"}, {TovrikVoiceState::idle, "Active"}};
    for (const auto& [state, text] : states) {
        m.setVoiceState(state);
        EXPECT_EQ(m.headerStatusText(), QString::fromLatin1(text));
    }
    EXPECT_EQ(voiceStateDisplayName(TovrikVoiceState::idle), QStringLiteral("Ready"));
    EXPECT_EQ(voiceStateDisplayName(TovrikVoiceState::processing), QStringLiteral("Thinking"));
}

TEST_F(ModelDerivedTest, CreditsAreGroupedAndNeverNegative)
{
    const QLocale previous;
    QLocale::setDefault(QLocale(QLocale::English, QLocale::UnitedStates));
    auto& m = *model;
    const std::pair<qint64, const char*> cases[] = {{-5, "0"}, {0, "0"}, {999, "999"}, {1000, "1,000"}, {1234567, "1,234,567"}};
    for (const auto& [balance, text] : cases) {
        changeSettings([b = balance](TovrikSettings& s) { s.hostedAccountCreditsBalance = b; });
        EXPECT_EQ(m.hostedCreditsBalanceValue(), QString::fromLatin1(text)) << balance;
    }
    QLocale::setDefault(QLocale(QLocale::German, QLocale::Germany));
    EXPECT_EQ(m.hostedCreditsBalanceValue(), QStringLiteral("1.234.567"));
    QLocale::setDefault(previous);
}

TEST_F(ModelDerivedTest, ChatOnlyGatingInOrderAndCancellingClearsTheBusyFlags)
{
    auto& m = *model;
    m.setChatOnlyInput(QStringLiteral("what is this?"));
    EXPECT_FALSE(m.canSendChatOnlyMessage());
    signIn(false);
    EXPECT_FALSE(m.canSendChatOnlyMessage());
    signIn(true);
    setPermissions(false, false);
    EXPECT_FALSE(m.canSendChatOnlyMessage());
    setPermissions(false, true);
    EXPECT_TRUE(m.canSendChatOnlyMessage()) << "accessibility is not needed for typed chat";
    for (auto busy : {&TovrikAppModel::setChatOnlyBusy, &TovrikAppModel::setAgentBusy, &TovrikAppModel::setUIAutopilotBusy}) {
        (m.*busy)(true);
        EXPECT_FALSE(m.canSendChatOnlyMessage());
        EXPECT_EQ(m.chatOnlySendButtonTitle(), busy == &TovrikAppModel::setChatOnlyBusy ? "..." : "Ask");
        (m.*busy)(false);
    }
    EXPECT_EQ(m.chatOnlySendButtonTitle(), QStringLiteral("Ask"));
    m.setChatOnlyInput(QStringLiteral(" \n "));
    EXPECT_FALSE(m.canSendChatOnlyMessage());
    // Cancelling clears every busy flag; only a new interaction bumps the version.
    m.setChatOnlyBusy(true);
    m.setAgentBusy(true);
    m.setUIAutopilotBusy(true);
    const quint64 version = m.beginNewInteractionVersion();
    m.cancelActiveInteraction(false);
    EXPECT_EQ(m.interactionVersion(), version);
    EXPECT_FALSE(m.isChatOnlyBusy() || m.isAgentBusy() || m.isUIAutopilotBusy());
    m.cancelActiveInteraction(true);
    EXPECT_EQ(m.interactionVersion(), version + 1);
}

// (The catalogue's own rules are checked on the catalogue.)
TEST_F(ModelDerivedTest, VoiceListFollowsTheStoredVoice)
{
    changeSettings([](TovrikSettings& s) { s.elevenLabsVoiceID = QStringLiteral("pNInz6obpgDQGcFmaJgB"); });
    const auto options = model->voiceMenuOptions();
    ASSERT_EQ(options.size(), 6);
    EXPECT_TRUE(options[2].isSelected && !options[0].isSelected);
    EXPECT_EQ(model->selectedElevenLabsVoiceLabel(), options[2].label);
}

} // namespace
} // namespace tovrik::test
