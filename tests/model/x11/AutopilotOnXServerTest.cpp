// UI Autopilot end to end on the real X server (the test command's Xvfb with
// its compositor): the real model with the x11 backend, the fake hosted
// service over TLS scripting the model's decisions, and real programs on the
// desktop (zenity, xdotool).

#include "model/TovrikAppModel.h"
#include "overlay/OverlayWindowController.h"
#include "platform/Platform.h"
#include "platform/x11/X11Platform.h"
#include "platform/x11/Xcb.h"
#include "support/FakeHostedService.h"
#include "support/SignedInDataHome.h"
#include "support/SimFixture.h"

#include <QImage>
#include <QProcess>
#include <gtest/gtest.h>
#include <xcb/xcb.h>

namespace tovrik::test {
namespace {

// What is down on the server: whether any key or button is, and whether
// shift is.
struct DownState { bool anything = true, shift = true; };
DownState downState()
{
    platform::x11::XcbConnection c(nullptr);
    platform::x11::XcbReply<xcb_query_keymap_reply_t> keys(xcb_query_keymap_reply(c, xcb_query_keymap(c), nullptr));
    platform::x11::XcbReply<xcb_query_pointer_reply_t> pointer(
        xcb_query_pointer_reply(c, xcb_query_pointer(c, c.root()), nullptr));
    if (!keys || !pointer)
        return {};
    return {(pointer->mask & (XCB_BUTTON_MASK_1 | XCB_BUTTON_MASK_2 | XCB_BUTTON_MASK_3))
                || std::any_of(std::begin(keys->keys), std::end(keys->keys), [](uint8_t b) { return b != 0; }),
            bool(pointer->mask & XCB_MOD_MASK_SHIFT)};
}

class AutopilotOnXServer : public ::testing::Test {
protected:
    void SetUp() override
    {
        QString error;
        ASSERT_TRUE(platform::x11::X11Platform::install(&error)) << error.toStdString();
        ASSERT_TRUE(dataHome.signIn(QStringLiteral("x11@b.c"), {.autopilotAndSilent = true}));
        model = std::make_unique<TovrikAppModel>();
        model->launch();
        ASSERT_TRUE(model->accessibilityGranted() && model->screenRecordingGranted());
    }
    void TearDown() override
    {
        EXPECT_FALSE(downState().anything) << "the run left something held down";
        EXPECT_FALSE(model && model->overlayController()->isUIAutopilotBusy());
        model.reset();
        drainEvents();
        dataHome.signOut();
    }
    void ask(const QString& text)
    {
        model->setChatOnlyInput(text);
        model->sendChatOnlyMessage();
    }
    bool waitForRunEnd(int ms = 60000)
    {
        return spinUntil([this] { return model->interactionTask().isFinished() && !model->isUIAutopilotBusy(); }, ms);
    }

