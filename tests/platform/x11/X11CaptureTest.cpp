// Capture, foreground window, permissions and compositor detection on the
// real X server (with the test command's compositor).

#include "platform/x11/SecretServiceKeychain.h"
#include "platform/x11/X11Capture.h"
#include "platform/x11/X11Displays.h"
#include "platform/x11/X11Platform.h"
#include "platform/x11/Xcb.h"
#include "platform/sim/SimPlatform.h"
#include "support/PrivateXServer.h"
#include "support/SimFixture.h"

#include <QPainter>
#include <QProcess>
#include <QTest>
#include <QWidget>
#include <chrono>
#include <gtest/gtest.h>
#include <thread>
#include <unistd.h>

using namespace tovrik::platform;
using namespace tovrik::platform::x11;
using tovrik::test::spinUntil;

namespace {

// Four solid quadrants: red, green, blue, yellow.
class Quadrants : public QWidget {
protected:
    void paintEvent(QPaintEvent*) override
    {
        QPainter p(this);
        const int w = width() / 2, h = height() / 2;
        p.fillRect(0, 0, w, h, QColor(255, 0, 0));
        p.fillRect(w, 0, width() - w, h, QColor(0, 255, 0));
        p.fillRect(0, h, w, height() - h, QColor(0, 0, 255));
        p.fillRect(w, h, width() - w, height() - h, QColor(255, 255, 0));
    }
};

QRgb at(const QImage& image, int x, int y) { return image.pixel(x, y) & 0xffffff; }

} // namespace

TEST(X11Capture, AKnownWindowsPixelsAreAtTheirPlace)
{
    X11Platform platform;
    ASSERT_TRUE(platform.isConnected());
    auto& capture = platform.x11Capture();
    const auto main = platform.displays().mainDisplay();
    ASSERT_TRUE(main);

    Quadrants window;
    window.setWindowFlags(Qt::FramelessWindowHint);
    window.setGeometry(400, 300, 200, 100);
    window.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&window));
    QImage image;
    // The window is on screen once the compositor painted it.
    ASSERT_TRUE(spinUntil([&] {
        capture.synchronize();
        image = capture.captureDisplay(main->displayID);
        return !image.isNull() && at(image, 450, 325) == 0xff0000 && at(image, 550, 375) == 0xffff00;
    }));
    EXPECT_EQ(image.size(), QSize(int(main->bounds.width() * main->scale), int(main->bounds.height() * main->scale)));
    EXPECT_EQ(image.format(), QImage::Format_RGB32);
    // Its corners are exactly at their pixels; just outside is not the window.
    EXPECT_EQ(at(image, 599, 300), 0x00ff00u);
    EXPECT_EQ(at(image, 400, 399), 0x0000ffu);
    EXPECT_NE(at(image, 399, 300), 0xff0000u);
    EXPECT_NE(at(image, 600, 399), 0xffff00u);
    EXPECT_TRUE(capture.usesSharedMemory()); // a local server shares memory

    // A part of the root reads the same pixels.
    const QImage part = capture.captureRootRect(QRect(500, 300, 100, 50));
    ASSERT_EQ(part.size(), QSize(100, 50));
    EXPECT_EQ(at(part, 0, 0), 0x00ff00u);
    EXPECT_TRUE(capture.captureRootRect(QRect(-5, 0, 10, 10)).isNull());
    EXPECT_TRUE(capture.captureDisplay(main->displayID ^ 0x5a5a5a5au).isNull());

    // A captured image owns its shared segment: later captures use another
    // one and leave it intact; given back once no image holds it.
    const int before = capture.segmentCount(); // those `image` and `part` hold
    const auto windowShown = [&] {
        capture.synchronize();
        return at(capture.captureDisplay(main->displayID), 450, 325) == 0xff0000u;
    };
    {
        const QImage held = capture.captureRootRect(QRect(400, 300, 200, 100));
        const QImage heldCopy = held.copy();
        window.hide();
        QCoreApplication::processEvents();
        ASSERT_TRUE(spinUntil([&] { return !windowShown(); }));
        EXPECT_EQ(held, heldCopy);
        EXPECT_EQ(capture.segmentCount(), before + 2);
        capture.releaseBuffers();
        EXPECT_EQ(capture.segmentCount(), before + 1); // the held image's
        window.show();
        ASSERT_TRUE(QTest::qWaitForWindowExposed(&window));
        ASSERT_TRUE(spinUntil(windowShown));
    }
    capture.releaseBuffers();
    EXPECT_EQ(capture.segmentCount(), before);

    // Readied buffers: one segment a display, readied once and written by
    // the server while the window shows. The captures after the window went
    // use it and show the screen as it is then.
    capture.warmBuffers({main->displayID});
    capture.warmBuffers({main->displayID});
    EXPECT_EQ(capture.segmentCount(), before + 1);
    window.hide();
    QCoreApplication::processEvents();
    ASSERT_TRUE(spinUntil([&] { return !windowShown(); }));
    EXPECT_EQ(capture.segmentCount(), before + 1);
    window.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&window));
    ASSERT_TRUE(spinUntil(windowShown));
    capture.releaseBuffers();
    EXPECT_EQ(capture.segmentCount(), before);

    // Without shared memory, GetImage reads the same pixels.
    X11Capture plain(platform.x11Displays(), false);
    EXPECT_FALSE(plain.usesSharedMemory());
    const QImage viaGetImage = plain.captureDisplay(main->displayID);
    ASSERT_EQ(viaGetImage.size(), image.size());
    EXPECT_EQ(viaGetImage.copy(350, 250, 300, 200), image.copy(350, 250, 300, 200));
}

