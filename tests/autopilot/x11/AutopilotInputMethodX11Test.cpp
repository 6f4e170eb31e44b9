// Typing into programs whose keys may go through an input method: over X
// (XIM), where a program that sends its keys there is refused and one that
// cannot is typed into however busy; and over D-Bus (ibus, fcitx), where each
// toolkit's module is typed into exactly or refused before the first key.

#include "TypingFixture.h"

namespace tovrik {
namespace {

using namespace typingtest;

// A text refused because the program sends its keys to an input method.
const QString kInputMethodRefusal = QStringLiteral(
    "UI Autopilot cannot type into this window because its keys go through an input method. "
    "0 of %1 characters were typed; the rest was not.");

// Starts an input method server in the test's session (ibus also over X
// with `xim`) and waits until it owns its name on the session bus (and
// announces its XIM server); it ends when the guard goes.
auto startInputMethod(QProcess& server, const QString& name, bool xim = false)
{
    const bool ibus = name == "ibus";
    if (ibus)
        server.start("ibus-daemon", xim ? QStringList{"--xim", "--replace", "--panel=disable"}
                                        : QStringList{"--replace", "--panel=disable"});
    else
        server.start("fcitx5", {"--replace", "--disable=all", "--enable=dbus,dbusfrontend,keyboard,xcb"});
    EXPECT_TRUE(server.waitForStarted(10000));
    const QString busName = ibus ? "org.freedesktop.IBus" : "org.fcitx.Fcitx5";
    EXPECT_TRUE(spinUntil([&] {
        return runTool({"gdbus", "call", "--session", "--dest", "org.freedesktop.DBus", "--object-path", "/org/freedesktop/DBus",
                        "--method", "org.freedesktop.DBus.NameHasOwner", busName})
                   .contains("true")
            && (!xim || runTool({"xprop", "-root", "XIM_SERVERS"}).contains("@server=ibus"));
    }, 20000)) << name.toStdString() << " did not start";
    return qScopeGuard([&server] {
        server.terminate();
        if (!server.waitForFinished(5000))
            server.kill();
        server.waitForFinished();
    });
}

TEST_F(AutopilotTypingX11Test, TextForAProgramBehindAnInputMethodIsExactOrRefusedBeforeAnythingIsTyped)
{
    if (QStandardPaths::findExecutable("ibus-daemon").isEmpty())
        GTEST_SKIP() << "ibus is not installed (scripts/setup-deps.sh installs it)";
    QProcess ibus;
    const auto stopIbus = startInputMethod(ibus, "ibus", true);
    // Only keys of the layout, fast: an input method that hands keys back
    // in an order of its own scrambles them.
    QString text;
    for (int i = 0; i < 300; ++i)
        text += QChar(u"abcdefghijklmnopqrstuvwxyz0123456789"[(i * 7) % 36]);
    const QString got = typeInto(Program{"mousepad", {"mousepad", "--disable-server", "%f"}, "ctrl+s", false, "xim"}, text);
    if (!lastFailure) {
        EXPECT_TRUE(got == text) << firstDifference(text, got);
        return;
    }
    EXPECT_EQ(describeException(lastFailure).toStdString(), kInputMethodRefusal.arg(300).toStdString());
    EXPECT_EQ(got, QString());
}

TEST_F(AutopilotTypingX11Test, AProgramWithoutAnXimClientIsTypedIntoWhileBusyThoughAnXimServerRuns)
{
    if (QStandardPaths::findExecutable("ibus-daemon").isEmpty())
        GTEST_SKIP() << "ibus is not installed (scripts/setup-deps.sh installs it)";
    QProcess ibus;
    const auto stopIbus = startInputMethod(ibus, "ibus", true);
    // Busy for longer than any wait for a program to handle a key: a
    // program that cannot send its keys to the server gets them all the same.
    const QString text = QStringLiteral("the quick brown fox jumps over the lazy dog 0123456789");
    for (const Program& program : {Program{"featherpad", {"featherpad", "--standalone", "%f"}, "ctrl+s"},
                                   Program{"mousepad", {"mousepad", "--disable-server", "%f"}, "ctrl+s"}}) {
        QString got = typeInto(program, text, std::chrono::milliseconds(6000));
        while (got.endsWith(QLatin1Char('\n')) && got.size() > text.size())
            got.chop(1);
        EXPECT_TRUE(got == text) << program.name << ": " << firstDifference(text, got);
    }
}

struct InputMethodCase {
    const char* name;
    Program program; // with the module of the input method it is started with
    bool refused;    // else typed exactly
};

void PrintTo(const InputMethodCase& c, std::ostream* os)
{
    *os << c.name;
}

class TypingBehindAnInputMethod : public AutopilotTypingX11Test, public ::testing::WithParamInterface<InputMethodCase> {};

TEST_P(TypingBehindAnInputMethod, PlainTextIsExactOrRefusedBeforeAnythingIsTyped)
{
    const InputMethodCase& c = GetParam();
    const QString server = QString::fromLatin1(c.program.inputMethod) == "ibus" ? "ibus-daemon" : "fcitx5";
    for (const QString& tool : {server, c.program.command.first()})
        if (QStandardPaths::findExecutable(tool).isEmpty() && !QFile::exists(tool))
            GTEST_SKIP() << tool.toStdString() << " is not installed (scripts/setup-deps.sh installs it)";
    QProcess im;
    const auto stop = startInputMethod(im, QString::fromLatin1(c.program.inputMethod));
    // Only keys of the layout, fast, the program stalled now and then: a
    // module that handles keys while earlier ones wait for the input
    // method's answer puts them out of order.
    QString text;
    for (int i = 0; i < 300; ++i)
        text += QChar(u"abcdefghijklmnopqrstuvwxyz0123456789"[(i * 7) % 36]);
    QString got = typeInto(c.program, text);
    while (got.endsWith(QLatin1Char('\n')) && got.size() > text.size())
        got.chop(1);
    if (c.refused) {
        ASSERT_TRUE(lastFailure) << "typed, " << (got == text ? "exactly" : firstDifference(text, got));
        EXPECT_EQ(describeException(lastFailure).toStdString(), kInputMethodRefusal.arg(300).toStdString());
        EXPECT_EQ(got, QString());
    } else {
        EXPECT_FALSE(lastFailure) << describeException(lastFailure).toStdString();
        EXPECT_TRUE(got == text) << firstDifference(text, got);
    }
}

INSTANTIATE_TEST_SUITE_P(
    OverDBus, TypingBehindAnInputMethod,
    ::testing::Values(
        InputMethodCase{"ibusQt5", {"featherpad", {"featherpad", "--standalone", "%f"}, "ctrl+s", false, "ibus"}, true},
        InputMethodCase{"ibusGtk3", {"mousepad", {"mousepad", "--disable-server", "%f"}, "ctrl+s", false, "ibus"}, false},
        InputMethodCase{"ibusGtk4", {"gnome-text-editor", {"gnome-text-editor", "--standalone", "%f"}, "ctrl+s", false, "ibus"}, true},
        // Waiting for each answer keeps the order.
        InputMethodCase{"ibusQt5Sync", {"featherpad", {"featherpad", "--standalone", "%f"}, "ctrl+s", false, "ibus", "IBUS_ENABLE_SYNC_MODE=1"}, false},
        InputMethodCase{"ibusGtk4Sync", {"gnome-text-editor", {"gnome-text-editor", "--standalone", "%f"}, "ctrl+s", false, "ibus", "IBUS_ENABLE_SYNC_MODE=1"}, false},
        InputMethodCase{"ibusQt6", {"qt6", {textSink(), "%f"}, "ctrl+s", true, "ibus"}, true},
        InputMethodCase{"fcitxQt5", {"featherpad", {"featherpad", "--standalone", "%f"}, "ctrl+s", false, "fcitx"}, false},
        InputMethodCase{"fcitxGtk3", {"mousepad", {"mousepad", "--disable-server", "%f"}, "ctrl+s", false, "fcitx"}, false},
        InputMethodCase{"fcitxGtk4", {"gnome-text-editor", {"gnome-text-editor", "--standalone", "%f"}, "ctrl+s", false, "fcitx"}, false},
        InputMethodCase{"fcitxQt6", {"qt6", {textSink(), "%f"}, "ctrl+s", true, "fcitx"}, false}),
    [](const ::testing::TestParamInfo<InputMethodCase>& info) { return std::string(info.param.name); });

} // namespace
} // namespace tovrik
