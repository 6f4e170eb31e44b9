// Typing text with more characters that the layout lacks than there are spare
// keycodes, into real programs of each toolkit on the real X server, read back
// from the program: a terminal (xterm, core X), a Tk text widget, a GTK 3
// editor (mousepad), a Qt 5 editor (featherpad), a Swing text area, a Qt 6
// editor of our own and a bare Xlib program of ours that falls behind every
// key.
// And a program that never reads the keyboard map: the typing fails, saying
// how much of the text was typed.

#include "autopilot/DesktopInputService.h"
#include "autopilot/UserInputActivityMonitor.h"

#include "interaction/AsyncOutcome.h"
#include "platform/sim/SimPlatform.h"
#include "platform/x11/X11Keymap.h"
#include "platform/x11/X11Platform.h"
#include "platform/x11/Xcb.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QLineEdit>
#include <QProcess>
#include <QRegularExpression>
#include <QScopeGuard>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTimer>
#include <QTest>
#include <gtest/gtest.h>

#include <condition_variable>
#include <csignal>
#include <functional>
#include <mutex>
#include <thread>

namespace tovrik {
namespace {

using test::launch;
using test::spinUntil;

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

QString runTool(const QStringList& command)
{
    QProcess p;
    p.start(command.first(), command.mid(1));
    if (!p.waitForFinished(20000))
        p.kill();
    return QString::fromUtf8(p.readAllStandardOutput());
}

// The centre of the first visible window whose name matches `name`, in root
// coordinates; null when none shows within the wait.
QPointF windowCentre(const QString& name)
{
    const QString id = runTool({"xdotool", "search", "--sync", "--onlyvisible", "--name", name}).section('\n', 0, 0);
    if (id.isEmpty())
        return {};
    QHash<QString, int> g;
    for (const QString& line : runTool({"xdotool", "getwindowgeometry", "--shell", id}).split('\n'))
        if (const int eq = line.indexOf('='); eq > 0)
            g.insert(line.left(eq), line.mid(eq + 1).toInt());
    return QPointF(g["X"] + g["WIDTH"] / 2, g["Y"] + g["HEIGHT"] / 2);
}

// A Tk text widget that writes what it holds on Control+S.
constexpr char kTkScript[] = R"(set path [lindex $argv 0]
wm title . typing-target
text .t -width 100 -height 40
pack .t -fill both -expand 1
focus .t
if {[lindex $argv 1] eq "tick"} {
    proc tick {} { after 10 tick }
    tick
}
bind .t <Control-s> {
    set f [open $path w]
    fconfigure $f -encoding utf-8
    puts -nonewline $f [.t get 1.0 {end - 1 chars}]
    close $f
    exit
}
)";

// A Swing text area that writes what it holds on Control+S.
constexpr char kSwingEditor[] = R"(import java.nio.charset.StandardCharsets;
import java.nio.file.*;
import javax.swing.*;

public class TypingTarget {
    public static void main(String[] args) {
        SwingUtilities.invokeLater(() -> {
            JFrame frame = new JFrame("typing-target");
            JTextArea area = new JTextArea(40, 100);
            area.getInputMap().put(KeyStroke.getKeyStroke("control S"), "save");
            area.getActionMap().put("save", new AbstractAction() {
                public void actionPerformed(java.awt.event.ActionEvent e) {
                    try {
                        Files.write(Paths.get(args[0]), area.getText().getBytes(StandardCharsets.UTF_8));
                    } catch (Exception x) {
                        System.exit(1);
                    }
                    System.exit(0);
                }
            });
            frame.add(new JScrollPane(area));
            frame.pack();
            frame.setVisible(true);
        });
    }
}
)";

// Stops a process for 250 ms out of every 500 while it lives.
class Stalls {
public:
    explicit Stalls(pid_t pid)
        : m_thread([this, pid]() {
              std::unique_lock lock(m_mutex);
              while (!m_done) {
                  ::kill(pid, SIGSTOP);
                  m_wake.wait_for(lock, std::chrono::milliseconds(250), [this] { return m_done; });
                  ::kill(pid, SIGCONT);
                  m_wake.wait_for(lock, std::chrono::milliseconds(250), [this] { return m_done; });
              }
          })
    {
    }
    ~Stalls()
    {
        {
            std::lock_guard lock(m_mutex);
            m_done = true;
        }
        m_wake.notify_all();
        m_thread.join();
    }

private:
    std::mutex m_mutex;
    std::condition_variable m_wake;
    bool m_done = false;
    std::thread m_thread;
};

