#include "AsyncOutcome.h"
#include "interaction/FallbackSpeaker.h"
#include "interaction/SpeechPlayer.h"

#include <gtest/gtest.h>

using namespace tovrik;
using namespace tovrik::test;

namespace {
class SpeechTest : public SimTest {};

const QByteArray mp3("ID3\x04\0\0\0\0\0\0mpeg-frames", 21);

} // namespace

TEST_F(SpeechTest, PlayEndsWhenThePlaybackFinishesOrFails)
{
    SpeechPlayer player;
    QList<bool> states;
    QObject::connect(&player, &SpeechPlayer::playingChanged, [&](bool p) { states << p; });
    auto out = launch(player.play(mp3));
    drainEvents();
    EXPECT_FALSE(out->done);
    EXPECT_TRUE(player.isPlaying());
    ASSERT_EQ(sim->simAudioOutput().played.size(), 1);
    EXPECT_EQ(sim->simAudioOutput().played.first(), mp3);
    EXPECT_EQ(sim->simAudioOutput().playingCount(), 1);

    sim->simAudioOutput().finishAll();
    spinUntil([&] { return out->done; });
    ASSERT_TRUE(out->done);
    EXPECT_FALSE(out->error) << describeException(out->error).toStdString();
    EXPECT_FALSE(player.isPlaying());
    EXPECT_EQ(states, QList<bool>({true, false}));

    // A playback failure and empty audio are speech player errors.
    out = launch(player.play(mp3));
    sim->simAudioOutput().finishAll(QStringLiteral("decoder error"));
    spinUntil([&] { return out->done; });
    const auto error = out->expectError("TovrikSpeechPlayer", SpeechPlayer::PlaybackFailed);
    EXPECT_TRUE(error && error->message().contains(QStringLiteral("decoder error")));
    EXPECT_FALSE(player.isPlaying());

    runToEnd(player.play(QByteArray()))->expectError("TovrikSpeechPlayer", SpeechPlayer::EmptyAudio);
    EXPECT_EQ(sim->simAudioOutput().played.size(), 2); // nothing new was played
}

TEST_F(SpeechTest, StopNewPlayAndTokenEndTheWaitingPlayAsCancelled)
{
    SpeechPlayer player;
    auto first = launch(player.play(mp3));
    drainEvents();
    player.stop();
    spinUntil([&] { return first->done; });
    EXPECT_TRUE(first->cancelled());
    EXPECT_EQ(sim->simAudioOutput().playingCount(), 0);

    // A newer play replaces the running one; only the newer one finishes.
    auto second = launch(player.play(mp3));
    drainEvents();
    auto third = launch(player.play(QByteArray("other")));
    drainEvents();
    EXPECT_TRUE(second->done);
    EXPECT_TRUE(second->cancelled());
    EXPECT_FALSE(third->done);
    EXPECT_EQ(sim->simAudioOutput().playingCount(), 1);
    EXPECT_TRUE(player.isPlaying());
    sim->simAudioOutput().finishAll();
    spinUntil([&] { return third->done; });
    EXPECT_FALSE(third->error);

    CancellationSource source;
    auto fourth = launch(player.play(mp3, source.token()));
    drainEvents();
    source.cancel();
    spinUntil([&] { return fourth->done; });
    EXPECT_TRUE(fourth->cancelled());
    EXPECT_EQ(sim->simAudioOutput().playingCount(), 0);
    EXPECT_FALSE(player.isPlaying());

    // An already cancelled token plays nothing.
    const int played = int(sim->simAudioOutput().played.size());
    auto fifth = runToEnd(player.play(mp3, source.token()));
    EXPECT_TRUE(fifth->cancelled());
    EXPECT_EQ(sim->simAudioOutput().played.size(), played);

    // Destroying the player resumes its waiter as cancelled.
    auto owned = std::make_unique<SpeechPlayer>();
    auto sixth = launch(owned->play(mp3));
    drainEvents();
    owned.reset();
    spinUntil([&] { return sixth->done; });
    EXPECT_TRUE(sixth->cancelled());
    EXPECT_EQ(sim->simAudioOutput().playingCount(), 0);
}

TEST_F(SpeechTest, AnswerAndPreviewPlayersAreIndependent)
{
    SpeechPlayer answers, preview;
    auto a = launch(answers.play(mp3));
    auto p = launch(preview.play(QByteArray("sample")));
    drainEvents();
    EXPECT_EQ(sim->simAudioOutput().playingCount(), 2);
    preview.stop();
    spinUntil([&] { return p->done; });
    EXPECT_TRUE(p->cancelled());
    EXPECT_FALSE(a->done);
    EXPECT_TRUE(answers.isPlaying());
    sim->simAudioOutput().finishAll();
    spinUntil([&] { return a->done; });
    EXPECT_FALSE(a->error);
}

TEST_F(SpeechTest, FallbackSpeakerUsesTheSystemVoice)
{
    FallbackSpeaker speaker;
    sim->simSpeech().autoFinish = false;
    auto out = launch(speaker.speak(QStringLiteral("  The button is on the left.  ")));
    drainEvents();
    EXPECT_EQ(sim->simSpeech().spoken, QStringList({"The button is on the left."}));
    EXPECT_TRUE(speaker.isSpeaking());
    EXPECT_FALSE(out->done);
    sim->simSpeech().finish();
    spinUntil([&] { return out->done; });
    EXPECT_FALSE(out->error);
    EXPECT_FALSE(speaker.isSpeaking());

    // Nothing to say: nothing spoken, no error.
    auto blank = runToEnd(speaker.speak(QStringLiteral(" \n ")));
    EXPECT_FALSE(blank->error);
    EXPECT_EQ(sim->simSpeech().spoken.size(), 1);

    // Stop ends the wait as a cancellation.
    auto stopped = launch(speaker.speak(QStringLiteral("long answer")));
    drainEvents();
    speaker.stop();
    spinUntil([&] { return stopped->done; });
    EXPECT_TRUE(stopped->cancelled());

    // So does a cancelled token.
    CancellationSource source;
    auto cancelled = launch(speaker.speak(QStringLiteral("hello"), source.token()));
    drainEvents();
    source.cancel();
    spinUntil([&] { return cancelled->done; });
    EXPECT_TRUE(cancelled->cancelled());
    EXPECT_FALSE(speaker.isSpeaking());

    // A failing voice.
    auto failed = launch(speaker.speak(QStringLiteral("again")));
    drainEvents();
    sim->simSpeech().finish(QStringLiteral("synthesizer crashed"));
    spinUntil([&] { return failed->done; });
    failed->expectError("TovrikSpeechPlayer", FallbackSpeaker::SpeechFailed);

    // No voice at all.
    const int spoken = int(sim->simSpeech().spoken.size());
    sim->simSpeech().available = false;
    const auto error =
        runToEnd(speaker.speak(QStringLiteral("hello")))->expectError("TovrikSpeechPlayer", FallbackSpeaker::VoiceUnavailable);
    ASSERT_TRUE(error);
    EXPECT_EQ(error->message(), QStringLiteral("The system voice is not available."));
    EXPECT_EQ(sim->simSpeech().spoken.size(), spoken);
}
