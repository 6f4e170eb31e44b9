#include "AsyncOutcome.h"
#include "interaction/FallbackSpeaker.h"
#include "interaction/MpegDuration.h"
#include "interaction/SpeechPlayer.h"

#include <gtest/gtest.h>

using namespace tovrik;
using namespace tovrik::test;

namespace {

class SpeechTest : public SimTest {
protected:
    // Spins until `out` has ended and returns it.
    template <typename T>
    static const std::shared_ptr<AsyncOutcome<T>>& ended(const std::shared_ptr<AsyncOutcome<T>>& out)
    {
        spinUntil([&] { return out->done; });
        return out;
    }
    // Starts `task` and lets it reach its wait.
    template <typename T>
    static std::shared_ptr<AsyncOutcome<T>> started(QCoro::Task<T> task)
    {
        auto out = launch(std::move(task));
        drainEvents();
        return out;
    }
    platform::sim::SimAudioOutput& output() { return sim->simAudioOutput(); }
};

const QByteArray mp3("ID3\x04\0\0\0\0\0\0mpeg-frames", 21);

} // namespace

TEST_F(SpeechTest, PlayEndsWhenThePlaybackFinishesOrFails)
{
    SpeechPlayer player;
    QList<bool> states;
    QObject::connect(&player, &SpeechPlayer::playingChanged, [&](bool p) { states << p; });
    auto out = started(player.play(mp3));
    EXPECT_FALSE(out->done);
    EXPECT_TRUE(player.isPlaying());
    EXPECT_EQ(output().played, QList<QByteArray>{mp3});
    EXPECT_EQ(output().playingCount(), 1);
    output().finishAll();
    ASSERT_TRUE(ended(out)->value) << describeException(out->error).toStdString();
    EXPECT_FALSE(player.isPlaying());
    EXPECT_EQ(states, QList<bool>({true, false}));
    // A playback failure and empty audio are speech player errors.
    out = launch(player.play(mp3));
    output().finishAll(QStringLiteral("decoder error"));
    const auto error = ended(out)->expectError("TovrikSpeechPlayer", SpeechPlayer::PlaybackFailed);
    EXPECT_TRUE(error && error->message().contains(QStringLiteral("decoder error")));
    EXPECT_FALSE(player.isPlaying());
    runToEnd(player.play(QByteArray()))->expectError("TovrikSpeechPlayer", SpeechPlayer::EmptyAudio);
    EXPECT_EQ(output().played.size(), 2); // nothing new was played
}

TEST_F(SpeechTest, StopNewPlayTokenAndDestructionEndTheWaitingPlayAsCancelledAndPlayersAreIndependent)
{
    SpeechPlayer player, preview;
    auto first = started(player.play(mp3));
    player.stop();
    EXPECT_TRUE(ended(first)->cancelled());
    EXPECT_EQ(output().playingCount(), 0);
    // A newer play replaces the running one; only the newer one finishes.
    // Another player (the voice preview) plays beside it, and stopping it
    // leaves the answer playing.
    auto second = started(player.play(mp3));
    auto third = started(player.play(QByteArray("other")));
    auto sample = started(preview.play(QByteArray("sample")));
    EXPECT_TRUE(second->done && second->cancelled());
    EXPECT_EQ(output().playingCount(), 2);
    preview.stop();
    EXPECT_TRUE(ended(sample)->cancelled());
    EXPECT_FALSE(third->done);
    EXPECT_TRUE(player.isPlaying());
    output().finishAll();
    EXPECT_TRUE(ended(third)->value);

    CancellationSource source;
    auto fourth = started(player.play(mp3, source.token()));
    source.cancel();
    EXPECT_TRUE(ended(fourth)->cancelled());
    EXPECT_EQ(output().playingCount(), 0);
    EXPECT_FALSE(player.isPlaying());
    // An already cancelled token plays nothing.
    const qsizetype played = output().played.size();
    EXPECT_TRUE(runToEnd(player.play(mp3, source.token()))->cancelled());
    EXPECT_EQ(output().played.size(), played);
    // Destroying the player resumes its waiter as cancelled.
    auto owned = std::make_unique<SpeechPlayer>();
    auto sixth = started(owned->play(mp3));
    owned.reset();
    EXPECT_TRUE(ended(sixth)->cancelled());
    EXPECT_EQ(output().playingCount(), 0);
}

