// When the X server goes away under the backend (a crash, the session
// ending), nothing may exit the process: posts fail, taps end and
// the last known displays stay.

#include "support/X11TestClients.h"
#include "platform/x11/X11Capture.h"
#include "platform/x11/X11Displays.h"
#include "platform/x11/X11EventTap.h"
#include "platform/x11/X11Input.h"
#include "support/SimFixture.h"

#include <QFileInfo>
#include <QProcess>
#include <QStandardPaths>
#include <QThread>
#include <gtest/gtest.h>

using namespace tovrik::platform;
using namespace tovrik::platform::x11;
using tovrik::test::spinUntil;

TEST(X11ServerLoss, PostsFailTapsEndAndTheLastDisplaysStay)
{
    const QString xvfb = QStandardPaths::findExecutable(QStringLiteral("Xvfb"));
    ASSERT_FALSE(xvfb.isEmpty());
    int n = 170;
    while (QFileInfo::exists(QStringLiteral("/tmp/.X11-unix/X%1").arg(n))
           || QFileInfo::exists(QStringLiteral("/tmp/.X%1-lock").arg(n)))
        ++n;
    QProcess server;
    server.start(xvfb, {QStringLiteral(":%1").arg(n), QStringLiteral("-screen"), QStringLiteral("0"),
                        QStringLiteral("800x600x24"), QStringLiteral("+extension"), QStringLiteral("RANDR"),
                        QStringLiteral("+extension"), QStringLiteral("XTEST"), QStringLiteral("+extension"),
                        QStringLiteral("XInputExtension"), QStringLiteral("-nolisten"), QStringLiteral("tcp")});
    ASSERT_TRUE(server.waitForStarted());
    ASSERT_TRUE(spinUntil([&] { return QFileInfo::exists(QStringLiteral("/tmp/.X11-unix/X%1").arg(n)); }, 10000));

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
    qputenv("DISPLAY", previous);
    ASSERT_TRUE(ready);
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
    EXPECT_TRUE(tap.threadNames().isEmpty());
    // The registry keeps the last configuration through the loss.
    tovrik::test::drainEvents();
    EXPECT_EQ(displays->displays().size(), 1);
    EXPECT_EQ(displays->pointerLocation(), QPointF());
}