// A compositor that lags: after the overlay went, it first finishes the
// frame it was drawing with the overlay still in it (covering the whole
// display), and only later draws the frame without it. A stand-in client
// owns the compositor selection of a private server and draws both frames
// onto the root. Whether or not the pixel beneath one of the overlay's
// opaque pixels has that pixel's colour, the capture holds the later frame.
class X11CaptureLateFrame : public testing::TestWithParam<bool> {};

TEST_P(X11CaptureLateFrame, TheFrameStillShowingTheOverlayIsNotTaken)
{
    QProcess server;
    const int n = tovrik::test::startPrivateXvfb(server, QStringLiteral("320x240x24"));
    ASSERT_GE(n, 0);
    const QByteArray name = ":" + QByteArray::number(n);
    const QByteArray previous = qgetenv("DISPLAY");
    qputenv("DISPLAY", name);
    X11Displays displays;
    X11Capture capture(displays);
    qputenv("DISPLAY", previous);
    ASSERT_EQ(displays.displays().size(), 1);
    const uint32_t id = displays.displays().first().displayID;

    XcbConnection compositor(name.constData());
    ASSERT_TRUE(compositor.ok());
    const xcb_window_t owner = xcb_generate_id(compositor);
    xcb_create_window(compositor, XCB_COPY_FROM_PARENT, owner, compositor.root(), 0, 0, 1, 1, 0,
                      XCB_WINDOW_CLASS_INPUT_ONLY, XCB_COPY_FROM_PARENT, 0, nullptr);
    xcb_set_selection_owner(compositor, owner, internAtom(compositor, "_NET_WM_CM_S0"), XCB_CURRENT_TIME);
    const xcb_gcontext_t gc = xcb_generate_id(compositor);
    xcb_create_gc(compositor, gc, compositor.root(), 0, nullptr);
    ASSERT_TRUE(compositorRunning(compositor, 0));

    QImage clean(320, 240, QImage::Format_RGB32);
    for (int y = 0; y < clean.height(); ++y)
        for (int x = 0; x < clean.width(); ++x)
            clean.setPixel(x, y, qRgb(x * 255 / 319, y, 90));
    const bool sameBeneath = GetParam();
    if (sameBeneath)
        QPainter(&clean).fillRect(190, 140, 40, 40, QColor(0xfafafa));
    QImage shown = clean.copy();
    QPainter(&shown).fillRect(100, 80, 40, 40, QColor(0x2f7df6));
    QPainter(&shown).fillRect(200, 150, 20, 20, QColor(0xfafafa));
    const auto draw = [&](const QImage& frame) {
        for (int y = 0; y < frame.height(); y += 60)
            xcb_put_image(compositor, XCB_IMAGE_FORMAT_Z_PIXMAP, compositor.root(), gc, uint16_t(frame.width()), 60,
                          0, int16_t(y), 0, 24, uint32_t(frame.bytesPerLine() * 60), frame.constScanLine(y));
        compositor.sync();
    };
    draw(shown);

    capture.watchRepaints({{id, QPoint(110, 90), 0xff2f7df6}, {id, QPoint(210, 160), 0xfffafafa}});
    std::thread lagging([&] {
        draw(shown);
        std::this_thread::sleep_for(std::chrono::milliseconds(80));
        draw(clean);
    });
    capture.synchronize({id});
    const QImage shot = opaqueCopy(capture.captureDisplay(id));
    lagging.join();
    EXPECT_EQ(shot, clean); // no pixel of the overlay
    server.kill();
    server.waitForFinished(5000);
}

INSTANTIATE_TEST_SUITE_P(BeneathTheOverlay, X11CaptureLateFrame, testing::Bool());

