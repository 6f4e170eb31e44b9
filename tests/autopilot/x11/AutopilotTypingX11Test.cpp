// Typing text with more characters that the layout lacks than there are spare
// keycodes, into real programs of each toolkit on the real X server, read back
// from the program: a terminal (xterm, core X), a Tk text widget, a GTK 3
// editor (mousepad), a Qt 5 editor (featherpad), a Swing text area, a Qt 6
// editor of our own and a bare Xlib program of ours that falls behind every
// key.
// And a program that never reads the keyboard map: the typing fails, saying
// how much of the text was typed.

#include "TypingFixture.h"

#include "autopilot/UserInputActivityMonitor.h"

#include <QElapsedTimer>
#include <QLineEdit>
#include <QRegularExpression>

namespace tovrik {
namespace {

using namespace typingtest;

// Lines of `perLine` distinct characters that the US layout has no key for
// (Latin-1 letters, Greek, Cyrillic, a few symbols), each line starting
// further into the pool, between ASCII punctuation, a backslash, a
// backquote and a tab.
QString mixedText(int lines, int perLine)
{
    QString pool;
    for (char32_t c = 0xc0; c <= 0xff; ++c)
        if (c != 0xd7 && c != 0xf7)
            pool += QChar(char16_t(c));
    for (char32_t c = 0x3b1; c <= 0x3c9; ++c)
        pool += QChar(char16_t(c));
    for (char32_t c = 0x391; c <= 0x3a9; ++c)
        if (c != 0x3a2)
            pool += QChar(char16_t(c));
    for (char32_t c = 0x430; c <= 0x44f; ++c)
        pool += QChar(char16_t(c));
    for (char32_t c = 0x410; c <= 0x42f; ++c)
        pool += QChar(char16_t(c));
    pool += QString::fromUtf8("€✓½→日本語ŁőŒœ");
    const QString ascii = QStringLiteral("x,.;:'\"!?\\`-=+*&%$#@~^_|/<>");
    QString text;
    for (int line = 0; line < lines; ++line) {
        text += QStringLiteral("L%1\t").arg(line);
        for (int i = 0; i < perLine; ++i) {
            text += pool[(line * 53 + i) % pool.size()];
            if (i % 12 == 11)
                text += ascii[(line + i) % ascii.size()];
        }
        text += QLatin1Char('\n');
    }
    return text;
}

// Six lines of 74 characters the layout lacks: a dozen lending rounds.
const QString kText = mixedText(6, 74);

class TypingIntoPrograms : public AutopilotTypingX11Test, public ::testing::WithParamInterface<Program> {};

TEST_P(TypingIntoPrograms, TextWithMoreMissingCharactersThanSpareKeysComesOutExactly)
{
    const Program& program = GetParam();
    if (QStandardPaths::findExecutable(program.command.first()).isEmpty()
        && !QFile::exists(program.command.first()))
        GTEST_SKIP() << program.name << " is not installed (scripts/setup-deps.sh installs it)";
    QString got = typeInto(program, kText);
    // Editors may end a saved file with a line break of their own.
    while (got.endsWith(QLatin1Char('\n')) && got.size() > kText.size())
        got.chop(1);
    EXPECT_TRUE(got == kText) << program.name << ": " << firstDifference(kText, got);
}

INSTANTIATE_TEST_SUITE_P(
    Toolkits, TypingIntoPrograms,
    ::testing::Values(
        Program{"xterm", {"xterm", "-u8", "-T", "typing-target", "-e", "sh", "-c", "stty -ixon; cat > \"$0\"", "%f"}, "ctrl+d", true},
        Program{"tk", {"wish", "%s", "%f"}, "ctrl+s", true},
        Program{"swing", {"java", "%j", "%f"}, "ctrl+s", true},
        Program{"mousepad", {"mousepad", "--disable-server", "%f"}, "ctrl+s"},
        Program{"featherpad", {"featherpad", "--standalone", "%f"}, "ctrl+s"},
        Program{"qt6", {textSink(), "%f"}, "ctrl+s", true},
        Program{"xlibBehind", {laggingSink(), "%f", "5"}, "ctrl+s", true},
        Program{"tkTimer", {"wish", "%s", "%f", "tick"}, "ctrl+s", true},
        Program{"xlibWorker", {laggingSink(), "%f", "0", "worker"}, "ctrl+s", true},
        Program{"xlibPipe", {laggingSink(), "%f", "0", "pipe"}, "ctrl+s", true}),
    [](const ::testing::TestParamInfo<Program>& info) { return std::string(info.param.name); });

// A window of a client that translates nothing: it never asks for the
// keyboard map. It takes the focus.
xcb_window_t focusSilentWindow(platform::x11::XcbConnection& silent)
{
    const xcb_window_t window = xcb_generate_id(silent);
    const uint32_t mask = XCB_EVENT_MASK_KEY_PRESS | XCB_EVENT_MASK_KEY_RELEASE;
    xcb_create_window(silent, XCB_COPY_FROM_PARENT, window, silent.root(), 0, 0, 300, 200, 0,
                      XCB_WINDOW_CLASS_INPUT_OUTPUT, XCB_COPY_FROM_PARENT, XCB_CW_EVENT_MASK, &mask);
    xcb_map_window(silent, window);
    xcb_set_input_focus(silent, XCB_INPUT_FOCUS_POINTER_ROOT, window, XCB_CURRENT_TIME);
    silent.sync();
    return window;
}

int keyPressesFor(platform::x11::XcbConnection& client)
{
    client.sync();
    int presses = 0;
    while (xcb_generic_event_t* e = xcb_poll_for_event(client)) {
        presses += (e->response_type & 0x7f) == XCB_KEY_PRESS;
        std::free(e);
    }
    return presses;
}

TEST_F(AutopilotTypingX11Test, AKeyboardGrabbedByAnotherClientFailsTheTextBeforeAnythingIsTyped)
{
    QProcess xterm;
    xterm.start("xterm", {"-u8", "-T", "typing-target", "-e", "sh", "-c", "stty -ixon; cat > /dev/null"});
    ASSERT_TRUE(xterm.waitForStarted(10000));
    const QPointF centre = windowCentre(QStringLiteral("typing-target"));
    ASSERT_FALSE(centre.isNull());
    EXPECT_FALSE(run(svc->click(centre)));
    QTest::qWait(300); // xterm takes the focus
    // Another client holds the keyboard: every key would go to it.
    platform::x11::XcbConnection grabber(nullptr);
    platform::x11::XcbReply<xcb_grab_keyboard_reply_t> grab(xcb_grab_keyboard_reply(
        grabber,
        xcb_grab_keyboard(grabber, 0, grabber.root(), XCB_CURRENT_TIME, XCB_GRAB_MODE_ASYNC, XCB_GRAB_MODE_ASYNC),
        nullptr));
    ASSERT_TRUE(grab && grab->status == XCB_GRAB_STATUS_SUCCESS);

    const std::exception_ptr failure = run(svc->typeText(QString::fromUtf8("ab\tαβ")));
    ASSERT_TRUE(failure) << "typing was reported done";
    EXPECT_EQ(describeException(failure).toStdString(),
              "UI Autopilot stopped typing because another program took hold of the keyboard. 0 of 5 characters were "
              "typed; the rest was not.");
    EXPECT_EQ(keyPressesFor(grabber), 0);
    xcb_ungrab_keyboard(grabber, XCB_CURRENT_TIME);
    grabber.sync();
    xterm.kill();
    xterm.waitForFinished();
}

TEST_F(AutopilotTypingX11Test, EscDuringAWaitForTheReceiverTakesOverAtOnceWithTheEventLoopRunning)
{
    // The receiver never reads the map: typing its first lent character
    // waits up to its bound of seconds.
    platform::x11::XcbConnection silent(nullptr);
    ASSERT_TRUE(silent.ok());
    focusSilentWindow(silent);
    UserInputActivityMonitor monitor;
    const auto owner = monitor.start();
    ASSERT_NE(owner, 0u);
    svc->shouldAbortForUserInput = [&monitor] { return monitor.hasUserTakenOverSinceReset(); };
    int ticks = 0;
    QTimer tick;
    QObject::connect(&tick, &QTimer::timeout, [&ticks] { ++ticks; });
    tick.start(10);

    QElapsedTimer clock;
    clock.start();
    auto outcome = launch(svc->typeText(QString::fromUtf8("ab\tαβγ")));
    QTest::qWait(700); // waiting for the receiver to read the map
    const int ticksWhileWaiting = ticks;
    const int pressesBeforeEsc = keyPressesFor(silent);
    const qint64 escAt = clock.elapsed();
    QProcess::startDetached("xdotool", {"key", "Escape"}); // a keyboard other than ours
    ASSERT_TRUE(spinUntil([&] { return outcome->done; }, 10000));
    const qint64 doneAt = clock.elapsed();
    ASSERT_TRUE(outcome->error) << "typing was reported done";
    EXPECT_EQ(describeException(outcome->error).toStdString(), "UI Autopilot stopped because you started using the computer.");
    // The take-over comes between two checks, not after the receiver's
    // bound ran out; the event loop ran all along.
    EXPECT_LT(doneAt - escAt, 2000);
    EXPECT_GT(ticksWhileWaiting, 20);
    QTest::qWait(300);
    // Only the layout's characters, the tap that asks for a read (it types
    // nothing) and Esc itself reached the receiver.
    EXPECT_EQ(pressesBeforeEsc, 4);
    EXPECT_LE(keyPressesFor(silent), 1);
    monitor.stop(owner);
    xcb_set_input_focus(silent, XCB_INPUT_FOCUS_POINTER_ROOT, XCB_INPUT_FOCUS_POINTER_ROOT, XCB_CURRENT_TIME);
    silent.sync();
}

TEST_F(AutopilotTypingX11Test, AProgramThatNeverReadsTheKeyboardMapGetsAFailureThatSaysHowMuchWasTyped)
{
    platform::x11::XcbConnection silent(nullptr);
    ASSERT_TRUE(silent.ok());
    focusSilentWindow(silent);

    const std::exception_ptr failure = run(svc->typeText(QString::fromUtf8("ab\tαβ")));
    ASSERT_TRUE(failure) << "typing was reported done";
    EXPECT_EQ(describeException(failure).toStdString(),
              "UI Autopilot stopped typing because the program did not keep up with the keys. 3 of 5 characters were "
              "typed; the rest was not.");
    // Only the keys of the layout's characters reached it.
    EXPECT_GE(keyPressesFor(silent), 3);
    xcb_set_input_focus(silent, XCB_INPUT_FOCUS_POINTER_ROOT, XCB_INPUT_FOCUS_POINTER_ROOT, XCB_CURRENT_TIME);
    silent.sync();
}

TEST_F(AutopilotTypingX11Test, AWindowOfOurOwnIsTypedIntoExactlyWhileTheEventLoopRuns)
{
    // Our own window reads the keyboard map on the main thread, which the
    // typing leaves free.
    QLineEdit edit;
    edit.resize(400, 40);
    edit.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&edit));
    xcb_set_input_focus(x, XCB_INPUT_FOCUS_POINTER_ROOT, edit.winId(), XCB_CURRENT_TIME);
    x.sync();
    QTest::qWait(300);
    const QString text = QString::fromUtf8("ab αβγδ жзий ÀÁÂ");
    const std::exception_ptr failure = run(svc->typeText(text));
    EXPECT_FALSE(failure) << describeException(failure).toStdString();
    EXPECT_EQ(edit.text().toStdString(), text.toStdString());
}

