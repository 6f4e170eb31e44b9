// Playback and the system voice through Qt Multimedia / TextToSpeech, as far
// as the test machine has them: every outcome reports exactly once, on the
// main thread, and never after stop().

#include "platform/x11/X11Media.h"
#include "support/SimFixture.h"

#include <QThread>
#include <QUrl>
#include <gtest/gtest.h>

using namespace tovrik::platform;
using namespace tovrik::platform::x11;
using tovrik::test::spinUntil;

TEST(X11AudioOutput, UndecodableAudioReportsAnErrorOnceAStoppedPlaybackNever)
{
    X11AudioOutput out;
    int calls = 0, stoppedCalls = 0;
    QString result = QStringLiteral("unset");
    bool onMain = false;
    const QByteArray garbage(4096, '\x5a');
    auto stopped = out.play(garbage, QStringLiteral("audio/mpeg"), [&](const QString&) { ++stoppedCalls; });
    stopped->stop();
    stopped->stop();
    auto playback = out.play(garbage, QStringLiteral("audio/mpeg"), [&](const QString& error) {
        ++calls;
        result = error;
        onMain = QThread::currentThread() == qApp->thread();
    });
    ASSERT_TRUE(playback);
    ASSERT_TRUE(spinUntil([&] { return calls > 0; }, 10000));
    // Whatever the stopped player would have said by now stays unsaid.
    spinUntil([] { return false; }, 300);
    EXPECT_EQ(calls, 1);
    EXPECT_EQ(stoppedCalls, 0);
    EXPECT_FALSE(result.isEmpty()) << "garbage reported as played";
    EXPECT_TRUE(onMain);
    playback.reset(); // destroying a finished playback is harmless
}

TEST(X11Speech, EverySpeechReportsExactlyOnce)
{
    X11Speech speech;
    std::vector<QString> results;
    speech.speak(QStringLiteral("   "), [&](const QString& error) { results.push_back(error); });
    ASSERT_TRUE(spinUntil([&] { return !results.empty(); }));
    EXPECT_EQ(results.front(), QString()); // nothing to say is done at once
    results.clear();
    const bool available = speech.isAvailable();
    speech.speak(QStringLiteral("Hello"), [&](const QString& error) { results.push_back(error); });
    ASSERT_TRUE(spinUntil([&] { return !results.empty(); }, 20000));
    tovrik::test::drainEvents();
    ASSERT_EQ(results.size(), 1u); // spoken, or the reason it was not (e.g. no audio device)
    if (!available) {
        EXPECT_EQ(results.front(), QStringLiteral("No system voice is available."));
    }
}

TEST(X11Workspace, RefusesAnInvalidURL)
{
    X11Workspace workspace;
    EXPECT_FALSE(workspace.openURL(QUrl()));
    EXPECT_FALSE(workspace.openURL(QUrl(QStringLiteral("http://[::1"))));
}