TEST(X11Capture, ForegroundIsTheFocusedWindowOfThisProcess)
{
    X11Platform platform;
    QWidget window;
    window.setWindowTitle(QStringLiteral("Tovrik foreground probe"));
    window.setGeometry(120, 140, 320, 180);
    window.show();
    window.activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(&window));
    const auto info = platform.capture().foreground();
    EXPECT_EQ(info.processID, int64_t(getpid()));
    EXPECT_FALSE(info.bundleIdentifier.isEmpty());
    EXPECT_TRUE(info.frontWindowSignature.contains(QStringLiteral("Tovrik foreground probe")))
        << info.frontWindowSignature.toStdString();
    EXPECT_TRUE(info.frontWindowSignature.contains(QStringLiteral("120,140 320x180")))
        << info.frontWindowSignature.toStdString();
    EXPECT_FALSE(info.focusedElementSignature.isEmpty());
    // The same window gives the same signature.
    EXPECT_EQ(platform.capture().foreground().frontWindowSignature, info.frontWindowSignature);

    // A window manager names the active window on the root: that one counts,
    // whatever holds the focus.
    XcbConnection conn(nullptr);
    ASSERT_TRUE(conn.ok());
    const xcb_atom_t activeAtom = internAtom(conn, "_NET_ACTIVE_WINDOW");
    QWidget other;
    other.setWindowTitle(QStringLiteral("Tovrik named active"));
    other.setGeometry(500, 60, 200, 100);
    other.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&other));
    const uint32_t named = uint32_t(other.winId());
    xcb_change_property(conn, XCB_PROP_MODE_REPLACE, conn.root(), activeAtom, XCB_ATOM_WINDOW, 32, 1, &named);
    conn.sync();
    const auto managed = platform.capture().foreground();
    xcb_delete_property(conn, conn.root(), activeAtom);
    conn.sync();
    EXPECT_EQ(managed.processID, int64_t(getpid()));
    EXPECT_TRUE(managed.frontWindowSignature.contains(QStringLiteral("|Tovrik named active|500,60 200x100")))
        << managed.frontWindowSignature.toStdString();
    EXPECT_EQ(managed.focusedElementSignature, info.focusedElementSignature);
}

TEST(X11Permissions, GrantedFacilitiesCompositorAndMicrophone)
{
    X11Platform platform;
    auto& p = platform.permissions();
    EXPECT_TRUE(p.accessibilityTrusted());
    EXPECT_TRUE(p.requestAccessibilityTrust());
    EXPECT_TRUE(p.screenCapturePreflight());
    EXPECT_TRUE(p.requestScreenCaptureAccess());
    EXPECT_FALSE(p.openPrivacyPane(PrivacyPane::Microphone));
    EXPECT_NE(dynamic_cast<SecretServiceKeychain*>(&platform.keychain()), nullptr);
    // The compositor is detected through its selection (none on screen 7).
    const bool compositor = qEnvironmentVariable("TOVRIK_TEST_COMPOSITOR") == "1";
    EXPECT_EQ(platform.compositorActive(), compositor);
    EXPECT_EQ(compositorRunning(), compositor);
    EXPECT_FALSE(compositorRunning(XcbConnection(nullptr), 7));
    EXPECT_FALSE(compositorRunning(nullptr, 0));

    // The microphone: authorized while a device exists, else asked once and
    // denied; the answer comes on the main thread, later.
    const bool device = p.hasMicrophoneInputDevice();
    EXPECT_EQ(p.microphoneAuthorization(),
              device ? MicrophoneAuthorization::Authorized : MicrophoneAuthorization::NotDetermined);
    std::optional<bool> answer;
    p.requestMicrophoneAccess([&](bool granted) { answer = granted; });
    EXPECT_FALSE(answer.has_value());
    ASSERT_TRUE(spinUntil([&] { return answer.has_value(); }));
    EXPECT_EQ(*answer, device);
    EXPECT_EQ(p.microphoneAuthorization(),
              device ? MicrophoneAuthorization::Authorized : MicrophoneAuthorization::Denied);
    QString error;
    auto stream = platform.audioInput().start(16000, [](const QByteArray&) {}, &error);
    EXPECT_TRUE(stream || !error.isEmpty());
    EXPECT_TRUE(device || error == QStringLiteral("No microphone is available."));
    EXPECT_FALSE(platform.audioInput().start(0, [](const QByteArray&) {}, &error));
    EXPECT_EQ(error, QStringLiteral("The recording sample rate is invalid."));
}

TEST(X11Platform, RefusesAWaylandSession)
{
    auto& sim = tovrik::platform::sim::SimPlatform::install();
    qputenv("WAYLAND_DISPLAY", "wayland-0");
    QString error;
    const bool installed = X11Platform::install(&error);
    qunsetenv("WAYLAND_DISPLAY");
    EXPECT_FALSE(installed);
    EXPECT_EQ(error, QStringLiteral("Tovrik needs an X11 session (Wayland sessions are not supported)."));
    EXPECT_EQ(&Platform::get(), &sim); // nothing was installed
}