struct Program {
    const char* name;
    // "%f" stands for the file the text ends up in, "%s" for the Tk script,
    // "%j" for the Swing editor's source
    QStringList command;
    const char* finish;  // the key that makes it write the file
    bool endsItself = false;
    bool inputMethod = false; // started with the input method server (XIM)
};

class AutopilotTypingX11Test : public ::testing::Test {
protected:
    void SetUp() override
    {
        Clock::install(nullptr);
        QString error;
        ASSERT_TRUE(platform::x11::X11Platform::install(&error)) << error.toStdString();
        ASSERT_TRUE(platform::x11::KeyboardMapping().load(x)) << "no X server";
        ASSERT_TRUE(mapBefore.load(x));
        svc = std::make_unique<DesktopInputService>();
    }
    void TearDown() override
    {
        svc.reset();
        // What is lent is given back once typing has been quiet a second.
        platform::x11::KeyboardMapping after;
        EXPECT_TRUE(spinUntil([&] { return after.load(x) && after.spareKeycodes() == mapBefore.spareKeycodes(); }, 10000))
            << "a lent keycode was kept";
        platform::x11::XcbReply<xcb_query_keymap_reply_t> keys(xcb_query_keymap_reply(x, xcb_query_keymap(x), nullptr));
        ASSERT_TRUE(keys);
        for (int i = 0; i < 32; ++i)
            EXPECT_EQ(keys->keys[i], 0) << "keycodes from " << i * 8 << " stayed down";
        platform::sim::SimPlatform::install();
    }
    std::exception_ptr run(QCoro::Task<void> task)
    {
        auto outcome = launch(std::move(task));
        EXPECT_TRUE(spinUntil([&] { return outcome->done; }, 100000));
        return outcome->error;
    }
    // Starts the program on a new file, types `text` into it, makes it write
    // the file and returns what it wrote.
    QString typeInto(const Program& program, const QString& text)
    {
        const QString file = dir.filePath(QStringLiteral("typing-target.txt"));
        QFile(file).open(QIODevice::WriteOnly);
        const QString script = dir.filePath(QStringLiteral("typing-target.tcl"));
        QFile tcl(script);
        if (tcl.open(QIODevice::WriteOnly))
            tcl.write(kTkScript);
        tcl.close();
        QFile java(dir.filePath(QStringLiteral("TypingTarget.java")));
        if (java.open(QIODevice::WriteOnly))
            java.write(kSwingEditor);
        java.close();
        QStringList command = program.command;
        for (QString& arg : command)
            arg.replace(QStringLiteral("%f"), file).replace(QStringLiteral("%s"), script).replace(QStringLiteral("%j"), java.fileName());
        QProcess p;
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert("LC_ALL", "C.UTF-8");
        env.insert("LANG", "C.UTF-8");
        env.insert("QT_QPA_PLATFORM", "xcb");
        env.insert("GTK_IM_MODULE", program.inputMethod ? "xim" : "gtk-im-context-simple");
        env.insert("QT_IM_MODULE", program.inputMethod ? "xim" : "compose");
        env.insert("XMODIFIERS", program.inputMethod ? "@im=ibus" : "@im=none");
        if (!programDisplay.isEmpty())
            env.insert("DISPLAY", programDisplay);
        p.setProcessEnvironment(env);
        p.start(command.first(), command.mid(1));
        EXPECT_TRUE(p.waitForStarted(10000)) << program.name << " did not start";
        const QPointF centre = windowCentre(QStringLiteral("typing-target"));
        EXPECT_FALSE(centre.isNull()) << program.name << " showed no window";
        if (centre.isNull()) {
            p.kill();
            p.waitForFinished();
            return {};
        }
        // No window manager: the keys go to the window under the pointer.
        EXPECT_FALSE(run(svc->click(centre)));
        QTest::qWait(300); // the program takes the focus
        {
            // As on a busy machine, the program gets no CPU for a while now
            // and then, longer than any pause between keyboard map changes
            // that would do without it.
            const Stalls stalls(pid_t(p.processId()));
            lastFailure = run(svc->typeText(text));
        }
        if (afterText)
            afterText();
        if (!program.inputMethod && !mayFail) {
            EXPECT_FALSE(lastFailure) << describeException(lastFailure).toStdString();
        }
        EXPECT_FALSE(run(svc->pressKey(QString::fromLatin1(program.finish))));
        // The terminal ends with its input; an editor saves the file (one
        // that was typed nothing has nothing to save).
        EXPECT_TRUE(((program.inputMethod || mayFail) && lastFailure) || spinUntil([&] { return p.state() == QProcess::NotRunning || (!program.endsItself && QFileInfo(file).size() > 0); },
                              30000))
            << program.name << " wrote nothing";
        QTest::qWait(200);
        if (p.state() != QProcess::NotRunning) {
            p.kill();
            p.waitForFinished();
        }
        QFile written(file);
        written.open(QIODevice::ReadOnly);
        return QString::fromUtf8(written.readAll());
    }
    // Where the two texts first differ, for the failure message.
    static std::string firstDifference(const QString& want, const QString& got)
    {
        qsizetype i = 0;
        while (i < want.size() && i < got.size() && want[i] == got[i])
            ++i;
        return QStringLiteral("first difference at %1 of %2: wanted \"%3\", got \"%4\"")
            .arg(i)
            .arg(want.size())
            .arg(want.mid(i, 40), got.mid(i, 40))
            .toStdString();
    }

