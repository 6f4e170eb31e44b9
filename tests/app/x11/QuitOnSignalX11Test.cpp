// The real `tovrik` binary, signed in to the fake hosted service with UI
// Autopilot on, is asked through its panel to run a scripted autopilot task
// on the test command's X server, and is ended by a signal in the middle of
// it. SIGTERM must leave the server as it found it: no key or button down,
// no modifier in the pointer's state, the keyboard map unchanged (the
// spare keycodes lent for characters the layout lacks given back); so must
// SIGQUIT. After SIGKILL nothing can be let go or given back at once; the
// next start does it, before its panel shows. Each quit signal while the
// user holds the voice chord and the microphone records, with the binary
// slowed at the quit, ends it normally and leaves no recording behind.

#include "ProcessWindows.h"
#include "hosted/ExtraCertificateAuthorities.h"
#include "platform/sim/SimPlatform.h"
#include "platform/x11/X11Keymap.h"
#include "platform/x11/X11Platform.h"
#include "support/FakeHostedService.h"
#include "support/SignedInDataHome.h"
#include "support/SimFixture.h"
#include "support/X11TestClients.h"

#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDir>
#include <QFileInfo>
#include <QProcess>
#include <QTemporaryDir>
#include <QThread>
#include <gtest/gtest.h>

#include <X11/keysym.h>
#include <csignal>
#include <optional>

