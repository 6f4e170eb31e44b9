// The test main: creates the QApplication (the platform plugin comes from
// QT_QPA_PLATFORM, offscreen unless a folder needs the real X server), draws
// the program constants and installs the sim backend before any test runs.

#include "common/Constants.h"
#include "common/ProcessEnd.h"
#include "platform/sim/SimPlatform.h"

#include "platform/x11/X11Platform.h"

#include <QApplication>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <gtest/gtest.h>

#include <cstdio>

namespace {

int runTests(int argc, char** argv)
{
#ifdef TOVRIK_SOURCE_DIR_DEFAULT
    if (qEnvironmentVariableIsEmpty("TOVRIK_SOURCE_DIR"))
        qputenv("TOVRIK_SOURCE_DIR", TOVRIK_SOURCE_DIR_DEFAULT);
#endif
#ifdef TOVRIK_BINARY_DIR_DEFAULT
    if (qEnvironmentVariableIsEmpty("TOVRIK_BINARY_DIR"))
        qputenv("TOVRIK_BINARY_DIR", TOVRIK_BINARY_DIR_DEFAULT);
#endif
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    // Every test process gets its own data folder, so settings files never
    // leak between tests or into the user's home.
    QTemporaryDir dataHome;
    if (qEnvironmentVariableIsEmpty("TOVRIK_KEEP_XDG_DATA_HOME"))
        qputenv("XDG_DATA_HOME", dataHome.path().toUtf8());
    QStandardPaths::setTestModeEnabled(false);

    // Windows are drawn as the program draws them (the setting lasts while
    // the application is made).
    QApplication app = [&] {
        const tovrik::platform::x11::QtWindowDrawingSetting drawing;
        return QApplication(argc, argv);
    }();
    QApplication::setApplicationName(QStringLiteral("Tovrik"));
    if (!tovrik::constants::initialize()) {
        std::fprintf(stderr, "tovrik tests: the system's secure random source failed\n");
        return 2;
    }
    tovrik::platform::sim::SimPlatform::install();
    ::testing::InitGoogleTest(&argc, argv);
    const int rc = RUN_ALL_TESTS();
    // As when the application's event loop returns: what the tests handed to
    // deleteLater() goes before the platform and the application object,
    // so no network manager's thread is still running when the libraries'
    // exit handlers (OpenSSL's among them) tear down their globals.
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    tovrik::platform::Platform::uninstall();
    // The application object goes first, then the data folder.
    return rc;
}

} // namespace

// The libraries' exit handlers are skipped, as in the program itself.
int main(int argc, char** argv) { tovrik::endProcess(runTests(argc, argv)); }
