// Typing goes only into the window the text's first character went to: the
// receiver closing, another window taking the keys and another client's
// keyboard grab during the text end it with a true count and its cause, and
// nothing reaches any other window; the receiver's own grab is no refusal.

#include "autopilot/DesktopInputService.h"

#include "interaction/AsyncOutcome.h"
#include "platform/sim/SimPlatform.h"
#include "platform/x11/X11Platform.h"
#include "platform/x11/Xcb.h"

#include <QFile>
#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>
#include <gtest/gtest.h>

namespace tovrik {
namespace {

using platform::x11::XcbConnection;
using test::launch;
using test::spinUntil;

QString asciiText(int length)
{
    QString text;
    for (int i = 0; i < length; ++i)
        text += QChar(u"abcdefghijklmnopqrstuvwxyz0123456789"[(i * 7) % 36]);
    return text;
}

// A window of a client of its own at `x`, `y` that reads no keyboard map
// (keymap-only text needs none); `focus`: it takes the focus, reverting to
// the pointer's window when it goes.
xcb_window_t openWindow(XcbConnection& client, int16_t x, int16_t y, bool focus)
{
    const xcb_window_t window = xcb_generate_id(client);
    const uint32_t values[] = {1, XCB_EVENT_MASK_KEY_PRESS};
    xcb_create_window(client, XCB_COPY_FROM_PARENT, window, client.root(), x, y, 400, 300, 0,
                      XCB_WINDOW_CLASS_INPUT_OUTPUT, XCB_COPY_FROM_PARENT, XCB_CW_OVERRIDE_REDIRECT | XCB_CW_EVENT_MASK,
                      values);
    xcb_map_window(client, window);
    if (focus)
        xcb_set_input_focus(client, XCB_INPUT_FOCUS_POINTER_ROOT, window, XCB_CURRENT_TIME);
    client.sync();
    return window;
}

int keyPresses(XcbConnection& client)
{
    client.sync();
    int presses = 0;
    while (xcb_generic_event_t* e = xcb_poll_for_event(client)) {
        presses += (e->response_type & 0x7f) == XCB_KEY_PRESS;
        std::free(e);
    }
    return presses;
}

// The count the failure names: "… N of M characters were typed; …".
int typedCount(const QString& message)
{
    const auto match = QRegularExpression(QStringLiteral(" (\\d+) of \\d+ characters were typed")).match(message);
    return match.hasMatch() ? match.captured(1).toInt() : -1;
}

class AutopilotTypingGuardX11Test : public ::testing::Test {
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
        for (QProcess* p : {&behind, &program}) {
            p->kill();
            p->waitForFinished();
        }
        xcb_set_input_focus(x, XCB_INPUT_FOCUS_POINTER_ROOT, XCB_INPUT_FOCUS_POINTER_ROOT, XCB_CURRENT_TIME);
        x.sync();
        platform::sim::SimPlatform::install();
    }
    // A terminal at `geometry` that writes every byte it is typed to `behindFile`.
    void startTerminal(const QString& geometry)
    {
        behind.start("xterm", {"-geometry", geometry, "-T", "behind", "-e", "sh", "-c", "stty raw -echo; cat > \"$0\"",
                               behindFile});
        ASSERT_TRUE(behind.waitForStarted(10000));
        ASSERT_FALSE(runTool({"xdotool", "search", "--sync", "--onlyvisible", "--name", "behind"}).isEmpty());
        QTest::qWait(300);
    }
    static QString runTool(const QStringList& command)
    {
        QProcess p;
        p.start(command.first(), command.mid(1));
        if (!p.waitForFinished(20000))
            p.kill();
        return QString::fromUtf8(p.readAllStandardOutput()).trimmed();
    }
    QString behindGot()
    {
        QTest::qWait(500);
        QFile f(behindFile);
        f.open(QIODevice::ReadOnly);
        return QString::fromUtf8(f.readAll());
    }
    // Types `text`, running `during` on the main thread `afterMs` into it.
    std::exception_ptr typeWhile(const QString& text, int afterMs, const std::function<void()>& during)
    {
        QTimer::singleShot(afterMs, during);
        auto outcome = launch(svc->typeText(text));
        EXPECT_TRUE(spinUntil([&] { return outcome->done; }, 120000));
        return outcome->error;
    }

