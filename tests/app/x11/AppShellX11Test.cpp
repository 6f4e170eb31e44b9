// The real `tovrik` binary on the X server of the test command (no tray, no
// window manager): the panel appears at the top-right placement with the
// model's size, a second launch hands over and exits, a click elsewhere hides
// the panel, the panel chord of another client shows it, Ctrl+Q quits.
//
// Windows are found with plain xcb queries: top-level windows of the
// process (_NET_WM_PID) that are mapped and viewable.

#include "support/SimFixture.h"

#include <QCoreApplication>
#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDir>
#include <QFileInfo>
#include <QProcess>
#include <QProcessEnvironment>
#include <QTemporaryDir>
#include <gtest/gtest.h>

#include <xcb/xcb.h>

#include <cstdlib>
#include <cstring>
#include <optional>
#include <vector>

#include "support/X11TestClients.h"

#include <X11/Xlib.h>
#include <X11/extensions/XTest.h>
#include <X11/keysym.h>

namespace tovrik {
namespace {

using test::SecondSeat;

struct WindowInfo {
    xcb_window_t id = 0;
    QRect geometry; // root coordinates
    QString name;
    std::vector<xcb_atom_t> states;
};

class XQuery {
public:
    XQuery() { m_c = xcb_connect(nullptr, &m_screenNumber); }
    ~XQuery()
    {
        if (m_c)
            xcb_disconnect(m_c);
    }
    bool ok() const { return m_c && !xcb_connection_has_error(m_c); }

    xcb_atom_t atom(const char* name)
    {
        auto* r = xcb_intern_atom_reply(m_c, xcb_intern_atom(m_c, 0, uint16_t(std::strlen(name)), name), nullptr);
        const xcb_atom_t a = r ? r->atom : xcb_atom_t(XCB_ATOM_NONE);
        std::free(r);
        return a;
    }
    xcb_window_t root()
    {
        xcb_screen_iterator_t it = xcb_setup_roots_iterator(xcb_get_setup(m_c));
        for (int i = 0; i < m_screenNumber; ++i)
            xcb_screen_next(&it);
        return it.data->root;
    }
    QSize screenSize()
    {
        xcb_screen_iterator_t it = xcb_setup_roots_iterator(xcb_get_setup(m_c));
        for (int i = 0; i < m_screenNumber; ++i)
            xcb_screen_next(&it);
        return QSize(it.data->width_in_pixels, it.data->height_in_pixels);
    }
    std::vector<uint32_t> property32(xcb_window_t w, xcb_atom_t prop, xcb_atom_t type)
    {
        std::vector<uint32_t> out;
        auto* r = xcb_get_property_reply(m_c, xcb_get_property(m_c, 0, w, prop, type, 0, 256), nullptr);
        if (r && r->format == 32) {
            const auto* data = static_cast<const uint32_t*>(xcb_get_property_value(r));
            out.assign(data, data + xcb_get_property_value_length(r) / 4);
        }
        std::free(r);
        return out;
    }
    QString propertyText(xcb_window_t w, xcb_atom_t prop)
    {
        auto* r = xcb_get_property_reply(m_c, xcb_get_property(m_c, 0, w, prop, XCB_GET_PROPERTY_TYPE_ANY, 0, 1024),
                                         nullptr);
        QString s;
        if (r && r->format == 8)
            s = QString::fromUtf8(static_cast<const char*>(xcb_get_property_value(r)), xcb_get_property_value_length(r));
        std::free(r);
        return s;
    }
    // Mapped, viewable top-level windows of process `pid`.
    std::vector<WindowInfo> viewableWindowsOf(qint64 pid)
    {
        std::vector<WindowInfo> out;
        const xcb_atom_t pidAtom = atom("_NET_WM_PID");
        const xcb_atom_t nameAtom = atom("_NET_WM_NAME");
        const xcb_atom_t stateAtom = atom("_NET_WM_STATE");
        auto* tree = xcb_query_tree_reply(m_c, xcb_query_tree(m_c, root()), nullptr);
        if (!tree)
            return out;
        const xcb_window_t* children = xcb_query_tree_children(tree);
        for (int i = 0; i < xcb_query_tree_children_length(tree); ++i) {
            const xcb_window_t w = children[i];
            const auto pids = property32(w, pidAtom, XCB_ATOM_CARDINAL);
            if (pids.empty() || qint64(pids[0]) != pid)
                continue;
            auto* attrs = xcb_get_window_attributes_reply(m_c, xcb_get_window_attributes(m_c, w), nullptr);
            const bool viewable = attrs && attrs->map_state == XCB_MAP_STATE_VIEWABLE;
            std::free(attrs);
            if (!viewable)
                continue;
            auto* geo = xcb_get_geometry_reply(m_c, xcb_get_geometry(m_c, w), nullptr);
            if (!geo)
                continue;
            WindowInfo info;
            info.id = w;
            info.geometry = QRect(geo->x, geo->y, geo->width, geo->height);
            std::free(geo);
            info.name = propertyText(w, nameAtom);
            for (uint32_t a : property32(w, stateAtom, XCB_ATOM_ATOM))
                info.states.push_back(a);
            out.push_back(info);
        }
        std::free(tree);
        return out;
    }

private:
    xcb_connection_t* m_c = nullptr;
    int m_screenNumber = 0;
};

class AppShellX11Test : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(x.ok());
        ASSERT_TRUE(dataHome.isValid());
        // The build folder: from the test command's environment, else found
        // from this executable's place in it (<build>/tests/app).
        QString buildDir = qEnvironmentVariable("TOVRIK_BINARY_DIR");
        if (buildDir.isEmpty())
            buildDir = QDir(QCoreApplication::applicationDirPath() + QStringLiteral("/../..")).absolutePath();
        binary = buildDir + QStringLiteral("/src/app/tovrik");
        ASSERT_TRUE(QFileInfo::exists(binary)) << binary.toStdString();
        // An instance of an earlier test may be gone while the bus has not
        // yet dropped its name; a new first instance must not meet it.
        QDBusConnectionInterface* bus = QDBusConnection::sessionBus().interface();
        ASSERT_NE(bus, nullptr) << "no D-Bus session bus";
        ASSERT_TRUE(test::spinUntil([bus] { return !bus->isServiceRegistered(QStringLiteral("ai.tovrik.mac")).value(); },
                                    10000));
    }
    void TearDown() override
    {
        for (QProcess* p : processes) {
            if (p->state() != QProcess::NotRunning) {
                p->kill();
                p->waitForFinished(5000);
            }
            delete p;
        }
    }
    QProcess* launch(const QProcessEnvironment& extra = {}, bool captureErrors = false)
    {
        auto* p = new QProcess;
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(QStringLiteral("XDG_DATA_HOME"), dataHome.path());
        env.remove(QStringLiteral("QT_QPA_PLATFORM"));
        for (const QString& key : extra.keys())
            env.insert(key, extra.value(key));
        p->setProcessEnvironment(env);
        p->setProcessChannelMode(captureErrors ? QProcess::SeparateChannels : QProcess::ForwardedErrorChannel);
        p->start(binary, {});
        processes.push_back(p);
        return p;
    }
    // The panel window of `p` once it is on screen.
    std::optional<WindowInfo> waitForPanel(QProcess* p, bool visible = true, int timeoutMs = 20000)
    {
        std::optional<WindowInfo> found;
        test::spinUntil(
            [&] {
                const auto windows = x.viewableWindowsOf(p->processId());
                found.reset();
                for (const auto& w : windows)
                    if (w.name == QStringLiteral("Tovrik"))
                        found = w;
                return visible == found.has_value();
            },
            timeoutMs);
        return found;
    }

