// The real `tovrik` binary's panel while RandR monitors go and come: the
// panel and its shadow move at once to the top-right corner of the main
// screen there is now (the test server has no tray), as the X server reports
// their windows' places; none stays where a monitor was.

#include "ProcessWindows.h"
#include "hosted/ExtraCertificateAuthorities.h"
#include "panel/PanelCardShadow.h"
#include "support/FakeHostedService.h"
#include "support/RandrMonitors.h"
#include "support/SimFixture.h"

#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QFileInfo>
#include <QProcess>
#include <QTemporaryDir>
#include <gtest/gtest.h>

#include <csignal>
#include <optional>

namespace tovrik::app {
namespace {

using test::setMonitor;
using test::spinUntil;

struct MonitorsGuard {
    ~MonitorsGuard()
    {
        setMonitor("TOVRIK-MOVE-MAIN", QRect(), false);
        setMonitor("TOVRIK-MOVE-SIDE", QRect(), false);
    }
};

TEST(PanelOnChangingScreens, ThePanelAndItsShadowFollowTheMainScreenWhenAMonitorGoesAndComesBack)
{
    if (qEnvironmentVariableIsEmpty("TOVRIK_TEST_COMPOSITOR"))
        GTEST_SKIP() << "the shadow shows only where a compositing manager runs";
    platform::x11::XcbConnection x(nullptr);
    ASSERT_TRUE(x.ok());
    QDBusConnectionInterface* bus = QDBusConnection::sessionBus().interface();
    ASSERT_NE(bus, nullptr);
    ASSERT_TRUE(spinUntil([bus] { return !bus->isServiceRegistered(QStringLiteral("ai.tovrik.mac")).value(); }, 10000));
    const int width = xcb_setup_roots_iterator(xcb_get_setup(x)).data->width_in_pixels;
    const int height = xcb_setup_roots_iterator(xcb_get_setup(x)).data->height_in_pixels;
    ASSERT_GE(width, 1280);
    // The main monitor on the right half, away from the origin; the left
    // half keeps the output.
    const int half = width / 2;
    const QRect mainMonitor(half, 0, width - half, height);
    MonitorsGuard guard;
    ASSERT_TRUE(setMonitor("TOVRIK-MOVE-SIDE", QRect(0, 0, half, height), false, test::firstOutput()));
    ASSERT_TRUE(setMonitor("TOVRIK-MOVE-MAIN", mainMonitor, true));

    test::FakeHostedService fake;
    QTemporaryDir home;
    QProcess app;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("XDG_DATA_HOME"), home.path());
    env.insert(QStringLiteral("https_proxy"), QStringLiteral("http://127.0.0.1:%1").arg(fake.port()));
    env.insert(QString::fromLatin1(hosted::extraCertificateAuthoritiesVariable), fake.caCertificatePath());
    env.remove(QStringLiteral("QT_QPA_PLATFORM"));
    app.setProcessEnvironment(env);
    const QString binary = qEnvironmentVariable("TOVRIK_BINARY_DIR") + QStringLiteral("/src/app/tovrik");
    ASSERT_TRUE(QFileInfo::exists(binary));
    app.start(binary, {});
    ASSERT_TRUE(app.waitForStarted());

    // The panel and its shadow as the server has them.
    struct Places {
        std::optional<QRect> panel, shadow;
    };
    const auto places = [&] {
        Places out;
        for (const auto& w : viewableWindowsOf(x, app.processId())) {
            if (w.name == QStringLiteral("Tovrik"))
                out.panel = w.geometry;
            else if (w.name == QStringLiteral("Tovrik panel shadow"))
                out.shadow = w.geometry;
        }
        return out;
    };
    // At the top-right of `screen`: 20 from its right edge, 32 below its
    // top; the shadow around it.
    const auto placedOn = [&](const QRect& screen) {
        const Places now = places();
        return now.panel && now.shadow && now.panel->right() + 1 == screen.right() + 1 - 20
            && now.panel->top() == screen.top() + 32
            && *now.shadow == now.panel->marginsAdded(panel::PanelCardShadow::margins());
    };
    const auto describe = [&] {
        const Places now = places();
        QString text;
        QDebug(&text) << "panel" << now.panel.value_or(QRect()) << "shadow" << now.shadow.value_or(QRect());
        return text.toStdString();
    };
    ASSERT_TRUE(spinUntil([&] { return placedOn(mainMonitor); }, 20000)) << describe();

    // The main monitor goes: the left one is the main screen now.
    ASSERT_TRUE(setMonitor("TOVRIK-MOVE-MAIN", QRect(), false));
    EXPECT_TRUE(spinUntil([&] { return placedOn(QRect(0, 0, half, height)); }, 10000)) << describe();

    // It comes back.
    ASSERT_TRUE(setMonitor("TOVRIK-MOVE-MAIN", mainMonitor, true));
    EXPECT_TRUE(spinUntil([&] { return placedOn(mainMonitor); }, 10000)) << describe();

    ::kill(pid_t(app.processId()), SIGTERM);
    EXPECT_TRUE(app.waitForFinished(30000));
}

} // namespace
} // namespace tovrik::app
