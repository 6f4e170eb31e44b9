// Spoken answers and voice samples heard for real: the model on the x11
// backend, the fake hosted service over TLS serving an MP3 made now, the
// media backend playing it into the test environment's null sink and the
// sink's monitor recording what came out. Audio the backend cannot decode is
// spoken by the system voice instead. Run again with GStreamer's
// MPEG decoders ranked out (a ctest entry of its own), no speech is bought:
// the sample says why, and answers are heard from the system voice.

#include "interaction/SpeechPlayer.h"
#include "model/TovrikAppModel.h"
#include "platform/x11/X11Platform.h"
#include "settings/VoiceCatalogue.h"
#include "support/FakeHostedService.h"
#include "support/HeardSound.h"
#include "support/SignedInDataHome.h"
#include "support/SimFixture.h"

#include <QProcess>
#include <QThread>
#include <gtest/gtest.h>

namespace tovrik::test {
namespace {

bool withoutMpegDecoder()
{
    return qEnvironmentVariable("TOVRIK_TEST_WITHOUT_MPEG_DECODER") == QLatin1String("1");
}

class SpeechOnXServer : public ::testing::Test {
protected:
    void SetUp() override
    {
        if (testPulseSink().isEmpty())
            GTEST_SKIP() << "no test sound server (run through scripts/with-test-env.sh)";
        QString error;
        ASSERT_TRUE(platform::x11::X11Platform::install(&error)) << error.toStdString();
        ASSERT_TRUE(dataHome.signIn(QStringLiteral("voice@b.c"), {.autopilotAndSilent = false}));
        speech = toneMpeg(440, clipSeconds);
        ASSERT_FALSE(speech.isEmpty()) << "lame made no MP3";
        fake.setSpeechAudio(speech);
        fake.setChatReply(QStringLiteral("Here is your answer."));
        model = std::make_unique<TovrikAppModel>();
        model->launch();
    }
    void TearDown() override
    {
        model.reset();
        drainEvents();
        dataHome.signOut();
    }
    // Asks a typed question and returns what the sink heard of the answer
    // (and how long it was audible).
    HeardTone askAndListen(double* audible = nullptr, bool stall = false, bool fromSuspended = false)
    {
        SinkRecording recording;
        EXPECT_TRUE(recording.recording());
        if (fromSuspended) {
            EXPECT_TRUE(awaitSuspendedSink()) << "the sink did not suspend before the question";
        }
        model->setChatOnlyInput(QStringLiteral("what now?"));
        model->sendChatOnlyMessage();
        if (stall)
            stallWhilePlaying(model->speechPlayer());
        EXPECT_TRUE(spinUntil([this] { return model->interactionTask().isFinished(); }, 60000));
        spinUntil([] { return false; }, 300); // the sink's last buffer
        const QByteArray heard = recording.stop();
        if (audible)
            *audible = audibleSeconds(heard);
        return heardTone(heard);
    }
    // Plays a voice sample and returns its status and what the sink heard.
    std::pair<QString, HeardTone> sampleAndListen(double* audible = nullptr, bool stall = false,
                                                  bool fromSuspended = false)
    {
        SinkRecording recording;
        EXPECT_TRUE(recording.recording());
        if (fromSuspended) {
            EXPECT_TRUE(awaitSuspendedSink()) << "the sink did not suspend before the sample";
        }
        model->previewElevenLabsVoice(constants::elevenLabsVoiceOptions().at(1).id);
        if (stall)
            stallWhilePlaying(model->voicePreviewPlayer());
        spinUntil([this] { return !model->voicePreviewStatusMessage().startsWith(QStringLiteral("Playing ")); }, 60000);
        spinUntil([] { return false; }, 300);
        const QByteArray heard = recording.stop();
        if (audible)
            *audible = audibleSeconds(heard);
        return {model->voicePreviewStatusMessage(), heardTone(heard)};
    }

    // Once `player` plays, the main thread is held up twice for 0.6 s, as a
    // loaded desktop or a long paint holds it up.
    static void stallWhilePlaying(SpeechPlayer& player)
    {
        EXPECT_TRUE(spinUntil([&] { return player.isPlaying(); }, 60000));
        for (int i = 0; i < 2; ++i) {
            spinUntil([] { return false; }, 800);
            QThread::msleep(600);
        }
    }