    // Clicks at (x, y) until the panel of `p` is hidden. The click-outside
    // monitor listens from a thread of its own that may still be subscribing
    // when the panel maps, so a very early click can go unseen; a user would
    // simply click again.
    bool clickUntilHidden(SecondSeat& seat, QProcess* p, int x, int y, unsigned button = 1)
    {
        for (int attempt = 0; attempt < 10; ++attempt) {
            seat.click(QPoint(x, y), uint8_t(button));
            if (!waitForPanel(p, false, 2000).has_value())
                return true;
        }
        return false;
    }

    XQuery x;
    QTemporaryDir dataHome;
    QString binary;
    std::vector<QProcess*> processes;
};

TEST_F(AppShellX11Test, WithoutATrayThePanelAppearsTopRightWithTheModelsSize)
{
    QProcess* app = launch();
    ASSERT_TRUE(app->waitForStarted());
    const auto panel = waitForPanel(app);
    ASSERT_TRUE(panel.has_value()) << "the panel never appeared";
    // Signed out on a fresh data folder: the sign-in screen, 320 × 258.
    const QSize screen = x.screenSize();
    EXPECT_EQ(panel->geometry.size(), QSize(320, 258));
    // x = maxX − w − 20, 32 below the top of the screen.
    EXPECT_EQ(panel->geometry.topLeft(), QPoint(screen.width() - 320 - 20, 32));
    // No taskbar or pager entry.
    const xcb_atom_t skipTaskbar = x.atom("_NET_WM_STATE_SKIP_TASKBAR");
    EXPECT_NE(std::find(panel->states.begin(), panel->states.end(), skipTaskbar), panel->states.end());
    // Exactly one window of ours is on screen: the panel.
    EXPECT_EQ(x.viewableWindowsOf(app->processId()).size(), 1u);
}

