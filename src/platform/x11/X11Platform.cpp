#include "platform/x11/X11Platform.h"

#include "platform/x11/X11Capture.h"
#include "platform/x11/X11Displays.h"
#include "platform/x11/X11EventTap.h"
#include "platform/x11/X11Input.h"
#include "platform/x11/LeftClipFiles.h"
#include "platform/x11/X11Media.h"
#include "platform/x11/X11Speech.h"
#include "platform/x11/X11MotionRecorder.h"
#include "platform/x11/SecretServiceKeychain.h"
#include "platform/x11/X11Permissions.h"
#include "platform/x11/Xcb.h"

#include <QGuiApplication>

namespace tovrik::platform::x11 {

X11Platform::X11Platform()
{
    m_displays = std::make_unique<X11Displays>();
    m_input = std::make_unique<X11Input>(*m_displays);
    m_tap = std::make_unique<X11EventTap>(*m_displays, *m_input);
    // Motion from RECORD sees warps as well as device motion; raw motion
    // (devices only) where the server has no RECORD.
    m_displays->setMotionTapStarter([tap = m_tap.get(), mapping = m_displays->mapping()](
                                        std::function<void(const RawInputEvent&)> handler) {
        const QString name = QStringLiteral("tovrik.pointer-motion");
        auto toPoints = [mapping](QPointF pixels) { return mapping->fromRootPixels(pixels); };
        if (auto recorder = X11MotionRecorder::start(name, toPoints, handler))
            return recorder;
        return tap->start(name, std::move(handler));
    });
    m_capture = std::make_unique<X11Capture>(*m_displays);
    m_permissions = std::make_unique<X11Permissions>(*m_input, *m_tap, *m_capture);
    m_keychain = std::make_unique<SecretServiceKeychain>();
    m_workspace = std::make_unique<X11Workspace>();
    m_audioIn = std::make_unique<X11AudioInput>();
    m_audioOut = std::make_unique<X11AudioOutput>();
    m_speech = std::make_unique<X11Speech>();
    // What runs killed in the middle of an answer left of it.
    removeLeftClipFiles(clipFolder());
}

X11Platform::~X11Platform() = default;

bool X11Platform::install(QString* error)
{
    auto fail = [error](const QString& message) {
        if (error)
            *error = message;
        return false;
    };
    // Under a Wayland session an X server may still answer (Xwayland), but
    // synthetic input, taps and capture would only reach X clients.
    const bool wayland = !qEnvironmentVariableIsEmpty("WAYLAND_DISPLAY")
        || qEnvironmentVariable("XDG_SESSION_TYPE").compare(QLatin1String("wayland"), Qt::CaseInsensitive) == 0;
    if (wayland || !qobject_cast<QGuiApplication*>(QCoreApplication::instance())
        || QGuiApplication::platformName() != QLatin1String("xcb"))
        return fail(QStringLiteral("Tovrik needs an X11 session (Wayland sessions are not supported)."));
    auto platform = std::make_unique<X11Platform>();
    if (!platform->isConnected())
        return fail(QStringLiteral("Tovrik could not connect to the X11 display."));
    Platform::install(std::move(platform));
    return true;
}

bool X11Platform::isConnected() const { return m_displays->isConnected(); }

Displays& X11Platform::displays() { return *m_displays; }
SyntheticInput& X11Platform::input() { return *m_input; }
EventTap& X11Platform::eventTap() { return *m_tap; }
DisplayCapture& X11Platform::capture() { return *m_capture; }
Permissions& X11Platform::permissions() { return *m_permissions; }
Keychain& X11Platform::keychain() { return *m_keychain; }
Workspace& X11Platform::workspace() { return *m_workspace; }
AudioInput& X11Platform::audioInput() { return *m_audioIn; }
AudioOutput& X11Platform::audioOutput() { return *m_audioOut; }
SpeechSynthesizer& X11Platform::speech() { return *m_speech; }

bool X11Platform::compositorActive()
{
    if (!m_conn || !m_conn->ok())
        m_conn = std::make_unique<XcbConnection>(nullptr);
    return compositorRunning(*m_conn, m_conn->screenNumber());
}

namespace {
constexpr char kNoSharedMemoryVariable[] = "QT_XCB_NO_MITSHM";
}

QtWindowDrawingSetting::QtWindowDrawingSetting() : m_set(!qEnvironmentVariableIsSet(kNoSharedMemoryVariable))
{
    if (m_set)
        qputenv(kNoSharedMemoryVariable, "1");
}

QtWindowDrawingSetting::~QtWindowDrawingSetting()
{
    if (m_set)
        qunsetenv(kNoSharedMemoryVariable);
}

} // namespace tovrik::platform::x11
