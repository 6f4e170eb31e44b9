// Interaction bookkeeping of the model: the Esc handler, the autopilot
// switch and the overlay's idle behaviour (the model's sleep is the
// clock's, tested there).

#include "ModelTestSupport.h"

namespace tovrik::test {
namespace {

constexpr uint16_t kKeyEscape = 53;

using ModelInteractionTest = ModelTest;
using HostedInteractionTest = HostedModelTest;

TEST_F(ModelInteractionTest, EscStopsARunningAutopilotOnly)
{
    auto& m = makeModel();
    m.launch();
    m.setChatOnlyStatusMessage(QStringLiteral("UI Autopilot step 3"));
    const quint64 version = m.beginNewInteractionVersion();
    sim->simEventTap().injectKey(kKeyEscape, true, 0);
    drainEvents();
    EXPECT_EQ(m.interactionVersion(), version) << "Esc without a run does nothing";
    EXPECT_EQ(m.chatOnlyStatusMessage(), QStringLiteral("UI Autopilot step 3"));
    // A run that only ends early by its cancellation: the virtual clock stands still.
    const TaskHandle run = startTask([](CancellationToken token) { return TovrikAppModel::sleep(100, token); });
    m.setInteractionTask(run);
    m.setUIAutopilotBusy(true);
    m.overlayController()->setUIAutopilotBusy(true);
    m.setVoiceState(TovrikVoiceState::processing);
    m.overlayController()->updateVoiceState(TovrikVoiceState::processing);
    sim->simEventTap().injectKey(kKeyEscape, false, 0);
    sim->simEventTap().injectKey(kKeyEscape, true, 0);
    ASSERT_TRUE(spinUntil([&]() { return !m.isUIAutopilotBusy(); }));
    EXPECT_EQ(m.interactionVersion(), version + 1);
    EXPECT_EQ(m.voiceState(), TovrikVoiceState::idle);
    EXPECT_EQ(m.overlayController()->voiceState(), TovrikVoiceState::idle);
    EXPECT_FALSE(m.overlayController()->isUIAutopilotBusy());
    EXPECT_EQ(m.chatOnlyStatusMessage(), QStringLiteral("UI Autopilot stopped."));
    EXPECT_TRUE(spinUntil([&]() { return run.isFinished(); })) << "the run's task is cancelled at once";
    EXPECT_FALSE(m.interactionTask().isValid());
}

TEST_F(ModelInteractionTest, TurningAutopilotOffStopsARun)
{
    auto& m = makeModel();
    m.setUIAutopilotEnabled(true);
    EXPECT_TRUE(m.settings().isUIAutopilotEnabled);
    EXPECT_TRUE(readSettingsJson().value(QStringLiteral("isUIAutopilotEnabled")).toBool());
    const quint64 version = m.beginNewInteractionVersion();
    m.setUIAutopilotBusy(true);
    m.setVoiceState(TovrikVoiceState::processing);
    m.setUIAutopilotEnabled(false);
    EXPECT_FALSE(m.settings().isUIAutopilotEnabled || m.isUIAutopilotBusy());
    EXPECT_EQ(m.voiceState(), TovrikVoiceState::idle);
    EXPECT_EQ(m.interactionVersion(), version + 1);
    // Off while nothing runs leaves the current interaction alone.
    m.setChatOnlyBusy(true);
    m.setUIAutopilotEnabled(false);
    EXPECT_TRUE(m.isChatOnlyBusy());
    EXPECT_EQ(m.interactionVersion(), version + 1);
}

TEST_F(HostedInteractionTest, OverlayFollowsReadinessFromLaunchOn)
{
    setPermissions(true, true);
    auto& m = makeModel();
    changeSettings([](TovrikSettings& s) { s.hostedAccountSessionToken = QStringLiteral("tok"); });
    ASSERT_TRUE(m.isAppReady());
    EXPECT_FALSE(m.overlayController()->keepOverlayVisibleWhenIdle()) << "nothing shows before launch";
    m.launch();
    EXPECT_TRUE(m.overlayController()->keepOverlayVisibleWhenIdle());
    EXPECT_FALSE(m.overlayController()->isTransparent());
    changeSettings([](TovrikSettings& s) { s.isTransparentCursorOverlayEnabled = true; });
    EXPECT_TRUE(m.overlayController()->isTransparent());
    changeSettings([](TovrikSettings& s) { s.isTransientCursorModeEnabled = true; });
    EXPECT_FALSE(m.overlayController()->keepOverlayVisibleWhenIdle());
    changeSettings([](TovrikSettings& s) { s.isTransientCursorModeEnabled = false; });
    EXPECT_TRUE(m.overlayController()->keepOverlayVisibleWhenIdle());
    setPermissions(false, true);
    EXPECT_FALSE(m.overlayController()->keepOverlayVisibleWhenIdle());
}

TEST_F(HostedInteractionTest, ModelGoneWhileItsRequestRuns)
{
    fake.setHandler("GET", QStringLiteral("/auth/me"), [](const FakeRequest&) { return FakeResponse::hanging(); });
    storeSignedInSettings(QStringLiteral("kept-token"));
    const QByteArray file = readSettingsFile();
    makeModel().launch();
    ASSERT_TRUE(fake.waitForRequests(1));
    model.reset();
    drainEvents();
    // The aborted refresh wrote nothing on its way out.
    EXPECT_EQ(readSettingsFile(), file);
    EXPECT_EQ(sim->simKeychain().items(SettingsStore::keychainService).value(QStringLiteral("hostedAccountSessionToken")),
              QByteArray("kept-token"));
}

TEST_F(HostedInteractionTest, ModelGoneRightAfterItsRequestsStarted)
{
    fake.addAccount(QStringLiteral("a@b.c"), QStringLiteral("password1"), 10);
    QStringList tokens;
    for (int i = 0; i < 20; ++i) {
        const QString token = fake.createSession(QStringLiteral("a@b.c"));
        tokens << token;
        storeSignedInSettings(token);
        makeModel().signOutHostedAccount();
        // Let the revocation get somewhere (connecting, TLS, sent) before
        // the model goes away.
        spinUntil([] { return false; }, i % 5);
        model.reset();
        drainEvents();
    }
    // No session is lost while still valid: either it was revoked or it is
    // still stored for the next launch to revoke.
    SettingsStore store;
    const QStringList pending = store.load().settings.pendingHostedSignOutTokens;
    for (const QString& token : tokens)
        EXPECT_TRUE(!fake.isSessionActive(token) || pending.contains(token)) << token.toStdString();
}

TEST_F(ModelInteractionTest, ConversationStaysInMemoryOnly)
{
    auto& m = makeModel();
    int changes = 0;
    QObject::connect(&m, &TovrikAppModel::changed, [&changes]() { ++changes; });
    EXPECT_FALSE(m.appendConversationTurn(QStringLiteral("  "), QStringLiteral("\n")));
    ASSERT_TRUE(m.appendConversationTurn(QStringLiteral(" question "), QStringLiteral("answer")));
    EXPECT_EQ(changes, 1);
    // A later save keeps the history out of the file. (Its limits are the
    // history's own, checked there.)
    ASSERT_TRUE(m.saveSettings(m.settings()));
    EXPECT_FALSE(readSettingsFile().contains("question"));
    EXPECT_EQ(m.conversationHistory(), (ConversationHistory{{"question", "answer"}}));
}

} // namespace
} // namespace tovrik::test
