#include "platform/sim/SimPlatform.h"

#include "common/Clock.h"
#include "common/Constants.h"

#include <QCoreApplication>
#include <QMetaObject>
#include <QTimer>
#include <QtMath>
#include <algorithm>
#include <chrono>
#include <cmath>
#include <thread>

namespace tovrik::platform::sim {

// ---- displays ----

SimDisplays::SimDisplays()
{
    m_displays = withFrames({make(1, QRectF(0, 0, 1440, 900), 2.0, true)});
    m_pointer = QPointF(720, 450);
}

QList<DisplayInfo> SimDisplays::displays() const { return m_displays; }

void SimDisplays::setDisplays(QList<DisplayInfo> displays)
{
    m_displays = withFrames(std::move(displays));
    ++m_revision;
    emit displaysChanged();
}

DisplayInfo SimDisplays::make(uint32_t id, QRectF bounds, double scale, bool isMain)
{
    DisplayInfo d;
    d.displayID = id;
    d.name = QStringLiteral("Sim Display %1").arg(id);
    d.bounds = bounds;
    d.scale = scale;
    d.isMain = isMain;
    return d;
}

QList<DisplayInfo> SimDisplays::withFrames(QList<DisplayInfo> displays)
{
    if (displays.isEmpty())
        return displays;
    int mainIndex = 0;
    for (int i = 0; i < displays.size(); ++i)
        if (displays[i].isMain) {
            mainIndex = i;
            break;
        }
    displays.move(mainIndex, 0);
    for (int i = 0; i < displays.size(); ++i)
        displays[i].isMain = (i == 0);
    const double mainHeight = displays.first().bounds.height();
    for (auto& d : displays) {
        // AppKit frame: y up from the bottom of the main display.
        d.frame = QRectF(d.bounds.x(), mainHeight - d.bounds.y() - d.bounds.height(), d.bounds.width(),
                         d.bounds.height());
        d.visibleFrame = d.frame;
    }
    return displays;
}

// ---- synthetic input ----

void SimInput::record(PostedEvent e)
{
    e.userData = constants::syntheticInputEventSourceUserData();
    e.at = Clock::instance().now();
    {
        std::lock_guard lock(m_mutex);
        m_events.push_back(e);
    }
    if (!m_echo)
        return;
    RawInputEvent raw;
    raw.isSynthetic = true;
    raw.sourceUserData = e.userData;
    raw.modifiers = e.modifiers;
    raw.location = e.point;
    raw.button = e.button;
    switch (e.kind) {
    case PostedEvent::Kind::Mouse:
        switch (e.mouseKind) {
        case MouseEventKind::Down: raw.type = RawInputEvent::Type::MouseDown; break;
        case MouseEventKind::Up: raw.type = RawInputEvent::Type::MouseUp; break;
        case MouseEventKind::Drag: raw.type = RawInputEvent::Type::MouseDragged; break;
        case MouseEventKind::Move: raw.type = RawInputEvent::Type::MouseMoved; break;
        }
        break;
    case PostedEvent::Kind::Key:
        raw.type = e.down ? RawInputEvent::Type::KeyDown : RawInputEvent::Type::KeyUp;
        raw.keyCode = e.keyCode;
        break;
    case PostedEvent::Kind::Text:
        return;
    case PostedEvent::Kind::Scroll:
        raw.type = RawInputEvent::Type::Scroll;
        break;
    }
    m_tap.inject(raw);
}

bool SimInput::postMouse(MouseEventKind kind, MouseButton button, QPointF point, int clickCount)
{
    if (m_failing)
        return false;
    PostedEvent e;
    e.kind = PostedEvent::Kind::Mouse;
    e.mouseKind = kind;
    e.button = button;
    e.point = point;
    e.clickCount = clickCount;
    m_displays.setPointerLocation(point);
    record(e);
    return true;
}

bool SimInput::postKey(uint16_t keyCode, bool down, uint32_t modifiers)
{
    if (m_failing)
        return false;
    PostedEvent e;
    e.kind = PostedEvent::Kind::Key;
    e.keyCode = keyCode;
    e.down = down;
    e.modifiers = modifiers;
    record(e);
    return true;
}

bool SimInput::postText(const QString& text)
{
    if (m_failing)
        return false;
    PostedEvent e;
    e.kind = PostedEvent::Kind::Text;
    e.text = text;
    record(e);
    return true;
}

bool SimInput::postScroll(int deltaY, int deltaX, bool pixelUnits)
{
    if (m_failing)
        return false;
    PostedEvent e;
    e.kind = PostedEvent::Kind::Scroll;
    e.deltaY = deltaY;
    e.deltaX = deltaX;
    e.pixelUnits = pixelUnits;
    record(e);
    return true;
}

bool SimInput::isKeyPhysicallyDown(uint16_t keyCode) const
{
    std::lock_guard lock(m_mutex);
    return m_physicalKeys.contains(keyCode);
}

uint32_t SimInput::physicalModifiers() const
{
    std::lock_guard lock(m_mutex);
    return m_physicalModifiers;
}

std::vector<PostedEvent> SimInput::events() const
{
    std::lock_guard lock(m_mutex);
    return m_events;
}

void SimInput::clearEvents()
{
    std::lock_guard lock(m_mutex);
    m_events.clear();
}

void SimInput::setPhysicalKeyDown(uint16_t keyCode, bool down)
{
    std::lock_guard lock(m_mutex);
    if (down)
        m_physicalKeys.insert(keyCode);
    else
        m_physicalKeys.remove(keyCode);
}

void SimInput::setPhysicalModifiers(uint32_t modifiers)
{
    std::lock_guard lock(m_mutex);
    m_physicalModifiers = modifiers;
}

// ---- event tap ----

class SimTapSession : public EventTapSession {
public:
    SimTapSession(SimEventTap& tap, quint64 id) : m_tap(&tap), m_id(id) {}
    ~SimTapSession() override { stop(); }
    void stop() override
    {
        if (m_tap) {
            m_tap->removeTap(m_id);
            m_tap = nullptr;
        }
    }

private:
    SimEventTap* m_tap;
    quint64 m_id;
};

std::unique_ptr<EventTapSession> SimEventTap::start(const QString& threadName,
                                                    std::function<void(const RawInputEvent&)> handler, uint32_t events)
{
    if (const int delay = m_startDelayMs.load(); delay > 0)
        std::this_thread::sleep_for(std::chrono::milliseconds(delay));
    std::lock_guard lock(m_mutex);
    if (m_startFails)
        return nullptr;
    const quint64 id = m_nextId++;
    m_taps.push_back({id, threadName, std::move(handler), false, {}, events});
    return std::make_unique<SimTapSession>(*this, id);
}

std::unique_ptr<EventTapSession> SimEventTap::addGlobalMouseDownMonitor(std::function<void(MouseButton, QPointF)> handler)
{
    std::lock_guard lock(m_mutex);
    const quint64 id = m_nextId++;
    m_taps.push_back({id, QString(), {}, true, std::move(handler)});
    return std::make_unique<SimTapSession>(*this, id);
}

void SimEventTap::removeTap(quint64 id)
{
    std::lock_guard lock(m_mutex);
    m_taps.erase(std::remove_if(m_taps.begin(), m_taps.end(), [id](const Tap& t) { return t.id == id; }),
                 m_taps.end());
}

void SimEventTap::inject(const RawInputEvent& event)
{
    std::vector<Tap> taps;
    {
        std::lock_guard lock(m_mutex);
        taps = m_taps;
    }
    for (const auto& tap : taps) {
        if (tap.mouseMonitor) {
            // Global monitors see presses of other applications: ours are not
            // reported (as on the desktop, where our own events reach us
            // through the local event path instead).
            if (event.type == RawInputEvent::Type::MouseDown && !event.isSynthetic && tap.mouseHandler)
                tap.mouseHandler(event.button, event.location);
        } else if (tap.handler && tapWants(tap.events, event.type)) {
            tap.handler(event);
        }
    }
}

void SimEventTap::injectKey(uint16_t keyCode, bool down, uint32_t modifiersAfter)
{
    RawInputEvent e;
    e.type = down ? RawInputEvent::Type::KeyDown : RawInputEvent::Type::KeyUp;
    e.keyCode = keyCode;
    e.modifiers = modifiersAfter;
    inject(e);
}

void SimEventTap::injectFlags(uint16_t keyCode, uint32_t modifiersAfter)
{
    RawInputEvent e;
    e.type = RawInputEvent::Type::FlagsChanged;
    e.keyCode = keyCode;
    e.modifiers = modifiersAfter;
    inject(e);
}

void SimEventTap::injectMouseDown(MouseButton button, QPointF point)
{
    RawInputEvent e;
    e.type = RawInputEvent::Type::MouseDown;
    e.button = button;
    e.location = point;
    inject(e);
}

int SimEventTap::activeTapCount() const
{
    std::lock_guard lock(m_mutex);
    return int(std::count_if(m_taps.begin(), m_taps.end(), [](const Tap& t) { return !t.mouseMonitor; }));
}

QStringList SimEventTap::threadNames() const
{
    std::lock_guard lock(m_mutex);
    QStringList names;
    for (const auto& t : m_taps)
        if (!t.mouseMonitor)
            names << t.threadName;
    return names;
}

// ---- capture ----

QColor SimCapture::patternColor(uint32_t displayID, int x, int y, QSize size)
{
    const int r = size.width() > 1 ? (x * 255) / (size.width() - 1) : 0;
    const int g = size.height() > 1 ? (y * 255) / (size.height() - 1) : 0;
    const int b = int((displayID * 67u) % 256u);
    return QColor(r, g, b);
}

QImage SimCapture::captureDisplay(uint32_t displayID)
{
    ++m_captureCount;
    if (m_failing.contains(displayID))
        return {};
    if (m_images.contains(displayID))
        return m_images.value(displayID);
    const auto info = m_displays.display(displayID);
    if (!info)
        return {};
    const QSize size(int(std::lround(info->bounds.width() * info->scale)),
                     int(std::lround(info->bounds.height() * info->scale)));
    // The pattern depends on the id and size only: made once for each.
    const auto key = std::make_pair(displayID, std::make_pair(size.width(), size.height()));
    if (auto it = m_patterns.find(key); it != m_patterns.end())
        return it->second;
    QImage image(size, QImage::Format_RGB32);
    for (int y = 0; y < size.height(); ++y) {
        auto* line = reinterpret_cast<QRgb*>(image.scanLine(y));
        const int g = size.height() > 1 ? (y * 255) / (size.height() - 1) : 0;
        for (int x = 0; x < size.width(); ++x) {
            const int r = size.width() > 1 ? (x * 255) / (size.width() - 1) : 0;
            line[x] = qRgb(r, g, int((displayID * 67u) % 256u));
        }
    }
    m_patterns[key] = image;
    return image;
}

void SimCapture::setFailing(uint32_t displayID, bool failing)
{
    if (failing)
        m_failing.insert(displayID);
    else
        m_failing.remove(displayID);
}

// ---- permissions ----

bool SimPermissions::requestAccessibilityTrust()
{
    ++accessibilityRequests;
    if (grantAccessibilityOnRequest)
        accessibility = true;
    return accessibility;
}

bool SimPermissions::requestScreenCaptureAccess()
{
    ++screenRecordingRequests;
    if (grantScreenRecordingOnRequest)
        screenRecording = true;
    return screenRecording;
}

void SimPermissions::requestMicrophoneAccess(std::function<void(bool)> completion)
{
    ++microphoneRequests;
    if (microphone != MicrophoneAuthorization::NotDetermined) {
        const bool granted = microphone == MicrophoneAuthorization::Authorized;
        QMetaObject::invokeMethod(qApp, [completion, granted]() { completion(granted); }, Qt::QueuedConnection);
        return;
    }
    m_pendingMicrophone.push_back(std::move(completion));
    if (autoCompleteMicrophone)
        QMetaObject::invokeMethod(qApp, [this]() { completeMicrophoneRequest(); }, Qt::QueuedConnection);
}

void SimPermissions::completeMicrophoneRequest()
{
    if (microphone == MicrophoneAuthorization::NotDetermined)
        microphone = grantMicrophoneOnRequest ? MicrophoneAuthorization::Authorized : MicrophoneAuthorization::Denied;
    const bool granted = microphone == MicrophoneAuthorization::Authorized;
    auto pending = std::move(m_pendingMicrophone);
    m_pendingMicrophone.clear();
    for (auto& c : pending)
        c(granted);
}

bool SimPermissions::openPrivacyPane(PrivacyPane pane)
{
    openedPanes << pane;
    return true;
}

// ---- keychain ----

namespace {
QString itemKey(const QString& service, const QString& account) { return service + QLatin1Char('\n') + account; }
} // namespace

void SimKeychain::setFlag(QSet<QString>& set, const QString& account, bool on)
{
    if (on)
        set.insert(account);
    else
        set.remove(account);
}

KeychainResult SimKeychain::failure(const QString& what) const
{
    KeychainResult r;
    r.status = KeychainStatus::Failure;
    r.message = what;
    return r;
}

KeychainResult SimKeychain::read(const QString& service, const QString& account)
{
    std::lock_guard lock(m_mutex);
    if (m_failAll || m_failRead.contains(account))
        return failure(QStringLiteral("Keychain read failed for %1.").arg(account));
    const auto key = itemKey(service, account);
    if (!m_items.contains(key))
        return {KeychainStatus::NotFound, {}, {}};
    return {KeychainStatus::Success, m_items.value(key), {}};
}

KeychainResult SimKeychain::write(const QString& service, const QString& account, const QByteArray& data)
{
    std::lock_guard lock(m_mutex);
    ++m_writes;
    if (m_writeCountdown > 0 && --m_writeCountdown == 0)
        return failure(QStringLiteral("Keychain write failed for %1.").arg(account));
    if (m_failAll || m_failWrite.contains(account))
        return failure(QStringLiteral("Keychain write failed for %1.").arg(account));
    m_items.insert(itemKey(service, account), data);
    return {};
}

KeychainResult SimKeychain::remove(const QString& service, const QString& account)
{
    std::lock_guard lock(m_mutex);
    ++m_removes;
    if (m_failAll || m_failRemove.contains(account))
        return failure(QStringLiteral("Keychain delete failed for %1.").arg(account));
    m_items.remove(itemKey(service, account));
    return {};
}

QHash<QString, QByteArray> SimKeychain::items(const QString& service) const
{
    std::lock_guard lock(m_mutex);
    QHash<QString, QByteArray> out;
    const QString prefix = service + QLatin1Char('\n');
    for (auto it = m_items.begin(); it != m_items.end(); ++it)
        if (it.key().startsWith(prefix))
            out.insert(it.key().mid(prefix.size()), it.value());
    return out;
}

void SimKeychain::setItem(const QString& service, const QString& account, const QByteArray& data)
{
    std::lock_guard lock(m_mutex);
    m_items.insert(itemKey(service, account), data);
}

// ---- workspace ----

bool SimWorkspace::openURL(const QUrl& url)
{
    if (failing)
        return false;
    openedURLs << url;
    if (onOpenURL)
        onOpenURL(url);
    return true;
}

// ---- platform ----

SimPlatform::SimPlatform() : m_input(m_tap, m_displays), m_capture(m_displays) {}

SimPlatform& SimPlatform::install()
{
    auto platform = std::make_unique<SimPlatform>();
    auto* raw = platform.get();
    Platform::install(std::move(platform));
    return *raw;
}

} // namespace tovrik::platform::sim