    XcbConnection x{nullptr};
    std::unique_ptr<DesktopInputService> svc;
    QTemporaryDir dir;
    QString behindFile = dir.filePath(QStringLiteral("behind.txt"));
    QProcess behind;
    QProcess program;
};

TEST_F(AutopilotTypingGuardX11Test, TheReceiverClosingMidTextSendsNothingToTheWindowBehindAndSaysSo)
{
    startTerminal(QStringLiteral("80x24+0+0"));
    svc->move(QPointF(200, 150)); // over the terminal, which gets the keys once the focus reverts
    XcbConnection receiver(nullptr);
    const xcb_window_t window = openWindow(receiver, 0, 0, true);
    const QString text = asciiText(1500);
    const std::exception_ptr failure = typeWhile(text, 300, [&] {
        xcb_destroy_window(receiver, window);
        xcb_flush(receiver);
    });
    ASSERT_TRUE(failure) << "typing was reported done";
    const QString message = describeException(failure);
    EXPECT_TRUE(message.startsWith(DesktopInputService::typingFailureMessage(platform::TypingFailure::ReceiverGone)))
        << message.toStdString();
    EXPECT_EQ(typedCount(message), keyPresses(receiver)) << message.toStdString();
    EXPECT_GT(typedCount(message), 0);
    EXPECT_EQ(behindGot(), QString());
}

TEST_F(AutopilotTypingGuardX11Test, AProgramKilledMidTextSendsNothingToTheWindowBehind)
{
    startTerminal(QStringLiteral("80x24+0+0"));
    svc->move(QPointF(200, 150));
    const QString script = dir.filePath(QStringLiteral("receiver.tcl"));
    QFile tcl(script);
    ASSERT_TRUE(tcl.open(QIODevice::WriteOnly));
    tcl.write("wm title . receiver\nwm geometry . 600x400+0+0\ntext .t\npack .t -fill both -expand 1\nfocus .t\n");
    tcl.close();
    program.start("wish", {script});
    ASSERT_TRUE(program.waitForStarted(10000));
    ASSERT_FALSE(runTool({"xdotool", "search", "--sync", "--onlyvisible", "--name", "receiver"}).isEmpty());
    QTest::qWait(300);
    const std::exception_ptr failure =
        typeWhile(asciiText(1500), 300, [&] { ::kill(pid_t(program.processId()), SIGKILL); });
    ASSERT_TRUE(failure) << "typing was reported done";
    const QString message = describeException(failure);
    EXPECT_TRUE(message.startsWith(DesktopInputService::typingFailureMessage(platform::TypingFailure::ReceiverGone)))
        << message.toStdString();
    EXPECT_EQ(behindGot(), QString());
}

TEST_F(AutopilotTypingGuardX11Test, AWindowOpenedUnderThePointerMidTextGetsNothing)
{
    // The focus follows the pointer (no window manager): the receiver has
    // the keys while it is the window under the pointer.
    XcbConnection receiver(nullptr);
    openWindow(receiver, 0, 0, false);
    svc->move(QPointF(200, 150));
    const std::exception_ptr failure =
        typeWhile(asciiText(3000), 300, [&] { startTerminal(QStringLiteral("40x10+100+100")); });
    ASSERT_TRUE(failure) << "typing was reported done";
    const QString message = describeException(failure);
    EXPECT_TRUE(message.startsWith(DesktopInputService::typingFailureMessage(platform::TypingFailure::FocusMoved)))
        << message.toStdString();
    EXPECT_EQ(typedCount(message), keyPresses(receiver)) << message.toStdString();
    EXPECT_EQ(behindGot(), QString());
}

TEST_F(AutopilotTypingGuardX11Test, BriefGrabsByAnotherClientMidTextTakeNoKeyAndFailTheText)
{
    XcbConnection receiver(nullptr);
    openWindow(receiver, 0, 0, true);
    // Grabs of 60 ms every 150 ms, as a menu or a key chain makes them.
    XcbConnection grabber(nullptr);
    QTimer grabs;
    QObject::connect(&grabs, &QTimer::timeout, [&] {
        xcb_grab_keyboard(grabber, 0, grabber.root(), XCB_CURRENT_TIME, XCB_GRAB_MODE_ASYNC, XCB_GRAB_MODE_ASYNC);
        xcb_flush(grabber);
        QTimer::singleShot(60, [&] {
            xcb_ungrab_keyboard(grabber, XCB_CURRENT_TIME);
            xcb_flush(grabber);
        });
    });
    const std::exception_ptr failure = typeWhile(asciiText(1500), 100, [&] { grabs.start(150); });
    grabs.stop();
    ASSERT_TRUE(failure) << "typing was reported done";
    const QString message = describeException(failure);
    EXPECT_TRUE(message.startsWith(DesktopInputService::typingFailureMessage(platform::TypingFailure::KeyboardGrabbed)))
        << message.toStdString();
    EXPECT_EQ(keyPresses(grabber), 0);
    EXPECT_EQ(typedCount(message), keyPresses(receiver)) << message.toStdString();
}

TEST_F(AutopilotTypingGuardX11Test, TheReceiversOwnGrabIsNoRefusal)
{
    // A Tk popup holding a global grab (its own menu or list) gets the text.
    const QString file = dir.filePath(QStringLiteral("popup.txt"));
    const QString script = dir.filePath(QStringLiteral("popup.tcl"));
    QFile tcl(script);
    ASSERT_TRUE(tcl.open(QIODevice::WriteOnly));
    tcl.write(R"(set path [lindex $argv 0]
wm title . popup
wm geometry . 400x200+50+50
entry .e -width 40
pack .e
proc save {} {
    set f [open $::path w]
    fconfigure $f -encoding utf-8
    puts -nonewline $f [.e get]
    close $f
    after 100 save
}
proc hold {} {
    focus -force .e
    if {[catch {grab -global .}]} { after 50 hold } else { save }
}
hold
)");
    tcl.close();
    program.start("wish", {script, file});
    ASSERT_TRUE(program.waitForStarted(10000));
    ASSERT_FALSE(runTool({"xdotool", "search", "--sync", "--onlyvisible", "--name", "popup"}).isEmpty());
    svc->move(QPointF(150, 100));
    ASSERT_TRUE(spinUntil([&] { return QFile::exists(file); }, 10000)) << "the popup took no grab";
    const QString text = QString::fromUtf8("typed into its own popup: αβγ 42");
    const std::exception_ptr failure = typeWhile(text, 0, [] {});
    EXPECT_FALSE(failure) << describeException(failure).toStdString();
    QString got;
    spinUntil([&] {
        QFile written(file);
        written.open(QIODevice::ReadOnly);
        got = QString::fromUtf8(written.readAll());
        return got == text;
    }, 10000);
    EXPECT_EQ(got.toStdString(), text.toStdString());
}

} // namespace
} // namespace tovrik
