// Encoded audio through the real media backend (the one QT_MEDIA_BACKEND
// picks; ctest runs these once per backend) into the test environment's null
// sink: an MP3 made now is heard on the sink's monitor, and the backend's own
// verdict on MPEG is what counts, whatever format lists it publishes. Run
// again with GStreamer's MPEG decoders ranked out, the verdict names the gap
// and an MP3 fails instead of playing. Without a sound server there is no
// system voice.

#include "platform/x11/X11Media.h"
#include "platform/x11/X11Speech.h"
#include "support/HeardSound.h"
#include "support/ProcessMemory.h"
#include "support/SimFixture.h"

#include <QAudioDevice>
#include <QEventLoop>
#include <QMediaDevices>
#include <QProcess>
#include <QThread>
#include <QTimer>
#include <QDir>
#include <glib.h>
#include <gtest/gtest.h>
#include <optional>
#include <sys/resource.h>
#include <csignal>

using namespace tovrik::platform::x11;
using tovrik::test::spinUntil;

namespace {

bool withoutMpegDecoder()
{
    return qEnvironmentVariable("TOVRIK_TEST_WITHOUT_MPEG_DECODER") == QLatin1String("1");
}

class X11AudioPlayback : public ::testing::Test {
protected:
    void SetUp() override
    {
        if (tovrik::test::testPulseSink().isEmpty())
            GTEST_SKIP() << "no test sound server (run through scripts/with-test-env.sh)";
        tone = tovrik::test::toneMpeg(440, toneSeconds);
        ASSERT_FALSE(tone.isEmpty()) << "lame made no MP3";
    }
    // The probe's verdict; every caller hears it exactly once.
    QString probeVerdict()
    {
        std::vector<QString> first, second;
        output.probeMpegPlayback([&](const QString& problem) { first.push_back(problem); });
        output.probeMpegPlayback([&](const QString& problem) { second.push_back(problem); });
        EXPECT_TRUE(spinUntil([&] { return !first.empty() && !second.empty(); }, 20000));
        std::vector<QString> later;
        output.probeMpegPlayback([&](const QString& problem) { later.push_back(problem); });
        EXPECT_TRUE(spinUntil([&] { return !later.empty(); }));
        tovrik::test::drainEvents();
        EXPECT_EQ(first.size() + second.size() + later.size(), 3u);
        EXPECT_EQ(first, second);
        EXPECT_EQ(first, later);
        return first.empty() ? QStringLiteral("no verdict") : first.front();
    }
    // Plays the tone and returns what it reported and the sink heard.
    // `stallMs`: the main thread is busy for that long twice while it plays
    // (a loaded desktop, a long paint).
    // `fromSuspended`: started once the sink has suspended; `sinkState`: its
    // state when the playback started.
    std::pair<std::optional<QString>, tovrik::test::HeardTone> playTone(double* audible = nullptr, int stallMs = 0,
                                                                         bool fromSuspended = false,
                                                                         QString* sinkState = nullptr)
    {
        tovrik::test::SinkRecording recording;
        EXPECT_TRUE(recording.recording());
        if (fromSuspended)
            tovrik::test::awaitSuspendedSink();
        if (sinkState)
            *sinkState = tovrik::test::testSinkState();
        std::optional<QString> result;
        auto playback = output.play(tone, QStringLiteral("audio/mpeg"), [&](const QString& error) { result = error; });
        for (int stall = 0; stall < (stallMs > 0 ? 2 : 0); ++stall) {
            spinUntil([] { return false; }, 800);
            QThread::msleep(stallMs);
        }
        spinUntil([&] { return result.has_value(); }, 30000);
        spinUntil([] { return false; }, 300); // the sink's last buffer
        const QByteArray heard = recording.stop();
        if (audible)
            *audible = tovrik::test::audibleSeconds(heard);
        return {result, tovrik::test::heardTone(heard)};
    }