TEST_F(AppShellX11Test, ASecondLaunchExitsAndTheFirstInstanceShowsItsPanel)
{
    SecondSeat other;
    ASSERT_TRUE(other.ok());
    QProcess* first = launch();
    ASSERT_TRUE(first->waitForStarted());
    const auto panel = waitForPanel(first);
    ASSERT_TRUE(panel.has_value());

    // A click elsewhere (another client's physical click) hides it 0.3 s later.
    ASSERT_TRUE(clickUntilHidden(other, first, 100, 600)) << "a click outside did not hide the panel";

    QProcess* second = launch();
    ASSERT_TRUE(second->waitForStarted());
    ASSERT_TRUE(second->waitForFinished(20000)) << "the second instance did not exit";
    EXPECT_EQ(second->exitStatus(), QProcess::NormalExit);
    EXPECT_EQ(second->exitCode(), 0);
    // The running instance shows its panel again, at the same place.
    const auto shown = waitForPanel(first);
    ASSERT_TRUE(shown.has_value()) << "the first instance did not show its panel";
    EXPECT_EQ(shown->geometry, panel->geometry);
    EXPECT_EQ(first->state(), QProcess::Running);
}

TEST_F(AppShellX11Test, AClickInsideKeepsThePanelAndThePanelChordOfAnotherClientShowsIt)
{
    SecondSeat other;
    ASSERT_TRUE(other.ok());
    QProcess* app = launch();
    ASSERT_TRUE(app->waitForStarted());
    const auto panel = waitForPanel(app);
    ASSERT_TRUE(panel.has_value());

    other.click(QPoint(panel->geometry.center().x(), panel->geometry.bottom() - 4));
    // Well past the 0.3 s the hide would take: still there.
    for (int i = 0; i < 10; ++i)
        test::spinUntil([] { return false; }, 100);
    EXPECT_EQ(x.viewableWindowsOf(app->processId()).size(), 1u);

    ASSERT_TRUE(clickUntilHidden(other, app, 10, 1000, 3)); // a right click elsewhere

    // Control+Shift+Alt: the panel chord.
    other.key(XK_Control_L, true);
    other.key(XK_Shift_L, true);
    other.key(XK_Alt_L, true);
    other.key(XK_Alt_L, false);
    other.key(XK_Shift_L, false);
    other.key(XK_Control_L, false);
    EXPECT_TRUE(waitForPanel(app).has_value()) << "the panel chord did not show the panel";
}

TEST_F(AppShellX11Test, WithoutASessionBusItRunsAloneAndSaysSoOnce)
{
    QProcessEnvironment noBus;
    noBus.insert(QStringLiteral("DBUS_SESSION_BUS_ADDRESS"), QStringLiteral("unix:path=/nonexistent/tovrik-test-bus"));
    QProcess* app = launch(noBus, true);
    ASSERT_TRUE(app->waitForStarted());
    ASSERT_TRUE(waitForPanel(app).has_value()) << "no panel without a session bus";
    app->kill();
    app->waitForFinished(5000);
    const QString errors = QString::fromLocal8Bit(app->readAllStandardError());
    EXPECT_EQ(errors.count(QStringLiteral("no D-Bus session bus")), 1) << errors.toStdString();
}

TEST_F(AppShellX11Test, ControlQInThePanelQuits)
{
    QProcess* app = launch();
    ASSERT_TRUE(app->waitForStarted());
    const auto panel = waitForPanel(app);
    ASSERT_TRUE(panel.has_value());
    // Keys through the ordinary keyboard, focused on the panel (which takes
    // the focus when shown).
    Display* d = XOpenDisplay(nullptr);
    ASSERT_NE(d, nullptr);
    // Wait until the panel has the input focus.
    ASSERT_TRUE(test::spinUntil(
        [&] {
            Window focus = 0;
            int revert = 0;
            XGetInputFocus(d, &focus, &revert);
            return focus == Window(panel->id);
        },
        10000));
    XTestFakeKeyEvent(d, XKeysymToKeycode(d, XK_Control_L), True, CurrentTime);
    XTestFakeKeyEvent(d, XKeysymToKeycode(d, XK_q), True, CurrentTime);
    XTestFakeKeyEvent(d, XKeysymToKeycode(d, XK_q), False, CurrentTime);
    XTestFakeKeyEvent(d, XKeysymToKeycode(d, XK_Control_L), False, CurrentTime);
    XSync(d, False);
    XCloseDisplay(d);
    ASSERT_TRUE(app->waitForFinished(20000)) << "Ctrl+Q did not quit";
    EXPECT_EQ(app->exitStatus(), QProcess::NormalExit);
    EXPECT_EQ(app->exitCode(), 0);
}

} // namespace
} // namespace tovrik