    static constexpr double clipSeconds = 3.5;
    QByteArray speech; // what the speech service answers

    FakeHostedService fake;
    SignedInDataHome dataHome{fake};
    std::unique_ptr<TovrikAppModel> model;
};

TEST_F(SpeechOnXServer, TheStandInsVoiceSampleIsHeard)
{
    if (withoutMpegDecoder())
        GTEST_SKIP() << "MPEG decoders are ranked out in this run";
    const auto [status, heard] = sampleAndListen();
    EXPECT_EQ(status.toStdString(), "Sample finished.");
    EXPECT_EQ(fake.requestsTo(QStringLiteral("/tts")).size(), 1);
    // Some of the start may be lost while the stream sets up.
    EXPECT_GT(heard.loudSamples, 4410);
    EXPECT_NEAR(heard.hz, 440, 20);
}

// Answers and voice samples are heard whole (as much as paplay makes heard of
// the same clip), whether the sink was suspended when they were asked for
// (the test sound server suspends it after a second of quiet) or already playing another stream (here one of
// silence), and though the main thread is held up while they play.
TEST_F(SpeechOnXServer, AnswersAndVoiceSamplesAreHeardWholeFromAnIdleSinkAndFromAPlayingOne)
{
    if (withoutMpegDecoder())
        GTEST_SKIP() << "MPEG decoders are ranked out in this run";
    const ParkedStreams parked;
    const double reference = paplayAudibleSeconds(speech);
    ASSERT_GE(reference, 0.9 * clipSeconds) << "paplay did not play the clip";
    for (const bool alreadyPlaying : {false, true}) {
        SCOPED_TRACE(alreadyPlaying ? "sink playing" : "sink idle");
        QProcess silence;
        if (alreadyPlaying) {
            silence.start(QStringLiteral("pacat"), {QStringLiteral("-d"), testPulseSink(), QStringLiteral("--format=s16le"),
                                                     QStringLiteral("--rate=44100"), QStringLiteral("--channels=1"),
                                                     QStringLiteral("/dev/zero")});
            ASSERT_TRUE(silence.waitForStarted());
        }
        double answer = 0, sample = 0;
        const HeardTone heard = askAndListen(&answer, true, !alreadyPlaying);
        EXPECT_NEAR(heard.hz, 440, 20);
        EXPECT_GE(answer, 0.98 * reference) << "of the answer";
        EXPECT_EQ(sampleAndListen(&sample, true, !alreadyPlaying).first.toStdString(), "Sample finished.");
        EXPECT_GE(sample, 0.98 * reference) << "of the voice sample";
        silence.kill();
        silence.waitForFinished();
    }
}

TEST_F(SpeechOnXServer, AnAnswerTheBackendCannotDecodeIsSpokenByTheSystemVoice)
{
    if (withoutMpegDecoder())
        GTEST_SKIP() << "MPEG decoders are ranked out in this run";
    fake.setSpeechAudio(QByteArray("ID3\x04\0\0\0\0\0\0", 10) + QByteArray(64, '\xff'));
    const HeardTone heard = askAndListen();
    EXPECT_EQ(fake.requestsTo(QStringLiteral("/tts")).size(), 1);
    EXPECT_GT(heard.loudSamples, 4410) << "nothing spoke the answer";
}

TEST_F(SpeechOnXServer, WithoutMpegDecoderNoSpeechIsBoughtAndTheSystemVoiceSpeaks)
{
    if (!withoutMpegDecoder())
        GTEST_SKIP() << "runs where MPEG decoders are ranked out (a ctest entry of its own)";
    const auto [status, sampleHeard] = sampleAndListen();
    EXPECT_EQ(status.toStdString(), "Sample failed: This system cannot play MPEG audio.");
    EXPECT_EQ(sampleHeard.loudSamples, 0);
    const HeardTone answerHeard = askAndListen();
    EXPECT_TRUE(fake.requestsTo(QStringLiteral("/tts")).isEmpty());
    EXPECT_GT(answerHeard.loudSamples, 4410) << "nothing spoke the answer";
}

} // namespace
} // namespace tovrik::test
