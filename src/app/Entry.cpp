#include "app/Entry.h"

#include "common/Constants.h"

#include <QApplication>
#include <cstdio>
#include <cstdlib>

namespace tovrik::app {

int runApplication(int argc, char** argv)
{
    if (!constants::initialize()) {
        std::fprintf(stderr, "tovrik: the system's secure random source failed; cannot start.\n");
        return 1;
    }
    const char* display = std::getenv("DISPLAY");
    if (!display || !*display) {
        std::fprintf(stderr, "tovrik: no X11 display (DISPLAY is not set); start it from an X11 desktop session.\n");
        return 1;
    }
    qputenv("QT_QPA_PLATFORM", "xcb");
    QApplication app(argc, argv);
    QApplication::setApplicationName(constants::appDisplayName);
    QApplication::setQuitOnLastWindowClosed(false);
    return app.exec();
}

} // namespace tovrik::app
