#include "app/Entry.h"

#include "app/AppController.h"
#include "app/QuitSignals.h"
#include "common/Constants.h"
#include "hosted/ExtraCertificateAuthorities.h"
#include "platform/Platform.h"
#include "platform/x11/X11Platform.h"

#include <QApplication>
#include <QAudioDevice>
#include <QMediaDevices>
#include <QMetaObject>
#include <cstdio>
#include <cstdlib>
#include <malloc.h>

namespace tovrik::app {

namespace {
bool hasEnvironment(const char* name)
{
    const char* value = std::getenv(name);
    return value && *value;
}
} // namespace

int runApplication(int argc, char** argv, constants::RandomFill randomFill)
{
    // The constants first; the marker must exist before any event tap or
    // synthetic event. Without the secure random source nothing starts, and
    // the user is told why rather than left with a silent exit.
    if (!constants::initialize(randomFill)) {
        std::fprintf(stderr, "tovrik: the system's secure random source failed; Tovrik cannot start.\n");
        return 1;
    }

    if (!hasEnvironment("DISPLAY")) {
        if (hasEnvironment("WAYLAND_DISPLAY"))
            std::fprintf(stderr, "tovrik: Wayland sessions are not supported; start Tovrik in an X11 session.\n");
        else
            std::fprintf(stderr, "tovrik: no X11 display (DISPLAY is not set); start Tovrik from an X11 desktop session.\n");
        return 1;
    }
    // Always the X11 plugin, also under XWayland: the platform layer speaks X11.
    qputenv("QT_QPA_PLATFORM", "xcb");
    // One malloc arena for every thread. The capture, encoding and
    // observation workers would otherwise each keep an arena of their own,
    // holding what a UI Autopilot run's screenshots took long after it ended;
    // and the free top of a worker's arena is given back only when a free
    // happens to shrink it, never by a trim, while the main heap's is trimmed
    // at the run's end. Threads other than the main one make about 2 % of the
    // allocations of a run (some 85 a step), so they seldom wait for it.
    mallopt(M_ARENA_MAX, 1);

    // Windows are drawn as the program draws them (the setting lasts while
    // the application is made).
    QApplication app = [&] {
        const platform::x11::QtWindowDrawingSetting drawing;
        return QApplication(argc, argv);
    }();
    QApplication::setApplicationName(constants::appDisplayName);
    QApplication::setApplicationVersion(constants::appDisplayVersion);
    QApplication::setQuitOnLastWindowClosed(false);
    // The desktop shows the app's own icon wherever it shows one for a
    // window of ours, and can match the windows to the installed menu entry.
    QApplication::setWindowIcon(AppController::applicationIcon());
    QGuiApplication::setDesktopFileName(QStringLiteral("tovrik"));
    // SIGTERM, SIGINT, SIGHUP and SIGQUIT take the Quit menu item's way out,
    // so that nothing stays held down and nothing stays lent on the X server.
    // The handlers stay until the teardown below is done: a second signal then
    // finds nobody listening and changes nothing.
    QuitSignals quitSignals([](int number) {
        std::fprintf(stderr, "tovrik: quitting on signal %d\n", number);
        QCoreApplication::quit();
    });

    // An extra authority for a local stand-in of the hosted service (see
    // scripts/try.sh), read once here.
    const QString extraAuthorities = qEnvironmentVariable(hosted::extraCertificateAuthoritiesVariable);
    if (!extraAuthorities.isEmpty())
        std::fprintf(stderr, "tovrik: %s\n", qPrintable(hosted::trustExtraCertificateAuthorities(extraAuthorities)));

    QString error;
    if (!platform::x11::X11Platform::install(&error)) {
        std::fprintf(stderr, "tovrik: %s\n", qPrintable(error));
        return 1;
    }

    // Without a sound server Qt Multimedia finds no audio device at all.
    if (QMediaDevices::audioInputs().isEmpty() && QMediaDevices::audioOutputs().isEmpty())
        std::fprintf(stderr, "tovrik: no sound server found. Voice input and speech need a sound server "
                             "(PulseAudio or PipeWire); typed chat still works.\n");

    int rc = 0;
    {
        AppController controller;
        // "Launching finished": the sequence runs from inside the event loop,
        // so a second instance's quit ends the loop it is in.
        QMetaObject::invokeMethod(&controller, &AppController::applicationDidFinishLaunching, Qt::QueuedConnection);
        rc = app.exec();
    }
    // The event loop has returned, so what the controller's teardown handed
    // to deleteLater() (the model's network services) would never go. The
    // work its aborted requests still queued runs first, then those objects
    // go, and with them every network manager's thread, before the
    // libraries' exit handlers tear down what those threads use.
    QCoreApplication::sendPostedEvents();
    QCoreApplication::processEvents();
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    // Every service (and its event taps) is gone; the backend may go now.
    platform::Platform::uninstall();
    return rc;
}

} // namespace tovrik::app