namespace tovrik::app {
namespace {

using test::FakeHostedService;
using test::spinUntil;

struct ServerInput {
    std::array<uint8_t, 32> keys{};
    uint16_t pointerMask = 0;
    bool keyDown(uint8_t keycode) const { return keys[keycode / 8] & (1 << (keycode % 8)); }
    bool anyKeyDown() const { return std::any_of(keys.begin(), keys.end(), [](uint8_t b) { return b != 0; }); }
};

ServerInput serverInput(platform::x11::XcbConnection& c)
{
    ServerInput out;
    XcbReply<xcb_query_keymap_reply_t> keys(xcb_query_keymap_reply(c, xcb_query_keymap(c), nullptr));
    XcbReply<xcb_query_pointer_reply_t> pointer(xcb_query_pointer_reply(c, xcb_query_pointer(c, c.root()), nullptr));
    if (keys)
        std::copy(std::begin(keys->keys), std::end(keys->keys), out.keys.begin());
    out.pointerMask = pointer ? pointer->mask : 0xffff;
    return out;
}

// Every keysym of every keycode, as the server maps them now.
std::vector<uint32_t> keyboardMap(platform::x11::XcbConnection& c)
{
    const xcb_setup_t* setup = xcb_get_setup(c);
    XcbReply<xcb_get_keyboard_mapping_reply_t> reply(xcb_get_keyboard_mapping_reply(
        c, xcb_get_keyboard_mapping(c, setup->min_keycode, uint8_t(setup->max_keycode - setup->min_keycode + 1)),
        nullptr));
    if (!reply)
        return {};
    const auto* syms = xcb_get_keyboard_mapping_keysyms(reply.get());
    return std::vector<uint32_t>(syms, syms + xcb_get_keyboard_mapping_keysyms_length(reply.get()));
}

// A keysym of a Unicode character (what a lent keycode types).
bool anyUnicodeKeysym(const std::vector<uint32_t>& map)
{
    return std::any_of(map.begin(), map.end(), [](uint32_t s) { return s >= 0x1000100u && s <= 0x110ffffu; });
}

class QuitOnSignalX11Test : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(x.ok());
        ASSERT_TRUE(runtime.isValid());
        binary = qEnvironmentVariable("TOVRIK_BINARY_DIR") + QStringLiteral("/src/app/tovrik");
        ASSERT_TRUE(QFileInfo::exists(binary)) << binary.toStdString();
        QDBusConnectionInterface* bus = QDBusConnection::sessionBus().interface();
        ASSERT_NE(bus, nullptr) << "no D-Bus session bus";
        ASSERT_TRUE(spinUntil([bus] { return !bus->isServiceRegistered(QStringLiteral("ai.tovrik.mac")).value(); }, 10000));
        // The session goes into the real keyring, where the binary reads it.
        QString error;
        ASSERT_TRUE(platform::x11::X11Platform::install(&error)) << error.toStdString();
        ASSERT_TRUE(dataHome.signIn(QStringLiteral("signal@b.c"),
                                    {.autopilotAndSilent = true, .routeThisProcess = false}));
        mapBefore = keyboardMap(x);
        ASSERT_FALSE(mapBefore.empty());
        ASSERT_FALSE(anyUnicodeKeysym(mapBefore)) << "the keyboard map was left changed before this test";
    }
    void TearDown() override
    {
        for (auto& p : processes) {
            p->kill();
            p->waitForFinished(5000);
        }
        // What a failed case left down goes up through the same synthetic
        // device, so that later tests find the server as it was.
        const ServerInput left = serverInput(x);
        test::XClient cleanup;
        for (unsigned kc = 8; kc < 256; ++kc)
            if (left.keyDown(uint8_t(kc)))
                cleanup.keycode(uint8_t(kc), false);
        for (uint8_t b = 1; b <= 5; ++b)
            if (left.pointerMask & (XCB_BUTTON_MASK_1 << (b - 1)))
                cleanup.button(b, false);
        dataHome.signOut();
        test::drainEvents();
        platform::sim::SimPlatform::install();
    }
    QProcess* launch()
    {
        QProcess* p = processes.emplace_back(std::make_unique<QProcess>()).get();
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(QStringLiteral("XDG_DATA_HOME"), dataHome.path());
        env.insert(QStringLiteral("XDG_RUNTIME_DIR"), runtime.path());
        env.insert(QStringLiteral("https_proxy"), QStringLiteral("http://127.0.0.1:%1").arg(fake.port()));
        env.insert(QString::fromLatin1(hosted::extraCertificateAuthoritiesVariable), fake.caCertificatePath());
        env.remove(QStringLiteral("QT_QPA_PLATFORM"));
        p->setProcessEnvironment(env);
        p->setProcessChannelMode(QProcess::ForwardedErrorChannel);
        p->start(binary, {});
        return p;
    }
    std::optional<WindowInfo> waitForPanel(QProcess* p)
    {
        std::optional<WindowInfo> found;
        spinUntil(
            [&] {
                for (const auto& w : viewableWindowsOf(x, p->processId()))
                    if (w.name == QStringLiteral("Tovrik"))
                        found = w;
                return found.has_value();
            },
            20000);
        return found;
    }
    // Starts the binary, types a task into the ready screen's ask box and
    // sends it; the fake answers each step with the next of `decisions`.
    QProcess* startRun(const QStringList& decisions)
    {
        fake.queueAutopilotReplies(decisions);
        fake.setAutopilotDoneWhenEmpty(true);
        QProcess* app = launch();
        const auto panel = waitForPanel(app);
        EXPECT_TRUE(panel.has_value()) << "the panel never appeared";
        if (!panel)
            return app;
        // The ready screen: the ask box below the two shortcut rows, its
        // button at the box's lower right.
        const QPoint box = panel->geometry.topLeft() + QPoint(150, 160);
        const QPoint ask = panel->geometry.topLeft() + QPoint(263, 193);
        test::XClient user;
        EXPECT_TRUE(user.click(box) && user.tap(XK_g) && user.tap(XK_o) && user.click(ask));
        return app;
    }
    // What the binary asked the fake, for a failure's message.
    std::string requestsSeen() const
    {
        QStringList seen;
        for (const auto& r : fake.requests())
            seen << QString::fromLatin1(r.method + ' ' + r.target);
        return "requests: " + seen.join(QStringLiteral(", ")).toStdString();
    }
    // Starts a run that holds Ctrl, Shift and the left button and waits;
    // false when the server never shows them down.
    bool holdCtrlShiftAndLeftButton()
    {
        platform::x11::KeyboardMapping map;
        if (!map.load(x) || map.keycodesFor(XK_Control_L).empty() || map.keycodesFor(XK_Shift_L).empty())
            return false;
        control = map.keycodesFor(XK_Control_L).front();
        shift = map.keycodesFor(XK_Shift_L).front();
        held = startRun({
            R"({"action":{"type":"key_down","key":"ctrl"}})",
            R"({"action":{"type":"key_down","key":"shift"}})",
            R"({"action":{"type":"mouse_down","x":600,"y":700,"screen":1,"button":"left"}})",
            R"({"action":{"type":"wait","ms":8000}})",
            R"({"action":{"type":"wait","ms":8000}})",
            R"({"action":{"type":"wait","ms":8000}})",
        });
        return spinUntil([&] { return heldDown(); }, 60000);
    }
    bool heldDown()
    {
        const ServerInput now = serverInput(x);
        return now.keyDown(control) && now.keyDown(shift) && (now.pointerMask & XCB_BUTTON_MASK_1);
    }
    QStringList records() const
    {
        return QDir(runtime.path() + "/Tovrik").entryList({"held-input-*", "lent-keycodes-*"}, QDir::Files);
    }