    FakeHostedService fake;
    SignedInDataHome dataHome{fake};
    std::unique_ptr<TovrikAppModel> model;
};

TEST_F(AutopilotOnXServer, ClicksTypesIntoZenityAndReportsDone)
{
    const QString title = QStringLiteral("Tovrik autopilot test");
    QProcess zenity;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert("NO_AT_BRIDGE", "1");
    zenity.setProcessEnvironment(env);
    zenity.start("zenity", {"--entry", "--title", title, "--text", "Name"});
    ASSERT_TRUE(zenity.waitForStarted());
    QProcess search;
    search.start("xdotool", {"search", "--sync", "--onlyvisible", "--name", title, "getwindowgeometry", "--shell"});
    ASSERT_TRUE(search.waitForFinished(20000));
    QHash<QString, int> geometry;
    for (const QByteArray& line : search.readAllStandardOutput().split('\n'))
        if (const int eq = line.indexOf('='); eq > 0)
            geometry.insert(QString::fromLatin1(line.left(eq)), line.mid(eq + 1).toInt());
    ASSERT_GT(geometry["WIDTH"], 0);
    // The entry sits in the middle of the dialog, below its label.
    const int x = geometry["X"] + geometry["WIDTH"] / 2;
    const int y = geometry["Y"] + geometry["HEIGHT"] * 44 / 100;
    const QString typed = QStringLiteral("Grüße, 世界");
    fake.queueAutopilotReplies({
        QStringLiteral(R"({"action":{"type":"click","x":%1,"y":%2,"screen":1,"label":"name field"}})").arg(x).arg(y),
        QStringLiteral(R"({"action":{"type":"input","x":%1,"y":%2,"screen":1,"label":"name field","text":"%3"}})").arg(x).arg(y).arg(typed),
        QStringLiteral(R"({"action":{"type":"key","key":"enter","label":"confirm the name dialog"}})"),
        QStringLiteral(R"({"verification":{"status":"confirmed","evidence":"the dialog closed"},"action":{"type":"done","text":"Typed the name."}})"),
    });
    ask(QStringLiteral("type the greeting into the name field"));
    ASSERT_TRUE(waitForRunEnd());
    // zenity prints the entry when the dialog closes (it may linger a
    // moment afterwards).
    QByteArray printed;
    spinUntil([&] { printed += zenity.readAllStandardOutput(); return printed.endsWith('\n'); }, 10000);
    EXPECT_EQ(QString::fromUtf8(printed), typed + QLatin1Char('\n'));
    zenity.kill();
    zenity.waitForFinished(5000);
    EXPECT_EQ(fake.autopilotRequests().size(), 4);
    EXPECT_EQ(model->overlayController()->bubbleText(), QStringLiteral("Typed the name."));
    EXPECT_EQ(model->conversationHistory().value(0).assistantResponse, QStringLiteral("Typed the name."));
}

TEST_F(AutopilotOnXServer, EscFromAnotherProgramStopsTheRunAndLiftsShift)
{
    fake.queueAutopilotReplies({QStringLiteral(R"({"action":{"type":"key_down","key":"shift"}})"),
                                QStringLiteral(R"({"action":{"type":"wait","ms":8000}})")});
    ask(QStringLiteral("hold shift"));
    ASSERT_TRUE(spinUntil([this] { return fake.autopilotRequests().size() == 2; }, 20000));
    ASSERT_TRUE(spinUntil([this] { return fake.pendingAutopilotReplies() == 0; }, 5000));
    spinUntil([] { return false; }, 300);
    ASSERT_TRUE(downState().shift);
    ASSERT_EQ(QProcess::execute("xdotool", {"key", "Escape"}), 0);
    // Shift is up within 100 ms of the Esc.
    spinUntil([] { return !downState().shift; }, 100);
    EXPECT_FALSE(downState().shift);
    ASSERT_TRUE(waitForRunEnd(5000));
    EXPECT_EQ(model->chatOnlyStatusMessage(), QStringLiteral("UI Autopilot stopped with Esc."));
    EXPECT_TRUE(model->conversationHistory().last().assistantResponse.startsWith(
        "UI Autopilot was interrupted before finishing this task."));
    EXPECT_EQ(fake.autopilotRequests().size(), 2);
}

TEST_F(AutopilotOnXServer, TheSameClickElevenTimesEndsWithTheWatchdogAndEveryShotIsTheRealScreen)
{
    // The clicks land on the bare desktop; the companion cursor and the
    // status bubble are drawn beside the pointer while the run is busy.
    const QRect rect(450, 300, 400, 260);
    fake.queueAutopilotReplies(
        QStringList(11, QStringLiteral(R"({"action":{"type":"click","x":600,"y":400,"screen":1,"label":"blue"}})")));
    ask(QStringLiteral("click the desktop"));
    ASSERT_TRUE(waitForRunEnd(90000));
    // (How the watchdog ends the run is checked on the sim backend.)
    EXPECT_EQ(model->chatOnlyStatusMessage(), QStringLiteral("UI Autopilot did not complete the task."));
    const QList<FakeAutopilotRequest> requests = fake.autopilotRequests();
    ASSERT_EQ(requests.size(), 11);
    // In every screenshot the desktop around the pointer is bare.
    for (const FakeAutopilotRequest& r : requests) {
        ASSERT_EQ(r.images.size(), 1);
        const QImage shot = QImage::fromData(r.images[0]);
        ASSERT_FALSE(shot.isNull());
        const QColor desktop = shot.pixelColor(5, 5);
        int off = 0;
        for (int y = rect.top(); y < rect.bottom(); y += 4)
            for (int x = rect.left(); x < rect.right(); x += 4) {
                const QColor c = shot.pixelColor(x, y);
                off += std::abs(c.red() - desktop.red()) + std::abs(c.green() - desktop.green()) + std::abs(c.blue() - desktop.blue()) > 45;
            }
        EXPECT_EQ(off, 0);
    }
}

} // namespace
} // namespace tovrik::test