    static constexpr double toneSeconds = 3.5;
    QByteArray tone;
    X11AudioOutput output;
};

TEST_F(X11AudioPlayback, AnMp3MadeNowIsHeardInTheSink)
{
    if (withoutMpegDecoder())
        GTEST_SKIP() << "MPEG decoders are ranked out in this run";
    EXPECT_EQ(probeVerdict().toStdString(), "");
    const auto [result, heard] = playTone();
    ASSERT_TRUE(result.has_value()) << "the playback never ended";
    EXPECT_EQ(result->toStdString(), "");
    // Some of the start may be lost while the stream sets up; a tenth of a
    // second of the tone is proof enough that it was decoded and played.
    EXPECT_GT(heard.loudSamples, 4410);
    EXPECT_NEAR(heard.hz, 440, 20);
}

// The whole answer is heard, as much of it as paplay makes heard, whether
// the sink was suspended when it started (the test sound server suspends it
// after a second of quiet) or already playing another stream (here one of
// silence).
TEST_F(X11AudioPlayback, AnAnswerIsHeardWholeFromAnIdleSinkAndFromAPlayingOne)
{
    if (withoutMpegDecoder())
        GTEST_SKIP() << "MPEG decoders are ranked out in this run";
    const tovrik::test::ParkedStreams parked;
    const double reference = tovrik::test::paplayAudibleSeconds(tone);
    ASSERT_GE(reference, 0.9 * toneSeconds) << "paplay did not play the tone";
    for (const bool alreadyPlaying : {false, true}) {
        SCOPED_TRACE(alreadyPlaying ? "sink playing" : "sink idle");
        QProcess silence;
        if (alreadyPlaying) {
            silence.start(QStringLiteral("pacat"), {QStringLiteral("-d"), tovrik::test::testPulseSink(),
                                                     QStringLiteral("--format=s16le"), QStringLiteral("--rate=44100"),
                                                     QStringLiteral("--channels=1"), QStringLiteral("/dev/zero")});
            ASSERT_TRUE(silence.waitForStarted());
            spinUntil([] { return false; }, 500);
        }
        double audible = 0;
        QString sinkState;
        const auto [result, heard] = playTone(&audible, 0, !alreadyPlaying, &sinkState);
        EXPECT_EQ(sinkState.toStdString(), alreadyPlaying ? "RUNNING" : "SUSPENDED");
        ASSERT_TRUE(result.has_value()) << "the playback never ended";
        EXPECT_EQ(result->toStdString(), "");
        EXPECT_GE(audible, 0.98 * reference);
        EXPECT_NEAR(heard.hz, 440, 20);
        silence.kill();
        silence.waitForFinished();
    }
}

TEST_F(X11AudioPlayback, AnAnswerIsHeardWholeThoughTheMainThreadStalls)
{
    if (withoutMpegDecoder())
        GTEST_SKIP() << "MPEG decoders are ranked out in this run";
    const tovrik::test::ParkedStreams parked;
    const double reference = tovrik::test::paplayAudibleSeconds(tone);
    ASSERT_GE(reference, 0.9 * toneSeconds) << "paplay did not play the tone";
    double audible = 0;
    QString sinkState;
    const auto [result, heard] = playTone(&audible, 600, true, &sinkState);
    EXPECT_EQ(sinkState.toStdString(), "SUSPENDED");
    ASSERT_TRUE(result.has_value()) << "the playback never ended";
    EXPECT_EQ(result->toStdString(), "");
    EXPECT_GE(audible, 0.98 * reference);
}

int threadCount()
{
    return int(QDir(QStringLiteral("/proc/self/task")).entryList(QDir::Dirs | QDir::NoDotAndDotDot).size());
}

// Eight minutes of answer (42 MB as PCM) is played as it is decoded: heard
// from the start, the process never holding more than a few MiB of it, and
// no thread of it left once it was stopped.
TEST_F(X11AudioPlayback, ALongAnswerIsDecodedAsItPlaysAndLeavesNothingBehind)
{
    if (withoutMpegDecoder())
        GTEST_SKIP() << "MPEG decoders are ranked out in this run";
    const QByteArray longTone = tovrik::test::toneMpeg(440, 480);
    ASSERT_FALSE(longTone.isEmpty());
    EXPECT_EQ(probeVerdict().toStdString(), "");
    tovrik::test::drainEvents();
    const int threads = threadCount();
    const double before = tovrik::test::statusMiB("VmRSS");
    ASSERT_TRUE(tovrik::test::resetPeakMemory());
    const tovrik::test::ParkedStreams parked;
    tovrik::test::SinkRecording recording;
    ASSERT_TRUE(tovrik::test::awaitSuspendedSink());
    std::optional<QString> result;
    auto playback = output.play(longTone, QStringLiteral("audio/mpeg"), [&](const QString& error) { result = error; });
    spinUntil([] { return false; }, 4000);
    const double peak = tovrik::test::statusMiB("VmHWM");
    playback.reset();
    const tovrik::test::HeardTone heard = tovrik::test::heardTone(recording.stop());
    EXPECT_FALSE(result.has_value());
    EXPECT_GT(heard.loudSamples, 44100 * 2);
    EXPECT_NEAR(heard.hz, 440, 20);
    EXPECT_LT(peak - before, 20) << "MiB above the start while playing";
    EXPECT_TRUE(spinUntil([&] { return threadCount() <= threads; }, 5000))
        << threadCount() - threads << " threads more than before the answer";
}

// With no file to be written (the runtime folder's disk full, here a file
// size limit of 1 KiB), the answer plays all the same: nothing of it goes
// through a file.
TEST_F(X11AudioPlayback, AnAnswerPlaysWhenNoFileCanBeWritten)
{
    if (withoutMpegDecoder())
        GTEST_SKIP() << "MPEG decoders are ranked out in this run";
    rlimit saved{};
    ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &saved), 0);
    const auto previous = std::signal(SIGXFSZ, SIG_IGN);
    rlimit small = saved;
    small.rlim_cur = 1024;
    ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &small), 0);
    const auto [result, heard] = playTone();
    setrlimit(RLIMIT_FSIZE, &saved);
    std::signal(SIGXFSZ, previous);
    ASSERT_TRUE(result.has_value()) << "the playback never ended";
    EXPECT_EQ(result->toStdString(), "");
    EXPECT_GT(heard.loudSamples, 44100 * 3);
}

