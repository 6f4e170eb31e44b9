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

#include <QFile>
#include <QProcess>
#include <QThread>
#include <csignal>
#include <gtest/gtest.h>

namespace tovrik::test {
namespace {

bool withoutMpegDecoder()
{
    return qEnvironmentVariable("TOVRIK_TEST_WITHOUT_MPEG_DECODER") == QLatin1String("1");
}

// The test environment's sound server (scripts/test-sound-server.sh).
QString soundServerScript()
{
    return qEnvironmentVariable("TOVRIK_TEST_SOUND_SERVER");
}

pid_t soundServerPid()
{
    QFile file(qEnvironmentVariable("XDG_RUNTIME_DIR") + QStringLiteral("/tovrik-test-pulse.pid"));
    return file.open(QIODevice::ReadOnly) ? pid_t(file.readAll().trimmed().toInt()) : 0;
}

// Kills the sound server (SIGKILL) or stops it the clean way (SIGTERM), and
// waits until it has gone.
void endSoundServer(int signal)
{
    const pid_t pid = soundServerPid();
    ASSERT_GT(pid, 0);
    ASSERT_EQ(::kill(pid, signal), 0);
    EXPECT_TRUE(spinUntil([pid] { return ::kill(pid, 0) != 0; }, 10000));
}

// Starts it again the way the environment started it; it stays for the
// tests after.
bool startSoundServer()
{
    return QProcess::execute(QStringLiteral("bash"), {soundServerScript(), QStringLiteral("start")}) == 0;
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

namespace tovrik::test {
namespace {

// The sound server killed, then stopped, 1.5 s into answers and started again
// a second later: each answer ends within its bound (the playback's, 10 s
// past the clip's length, then the system voice's, 10 s and 0.2 s a
// character), and the next question is taken at once and its answer heard
// on the new server (from the system voice while Qt's own connection to the
// server has not come back: it tries again 3 s after losing it).
TEST_F(SpeechOnXServer, AfterTheSoundServerRestartsDuringAnswersTheNextQuestionIsTakenAndHeard)
{
    if (withoutMpegDecoder() || soundServerScript().isEmpty())
        GTEST_SKIP() << "needs the MPEG decoders and the environment's sound server script";
    fake.setSpeechAudio(toneMpeg(440, 8));
    for (const int signal : {SIGKILL, SIGTERM}) {
        SCOPED_TRACE(signal == SIGKILL ? "killed" : "stopped");
        model->setChatOnlyInput(QStringLiteral("tell me more"));
        model->sendChatOnlyMessage();
        ASSERT_TRUE(spinUntil([this] { return model->speechPlayer().isPlaying(); }, 30000));
        spinUntil([] { return false; }, 1500);
        endSoundServer(signal);
        spinUntil([] { return false; }, 1000);
        ASSERT_TRUE(startSoundServer());
        EXPECT_TRUE(spinUntil([this] { return model->interactionTask().isFinished(); }, 45000))
            << "the answer did not end";
        EXPECT_FALSE(model->isChatOnlyBusy());
    }
    fake.setSpeechAudio(speech);
    EXPECT_GT(askAndListen().loudSamples, 4410) << "the answer after the restarts was not heard";
}

// A question asked while the sound server is stopped (SIGSTOP: it takes
// connections and answers nothing) ends its turn within the playback's
// bound (15 s and one and a half times the clip's length, then a second to
// find no server answering), and once it runs on the next one is taken.
TEST_F(SpeechOnXServer, AQuestionAskedWhileTheSoundServerIsStoppedEndsItsTurn)
{
    if (withoutMpegDecoder() || soundServerScript().isEmpty())
        GTEST_SKIP() << "needs the MPEG decoders and the environment's sound server script";
    const pid_t server = soundServerPid();
    ASSERT_GT(server, 0);
    askAndListen(); // one answer before: the media backend is up
    ASSERT_EQ(::kill(server, SIGSTOP), 0);
    model->setChatOnlyInput(QStringLiteral("hello?"));
    model->sendChatOnlyMessage();
    EXPECT_TRUE(spinUntil([this] { return model->interactionTask().isFinished(); }, 35000))
        << "the answer did not end";
    ::kill(server, SIGCONT);
    EXPECT_FALSE(model->isChatOnlyBusy());
    askAndListen();
    EXPECT_FALSE(model->isChatOnlyBusy()) << "the next question was not taken";
}

// A question asked while no sound server runs ends its turn, with
// speech-dispatcher as the system voice and with flite (speech-dispatcher
// unreachable), and the next one, with the server back, is taken. (Whether
// it is heard depends on Qt's own connection to the server, which tries
// again once, 3 s after losing it, and gives up for the run when the server
// is still gone then.)
class SpeechWithoutSoundServer : public SpeechOnXServer {
protected:
    void askWithoutServer()
    {
        endSoundServer(SIGKILL);
        model->setChatOnlyInput(QStringLiteral("anyone there?"));
        model->sendChatOnlyMessage();
        EXPECT_TRUE(spinUntil([this] { return model->interactionTask().isFinished(); }, 20000))
            << "the answer did not end";
        EXPECT_FALSE(model->isChatOnlyBusy());
        EXPECT_TRUE(startSoundServer());
        askAndListen();
        EXPECT_FALSE(model->isChatOnlyBusy()) << "the next question was not taken";
    }
};

TEST_F(SpeechWithoutSoundServer, WithSpeechDispatcher)
{
    if (withoutMpegDecoder() || soundServerScript().isEmpty())
        GTEST_SKIP() << "needs the MPEG decoders and the environment's sound server script";
    askWithoutServer();
}

TEST_F(SpeechWithoutSoundServer, WithFlite)
{
    if (withoutMpegDecoder() || soundServerScript().isEmpty())
        GTEST_SKIP() << "needs the MPEG decoders and the environment's sound server script";
    qputenv("SPEECHD_ADDRESS", "unix_socket:/nonexistent/speechd.sock");
    askWithoutServer();
    qunsetenv("SPEECHD_ADDRESS"); // the environment sets none
}

} // namespace
} // namespace tovrik::test
