#include "BenchDesktop.h"

#include "platform/Platform.h"
#include "platform/x11/X11Platform.h"
#include "platform/x11/Xcb.h"

#include <QCoreApplication>
#include <QFile>
#include <QGuiApplication>
#include <QImage>
#include <QLinearGradient>
#include <QPainter>
#include <QProcess>
#include <QTemporaryFile>
#include <QThread>
#include <X11/Xlib.h>
#include <X11/extensions/Xrandr.h>
#include <xcb/xcb.h>

#include <algorithm>
#include <csignal>
#include <cstdlib>
#include <memory>
#include <sys/prctl.h>

namespace tovrik::bench {

void ensureApplication()
{
    if (QCoreApplication::instance())
        return;
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    static int argc = 1;
    static char name[] = "tovrik_bench";
    static char* argv[] = {name, nullptr};
    static QGuiApplication* app = new QGuiApplication(argc, argv);
    (void)app;
}

namespace {

qint64 xvfbPid = 0;
void stopXvfb()
{
    if (xvfbPid > 0)
        ::kill(pid_t(xvfbPid), SIGTERM);
    xvfbPid = 0;
}

// A desktop-like picture: a gradient wallpaper, windows with title bars and
// lines of text, so that the JPEG encoder sees realistic detail.
QImage desktopPicture(int w, int h)
{
    QImage image(w, h, QImage::Format_RGB32);
    QPainter p(&image);
    QLinearGradient wallpaper(0, 0, w, h);
    wallpaper.setColorAt(0, QColor(24, 56, 104));
    wallpaper.setColorAt(1, QColor(140, 70, 120));
    p.fillRect(image.rect(), wallpaper);
    QFont font;
    font.setPixelSize(15);
    p.setFont(font);
    for (int i = 0; i < 6; ++i) {
        const QRect window(80 + i * 410, 90 + (i % 3) * 200, 1100, 760);
        p.fillRect(window, QColor(246, 246, 246));
        p.fillRect(QRect(window.topLeft(), QSize(window.width(), 34)), QColor(220, 222, 226));
        p.setPen(QColor(40, 40, 40));
        for (int line = 0; line < 36; ++line)
            p.drawText(window.x() + 16, window.y() + 60 + line * 19,
                       QStringLiteral("%1  The quick brown fox jumps over the lazy dog; 0123456789 (%2)")
                           .arg(line * 7 + i)
                           .arg(QString(20, QChar(u'a' + (line + i) % 26))));
    }
    return image;
}

QByteArray serverName;
QString serverFailure;

// Starts a private Xvfb with two 2560x1440 monitors.
bool startServer(QString* error)
{
    // A child that dies with this process. The server picks its display
    // number and writes it to a file once it is ready (a number chosen here
    // from free lock files races with other X servers starting).
    static QTemporaryFile displayFile;
    if (!displayFile.open()) {
        *error = QStringLiteral("no temporary file for the display number");
        return false;
    }
    static QProcess* xvfb = new QProcess();
    xvfb->setProgram(QStringLiteral("Xvfb"));
    xvfb->setArguments({QStringLiteral("-displayfd"), QStringLiteral("1"), QStringLiteral("-screen"), QStringLiteral("0"),
                        QStringLiteral("%1x%2x24").arg(2 * kScreenW).arg(kScreenH), QStringLiteral("+extension"),
                        QStringLiteral("RANDR"), QStringLiteral("-nolisten"), QStringLiteral("tcp"),
                        QStringLiteral("-noreset")});
    xvfb->setStandardOutputFile(displayFile.fileName());
    xvfb->setStandardErrorFile(QProcess::nullDevice());
    xvfb->setChildProcessModifier([] { ::prctl(PR_SET_PDEATHSIG, SIGTERM); });
    xvfb->start();
    if (!xvfb->waitForStarted(5000)) {
        *error = QStringLiteral("Xvfb could not be started");
        return false;
    }
    QByteArray written;
    for (int i = 0; i < 600 && !written.contains('\n') && xvfb->state() == QProcess::Running; ++i) {
        QThread::msleep(50);
        QFile f(displayFile.fileName());
        if (f.open(QIODevice::ReadOnly))
            written = f.readAll();
    }
    bool numbered = false;
    const int n = written.left(written.indexOf('\n')).trimmed().toInt(&numbered);
    if (!written.contains('\n') || !numbered) {
        *error = QStringLiteral("Xvfb did not report its display");
        return false;
    }
    const QString display = QStringLiteral(":%1").arg(n);
    xvfbPid = xvfb->processId();
    std::atexit(stopXvfb);
    const QByteArray name = display.toUtf8();
    std::unique_ptr<platform::x11::XcbConnection> conn;
    for (int i = 0; i < 200 && !conn; ++i) {
        auto c = std::make_unique<platform::x11::XcbConnection>(name.constData());
        if (c->ok())
            conn = std::move(c);
        else
            QThread::msleep(25);
    }
    if (!conn) {
        *error = QStringLiteral("Xvfb did not answer");
        return false;
    }
    // Two monitors on the one root (Xlib: its RandR 1.5 monitor request is
    // the robust one).
    if (Display* dpy = XOpenDisplay(name.constData())) {
        // The first takes the server's one output, replacing the automatic
        // monitor that covers the whole root.
        RROutput output = 0;
        if (XRRScreenResources* res = XRRGetScreenResourcesCurrent(dpy, DefaultRootWindow(dpy))) {
            if (res->noutput > 0)
                output = res->outputs[0];
            XRRFreeScreenResources(res);
        }
        for (int i = 0; i < 2; ++i) {
            XRRMonitorInfo* m = XRRAllocateMonitor(dpy, i == 0 && output ? 1 : 0);
            if (i == 0 && output)
                m->outputs[0] = output;
            const QByteArray monitor = QByteArray("BENCH-") + char('A' + i);
            m->name = XInternAtom(dpy, monitor.constData(), False);
            m->primary = i == 0;
            m->automatic = False;
            m->x = i * kScreenW;
            m->y = 0;
            m->width = kScreenW;
            m->height = kScreenH;
            m->mwidth = 600;
            m->mheight = 340;
            XRRSetMonitor(dpy, DefaultRootWindow(dpy), m);
            XRRFreeMonitors(m);
        }
        XSync(dpy, False);
        XCloseDisplay(dpy);
    }
    serverName = name;
    qputenv("DISPLAY", name);
    return true;
}

// Paints the root in strips (each request well below the size limit).
bool paintRoot(QString* error)
{
    platform::x11::XcbConnection conn(serverName.constData());
    xcb_connection_t* c = conn;
    xcb_screen_t* screen = conn.ok() ? conn.screen() : nullptr;
    if (!screen) {
        *error = QStringLiteral("Xvfb has no screen");
        return false;
    }
    const QImage picture = desktopPicture(2 * kScreenW, kScreenH);
    const xcb_window_t root = screen->root;
    xcb_gcontext_t gc = xcb_generate_id(c);
    xcb_create_gc(c, gc, root, 0, nullptr);
    // Requests may not exceed the server's limit (in 4-byte units).
    const qint64 maxBytes = qint64(xcb_get_maximum_request_length(c)) * 4 - 64;
    const int rows = int(std::clamp<qint64>(maxBytes / picture.bytesPerLine(), 1, 64));
    for (int y = 0; y < picture.height(); y += rows) {
        const int h = std::min(rows, picture.height() - y);
        xcb_put_image(c, XCB_IMAGE_FORMAT_Z_PIXMAP, root, gc, uint16_t(picture.width()), uint16_t(h), 0,
                      int16_t(y), 0, screen->root_depth, uint32_t(picture.bytesPerLine() * h),
                      picture.constScanLine(y));
    }
    xcb_free_gc(c, gc);
    if (!conn.sync()) {
        *error = QStringLiteral("painting the root failed");
        return false;
    }
    return true;
}

QProcess* compositor = nullptr;
bool givenServer = false;

} // namespace

bool startDesktopServer()
{
    static const bool ok = [] {
        // A desktop of two 2560 x 1440 monitors that is already there (a
        // measuring script's), with its own picture and compositor.
        if (!qEnvironmentVariableIsEmpty("TOVRIK_BENCH_DISPLAY")) {
            serverName = qgetenv("TOVRIK_BENCH_DISPLAY");
            givenServer = true;
            qputenv("DISPLAY", serverName);
            return true;
        }
        if (!startServer(&serverFailure))
            return false;
        setCompositorRunning(true);
        return true;
    }();
    return ok;
}

QByteArray desktopDisplay() { return serverName; }
bool desktopIsGiven() { return givenServer; }

bool setCompositorRunning(bool running)
{
    if (serverName.isEmpty() || givenServer)
        return false;
    if (running && !compositor) {
        compositor = new QProcess();
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(QStringLiteral("DISPLAY"), QString::fromUtf8(serverName));
        compositor->setProcessEnvironment(env);
        compositor->setStandardOutputFile(QProcess::nullDevice());
        compositor->setStandardErrorFile(QProcess::nullDevice());
        compositor->setChildProcessModifier([] { ::prctl(PR_SET_PDEATHSIG, SIGTERM); });
        compositor->start(QStringLiteral("xcompmgr"), QStringList());
        if (!compositor->waitForStarted(5000)) {
            delete compositor;
            compositor = nullptr;
            return false;
        }
    } else if (!running && compositor) {
        compositor->terminate();
        compositor->waitForFinished(3000);
        delete compositor;
        compositor = nullptr;
    }
    platform::x11::XcbConnection probe(serverName.constData());
    for (int i = 0; i < 300 && platform::x11::compositorRunning(probe, 0) != running; ++i)
        QThread::msleep(10);
    if (platform::x11::compositorRunning(probe, 0) != running)
        return false;
    if (running)
        QThread::msleep(300); // its first full paint
    return true;
}

bool ensureTwoScreenDesktop(QString* error)
{
    static const bool ok = [] {
        if (!startDesktopServer())
            return false;
        ensureApplication();
        if (!givenServer && !paintRoot(&serverFailure))
            return false;
        // The backend reads $DISPLAY (the private server, as Qt's windows).
        qputenv("DISPLAY", serverName);
        platform::Platform::install(std::make_unique<platform::x11::X11Platform>());
        const auto displays = platform::Platform::get().displays().displays();
        if (displays.size() != 2) {
            serverFailure = QStringLiteral("expected 2 displays, found %1").arg(displays.size());
            return false;
        }
        return true;
    }();
    if (!ok && error)
        *error = serverFailure;
    return ok;
}

} // namespace tovrik::bench