    QStringList recordings() const
    {
        return QDir(runtime.path() + "/Tovrik").entryList({"tovrik-recording-*"}, QDir::Files);
    }
    // Sends `signal` to a stopped binary and lets it run in slices of 2 ms
    // between stops of 150 ms, as a loaded machine would, until it ends:
    // every timer of the binary is overdue whenever it looks.
    int terminateSlowed(QProcess* app, int signal)
    {
        const pid_t pid = pid_t(app->processId());
        ::kill(pid, SIGSTOP);
        QThread::msleep(150);
        ::kill(pid, signal);
        for (int slice = 0; slice < 200 && app->state() != QProcess::NotRunning; ++slice) {
            ::kill(pid, SIGCONT);
            QThread::msleep(2);
            ::kill(pid, SIGSTOP);
            QThread::msleep(150);
            app->waitForFinished(1);
        }
        if (app->state() != QProcess::NotRunning) {
            ::kill(pid, SIGCONT);
            EXPECT_TRUE(app->waitForFinished(30000)) << "signal " << signal << " did not end the binary";
        }
        EXPECT_EQ(app->exitStatus(), QProcess::NormalExit) << "the binary crashed";
        return app->exitStatus() == QProcess::NormalExit ? app->exitCode() : -1;
    }

    int terminate(QProcess* app, int signal)
    {
        ::kill(pid_t(app->processId()), signal);
        EXPECT_TRUE(app->waitForFinished(30000)) << "signal " << signal << " did not end the binary";
        return app->exitStatus() == QProcess::NormalExit ? app->exitCode() : -1;
    }

    platform::x11::XcbConnection x{nullptr};
    QTemporaryDir runtime;
    QString binary;
    FakeHostedService fake;
    test::SignedInDataHome dataHome{fake};
    std::vector<uint32_t> mapBefore;
    std::vector<std::unique_ptr<QProcess>> processes;
    uint8_t control = 0, shift = 0;
    QProcess* held = nullptr;
};

// Characters no layout of the test server has: each is typed through a
// lent keycode, more of them than there are spare keycodes.
QString unicodeText(int count)
{
    QString text;
    for (int i = 0; i < count; ++i)
        text += QChar(char16_t(0x4e00 + i));
    return text;
}

QString inputDecision(const QString& text)
{
    return QStringLiteral(R"({"action":{"type":"input","x":600,"y":700,"screen":1,"label":"notes","text":"%1"}})").arg(text);
}

TEST_F(QuitOnSignalX11Test, SIGTERMWhileTheAutopilotHoldsModifiersAndAButtonReleasesThemAll)
{
    platform::x11::KeyboardMapping map;
    ASSERT_TRUE(map.load(x));
    const auto shift = map.keycodesFor(XK_Shift_L), alt = map.keycodesFor(XK_Alt_L);
    ASSERT_FALSE(shift.empty() || alt.empty());
    const ServerInput before = serverInput(x);
    ASSERT_FALSE(before.anyKeyDown());

    QProcess* app = startRun({
        R"({"action":{"type":"key_down","key":"shift"}})",
        R"({"action":{"type":"key_down","key":"alt"}})",
        R"({"action":{"type":"mouse_down","x":600,"y":700,"screen":1,"button":"right"}})",
        R"({"action":{"type":"wait","ms":8000}})",
        R"({"action":{"type":"move","x":620,"y":700,"screen":1,"ms":8000}})",
        R"({"action":{"type":"wait","ms":7000}})",
    });
    ASSERT_TRUE(spinUntil(
        [&] {
            const ServerInput now = serverInput(x);
            return now.keyDown(shift.front()) && now.keyDown(alt.front()) && (now.pointerMask & XCB_BUTTON_MASK_3);
        },
        60000))
        << "the run never held Shift, Alt and the right button; " << requestsSeen();

    EXPECT_EQ(terminate(app, SIGTERM), 0);
    const ServerInput after = serverInput(x);
    EXPECT_FALSE(after.anyKeyDown()) << "a key stayed down";
    EXPECT_EQ(after.pointerMask, before.pointerMask) << "a button or modifier stayed down";
    EXPECT_EQ(keyboardMap(x), mapBefore);
}

