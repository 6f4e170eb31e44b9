// The voice screen's sample against the fake hosted service: the selection is
// saved at once, the status texts of every outcome, the request it makes and
// a newer press superseding an older one.

#include "ModelTestSupport.h"

#include "common/Constants.h"
#include "settings/VoiceCatalogue.h"

namespace tovrik::test {
namespace {

class VoicePreviewTest : public TurnTest {
protected:
    // A catalogue voice other than the default (the first).
    static ElevenLabsVoiceOption otherVoice() { return constants::elevenLabsVoiceOptions().at(1); }
    bool waitForPreviewStatus(const QString& text) { return spinUntil([&] { return model->voicePreviewStatusMessage() == text; }, 15000); }
};

TEST_F(VoicePreviewTest, PlaysTheSampleInThePressedVoice)
{
    auto& m = launchReadyModel();
    const ElevenLabsVoiceOption voice = otherVoice();
    ASSERT_NE(voice.id, constants::defaultElevenLabsVoiceID);
    m.previewElevenLabsVoice(QStringLiteral("  ") + voice.id + QStringLiteral("\n"));
    const QString playing = QStringLiteral("Playing ") + voice.label + QStringLiteral("...");
    EXPECT_EQ(m.voicePreviewStatusMessage(), playing);
    EXPECT_EQ(m.settings().elevenLabsVoiceID, voice.id);
    EXPECT_EQ(readSettingsJson().value("elevenLabsVoiceID").toString(), voice.id);
    ASSERT_TRUE(spinUntil([this]() { return sim->simAudioOutput().playingCount() == 1; }, 15000));
    const QJsonObject tts = lastJson(fake.requestsTo(QStringLiteral("/tts")));
    EXPECT_EQ(tts.value("text").toString(), QStringLiteral("I'm Tovrik, and I'm here to help you with anything."));
    EXPECT_EQ(tts.value("voiceId").toString(), voice.id);
    EXPECT_EQ(tts.value("modelId").toString(), QStringLiteral("eleven_flash_v2_5"));
    EXPECT_EQ(m.voicePreviewStatusMessage(), playing) << "still playing";
    sim->simAudioOutput().finishAll();
    EXPECT_TRUE(waitForPreviewStatus(QStringLiteral("Sample finished.")));
    EXPECT_TRUE(waitForRequests(QStringLiteral("/auth/me"), 1));
}

TEST_F(VoicePreviewTest, OutOfCreditsAndFailuresAreDescribedAndLongOnesCut)
{
    auto& m = launchReadyModel();
    fake.setCreditsBalance(kEmail, 0);
    m.previewElevenLabsVoice(otherVoice().id);
    EXPECT_TRUE(waitForPreviewStatus(QStringLiteral("Add credits to preview voices.")));
    EXPECT_EQ(sim->simAudioOutput().playingCount(), 0);
    EXPECT_TRUE(waitForRequests(QStringLiteral("/auth/me"), 1));
    fake.setCreditsBalance(kEmail, 100);
    const std::pair<QString, QString> failures[] = {{"Speech is down.", "Sample failed: Speech is down."},
                                                    {QString(120, 'x'), "Sample failed: " + QString(77, 'x') + "..."},
                                                    // Cut by characters: an emoji at the cut stays whole.
                                                    {QString(76, 'x') + QStringLiteral("\U0001F600").repeated(20),
                                                     "Sample failed: " + QString(76, 'x') + QStringLiteral("\U0001F600...")}};
    for (const auto& [message, status] : failures) {
        fake.setHandler("POST", QStringLiteral("/tts"),
                        [message](const FakeRequest&) { return FakeResponse::error(500, "tts_down", message); });
        m.previewElevenLabsVoice(otherVoice().id);
        EXPECT_TRUE(waitForPreviewStatus(status));
    }

    // Audio the player cannot play fails the sample too.
    fake.clearHandlers();
    sim->simAudioOutput().autoFinish = QStringLiteral("Decoder Error");
    m.previewElevenLabsVoice(otherVoice().id);
    EXPECT_TRUE(spinUntil([&m] { return m.voicePreviewStatusMessage().startsWith(QStringLiteral("Sample failed: "))
                                        && m.voicePreviewStatusMessage().contains(QStringLiteral("Decoder Error")); }, 15000))
        << m.voicePreviewStatusMessage().toStdString();
}

TEST_F(VoicePreviewTest, AMachineThatPlaysNoMpegSaysSoWithoutBuyingTheSample)
{
    auto& m = launchReadyModel();
    sim->simAudioOutput().mpegProblem = QStringLiteral("Your GStreamer installation is missing a plug-in.");
    m.previewElevenLabsVoice(otherVoice().id);
    EXPECT_TRUE(waitForPreviewStatus(QStringLiteral("Sample failed: This system cannot play MPEG audio.")));
    EXPECT_EQ(m.settings().elevenLabsVoiceID, otherVoice().id);
    EXPECT_TRUE(fake.requestsTo(QStringLiteral("/tts")).isEmpty());
    EXPECT_TRUE(sim->simAudioOutput().played.isEmpty());
}

TEST_F(VoicePreviewTest, NewerPressSupersedesAnOlderOne)
{
    auto& m = launchReadyModel();
    const ElevenLabsVoiceOption first = otherVoice();
    const ElevenLabsVoiceOption second = elevenLabsVoiceOption(constants::defaultElevenLabsVoiceID).value();
    // The first sample's speech is slow and then fails; its outcome must not
    // overwrite the second sample's status.
    fake.setHandler("POST", QStringLiteral("/tts"), [first](const FakeRequest& r) {
        if (r.json().value("voiceId").toString() == first.id)
            return FakeResponse::error(500, "tts_down", "First failed.").slowed(400);
        return FakeResponse::raw(200, "audio/mpeg", QByteArray("ID3\x04\x00\x00\x00\x00\x00\x00", 10) + QByteArray(64, '\xff'));
    });
    m.previewElevenLabsVoice(first.id);
    ASSERT_TRUE(waitForRequests(QStringLiteral("/tts"), 1));
    m.previewElevenLabsVoice(second.id);
    EXPECT_EQ(m.voicePreviewStatusMessage(), QStringLiteral("Playing ") + second.label + QStringLiteral("..."));
    ASSERT_TRUE(spinUntil([this]() { return sim->simAudioOutput().playingCount() == 1; }, 15000));
    sim->simAudioOutput().finishAll();
    EXPECT_TRUE(waitForPreviewStatus(QStringLiteral("Sample finished.")));
    spinUntil([]() { return false; }, 800);
    EXPECT_EQ(m.voicePreviewStatusMessage(), QStringLiteral("Sample finished."));
    EXPECT_EQ(m.settings().elevenLabsVoiceID, second.id);
}

// Leaving the voice page ends the sample itself: audio arriving afterwards
// is never played, and the old sample writes nothing over the status of a
// page opened again.
TEST_F(VoicePreviewTest, LeavingTheVoicePageEndsASampleStillOnItsWay)
{
    auto& m = launchReadyModel();
    fake.setHandler("POST", QStringLiteral("/tts"), [](const FakeRequest&) {
        FakeResponse slow = FakeResponse::raw(200, "audio/mpeg", QByteArray("ID3\x04\x00\x00\x00\x00\x00\x00", 10));
        slow.chunks = {slow.body, QByteArray(64, '\xff')};
        return slow.slowed(400);
    });
    sim->simAudioOutput().autoFinish = QString(); // a sample that plays ends at once (with "Sample finished.")
    m.showAdvancedSettings();
    m.showVoiceSettings();
    m.previewElevenLabsVoice(otherVoice().id);
    ASSERT_TRUE(waitForRequests(QStringLiteral("/tts"), 1));
    m.showMainScreen();
    EXPECT_TRUE(!m.isShowingVoiceSettings() && m.isShowingAdvancedSettings());
    m.showVoiceSettings();
    spinUntil([]() { return false; }, 1500); // the audio would have arrived by now
    EXPECT_TRUE(sim->simAudioOutput().played.isEmpty());
    EXPECT_EQ(m.voicePreviewStatusMessage(), QString());
}

} // namespace
} // namespace tovrik::test
