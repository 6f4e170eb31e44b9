// Typed chat: what the "Ask" button sends, the texts of its outcomes (empty
// reply, out of credits, other failures), the busy flags, the credit refresh
// after every turn, and a voice press taking over a typed turn.

#include "ModelTestSupport.h"

#include "hosted/HTTPExchange.h"
#include "interaction/FallbackSpeaker.h"
#include "interaction/PointedResponse.h"

namespace tovrik::test {
namespace {

using ChatTurnTest = TurnTest;

TEST_F(ChatTurnTest, AskNeedsSetupThenSendsTheTrimmedPromptAndSpeaksTheAnswer)
{
    auto& m = launchReadyModel();
    // Without setup only the status changes.
    setPermissions(true, false);
    m.setChatOnlyInput(QStringLiteral("hello"));
    const quint64 before = m.interactionVersion();
    m.sendChatOnlyMessage();
    EXPECT_EQ(m.chatOnlyStatusMessage(), QStringLiteral("Finish setup above to use chat-only."));
    EXPECT_EQ(m.chatOnlyInput(), QStringLiteral("hello"));
    EXPECT_EQ(m.interactionVersion(), before);
    EXPECT_FALSE(m.isChatOnlyBusy());
    drainEvents();
    EXPECT_TRUE(fake.requests().isEmpty());
    setPermissions(true, true);
    // Only the tag goes: the line break and the blanks before ".txt", ".."
    // and "," are the answer's own.
    const QString answer = QStringLiteral("That is the Dock.\nSave it as .txt , then type cd .. to go up.");
    fake.setChatReply(answer + QStringLiteral(" [POINT:none]"));
    ask(QStringLiteral("  what is this bar?\n"));
    EXPECT_GT(m.interactionVersion(), before);
    EXPECT_TRUE(m.chatOnlyInput().isEmpty() && m.chatOnlyStatusMessage().isEmpty());
    EXPECT_TRUE(m.isChatOnlyBusy() && !m.canSendChatOnlyMessage());
    EXPECT_EQ(m.lastTranscript(), QStringLiteral("what is this bar?"));
    EXPECT_EQ(m.voiceState(), TovrikVoiceState::processing);
    EXPECT_EQ(m.overlayController()->voiceState(), TovrikVoiceState::processing);
    ASSERT_TRUE(waitForRequests(QStringLiteral("/tts"), 1) && finishSpeechAndWait());
    const QJsonObject chat = lastJson(fake.requestsTo(QStringLiteral("/chat")));
    EXPECT_EQ(chat.value("transcript").toString(), QStringLiteral("what is this bar?"));
    EXPECT_EQ(chat.value("workload").toString(), QStringLiteral("chat"));
    EXPECT_EQ(chat.value("systemPrompt").toString(), PointedResponse::voiceCompanionSystemPrompt());
    EXPECT_EQ(chat.value("imageAttachments").toArray().size(), 2);
    EXPECT_TRUE(fake.requestsTo(QStringLiteral("/stt")).isEmpty());
    EXPECT_FALSE(m.isChatOnlyBusy());
    EXPECT_EQ(m.voiceState(), TovrikVoiceState::idle);
    EXPECT_EQ(m.overlayController()->bubbleText(), answer);
    EXPECT_EQ(lastJson(fake.requestsTo(QStringLiteral("/tts"))).value("text").toString(), answer);
    EXPECT_FALSE(m.overlayController()->targetScreenLocation().has_value());
    EXPECT_EQ(m.conversationHistory(), (ConversationHistory{{"what is this bar?", answer}}));
}

TEST_F(ChatTurnTest, AnAnswerWhoseHeadersComeTwentySecondsLateIsShown)
{
    auto& m = launchReadyModel();
    FakeResponse late = FakeResponse::eventStream(FakeResponse::chatReplyEvents(QStringLiteral("Worth the wait.")));
    late.holdSeconds = 20;
    fake.setHandler("POST", QStringLiteral("/chat"), [late](const FakeRequest&) { return late; });
    ask(QStringLiteral("think it over"));
    ASSERT_TRUE(waitForRequests(QStringLiteral("/chat"), 1));
    advance(20.5, 0.5);
    ASSERT_TRUE(waitForRequests(QStringLiteral("/tts"), 1) && finishSpeechAndWait());
    EXPECT_EQ(m.overlayController()->bubbleText(), QStringLiteral("Worth the wait."));
    EXPECT_EQ(m.conversationHistory(), (ConversationHistory{{"think it over", "Worth the wait."}}));
}

// The sound server gone mid-answer: the playback fails, and a system voice
// that never says it ended (its daemon died with the server) is given up at
// its time limit; the turn ends then, and the next question is taken.
TEST_F(ChatTurnTest, ASystemVoiceThatNeverEndsIsGivenUpAtItsTimeLimit)
{
    auto& m = launchReadyModel();
    const QString answer = QStringLiteral("The sound server went away.");
    fake.setChatReply(answer);
    sim->simAudioOutput().autoFinish = QStringLiteral("The audio output failed.");
    sim->simSpeech().autoFinish = false;
    ask(QStringLiteral("still there?"));
    ASSERT_TRUE(spinUntil([this] { return sim->simSpeech().speaking(); }, 15000));
    advance(FallbackSpeaker::timeLimit(answer) - 0.1, 0.5);
    EXPECT_TRUE(m.isChatOnlyBusy());
    advance(0.2);
    ASSERT_TRUE(waitForTurnEnd());
    EXPECT_FALSE(sim->simSpeech().speaking()) << "the voice was not stopped";
    EXPECT_FALSE(m.isChatOnlyBusy());
    EXPECT_TRUE(m.chatOnlyStatusMessage().isEmpty());
    sim->simAudioOutput().autoFinish.reset();
    ask(QStringLiteral("and now?"));
    ASSERT_TRUE(waitForRequests(QStringLiteral("/tts"), 2) && finishSpeechAndWait());
    EXPECT_EQ(fake.requestsTo(QStringLiteral("/chat")).size(), 2);
}

TEST_F(ChatTurnTest, SignOutEndsTheConversation)
{
    auto& m = launchReadyModel();
    for (const QString& q : {QStringLiteral("first"), QStringLiteral("second")})
        ASSERT_TRUE(m.appendConversationTurn(q, QStringLiteral("private answer")));
    setSlowChatReply(QStringLiteral("Late."), 200); // still running when the session ends: adds nothing
    ask(QStringLiteral("third"));
    ASSERT_TRUE(waitForRequests(QStringLiteral("/chat"), 1));
    EXPECT_EQ(lastJson(fake.requestsTo(QStringLiteral("/chat"))).value("history").toArray().size(), 2);
    m.signOutHostedAccount();
    EXPECT_TRUE(m.conversationHistory().isEmpty());
    // The next account starts with no history.
    fake.clearHandlers();
    fake.clearRecords();
    fake.addAccount(QStringLiteral("next@b.c"), QStringLiteral("password2"), 50);
    m.setHostedAuthEmailInput(QStringLiteral("next@b.c"));
    m.setHostedAuthPasswordInput(QStringLiteral("password2"));
    m.signInHostedAccount();
    ASSERT_TRUE(spinUntil([&]() { return m.isHostedAccountSignedIn(); }, 10000));
    ask(QStringLiteral("fourth"));
    ASSERT_TRUE(waitForRequests(QStringLiteral("/chat"), 1));
    EXPECT_TRUE(lastJson(fake.requestsTo(QStringLiteral("/chat"))).value("history").toArray().isEmpty());
    ASSERT_TRUE(waitForRequests(QStringLiteral("/tts"), 1) && finishSpeechAndWait());
    ASSERT_EQ(m.conversationHistory().size(), 1);
    EXPECT_EQ(m.conversationHistory().first().userTranscript, QStringLiteral("fourth"));
}

TEST_F(ChatTurnTest, EmptyReplyRestoresThePrompt)
{
    auto& m = launchReadyModel();
    // A reply that is only a point tag has nothing to show or say.
    fake.setChatReply(QStringLiteral("[POINT:none]"));
    ask(QStringLiteral("hello there"));
    ASSERT_TRUE(waitForRequests(QStringLiteral("/chat"), 1) && waitForTurnEnd());
    EXPECT_EQ(m.chatOnlyInput(), QStringLiteral("hello there"));
    EXPECT_EQ(m.chatOnlyStatusMessage(), QStringLiteral("Tovrik returned an empty reply. Try again."));
    EXPECT_FALSE(m.isChatOnlyBusy());
    EXPECT_EQ(m.voiceState(), TovrikVoiceState::idle);
    EXPECT_TRUE(m.conversationHistory().isEmpty() && fake.requestsTo(QStringLiteral("/tts")).isEmpty());
    // The overlay is hidden 0.1 s later.
    EXPECT_TRUE(m.overlayController()->hasPendingHide());
    advance(0.11);
    EXPECT_FALSE(m.overlayController()->hasPendingHide());
    EXPECT_TRUE(waitForRequests(QStringLiteral("/auth/me"), 1));
}

// (The overlay says it lowercased.)
TEST_F(ChatTurnTest, FailuresPutThePromptBackAndSayWhy)
{
    auto& m = launchReadyModel();
    struct Case { FakeResponse response; QString status, bubble; };
    const Case cases[] = {
        {FakeResponse::error(402, "insufficient_credits", "You're out of credits."), "Out of credits.", "you're out of credits."},
        {FakeResponse::error(503, "unavailable", "  Service Busy  "), "Service Busy", "service busy"},
    };
    int turn = 0;
    for (const Case& c : cases) {
        fake.setHandler("POST", QStringLiteral("/chat"), [c](const FakeRequest&) { return c.response; });
        ask(QStringLiteral("help me"));
        ASSERT_TRUE(waitForRequests(QStringLiteral("/chat"), ++turn) && waitForTurnEnd());
        EXPECT_EQ(m.chatOnlyStatusMessage(), c.status);
        EXPECT_EQ(m.chatOnlyInput(), QStringLiteral("help me"));
        EXPECT_EQ(m.overlayController()->bubbleText(), c.bubble);
        EXPECT_FALSE(m.isChatOnlyBusy() || m.isAgentBusy() || m.isUIAutopilotBusy());
        EXPECT_EQ(m.voiceState(), TovrikVoiceState::idle);
        EXPECT_TRUE(waitForRequests(QStringLiteral("/auth/me"), turn));
    }
}

TEST_F(ChatTurnTest, VoicePressTakesOverATypedTurn)
{
    auto& m = launchReadyModel();
    setSlowChatReply(QStringLiteral("Too late."), 150);
    ask(QStringLiteral("slow question"));
    ASSERT_TRUE(waitForRequests(QStringLiteral("/chat"), 1));
    pressChord();
    EXPECT_TRUE(m.isPushToTalkRecording() && !m.isChatOnlyBusy());
    spinUntil([]() { return false; }, 1200);
    // The typed turn ended silently: no status, no prompt put back, no answer.
    EXPECT_TRUE(m.chatOnlyStatusMessage().isEmpty() && m.chatOnlyInput().isEmpty());
    EXPECT_NE(m.overlayController()->bubbleText(), QStringLiteral("Too late."));
    EXPECT_TRUE(fake.requestsTo(QStringLiteral("/tts")).isEmpty());
    EXPECT_EQ(m.voiceState(), TovrikVoiceState::listening);
    // Its credit refresh still comes.
    EXPECT_TRUE(waitForRequests(QStringLiteral("/auth/me"), 1));
}

TEST_F(ChatTurnTest, TypedTurnDropsARunningRecording)
{
    auto& m = launchReadyModel();
    fake.setChatReply(QStringLiteral("Typed answer."));
    pressChord();
    const QString wav = m.audioRecorderService().currentFilePath();
    ASSERT_TRUE(m.isPushToTalkRecording());
    ask(QStringLiteral("typed instead"));
    EXPECT_FALSE(m.isPushToTalkRecording() || m.activePushToTalkInteractionVersion());
    EXPECT_FALSE(QFile::exists(wav));
    advance(1.0);
    releaseChord();
    ASSERT_TRUE(waitForRequests(QStringLiteral("/tts"), 1) && finishSpeechAndWait());
    EXPECT_TRUE(fake.requestsTo(QStringLiteral("/stt")).isEmpty());
    EXPECT_EQ(m.overlayController()->bubbleText(), QStringLiteral("Typed answer."));
}

TEST_F(ChatTurnTest, TypingAQuestionOrHoldingTheChordOpensTheConnectionAhead)
{
    auto& m = launchReadyModel();
    const auto opened = [this](qsizetype count) {
        return spinUntil([&] { return fake.connectTargets().size() == count; });
    };
    // The start-up refresh's connection is fresh: typing opens none.
    m.setChatOnlyInput(QStringLiteral("w"));
    drainEvents();
    EXPECT_TRUE(fake.connectTargets().isEmpty());
    // Once it is old, the first key typed opens one, which the turn uses.
    advance(HTTPConnectionPool::maximumIdleSeconds + 1, 1);
    m.setChatOnlyInput(QStringLiteral("wh"));
    ASSERT_TRUE(opened(1));
    EXPECT_TRUE(fake.requests().isEmpty());
    fake.setChatReply(QStringLiteral("Typed answer."));
    ask(QStringLiteral("what"));
    ASSERT_TRUE(waitForRequests(QStringLiteral("/chat"), 1));
    EXPECT_EQ(fake.connectTargets().size(), 1);
    ASSERT_TRUE(waitForRequests(QStringLiteral("/tts"), 1) && finishSpeechAndWait());
    // So does the push-to-talk chord going down, and a long hold keeps one
    // fresh for the upload at its end.
    advance(HTTPConnectionPool::maximumIdleSeconds + 1, 1);
    const auto afterTurn = fake.connectTargets().size();
    pressChord();
    ASSERT_TRUE(opened(afterTurn + 1));
    sim->simAudioInput().feedTone(2.0, 0.5);
    advance(HTTPConnectionPool::maximumIdleSeconds * 2, 0.12);
    const auto beforeRelease = fake.connectTargets().size();
    EXPECT_GE(beforeRelease, afterTurn + 2);
    releaseChord();
    ASSERT_TRUE(waitForRequests(QStringLiteral("/stt"), 1));
    EXPECT_EQ(fake.connectTargets().size(), beforeRelease);
    ASSERT_TRUE(waitForRequests(QStringLiteral("/tts"), 2) && finishSpeechAndWait());
    // Signed out, nothing is opened.
    m.signOutHostedAccount();
    ASSERT_TRUE(waitForRequests(QStringLiteral("/api/account/signout"), 1));
    advance(HTTPConnectionPool::maximumIdleSeconds + 1, 1);
    const auto before = fake.connectTargets().size();
    m.setChatOnlyInput(QStringLiteral("again"));
    drainEvents();
    spinUntil([] { return false; }, 100);
    EXPECT_EQ(fake.connectTargets().size(), before);
}

} // namespace
} // namespace tovrik::test