TEST_F(QuitOnSignalX11Test, SIGTERMWhileTypingGivesBackTheLentKeycodes)
{
    QProcess* app = startRun({inputDecision(unicodeText(1500))});
    ASSERT_TRUE(spinUntil([&] { return anyUnicodeKeysym(keyboardMap(x)); }, 60000)) << "no keycode was ever lent; " << requestsSeen();

    EXPECT_EQ(terminate(app, SIGTERM), 0);
    EXPECT_EQ(keyboardMap(x), mapBefore) << "a lent keycode still types its character";
    EXPECT_FALSE(serverInput(x).anyKeyDown());
    EXPECT_TRUE(QDir(runtime.path() + "/Tovrik").entryList({"lent-keycodes-*"}, QDir::Files).isEmpty());
}

TEST_F(QuitOnSignalX11Test, AfterSIGKILLWhileTypingTheNextStartGivesBackTheLentKeycodes)
{
    // The second time the server is a new one on the same display (its
    // mark gone, as when a server ends), whose keycodes another program
    // happens to have lent as the killed run did: its record does not
    // apply there.
    for (const bool newServer : {false, true}) {
        SCOPED_TRACE(newServer ? "a new server" : "the same server");
        QProcess* app = startRun({inputDecision(unicodeText(1500))});
        ASSERT_TRUE(spinUntil([&] { return anyUnicodeKeysym(keyboardMap(x)); }, 60000)) << "no keycode was ever lent; " << requestsSeen();
        terminate(app, SIGKILL);
        const auto left = keyboardMap(x);
        ASSERT_TRUE(anyUnicodeKeysym(left)) << "nothing was left lent to give back";
        ASSERT_FALSE(QDir(runtime.path() + "/Tovrik").entryList({"lent-keycodes-*"}, QDir::Files).isEmpty());
        if (newServer) {
            xcb_delete_property(x, x.root(), platform::x11::internAtom(x, "_TOVRIK_SERVER_MARK"));
            x.sync();
        }

        QDBusConnectionInterface* bus = QDBusConnection::sessionBus().interface();
        ASSERT_TRUE(spinUntil([bus] { return !bus->isServiceRegistered(QStringLiteral("ai.tovrik.mac")).value(); }, 10000));
        QProcess* next = launch();
        ASSERT_TRUE(waitForPanel(next).has_value());
        EXPECT_EQ(keyboardMap(x), newServer ? left : mapBefore) << "the new start left the keycodes lent, or took another's";
        EXPECT_TRUE(QDir(runtime.path() + "/Tovrik").entryList({"lent-keycodes-*"}, QDir::Files).isEmpty());
        EXPECT_EQ(terminate(next, SIGTERM), 0);
    }
    // The other program's keycodes go back for the tests after this one.
    platform::x11::KeyboardMapping map;
    ASSERT_TRUE(map.load(x));
    const size_t per = size_t(map.keysymsPerKeycode());
    const auto now = keyboardMap(x);
    for (size_t at = 0; at + per <= now.size() && now.size() == mapBefore.size(); at += per)
        if (!std::equal(now.begin() + at, now.begin() + at + per, mapBefore.begin() + at))
            xcb_change_keyboard_mapping(x, 1, uint8_t(map.minKeycode() + at / per), uint8_t(per), mapBefore.data() + at);
    x.sync();
    EXPECT_EQ(keyboardMap(x), mapBefore);
}