// The sink an answer plays on is removed mid-answer: the answer ends once
// (the sound server moves it to the default sink, or it fails), and nothing
// is logged as a GLib critical (Qt's device monitor sees the sink and its
// monitor go).
TEST_F(X11AudioPlayback, ASinkRemovedMidAnswerEndsItWithoutGLibCriticals)
{
    if (withoutMpegDecoder())
        GTEST_SKIP() << "MPEG decoders are ranked out in this run";
    EXPECT_EQ(probeVerdict().toStdString(), "");
    QMediaDevices::audioOutputs(); // the media backend watches the devices from here on
    static int criticals = 0;
    criticals = 0;
    const guint handler = g_log_set_handler("GLib-GObject", GLogLevelFlags(G_LOG_LEVEL_CRITICAL | G_LOG_LEVEL_WARNING),
                                            [](const gchar*, GLogLevelFlags, const gchar*, gpointer) { ++criticals; },
                                            nullptr);
    using tovrik::test::pactl;
    const QString module = pactl({QStringLiteral("load-module"), QStringLiteral("module-null-sink"),
                                  QStringLiteral("sink_name=tovrik_test_going")});
    ASSERT_FALSE(module.isEmpty());
    pactl({QStringLiteral("set-default-sink"), QStringLiteral("tovrik_test_going")});
    spinUntil([] { return false; }, 500);
    std::vector<QString> results;
    auto playback = output.play(tone, QStringLiteral("audio/mpeg"), [&](const QString& error) { results.push_back(error); });
    spinUntil([] { return false; }, 1000);
    pactl({QStringLiteral("unload-module"), module});
    pactl({QStringLiteral("set-default-sink"), tovrik::test::testPulseSink()});
    EXPECT_TRUE(spinUntil([&] { return !results.empty(); }, 6000)) << "the answer did not end";
    spinUntil([] { return false; }, 1000);
    g_log_remove_handler("GLib-GObject", handler);
    EXPECT_EQ(results.size(), 1u);
    EXPECT_EQ(criticals, 0);
}

