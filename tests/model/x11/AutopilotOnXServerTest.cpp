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
#include "support/RandrMonitors.h"
#include "support/SignedInDataHome.h"
#include "support/SimFixture.h"

#include <QFile>
#include <QImage>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QTemporaryDir>
#include <gtest/gtest.h>
#include <xcb/xcb.h>

#include <csignal>

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

// The README's recipe for trying UI Autopilot on a zenity dialog: its
// commands, run as written (but for the try.sh line, whose part this test
// plays, and with a private file for the decisions), make decisions that
// fill in the dialog on one monitor and on two whose main one is away from
// the origin, the dialog on either.
QString readmeRecipe(const QString& decisionsFile)
{
    QFile readme(qEnvironmentVariable("TOVRIK_SOURCE_DIR") + QStringLiteral("/README.md"));
    if (!readme.open(QIODevice::ReadOnly))
        return {};
    const QString text = QString::fromUtf8(readme.readAll());
    const qsizetype start = text.indexOf(QStringLiteral("```sh\nzenity --entry"));
    const qsizetype end = text.indexOf(QStringLiteral("\n```"), start + 5);
    if (start < 0 || end < 0)
        return {};
    QStringList lines = text.mid(start + 6, end - start - 6).split(QLatin1Char('\n'));
    lines.removeIf([](const QString& line) { return line.startsWith(QStringLiteral("bash scripts/try.sh")); });
    return lines.join(QLatin1Char('\n')).replace(QStringLiteral("/tmp/zenity-decisions.json"), decisionsFile);
}

bool zenityDialogShows()
{
    return QProcess::execute("xdotool", {"search", "--onlyvisible", "--name", "Tovrik try"}) == 0;
}

TEST_F(AutopilotOnXServer, TheReadmeRecipeFillsInTheDialogOnOneMonitorAndOnTwo)
{
    const int width = 1920, height = 1080;
    platform::x11::XcbConnection c(nullptr);
    const auto* screen = xcb_setup_roots_iterator(xcb_get_setup(c)).data;
    if (screen->width_in_pixels != width || screen->height_in_pixels != height)
        GTEST_SKIP() << "the layouts below are for a 1920 x 1080 server";
    struct Layout {
        const char* name;
        QRect outputMonitor, otherMonitor; // none when empty
        bool outputIsMain;
    };
    // The dialog is centred on the monitor of the output.
    for (const Layout& layout : {
             Layout{"one monitor", {}, {}, true},
             Layout{"the dialog on the main monitor, below another", {0, 400, width, 680}, {0, 0, width, 400}, true},
             Layout{"the dialog on the left monitor, the main one on the right", {0, 0, 960, height},
                    {960, 0, 960, height}, false},
         }) {
        SCOPED_TRACE(layout.name);
        struct Guard {
            ~Guard()
            {
                setMonitor("TOVRIK-RECIPE-OUTPUT", QRect(), false);
                setMonitor("TOVRIK-RECIPE-OTHER", QRect(), false);
            }
        } guard;
        const qsizetype screens = layout.outputMonitor.isEmpty() ? 1 : 2;
        if (screens == 2) {
            ASSERT_TRUE(setMonitor("TOVRIK-RECIPE-OUTPUT", layout.outputMonitor, layout.outputIsMain, firstOutput()));
            ASSERT_TRUE(setMonitor("TOVRIK-RECIPE-OTHER", layout.otherMonitor, !layout.outputIsMain));
        }
        auto& displays = platform::Platform::get().displays();
        ASSERT_TRUE(spinUntil([&] { return displays.displays().size() == screens; }, 5000));

        QTemporaryDir scratch;
        const QString decisionsFile = scratch.filePath("decisions.json");
        const QString recipe = readmeRecipe(decisionsFile);
        ASSERT_FALSE(recipe.isEmpty()) << "no recipe in the README";
        QProcess shell;
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert("NO_AT_BRIDGE", "1");
        shell.setProcessEnvironment(env);
        shell.setWorkingDirectory(qEnvironmentVariable("TOVRIK_SOURCE_DIR"));
        // zenity prints the name into this file when the dialog closes.
        shell.setStandardOutputFile(scratch.filePath("zenity.out"));
        shell.start("bash", {"-c", recipe + QStringLiteral("\necho \"$!\" > ") + scratch.filePath("zenity.pid")});
        ASSERT_TRUE(shell.waitForFinished(30000));
        ASSERT_EQ(shell.exitCode(), 0) << shell.readAllStandardError().toStdString();
        QFile pidFile(scratch.filePath("zenity.pid"));
        ASSERT_TRUE(pidFile.open(QIODevice::ReadOnly));
        const pid_t zenity = pid_t(pidFile.readAll().trimmed().toInt());
        ASSERT_GT(zenity, 0);

        QFile decisions(decisionsFile);
        ASSERT_TRUE(decisions.open(QIODevice::ReadOnly));
        QStringList replies;
        for (const QJsonValue& step : QJsonDocument::fromJson(decisions.readAll()).array())
            replies << QString::fromUtf8(QJsonDocument(step.toObject()).toJson(QJsonDocument::Compact));
        ASSERT_EQ(replies.size(), 4);
        fake.queueAutopilotReplies(replies);
        ask(QStringLiteral("Type Ada Lovelace into the name dialog"));
        ASSERT_TRUE(waitForRunEnd());
        const auto printed = [&] {
            QFile out(scratch.filePath("zenity.out"));
            return out.open(QIODevice::ReadOnly) ? out.readAll() : QByteArray();
        };
        spinUntil([&] { return printed().endsWith('\n'); }, 10000);
        EXPECT_EQ(printed(), QByteArray("Ada Lovelace\n")) << replies.join('\n').toStdString();
        ::kill(zenity, SIGTERM);
        ASSERT_TRUE(spinUntil([] { return !zenityDialogShows(); }, 10000));
        EXPECT_EQ(model->overlayController()->bubbleText().toStdString(),
                  "I typed Ada Lovelace into the name dialog and confirmed it.");
    }
}

} // namespace
} // namespace tovrik::test
