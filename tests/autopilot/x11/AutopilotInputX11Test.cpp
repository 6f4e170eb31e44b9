// The desktop input service and the take-over monitor on the real X server,
// against programs nobody here wrote: zenity (GTK), xev and xdotool.

#include "autopilot/DesktopInputService.h"
#include "autopilot/UserInputActivityMonitor.h"

#include "interaction/AsyncOutcome.h"
#include "interaction/HotkeyMonitor.h"
#include "platform/sim/SimPlatform.h"
#include "platform/x11/X11Platform.h"
#include "platform/x11/X11Keymap.h"
#include "platform/x11/Xcb.h"
#include "support/RandrMonitors.h"

#include <QProcess>
#include <QRect>
#include <QTest>
#include <gtest/gtest.h>
#include <mutex>

namespace tovrik {
namespace {

using test::launch;
using test::spinUntil;

QString runTool(const QStringList& command)
{
    QProcess p;
    p.start(command.first(), command.mid(1));
    if (!p.waitForFinished(10000))
        p.kill();
    return QString::fromUtf8(p.readAllStandardOutput());
}

// The KEY=value lines a tool prints with --shell.
QHash<QString, int> shellValues(const QStringList& command)
{
    QHash<QString, int> values;
    for (const QString& line : runTool(command).split('\n'))
        if (const int eq = line.indexOf('='); eq > 0)
            values.insert(line.left(eq), line.mid(eq + 1).toInt());
    return values;
}

// The root geometry of the first visible window that xdotool finds by
// `how` ("--class", "--name") and `what`.
QRect windowOf(const QString& how, const QString& what)
{
    const QString id = runTool({"xdotool", "search", "--sync", "--onlyvisible", how, what}).section('\n', 0, 0);
    const auto g = shellValues({"xdotool", "getwindowgeometry", "--shell", id});
    return QRect(g["X"], g["Y"], g["WIDTH"], g["HEIGHT"]);
}

class AutopilotInputX11Test : public ::testing::Test {
protected:
    void SetUp() override
    {
        Clock::install(nullptr);
        QString error;
        ASSERT_TRUE(platform::x11::X11Platform::install(&error)) << error.toStdString();
        svc = std::make_unique<DesktopInputService>();
    }
    void TearDown() override
    {
        svc.reset();
        expectNothingDown();
        platform::sim::SimPlatform::install();
    }
    void complete(const std::shared_ptr<test::AsyncOutcome<void>>& run) { ASSERT_TRUE(spinUntil([&] { return run->done; }, 30000)); }
    // Runs `task` to its end, which must come without an error.
    void succeed(QCoro::Task<void> task)
    {
        auto run = launch(std::move(task));
        complete(run);
        EXPECT_FALSE(run->error) << describeException(run->error).toStdString();
    }
    // No key and no button of the core devices is down.
    void expectNothingDown()
    {
        platform::x11::XcbConnection c(nullptr);
        ASSERT_TRUE(c.ok());
        platform::x11::XcbReply<xcb_query_keymap_reply_t> keys(xcb_query_keymap_reply(c, xcb_query_keymap(c), nullptr));
        ASSERT_TRUE(keys);
        for (int i = 0; i < 32; ++i)
            EXPECT_EQ(keys->keys[i], 0) << "keycodes from " << i * 8;
        platform::x11::XcbReply<xcb_query_pointer_reply_t> ptr(
            xcb_query_pointer_reply(c, xcb_query_pointer(c, c.root()), nullptr));
        ASSERT_TRUE(ptr);
        EXPECT_EQ(ptr->mask & 0x1f00, 0) << "a button is down";
    }
    std::unique_ptr<QProcess> zenityEntry(const QString& initialText)
    {
        auto p = std::make_unique<QProcess>();
        p->start("zenity", {"--entry", "--text", "Name", "--entry-text", initialText});
        return p;
    }
    QString finishedOutput(QProcess& p)
    {
        EXPECT_TRUE(spinUntil([&] { return p.state() == QProcess::NotRunning; }, 10000));
        EXPECT_EQ(std::tuple(p.exitStatus(), p.exitCode()), std::tuple(QProcess::NormalExit, 0));
        return QString::fromUtf8(p.readAllStandardOutput());
    }