TEST_F(X11AudioPlayback, WithoutMpegDecoderTheProbeSaysSoAndAnMp3Fails)
{
    if (!withoutMpegDecoder())
        GTEST_SKIP() << "runs where MPEG decoders are ranked out (a ctest entry of its own)";
    EXPECT_NE(probeVerdict().toStdString(), "");
    const auto [result, heard] = playTone();
    ASSERT_TRUE(result.has_value()) << "the failure was never reported";
    EXPECT_NE(result->toStdString(), "");
    EXPECT_EQ(heard.loudSamples, 0);
}

// Run where the sound server's address leads nowhere (a ctest entry of its
// own): speech-dispatcher would accept the text and never finish.
TEST(X11SpeechWithoutSoundServer, HasNoVoiceAndSaysSoAtOnce)
{
    if (!QMediaDevices::audioOutputs().isEmpty())
        GTEST_SKIP() << "runs without a sound server (a ctest entry of its own)";
    X11Speech speech;
    EXPECT_FALSE(speech.isAvailable());
    std::vector<QString> results;
    speech.speak(QStringLiteral("Hello"), [&](const QString& error) { results.push_back(error); });
    ASSERT_TRUE(spinUntil([&] { return !results.empty(); }));
    EXPECT_EQ(results.front().toStdString(), "No system voice is available.");
}

} // namespace

namespace {

// An output, its MPEG probe and a playback let go at any moment of their
// start (the pipelines still adding their decoders' pads), in the event
// loop; then an output let go after the loop ended, as at quit, a short
// while after its probe's verdict, in processes of their own, 60 times: a
// crash in the media backend's teardown kills one of them.
TEST_F(X11AudioPlayback, AnOutputGoneAtAnyMomentOfItsStartOrAtQuitDoesNotCrash)
{
    if (qEnvironmentVariableIsSet("TOVRIK_TEST_QUIT_CHILD")) {
        const int wait = qEnvironmentVariableIntValue("TOVRIK_TEST_QUIT_CHILD");
        auto out = std::make_unique<X11AudioOutput>();
        out->probeMpegPlayback([&](const QString&) { QTimer::singleShot(wait, qApp, &QCoreApplication::quit); });
        QCoreApplication::exec();
        out.reset();
        return;
    }
    for (int i = 0; i < 40; ++i) {
        auto out = std::make_unique<X11AudioOutput>();
        out->probeMpegPlayback([](const QString&) {});
        auto playback = out->play(tone, QStringLiteral("audio/mpeg"), [](const QString&) {});
        spinUntil([] { return false; }, i % 20);
        playback.reset();
        out.reset();
    }
    // Answers stopped just before the output goes (a quit while they play,
    // each stream ending at its own moment): ended once, never reported.
    // (Without an MPEG decoder each fails, and says so, before it plays.)
    for (int round = 0; round < (withoutMpegDecoder() ? 0 : 12); ++round) {
        auto out = std::make_unique<X11AudioOutput>();
        std::vector<std::unique_ptr<tovrik::platform::AudioPlayback>> playing;
        int reported = 0;
        for (int i = 0; i < 10; ++i)
            playing.push_back(out->play(tone, QStringLiteral("audio/mpeg"), [&](const QString&) { ++reported; }));
        spinUntil([] { return false; }, 400 + 37 * round);
        playing.clear();
        QThread::usleep(1500 * round);
        out.reset();
        tovrik::test::drainEvents();
        EXPECT_EQ(reported, 0) << "round " << round;
    }
    int crashed = 0;
    for (int i = 0; i < 60; ++i) {
        QProcess child;
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(QStringLiteral("TOVRIK_TEST_QUIT_CHILD"), QString::number(i * 37 % 300));
        child.setProcessEnvironment(env);
        child.setProcessChannelMode(QProcess::MergedChannels);
        child.start(QCoreApplication::applicationFilePath(),
                    {QStringLiteral("--gtest_filter=X11AudioPlayback.AnOutputGoneAtAnyMomentOfItsStartOrAtQuitDoesNotCrash")});
        ASSERT_TRUE(child.waitForFinished(60000));
        crashed += child.exitStatus() != QProcess::NormalExit || child.exitCode() != 0;
    }
    EXPECT_EQ(crashed, 0);
}

} // namespace