    platform::x11::XcbConnection x{nullptr};
    std::exception_ptr lastFailure;
    bool mayFail = false;    // typeInto: the typing may fail
    std::function<void()> afterText; // typeInto: what happens before the program is made to write
    QString programDisplay;  // typeInto: the program's DISPLAY, when not ours
    platform::x11::KeyboardMapping mapBefore;
    std::unique_ptr<DesktopInputService> svc;
    QTemporaryDir dir;
};

// Six lines of 74 characters the layout lacks: a dozen lending rounds.
const QString kText = mixedText(6, 74);

// The program's name in the test's name and messages.
void PrintTo(const Program& program, std::ostream* os)
{
    *os << program.name;
}

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

QString textSink()
{
    return qEnvironmentVariable("TOVRIK_BINARY_DIR") + QStringLiteral("/tests/autopilot/tovrik-test-text-sink");
}

QString laggingSink()
{
    return qEnvironmentVariable("TOVRIK_BINARY_DIR") + QStringLiteral("/tests/autopilot/tovrik-test-lagging-sink");
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

TEST_F(AutopilotTypingX11Test, TextForAProgramBehindAnInputMethodIsExactOrRefusedBeforeAnythingIsTyped)
{
    if (QStandardPaths::findExecutable("ibus-daemon").isEmpty())
        GTEST_SKIP() << "ibus is not installed (scripts/setup-deps.sh installs it)";
    QProcess ibus;
    ibus.start("ibus-daemon", {"--xim", "--replace", "--panel=disable"});
    ASSERT_TRUE(ibus.waitForStarted(10000));
    const auto stopIbus = qScopeGuard([&ibus] {
        ibus.terminate();
        if (!ibus.waitForFinished(5000))
            ibus.kill();
        ibus.waitForFinished();
    });
    ASSERT_TRUE(spinUntil([] { return runTool({"xprop", "-root", "XIM_SERVERS"}).contains("@server=ibus"); }, 20000))
        << "ibus offered no input method";
    // Only keys of the layout, fast: an input method that hands keys back
    // in an order of its own scrambles them.
    QString text;
    for (int i = 0; i < 300; ++i)
        text += QChar(u"abcdefghijklmnopqrstuvwxyz0123456789"[(i * 7) % 36]);
    const QString got = typeInto(Program{"mousepad", {"mousepad", "--disable-server", "%f"}, "ctrl+s", false, true}, text);
    if (!lastFailure) {
        EXPECT_TRUE(got == text) << firstDifference(text, got);
        return;
    }
    EXPECT_EQ(describeException(lastFailure).toStdString(),
              "UI Autopilot cannot type into this window because its keys go through an input method. 0 of 300 "
              "characters were typed; the rest was not.");
    EXPECT_EQ(got, QString());
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