// A playback that never ends (a sound server stopped mid-stream) is given up
// at its time limit: 15 s and one and a half times the clip's length, which
// is read from its frames.
TEST_F(SpeechTest, APlaybackThatNeverEndsIsStoppedAtItsTimeLimit)
{
    QByteArray frame(104, '\0'); // MPEG-1 Layer III, 32 kbit/s, 44.1 kHz: 1152 samples
    frame[0] = '\xff', frame[1] = '\xfb', frame[2] = '\x10', frame[3] = '\xc0';
    const QByteArray tag("ID3\x04\0\0\0\0\0\x02\0\0", 12);
    const QByteArray clip = tag + frame.repeated(40);
    EXPECT_NEAR(mpegDurationSeconds(clip), 40 * 1152 / 44100.0, 1e-9);
    EXPECT_NEAR(mpegDurationSeconds(clip + QByteArray(500, 'x')), 40 * 1152 / 44100.0 + 0.5, 1e-9);
    EXPECT_NEAR(SpeechPlayer::timeLimit(clip), 15 + 1.5 * 40 * 1152 / 44100.0, 1e-9);

    SpeechPlayer player;
    auto out = started(player.play(clip));
    clock.advance(SpeechPlayer::timeLimit(clip) - 0.01);
    drainEvents();
    EXPECT_FALSE(out->done);
    clock.advance(0.02);
    ended(out)->expectError("TovrikSpeechPlayer", SpeechPlayer::PlaybackFailed);
    EXPECT_EQ(output().playingCount(), 0) << "the playback was not stopped";
    EXPECT_FALSE(player.isPlaying());
}

TEST_F(SpeechTest, FallbackSpeakerUsesTheSystemVoice)
{
    FallbackSpeaker speaker;
    auto& voice = sim->simSpeech();
    voice.autoFinish = false;
    auto out = started(speaker.speak(QStringLiteral("  The button is on the left.  ")));
    EXPECT_EQ(voice.spoken, QStringList({"The button is on the left."}));
    EXPECT_TRUE(speaker.isSpeaking());
    EXPECT_FALSE(out->done);
    voice.finish();
    EXPECT_TRUE(ended(out)->value);
    EXPECT_FALSE(speaker.isSpeaking());
    // Nothing to say: nothing spoken, no error.
    EXPECT_TRUE(runToEnd(speaker.speak(QStringLiteral(" \n ")))->value);
    EXPECT_EQ(voice.spoken.size(), 1);
    // Stop and a cancelled token end the wait as a cancellation.
    auto stopped = started(speaker.speak(QStringLiteral("long answer")));
    speaker.stop();
    EXPECT_TRUE(ended(stopped)->cancelled());
    CancellationSource source;
    auto cancelled = started(speaker.speak(QStringLiteral("hello"), source.token()));
    source.cancel();
    EXPECT_TRUE(ended(cancelled)->cancelled());
    EXPECT_FALSE(speaker.isSpeaking());

    auto failed = started(speaker.speak(QStringLiteral("again")));
    voice.finish(QStringLiteral("synthesizer crashed"));
    ended(failed)->expectError("TovrikSpeechPlayer", FallbackSpeaker::SpeechFailed);
    // A voice that never says it ended is stopped at its time limit.
    auto hung = started(speaker.speak(QStringLiteral("hung")));
    clock.advance(FallbackSpeaker::timeLimit(QStringLiteral("hung")) - 0.01);
    drainEvents();
    EXPECT_FALSE(hung->done);
    clock.advance(0.02);
    ended(hung)->expectError("TovrikSpeechPlayer", FallbackSpeaker::SpeechFailed);
    EXPECT_FALSE(voice.speaking() || speaker.isSpeaking());
    // No voice at all.
    const qsizetype spoken = voice.spoken.size();
    voice.available = false;
    const auto error =
        runToEnd(speaker.speak(QStringLiteral("hello")))->expectError("TovrikSpeechPlayer", FallbackSpeaker::VoiceUnavailable);
    ASSERT_TRUE(error);
    EXPECT_EQ(error->message(), QStringLiteral("The system voice is not available."));
    EXPECT_EQ(voice.spoken.size(), spoken);
}