TEST_F(AutopilotTypingX11Test, InputAfterATextIntoAProgramFarBehindLeavesEveryCharacterRight)
{
    // At 300 ms a key the program is seconds behind when the text is done.
    // Meanwhile the modifiers are read as the voice-hold watchdog does, and
    // a second after the text the next action's key goes out.
    afterText = [this] {
        QElapsedTimer clock;
        clock.start();
        bool pressed = false;
        while (clock.elapsed() < 3000) {
            platform::Platform::get().input().physicalModifiers();
            if (!pressed && clock.elapsed() >= 1000)
                pressed = !run(svc->pressKey(QStringLiteral("shift")));
            QTest::qWait(120);
        }
    };
    const QString text = QString::fromUtf8("abαβγδεζηθ");
    const QString got = typeInto(Program{"xlibFarBehind", {laggingSink(), "%f", "300"}, "ctrl+s", true}, text);
    EXPECT_TRUE(got == text) << firstDifference(text, got);
}

TEST_F(AutopilotTypingX11Test, AfterATakeOverNothingMoreIsTypedWhileTheLentKeysWaitToGoBack)
{
    QTemporaryDir files;
    QProcess sink;
    sink.start(laggingSink(), {files.filePath("typed"), "300"});
    ASSERT_TRUE(sink.waitForStarted(10000));
    const QPointF centre = windowCentre(QStringLiteral("typing-target"));
    ASSERT_FALSE(centre.isNull());
    EXPECT_FALSE(run(svc->click(centre)));
    UserInputActivityMonitor monitor;
    const auto owner = monitor.start();
    ASSERT_NE(owner, 0u);
    svc->shouldAbortForUserInput = [&monitor] { return monitor.hasUserTakenOverSinceReset(); };
    auto outcome = launch(svc->typeText(mixedText(2, 74)));
    QTest::qWait(2500); // lent characters typed, the program far behind them
    QProcess::startDetached("xdotool", {"key", "Escape"});
    ASSERT_TRUE(spinUntil([&] { return outcome->done; }, 10000));
    EXPECT_EQ(describeException(outcome->error).toStdString(), "UI Autopilot stopped because you started using the computer.");
    // The user works in another window now: it gets nothing of ours.
    platform::x11::XcbConnection other(nullptr);
    focusSilentWindow(other);
    QTest::qWait(3000);
    EXPECT_EQ(keyPressesFor(other), 0);
    monitor.stop(owner);
    sink.kill();
    sink.waitForFinished();
    xcb_set_input_focus(other, XCB_INPUT_FOCUS_POINTER_ROOT, XCB_INPUT_FOCUS_POINTER_ROOT, XCB_CURRENT_TIME);
    other.sync();
}