TEST_F(QuitOnSignalX11Test, SIGQUITWhileTheAutopilotHoldsCtrlShiftAndTheLeftButtonQuitsTheNormalWay)
{
    ASSERT_FALSE(serverInput(x).anyKeyDown());
    ASSERT_TRUE(holdCtrlShiftAndLeftButton()) << "the run never held Ctrl, Shift and the left button; " << requestsSeen();

    // The quit path: exit 0, no core dump.
    EXPECT_EQ(terminate(held, SIGQUIT), 0);
    const ServerInput after = serverInput(x);
    EXPECT_FALSE(after.anyKeyDown()) << "a key stayed down";
    EXPECT_EQ(after.pointerMask & (unsigned(XCB_BUTTON_MASK_1) | XCB_MOD_MASK_CONTROL | XCB_MOD_MASK_SHIFT), 0u);
    EXPECT_EQ(keyboardMap(x), mapBefore);
    EXPECT_TRUE(records().isEmpty()) << records().join(' ').toStdString();
}

TEST_F(QuitOnSignalX11Test, EachQuitSignalWhileTheVoiceChordRecordsOnASlowedBinaryQuitsTheNormalWay)
{
    platform::x11::KeyboardMapping map;
    ASSERT_TRUE(map.load(x));
    ASSERT_FALSE(map.keycodesFor(XK_Control_L).empty() || map.keycodesFor(XK_Alt_L).empty());
    const uint8_t chord[] = {map.keycodesFor(XK_Control_L).front(), map.keycodesFor(XK_Alt_L).front()};
    for (const int signal : {SIGTERM, SIGINT, SIGHUP, SIGQUIT}) {
        SCOPED_TRACE(signal);
        QDBusConnectionInterface* bus = QDBusConnection::sessionBus().interface();
        ASSERT_TRUE(spinUntil([bus] { return !bus->isServiceRegistered(QStringLiteral("ai.tovrik.mac")).value(); }, 10000));
        QProcess* app = launch();
        ASSERT_TRUE(waitForPanel(app).has_value()) << "the panel never appeared";
        // The user holds the voice chord (Ctrl+Alt) and the microphone records.
        test::XClient user;
        for (const uint8_t key : chord)
            ASSERT_TRUE(user.keycode(key, true));
        const bool recording = spinUntil([&] { return !recordings().isEmpty(); }, 20000);
        EXPECT_TRUE(recording) << "the hold never started a recording; " << requestsSeen();
        const int status = recording ? terminateSlowed(app, signal) : terminate(app, SIGKILL);
        for (const uint8_t key : chord)
            user.keycode(key, false);
        EXPECT_EQ(status, 0);
        EXPECT_TRUE(recordings().isEmpty()) << "the hold's recording was left behind";
        EXPECT_TRUE(records().isEmpty()) << records().join(' ').toStdString();
    }
}

TEST_F(QuitOnSignalX11Test, AfterSIGKILLWhileHoldingTheNextStartLetsGoBeforeItsPanelShows)
{
    ASSERT_FALSE(serverInput(x).anyKeyDown());
    ASSERT_TRUE(holdCtrlShiftAndLeftButton()) << "the run never held Ctrl, Shift and the left button; " << requestsSeen();
    terminate(held, SIGKILL);
    ASSERT_TRUE(heldDown()) << "nothing was left down to let go";
    ASSERT_FALSE(records().filter("held-input-").isEmpty());

    QDBusConnectionInterface* bus = QDBusConnection::sessionBus().interface();
    ASSERT_TRUE(spinUntil([bus] { return !bus->isServiceRegistered(QStringLiteral("ai.tovrik.mac")).value(); }, 10000));
    QProcess* next = launch();
    ASSERT_TRUE(waitForPanel(next).has_value());
    const ServerInput after = serverInput(x);
    EXPECT_FALSE(after.keyDown(control) || after.keyDown(shift)) << "the new start left the keys down";
    EXPECT_FALSE(after.pointerMask & XCB_BUTTON_MASK_1) << "the new start left the button down";
    EXPECT_TRUE(records().filter("held-input-").isEmpty()) << records().join(' ').toStdString();
    EXPECT_EQ(terminate(next, SIGTERM), 0);
}

} // namespace
} // namespace tovrik::app
