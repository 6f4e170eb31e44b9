// How the x11 backend ends what it started. When the X server goes away
// under it (a crash, the session ending), nothing may exit the process: posts
// fail, taps end (also those that outlived the objects that made them) and
// the last known displays stay. Playback and the system voice through Qt
// Multimedia / TextToSpeech, as far as the test machine has them: every
// outcome reports exactly once, on the main thread, and never after stop().

#include "support/X11TestClients.h"
#include "platform/x11/X11Capture.h"
#include "platform/x11/X11Displays.h"
#include "platform/x11/X11EventTap.h"
#include "platform/x11/X11Input.h"
#include "platform/x11/X11Media.h"
#include "support/PrivateXServer.h"
#include "support/SimFixture.h"

#include <QProcess>
#include <QThread>
#include <QUrl>
#include <gtest/gtest.h>

using namespace tovrik::platform;
using namespace tovrik::platform::x11;
using tovrik::test::spinUntil;

TEST(X11ServerLoss, PostsFailTapsEndAndTheLastDisplaysStay)
{
    QProcess server;
    const int n = tovrik::test::startPrivateXvfb(server, QStringLiteral("800x600x24"));
    ASSERT_GE(n, 0);

    // The backend's connections go to the short-lived server.
    const QByteArray previous = qgetenv("DISPLAY");
    qputenv("DISPLAY", ":" + QByteArray::number(n));
    bool ready = false;
    std::unique_ptr<X11Displays> displays;
    for (int attempt = 0; attempt < 100 && !ready; ++attempt) {
        displays = std::make_unique<X11Displays>();
        ready = displays->isConnected();
        if (!ready)
            QThread::msleep(50);
    }
    X11Input input(*displays);
    X11EventTap tap(*displays, input);
    X11Capture capture(*displays);
    std::atomic<int> events{0};
    std::atomic<bool> disabled{false};
    auto session = tap.start(QStringLiteral("tovrik.tap-loss"), [&](const RawInputEvent& e) {
        ++events;
        disabled = e.type == RawInputEvent::Type::TapDisabled;
    });
    // A session outlives the platform objects that made it.
    std::unique_ptr<EventTapSession> orphan;
    std::atomic<bool> orphanSaw{false};
    {
        X11Displays d;
        X11Input i(d);
        orphan = X11EventTap(d, i).start(QStringLiteral("tovrik.tap-orphan"), [&](const RawInputEvent& e) {
            orphanSaw = orphanSaw || (e.type == RawInputEvent::Type::MouseDown && e.location == QPointF(222, 111));
        });
    }
    qputenv("DISPLAY", previous);
    ASSERT_TRUE(ready);
    ASSERT_TRUE(orphan);
    ASSERT_TRUE(input.postMouse(MouseEventKind::Down, MouseButton::Right, QPointF(222, 111), 1)
                && input.postMouse(MouseEventKind::Up, MouseButton::Right, QPointF(222, 111), 1));
    ASSERT_TRUE(spinUntil([&] { return orphanSaw.load(); }));
    ASSERT_TRUE(session);
    ASSERT_EQ(displays->displays().size(), 1);
    EXPECT_EQ(displays->displays().first().bounds, QRectF(0, 0, 800, 600));
    ASSERT_TRUE(input.postKey(KeyCode::Escape, true, 0));
    ASSERT_TRUE(input.postKey(KeyCode::Escape, false, 0));
    ASSERT_TRUE(spinUntil([&] { return events.load() >= 2; }));

    server.kill();
    server.waitForFinished(5000);

    EXPECT_FALSE(input.postKey(KeyCode::Escape, true, 0));
    EXPECT_FALSE(input.postMouse(MouseEventKind::Move, MouseButton::Left, QPointF(5, 5), 0));
    EXPECT_FALSE(input.postText(QStringLiteral("x")));
    EXPECT_TRUE(capture.captureDisplay(displays->displays().first().displayID).isNull());
    // The tap's thread ended by itself, telling its handler last; its
    // session still stops cleanly.
    EXPECT_TRUE(spinUntil([&] { return disabled.load(); }));
    session->stop();
    orphan->stop();
    EXPECT_TRUE(tap.threadNames().isEmpty());
    // The registry keeps the last configuration through the loss.
    tovrik::test::drainEvents();
    EXPECT_EQ(displays->displays().size(), 1);
    EXPECT_EQ(displays->pointerLocation(), QPointF());
}

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