TEST_F(AutopilotTypingX11Test, AProgramNotOfTheProcessTheServerNamesGetsAFailureThatSaysWhyAndNoLaterRound)
{
    if (QStandardPaths::findExecutable("socat").isEmpty())
        GTEST_SKIP() << "socat is not installed (scripts/setup-deps.sh installs it)";
    // socat serves a display of its own and relays it to ours, as `ssh -X`
    // does: the server names socat's process for the program's windows.
    const int ours = qEnvironmentVariable("DISPLAY").section(':', 1).section('.', 0, 0).toInt();
    QProcess socat;
    QString relayed;
    for (int n = ours + 300; n < ours + 340 && relayed.isEmpty(); ++n) {
        socat.start("socat", {QStringLiteral("ABSTRACT-LISTEN:/tmp/.X11-unix/X%1,fork").arg(n),
                              QStringLiteral("ABSTRACT-CONNECT:/tmp/.X11-unix/X%1").arg(ours)});
        if (socat.waitForStarted(5000) && !socat.waitForFinished(300))
            relayed = QStringLiteral(":%1").arg(n);
    }
    ASSERT_FALSE(relayed.isEmpty()) << "socat could not serve a display";
    const auto stop = qScopeGuard([&socat] {
        socat.kill();
        socat.waitForFinished();
    });
    struct Case {
        Program program;
        QString display;
    };
    // socat's last: it keeps the window a while after the program ends.
    const Case cases[] = {
        {Program{"another pid", {laggingSink(), "%f", "0", "otherpid"}, "ctrl+s", true}, {}},
        {Program{"another machine", {laggingSink(), "%f", "0", "elsewhere"}, "ctrl+s", true}, {}},
        {Program{"tk through socat", {"wish", "%s", "%f"}, "ctrl+s", true}, relayed},
    };
    mayFail = true;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.program.name);
        programDisplay = c.display;
        lastFailure = nullptr;
        const QString got = typeInto(c.program, kText);
        ASSERT_TRUE(lastFailure) << "typing was reported done";
        const QString message = describeException(lastFailure);
        EXPECT_TRUE(message.startsWith("UI Autopilot cannot tell when this program has handled its keys, so it stopped typing. "))
            << message.toStdString();
        const int typed = QRegularExpression(QStringLiteral("(\\d+) of 504 characters")).match(message).captured(1).toInt();
        EXPECT_GT(typed, 0) << message.toStdString();
        EXPECT_TRUE(got == kText.left(typed)) << firstDifference(kText.left(typed), got);
    }
}

} // namespace
} // namespace tovrik
