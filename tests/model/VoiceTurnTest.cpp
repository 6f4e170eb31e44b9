// The push-to-talk turn end to end on the sim backend against the fake hosted
// service over TLS: the recording, its upload, the chat request with one JPEG
// per display and the history, the point landing on the right screen, the
// speech, the history and the deleted recording; the hold rules on the
// virtual clock; the readiness checks; stale turns ending silently.

#include "ModelTestSupport.h"

#include "common/Constants.h"
#include "interaction/PointedResponse.h"

#include <QFile>
#include <QImage>

namespace tovrik::test {
namespace {

using VoiceTurnTest = TurnTest;

TEST_F(VoiceTurnTest, FullSpokenTurnFromChordToSpeech)
{
    auto& m = launchReadyModel();
    for (int i = 1; i <= 14; ++i)
        m.appendConversationTurn(QStringLiteral("q%1").arg(i), QStringLiteral("a%1").arg(i));
    fake.setTranscript(QStringLiteral("where do I save this?"));
    fake.setChatReply(QStringLiteral("Click the Save button. [POINT:100,50:save button:screen2]"));
    pressChord();
    ASSERT_TRUE(m.isPushToTalkRecording());
    EXPECT_EQ(m.voiceState(), TovrikVoiceState::listening);
    const QString wav = m.audioRecorderService().currentFilePath();
    ASSERT_FALSE(wav.isEmpty());
    sim->simAudioInput().feedTone(1.0, 0.5);
    advance(0.5);
    // The input level reaches the overlay while recording.
    EXPECT_GT(m.overlayController()->audioPowerLevel(), 0.0);
    advance(0.5);
    releaseChord();
    EXPECT_FALSE(m.isPushToTalkRecording());
    EXPECT_EQ(m.overlayController()->audioPowerLevel(), 0.0);
    EXPECT_EQ(m.voiceState(), TovrikVoiceState::processing);
    ASSERT_TRUE(waitForRequests(QStringLiteral("/tts"), 1) && finishSpeechAndWait());
    // The upload: the WAV recording of about one second.
    const QList<FakeRequest> uploads = fake.requestsTo(QStringLiteral("/stt"));
    ASSERT_EQ(uploads.size(), 1);
    QByteArray audio;
    ASSERT_TRUE(uploads[0].multipartPart("file", &audio));
    EXPECT_TRUE(audio.startsWith("RIFF") && audio.mid(8, 4) == "WAVE");
    EXPECT_GE(audio.size(), 44 + 16000 * 2 * 9 / 10);
    EXPECT_EQ(uploads[0].bearerToken(), sessionToken);
    // One chat request: the transcript, one JPEG per display (their encoding
    // and labels are checked on the request and the capture), the last 12
    // turns and the voice-companion prompt.
    const QList<FakeRequest> chats = fake.requestsTo(QStringLiteral("/chat"));
    ASSERT_EQ(chats.size(), 1);
    const QJsonObject chat = chats[0].json();
    EXPECT_EQ(chat.value("transcript").toString(), QStringLiteral("where do I save this?"));
    EXPECT_EQ(chat.value("workload").toString(), QStringLiteral("voice"));
    EXPECT_EQ(chat.value("systemPrompt").toString(), PointedResponse::voiceCompanionSystemPrompt());
    EXPECT_EQ(chat.value("model").toString(), constants::expertHostedThinkingModel);
    const QJsonArray images = chat.value("imageAttachments").toArray();
    ASSERT_EQ(images.size(), 2);
    const QList<QSize> expectedSizes = {QSize(2560, 1600), QSize(1920, 1080)};
    for (int i = 0; i < 2; ++i) {
        const QByteArray jpeg = QByteArray::fromBase64(images[i].toObject().value("imageData").toString().toLatin1());
        EXPECT_EQ(QImage::fromData(jpeg, "JPEG").size(), expectedSizes[i]);
    }
    const QJsonArray history = chat.value("history").toArray();
    ASSERT_EQ(history.size(), 12);
    EXPECT_EQ(history.first().toObject().value("userTranscript").toString(), QStringLiteral("q3"));
    EXPECT_EQ(history.last().toObject().value("assistantResponse").toString(), QStringLiteral("a14"));
    // Upload, then chat, then speech.
    EXPECT_LT(arrivalIndex(QStringLiteral("/stt")), arrivalIndex(QStringLiteral("/chat")));
    EXPECT_LT(arrivalIndex(QStringLiteral("/chat")), arrivalIndex(QStringLiteral("/tts")));
    const QJsonObject tts = lastJson(fake.requestsTo(QStringLiteral("/tts")));
    EXPECT_EQ(tts.value("text").toString(), QStringLiteral("Click the Save button."));
    EXPECT_EQ(tts.value("voiceId").toString(), constants::defaultElevenLabsVoiceID);
    EXPECT_EQ(tts.value("modelId").toString(), QStringLiteral("eleven_flash_v2_5"));
    // Pixel (100, 50) of screenshot 2 (display 2: 1920x1080 at x 1440, its
    // AppKit frame reaching up to y 900) lands at (1540, 850).
    EXPECT_EQ(m.overlayController()->targetScreenLocation(), QPointF(1540, 850));
    EXPECT_EQ(m.overlayController()->bubbleText(), QStringLiteral("Click the Save button."));
    ASSERT_EQ(m.conversationHistory().size(), 12);
    EXPECT_EQ(m.conversationHistory().last(), (ConversationTurn{"where do I save this?", "Click the Save button."}));
    EXPECT_EQ(m.lastTranscript(), QStringLiteral("where do I save this?"));
    EXPECT_FALSE(QFile::exists(wav));
    EXPECT_EQ(m.voiceState(), TovrikVoiceState::idle);
    EXPECT_TRUE(waitForRequests(QStringLiteral("/auth/me"), 1)) << "a credit refresh follows the turn";
}

TEST_F(VoiceTurnTest, ShortTapIsRefusedAndAPressRightAfterIsIgnored)
{
    auto& m = launchReadyModel();
    const QString wav = holdChord(0.15);
    EXPECT_FALSE(m.isPushToTalkRecording() || QFile::exists(wav));
    EXPECT_EQ(m.overlayController()->bubbleText(), QStringLiteral("hold a little longer to talk"));
    EXPECT_EQ(m.voiceState(), TovrikVoiceState::idle);
    advance(0.2); // still inside the 0.24 s debounce
    pressChord();
    EXPECT_FALSE(m.isPushToTalkRecording());
    releaseChord();
    advance(0.05); // over
    pressChord();
    EXPECT_TRUE(m.isPushToTalkRecording());
    releaseChord();
    drainEvents();
    EXPECT_TRUE(fake.requestsTo(QStringLiteral("/stt")).isEmpty());
}

// Closing the microphone runs the event loop on a real sound server: a press
// that comes in then (the chord pressed again right after letting go) is
// taken once the release is done, and records a turn of its own.
TEST_F(VoiceTurnTest, APressWhileTheReleaseClosesTheMicrophoneStartsTheNextHoldAfterIt)
{
    auto& m = launchReadyModel();
    fake.setTranscript(QStringLiteral("hello"));
    fake.setChatReply(QStringLiteral("Hi."));
    pressChord();
    const QString first = m.audioRecorderService().currentFilePath();
    sim->simAudioInput().feedTone(1.0, 0.5);
    advance(1.0);
    sim->simAudioInput().onStreamClosing = [&] {
        sim->simAudioInput().onStreamClosing = nullptr;
        m.handlePushToTalkPressed();
    };
    releaseChord();
    ASSERT_TRUE(m.isPushToTalkRecording()) << "the press was lost";
    const QString second = m.audioRecorderService().currentFilePath();
    EXPECT_FALSE(second.isEmpty() || second == first);
    pressChord(); // the chord is down again
    sim->simAudioInput().feedTone(1.0, 0.5);
    advance(1.0);
    releaseChord();
    // The second turn runs to its chat request (the first gave way to it).
    ASSERT_TRUE(waitForRequests(QStringLiteral("/chat"), 1));
    const QList<FakeRequest> uploads = fake.requestsTo(QStringLiteral("/stt"));
    ASSERT_FALSE(uploads.isEmpty());
    QByteArray audio;
    ASSERT_TRUE(uploads.last().multipartPart("file", &audio));
    EXPECT_GE(audio.size(), 44 + 16000 * 2 * 9 / 10);
    EXPECT_NE(m.overlayController()->bubbleText(), QStringLiteral("no audio was recorded."));
    EXPECT_FALSE(QFile::exists(first));
}

// A hold whose release went unseen ends at the watchdog's next tick; one
// that is never released ends by itself after 600 s.
TEST_F(VoiceTurnTest, AHoldEndsByTheWatchdogOrAfterSixHundredSeconds)
{
    auto& m = launchReadyModel();
    fake.setTranscript(QStringLiteral("hello"));
    fake.setChatReply(QStringLiteral("Hi."));
    pressChord();
    sim->simAudioInput().feedTone(0.5, 0.5);
    advance(0.5);
    ASSERT_TRUE(m.isPushToTalkRecording());
    sim->simInput().setPhysicalModifiers(0); // the keys go up without the tap reporting it
    advance(0.13);
    EXPECT_FALSE(m.isPushToTalkRecording());
    EXPECT_EQ(m.voiceState(), TovrikVoiceState::processing);
    ASSERT_TRUE(waitForRequests(QStringLiteral("/stt"), 1) && finishSpeechAndWait());
    releaseChord();
    advance(1.0);
    pressChord();
    sim->simAudioInput().feedTone(1.0, 0.5);
    advance(599.95, 0.5);
    EXPECT_TRUE(m.isPushToTalkRecording());
    advance(0.06);
    EXPECT_FALSE(m.isPushToTalkRecording());
    ASSERT_TRUE(waitForRequests(QStringLiteral("/stt"), 2) && finishSpeechAndWait());
}

// A turn that ends without an answer says why in the overlay (lowercased),
// keeps no history and deletes its recording; its credit refresh comes.
TEST_F(VoiceTurnTest, TurnsWithoutAnAnswerSayWhyAndTheRecordingGoes)
{
    auto& m = launchReadyModel();
    struct Case { QString transcript; std::optional<FakeResponse> chat; QString bubble; };
    const Case cases[] = {
        {"   ", std::nullopt, "i didn't catch that"},
        {"hello", FakeResponse::error(500, "overloaded", "Model Is Overloaded"), "model is overloaded"},
    };
    int turn = 0;
    for (const Case& c : cases) {
        fake.setTranscript(c.transcript);
        if (c.chat)
            fake.setHandler("POST", QStringLiteral("/chat"), [c](const FakeRequest&) { return *c.chat; });
        advance(1.0);
        const QString wav = holdChord(1.0);
        ASSERT_TRUE(waitForRequests(QStringLiteral("/stt"), ++turn) && waitForTurnEnd());
        EXPECT_EQ(m.overlayController()->bubbleText(), c.bubble);
        EXPECT_EQ(m.voiceState(), TovrikVoiceState::idle);
        EXPECT_EQ(fake.requestsTo(QStringLiteral("/chat")).size(), c.chat ? 1 : 0);
        EXPECT_FALSE(QFile::exists(wav) || !m.conversationHistory().isEmpty());
        EXPECT_TRUE(waitForRequests(QStringLiteral("/auth/me"), turn));
    }
}

TEST_F(VoiceTurnTest, NewPressMidTurnEndsTheOldTurnSilentlyAndStopsItsSpeech)
{
    auto& m = launchReadyModel();
    fake.setTranscript(QStringLiteral("what is this?"));
    // Without the staleness checks this reply would be shown and spoken after the second press.
    setSlowChatReply(QStringLiteral("Late answer."), 150);
    const QString firstWav = holdChord(1.0);
    ASSERT_TRUE(waitForRequests(QStringLiteral("/chat"), 1));
    pressChord();
    spinUntil([]() { return false; }, 1500); // every chance for the old reply to arrive
    EXPECT_TRUE(fake.requestsTo(QStringLiteral("/tts")).isEmpty() && sim->simSpeech().spoken.isEmpty());
    EXPECT_EQ(sim->simAudioOutput().playingCount(), 0);
    EXPECT_NE(m.overlayController()->bubbleText(), QStringLiteral("Late answer."));
    EXPECT_TRUE(m.conversationHistory().isEmpty());
    EXPECT_EQ(m.voiceState(), TovrikVoiceState::listening);
    EXPECT_TRUE(m.isPushToTalkRecording());
    EXPECT_FALSE(QFile::exists(firstWav));
    // The new turn's answer is spoken; a press meanwhile stops it.
    sim->simAudioInput().feedTone(1.0, 0.5);
    advance(1.0);
    releaseChord();
    ASSERT_TRUE(spinUntil([this]() { return sim->simAudioOutput().playingCount() == 1; }, 15000));
    pressChord();
    EXPECT_EQ(sim->simAudioOutput().playingCount(), 0);
    EXPECT_TRUE(m.isPushToTalkRecording());
    drainEvents();
    EXPECT_TRUE(sim->simSpeech().spoken.isEmpty()) << "the stopped answer falls back to nothing";
    EXPECT_EQ(m.voiceState(), TovrikVoiceState::listening);
}

TEST_F(VoiceTurnTest, ReadinessChecksInOrderOpenThePanel)
{
    auto& m = launchReadyModel();
    using MA = platform::MicrophoneAuthorization;
    struct Case { bool signedIn, accessibility, screenRecording; MA microphone; bool device; const char* status; };
    const Case cases[] = {
        {true, false, false, MA::Denied, false, "allow accessibility first"},
        {true, true, false, MA::Denied, true, "allow screen recording first"},
        {true, true, true, MA::Authorized, false, "no microphone found"},
        {true, true, true, MA::Denied, true, "allow microphone first"},
        {false, false, false, MA::Denied, false, "sign in first"}, // before every permission
    };
    int opened = 0;
    for (const Case& c : cases) {
        if (!c.signedIn)
            m.signOutHostedAccount();
        setPermissions(c.accessibility, c.screenRecording, c.microphone, c.device);
        pressChord();
        EXPECT_FALSE(m.isPushToTalkRecording()) << c.status;
        EXPECT_EQ(settingsOpened, ++opened);
        EXPECT_EQ(m.overlayController()->bubbleText(), QString::fromLatin1(c.status));
        EXPECT_EQ(m.voiceState(), TovrikVoiceState::idle);
        releaseChord();
    }
    EXPECT_TRUE(fake.requestsTo(QStringLiteral("/stt")).isEmpty());
}

TEST_F(VoiceTurnTest, SystemVoiceStandsInUnlessCreditsRanOutAndTextOnlySpeaksNothing)
{
    auto& m = launchReadyModel();
    fake.setTranscript(QStringLiteral("hello"));
    fake.setChatReply(QStringLiteral("Spoken by the system."));
    fake.setHandler("POST", QStringLiteral("/tts"),
                    [](const FakeRequest&) { return FakeResponse::error(500, "tts_down", "Speech is down."); });
    holdChord(1.0);
    ASSERT_TRUE(waitForRequests(QStringLiteral("/tts"), 1) && waitForTurnEnd());
    EXPECT_EQ(sim->simSpeech().spoken, QStringList{QStringLiteral("Spoken by the system.")});
    EXPECT_EQ(m.voiceState(), TovrikVoiceState::idle);
    fake.setHandler("POST", QStringLiteral("/tts"),
                    [](const FakeRequest&) { return FakeResponse::error(402, "insufficient_credits", "Out of credits."); });
    advance(1.0);
    holdChord(1.0);
    ASSERT_TRUE(waitForRequests(QStringLiteral("/tts"), 2) && waitForTurnEnd());
    EXPECT_EQ(sim->simSpeech().spoken.size(), 1);
    EXPECT_EQ(m.overlayController()->bubbleText(), QStringLiteral("Spoken by the system."));
    // Text-only mode asks for no speech at all.
    changeSettings([](TovrikSettings& s) { s.isSilentModeEnabled = true; });
    fake.setChatReply(QStringLiteral("Read me."));
    advance(1.0);
    holdChord(1.0);
    ASSERT_TRUE(waitForRequests(QStringLiteral("/chat"), 3) && waitForTurnEnd());
    EXPECT_EQ(m.overlayController()->bubbleText(), QStringLiteral("Read me."));
    EXPECT_EQ(fake.requestsTo(QStringLiteral("/tts")).size(), 2);
    EXPECT_EQ(sim->simSpeech().spoken.size(), 1);
}

// Audio the backend cannot decode is heard from the system voice instead;
// on a machine that plays no MPEG at all, no speech is bought in the first
// place.
TEST_F(VoiceTurnTest, SystemVoiceSpeaksWhatTheMachineCannotPlay)
{
    auto& m = launchReadyModel();
    fake.setTranscript(QStringLiteral("hello"));
    fake.setChatReply(QStringLiteral("Heard anyway."));
    sim->simAudioOutput().autoFinish = QStringLiteral("Your GStreamer installation is missing a plug-in.");
    holdChord(1.0);
    ASSERT_TRUE(waitForRequests(QStringLiteral("/tts"), 1) && waitForTurnEnd());
    EXPECT_EQ(sim->simSpeech().spoken, QStringList{QStringLiteral("Heard anyway.")});

    sim->simAudioOutput().mpegProblem = QStringLiteral("Your GStreamer installation is missing a plug-in.");
    advance(1.0);
    holdChord(1.0);
    ASSERT_TRUE(spinUntil([this] { return sim->simSpeech().spoken.size() == 2; }, 15000) && waitForTurnEnd());
    EXPECT_EQ(fake.requestsTo(QStringLiteral("/tts")).size(), 1) << "speech bought that cannot be played";
    EXPECT_EQ(fake.requestsTo(QStringLiteral("/chat")).size(), 2);
    EXPECT_EQ(m.overlayController()->bubbleText(), QStringLiteral("Heard anyway."));
}

TEST_F(VoiceTurnTest, PointingOnlyRequestSuppliesTheMissingPoint)
{
    auto& m = launchReadyModel();
    fake.setTranscript(QStringLiteral("where is the trash?"));
    int calls = 0;
    fake.setHandler("POST", QStringLiteral("/chat"), [&calls](const FakeRequest&) {
        const char* text = ++calls == 1 ? "It is in the corner." : "[POINT:10,20:trash:screen1]";
        return FakeResponse::eventStream(FakeResponse::chatReplyEvents(QString::fromLatin1(text), 2));
    });
    m.appendConversationTurn(QStringLiteral("earlier"), QStringLiteral("before"));
    holdChord(1.0);
    ASSERT_TRUE(waitForRequests(QStringLiteral("/tts"), 1) && finishSpeechAndWait());
    const QList<FakeRequest> chats = fake.requestsTo(QStringLiteral("/chat"));
    ASSERT_EQ(chats.size(), 2);
    const QJsonObject second = chats[1].json();
    EXPECT_EQ(second.value("systemPrompt").toString(), PointedResponse::pointingOnlySystemPrompt());
    EXPECT_TRUE(second.value("history").toArray().isEmpty());
    EXPECT_EQ(second.value("imageAttachments").toArray().size(), 2);
    EXPECT_EQ(second.value("transcript").toString(),
              PointedResponse::pointingOnlyUserMessage("where is the trash?", "It is in the corner."));
    // Pixel (10, 20) of the 2560x1600 screenshot of display 1 (1440x900
    // points at the origin): (10 * 1440 / 2560, 900 - 20 * 900 / 1600).
    EXPECT_EQ(m.overlayController()->targetScreenLocation(), QPointF(5.625, 888.75));
    EXPECT_EQ(m.conversationHistory().last().assistantResponse, QStringLiteral("It is in the corner."));
}

// A model that goes while recording or mid-turn leaves no recording behind
// and asks for no speech.
TEST_F(VoiceTurnTest, ModelGoneWhileRecordingOrMidTurnEndsQuietly)
{
    launchReadyModel();
    pressChord();
    const QString recording = model->audioRecorderService().currentFilePath();
    sim->simAudioInput().feedTone(0.5, 0.5);
    advance(0.5);
    ASSERT_TRUE(model->isPushToTalkRecording());
    model.reset();
    drainEvents();
    advance(1.0);
    EXPECT_FALSE(QFile::exists(recording));
    releaseChord();
    launchReadyModel();
    fake.setTranscript(QStringLiteral("hello"));
    setSlowChatReply(QStringLiteral("Never shown."), 200);
    const QString wav = holdChord(1.0);
    ASSERT_TRUE(waitForRequests(QStringLiteral("/chat"), 1));
    model.reset();
    spinUntil([]() { return false; }, 1000);
    EXPECT_FALSE(QFile::exists(wav));
    EXPECT_TRUE(fake.requestsTo(QStringLiteral("/tts")).isEmpty());
}

} // namespace
} // namespace tovrik::test