    std::unique_ptr<DesktopInputService> svc;
};

TEST_F(AutopilotInputX11Test, TypedUnicodeAndChordsReachAGtkEntry)
{
    // Control+A selects what is there, so typing replaces it; a tapped
    // shift+n is a capital, the letters after it are not; delete erases.
    auto zenity = zenityEntry("old text");
    // A click into the entry field (keys go to the window under the pointer:
    // there is no window manager).
    const QRect dialog = windowOf("--class", "zenity");
    succeed(svc->click(QPointF(dialog.center().x(), dialog.top() + 52)));
    succeed(svc->pressKey("end")); // the initial text is no longer selected
    svc->setHeldKey("ctrl+a", true);
    svc->setHeldKey("ctrl+a", false);
    succeed(svc->pressKey("shift+n"));
    const QString text = QString::fromUtf8("ew héllo wörld — ✓ 中文 🙂");
    succeed(svc->typeText(text + "x"));
    succeed(svc->pressKey("delete"));
    succeed(svc->pressKey("return"));
    EXPECT_EQ(finishedOutput(*zenity), "N" + text + "\n");
    // The keys lent to characters of no key of the layout are given back.
    platform::x11::XcbConnection other(nullptr);
    platform::x11::KeyboardMapping map;
    EXPECT_TRUE(spinUntil([&] { return map.load(other) && map.find(0x1004E2D).empty() && map.find(0x101F642).empty(); }));
}

TEST_F(AutopilotInputX11Test, AClickOnOkClosesTheDialogAndEachScrollStepIsOneWheelNotch)
{
    auto zenity = zenityEntry("kept");
    const QRect dialog = windowOf("--class", "zenity");
    // OK is the right-hand button of the bottom row.
    succeed(svc->click(QPointF(dialog.left() + dialog.width() * 3 / 4, dialog.bottom() - 22)));
    EXPECT_EQ(finishedOutput(*zenity), "kept\n");

    QProcess xev;
    xev.start("stdbuf", {"-oL", "xev", "-geometry", "300x300+100+100", "-event", "button"});
    const QRect window = windowOf("--name", "Event Tester");
    ASSERT_FALSE(window.isEmpty());
    succeed(svc->moveSmoothly(QPointF(window.center())));
    succeed(svc->scroll("down", 240));
    QString out;
    EXPECT_FALSE(spinUntil([&] {
        out += QString::fromUtf8(xev.readAllStandardOutput());
        return out.count("ButtonPress") > 3;
    }, 500));
    xev.kill();
    xev.waitForFinished();
    EXPECT_EQ(out.count("ButtonPress"), 3);
    EXPECT_EQ(out.count("button 5,"), 6); // press and release of each notch
}

TEST_F(AutopilotInputX11Test, MovesLandOnTheirDisplayWhenTheMainOneIsNotAtTheRootOrigin)
{
    struct Restore {
        ~Restore()
        {
            test::setMonitor("TOVRIK-AP-SIDE", QRect(), false);
            test::setMonitor("TOVRIK-AP-MAIN", QRect(), false);
        }
    } restore;
    auto& displays = platform::Platform::get().displays();
    ASSERT_TRUE(test::setMonitor("TOVRIK-AP-MAIN", QRect(720, 0, 1200, 800), true, test::firstOutput()));
    ASSERT_TRUE(test::setMonitor("TOVRIK-AP-SIDE", QRect(0, 0, 720, 1080), false));
    ASSERT_TRUE(spinUntil([&] { return displays.displays().size() == 2; }, 3000)) << "no RandR notification";
    const auto side = displays.displays()[1];
    const auto main = displays.displays()[0];
    ASSERT_EQ(side.bounds.topLeft(), QPointF(-720, 0));

    const struct {
        uint32_t display;
        QPointF local;
        QPoint root;
    } targets[] = {{side.displayID, QPointF(100, 200), QPoint(100, 200)},
                   {main.displayID, QPointF(50.4, 60.6), QPoint(770, 61)},
                   {side.displayID, QPointF(700, 1000), QPoint(700, 1000)}};
    for (const auto& t : targets) {
        succeed(svc->moveSmoothly(t.display, t.local));
        const auto root = shellValues({"xdotool", "getmouselocation", "--shell"});
        const QPoint at(root["X"], root["Y"]);
        EXPECT_LE((at - t.root).manhattanLength(), 4) << at.x() << "," << at.y();
    }
}

TEST_F(AutopilotInputX11Test, OurOwnEscAndChordAreIgnoredWhileAnotherProgramsXTestOnesCount)
{
    UserInputActivityMonitor monitor;
    std::atomic<int> callbacks{0};
    monitor.onPhysicalUserInput = [&] { ++callbacks; };
    const auto token = monitor.start();
    ASSERT_NE(token, 0u);
    HotkeyMonitor hotkeys;
    std::vector<std::string> calls;
    hotkeys.onShortcutPressed = [&] { calls.push_back("pressed"); };
    hotkeys.onShortcutReleased = [&] { calls.push_back("released"); };
    ASSERT_TRUE(hotkeys.start());
    // A witness tap: once it saw our keys, so did the monitors' own taps.
    std::atomic<int> ourEsc{0};
    auto witness = platform::Platform::get().eventTap().start("tovrik.witness", [&](const platform::RawInputEvent& e) {
        if (e.keyCode == platform::KeyCode::Escape && e.isSynthetic)
            ++ourEsc;
    });
    // Esc held long enough for the server to repeat it, and the voice chord.
    succeed(svc->holdKey("esc", 1500));
    ASSERT_TRUE(spinUntil([&] { return ourEsc.load() >= 2; }));
    svc->setHeldKey("ctrl+option", true);
    EXPECT_FALSE(spinUntil([&] { return monitor.hasUserTakenOverSinceReset() || !calls.empty(); }, 300));
    svc->releaseHeldInputs();

    runTool({"xdotool", "keydown", "ctrl+alt"});
    ASSERT_TRUE(spinUntil([&] { return calls.size() == 1; }));
    runTool({"xdotool", "keyup", "ctrl+alt"});
    ASSERT_TRUE(spinUntil([&] { return calls.size() == 2; }));
    EXPECT_EQ(calls, (std::vector<std::string>{"pressed", "released"}));
    EXPECT_FALSE(monitor.hasUserTakenOverSinceReset()); // not an Esc
    runTool({"xdotool", "key", "Escape"});
    ASSERT_TRUE(spinUntil([&] { return monitor.hasUserTakenOverSinceReset(); }));
    EXPECT_EQ(callbacks.load(), 1);
    monitor.stop(token);
    EXPECT_FALSE(monitor.isRunning());
}

TEST_F(AutopilotInputX11Test, ChordsThatEndOrSwitchTheSessionNeverReachTheServer)
{
    std::mutex seenLock;
    std::vector<uint16_t> seen; // key presses of ours, in order
    auto witness = platform::Platform::get().eventTap().start("tovrik.witness", [&](const platform::RawInputEvent& e) {
        if (e.isSynthetic && (e.type == platform::RawInputEvent::Type::KeyDown
                              || e.type == platform::RawInputEvent::Type::FlagsChanged)) {
            std::lock_guard lock(seenLock);
            seen.push_back(e.keyCode);
        }
    });
    auto refused = [](const std::function<void()>& press) {
        try {
            press();
        } catch (const TovrikError& e) {
            return std::pair(e.code(), e.message());
        }
        return std::pair(0, QString());
    };
    const std::pair refusal(1, QStringLiteral("UI Autopilot could not press that keyboard shortcut."));
    for (const char* chord : {"ctrl+alt+backspace", "ctrl+alt+f1", "ctrl+alt+f12", "ctrl+alt+forwarddelete"}) {
        EXPECT_EQ(refused([&] { svc->setHeldKey(chord, true); }), refusal) << chord;
        auto run = launch(svc->pressKey(chord));
        complete(run);
        EXPECT_EQ(refused([&] { run->error ? std::rethrow_exception(run->error) : void(); }), refusal) << chord;
    }
    svc->setHeldKey("ctrl+alt", true);
    EXPECT_EQ(refused([&] { svc->setHeldKey("f2", true); }), refusal);
    svc->releaseHeldInputs();
    // The next key of ours: once the witness saw it, it saw all before it.
    succeed(svc->pressKey("esc"));
    ASSERT_TRUE(spinUntil([&] {
        std::lock_guard lock(seenLock);
        return std::ranges::find(seen, platform::KeyCode::Escape) != seen.end();
    }));
    std::lock_guard lock(seenLock);
    for (uint16_t sessionKey : {51, 117, 122, 120, 111})
        EXPECT_EQ(std::ranges::find(seen, sessionKey), seen.end()) << sessionKey;
}

TEST_F(AutopilotInputX11Test, NothingStaysPressedOnAnyWayOut)
{
    const QPointF spot(400, 400);
    // A cancelled hold, click, drag and typing, and a take-over in a hold.
    const std::function<QCoro::Task<void>(CancellationToken)> operations[] = {
        [&](CancellationToken t) { return svc->holdKey("ctrl+shift+a", 3000, t); },
        [&](CancellationToken t) { return svc->click(spot, t); },
        [&](CancellationToken t) {
            return svc->dragPath({spot, spot + QPointF(200, 50)}, 2000, "middle", {}, {}, {}, t);
        },
        [&](CancellationToken t) { return svc->typeText(QString(400, 'x'), {}, t); },
    };
    for (const auto& op : operations) {
        svc->setHeldKey("shift", true); // held by an earlier action
        CancellationSource source;
        auto run = launch(op(source.token()));
        QTest::qWait(420); // into the hold, the drag or the typing
        source.cancel();
        complete(run);
        EXPECT_TRUE(run->cancelled()) << (&op - operations) << describeException(run->error).toStdString();
        svc->releaseHeldInputs();
        expectNothingDown();
    }
    svc->shouldAbortForUserInput = [] { return true; };
    auto aborted = launch(svc->holdKey("ctrl+b", 500));
    complete(aborted);
    ASSERT_TRUE(aborted->tovrikError());
    EXPECT_EQ(aborted->tovrikError()->code(), 2);
    svc->shouldAbortForUserInput = nullptr;
    expectNothingDown();
    // The process quits with keys and a button held.
    svc->setHeldKey("cmd+option+z", true);
    svc->setHeldMouse("right", true, spot, 1);
}

} // namespace
} // namespace tovrik
