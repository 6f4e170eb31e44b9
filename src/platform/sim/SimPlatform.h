#pragma once

// The deterministic, in-memory backend used by most tests: virtual displays,
// a log of every posted event, a scriptable raw-input stream, switchable
// permissions, an in-memory keychain with failure injection, captured images
// drawn from a known pattern, and scriptable audio.

#include "platform/Platform.h"

#include <QColor>
#include <QHash>
#include <QList>
#include <QSet>
#include <QUrl>
#include <QVector>
#include <atomic>
#include <mutex>
#include <optional>
#include <vector>

namespace tovrik::platform::sim {

class SimDisplays : public Displays {
    Q_OBJECT
public:
    SimDisplays();
    QList<DisplayInfo> displays() const override;
    QPointF pointerLocation() const override { return m_pointer; }
    std::optional<QPointF> readPointerLocation() const override
    {
        return m_pointerReadable ? std::optional<QPointF>(m_pointer) : std::nullopt;
    }
    quint64 configurationRevision() const override { return m_revision; }

    // Replaces the configuration; the first display marked main (or the
    // first) becomes main. Emits displaysChanged.
    void setDisplays(QList<DisplayInfo> displays);
    // Convenience: a display with the given bounds (y down); frame and
    // visible frame are derived against the main display.
    static DisplayInfo make(uint32_t id, QRectF bounds, double scale = 1.0, bool isMain = false);
    // Rebuilds the AppKit frames of every display from their bounds.
    static QList<DisplayInfo> withFrames(QList<DisplayInfo> displays);
    // Moves the pointer (pointerMoved follows when it changed).
    void setPointerLocation(QPointF displayPoint)
    {
        const bool moved = displayPoint != m_pointer;
        m_pointer = displayPoint;
        if (moved)
            emit pointerMoved(displayPoint);
    }
    void setPointerReadable(bool readable) { m_pointerReadable = readable; }
    // Every move goes through setPointerLocation: a watch sees them all.
    std::shared_ptr<void> watchPointerMotion() override
    {
        auto watch = m_watch.lock();
        if (!watch)
            m_watch = watch = std::make_shared<int>(0);
        return watch;
    }
    std::optional<QPointF> watchedPointerLocation() const override
    {
        if (m_watch.expired() || !m_pointerReadable)
            return std::nullopt;
        return m_pointer;
    }
    // Restacking (nothing else stacks here) and the compositor are reported.
    bool reportsDesktopChanges() const override { return true; }

private:
    QList<DisplayInfo> m_displays;
    QPointF m_pointer;
    bool m_pointerReadable = true;
    std::weak_ptr<void> m_watch;
    quint64 m_revision = 1;
};

struct PostedEvent {
    enum class Kind { Mouse, Key, Text, Scroll };
    Kind kind = Kind::Mouse;
    MouseEventKind mouseKind = MouseEventKind::Move;
    MouseButton button = MouseButton::Left;
    QPointF point;
    int clickCount = 0;
    uint16_t keyCode = 0;
    bool down = false;
    uint32_t modifiers = 0;
    QString text;
    int deltaY = 0;
    int deltaX = 0;
    bool pixelUnits = false;
    int64_t userData = 0;
    double at = 0; // tovrik::Clock time of the post
};

class SimEventTap;

class SimInput : public SyntheticInput {
public:
    explicit SimInput(SimEventTap& tap, SimDisplays& displays) : m_tap(tap), m_displays(displays) {}
    bool postMouse(MouseEventKind kind, MouseButton button, QPointF point, int clickCount) override;
    bool postKey(uint16_t keyCode, bool down, uint32_t modifiers) override;
    bool postText(const QString& text) override;
    bool postScroll(int deltaY, int deltaX, bool pixelUnits) override;
    bool isKeyPhysicallyDown(uint16_t keyCode) const override;
    uint32_t physicalModifiers() const override;

    // Test controls.
    std::vector<PostedEvent> events() const;
    void clearEvents();
    void setPhysicalKeyDown(uint16_t keyCode, bool down);
    void setPhysicalModifiers(uint32_t modifiers);
    void setFailing(bool failing) { m_failing = failing; }
    // The cause a failed text reports.
    void setTypingFailure(TypingFailure cause) { m_typingFailure = cause; }
    TypingFailure typingFailure() const override { return m_typingFailure; }
    // Posted events are echoed into the raw stream as synthetic ones.
    void setEchoToTap(bool echo) { m_echo = echo; }

private:
    void record(PostedEvent e);
    SimEventTap& m_tap;
    SimDisplays& m_displays;
    mutable std::mutex m_mutex;
    std::vector<PostedEvent> m_events;
    QSet<uint16_t> m_physicalKeys;
    uint32_t m_physicalModifiers = 0;
    bool m_failing = false;
    TypingFailure m_typingFailure = TypingFailure::NoKeyboardEvent;
    bool m_echo = true;
};

class SimEventTap : public EventTap {
public:
    std::unique_ptr<EventTapSession> start(const QString& threadName,
                                           std::function<void(const RawInputEvent&)> handler,
                                           uint32_t events = TapAllEvents) override;
    std::unique_ptr<EventTapSession> addGlobalMouseDownMonitor(std::function<void(MouseButton, QPointF)> handler) override;

    // Delivers `event` to every running tap synchronously on the calling
    // thread (a mouse-down also to the global monitors).
    void inject(const RawInputEvent& event);
    // Convenience for a physical (non-synthetic) key or modifier change.
    void injectKey(uint16_t keyCode, bool down, uint32_t modifiersAfter);
    void injectFlags(uint16_t keyCode, uint32_t modifiersAfter);
    void injectMouseDown(MouseButton button, QPointF point);
    void setStartFails(bool fails) { m_startFails = fails; }
    // start() takes this long (real time) before it answers.
    void setStartDelay(int milliseconds) { m_startDelayMs = milliseconds; }
    int activeTapCount() const;
    QStringList threadNames() const;

private:
    friend class SimTapSession;
    struct Tap {
        quint64 id;
        QString threadName;
        std::function<void(const RawInputEvent&)> handler;
        bool mouseMonitor = false;
        std::function<void(MouseButton, QPointF)> mouseHandler;
        uint32_t events = TapAllEvents;
    };
    void removeTap(quint64 id);
    mutable std::mutex m_mutex;
    std::vector<Tap> m_taps;
    quint64 m_nextId = 1;
    bool m_startFails = false;
    std::atomic<int> m_startDelayMs{0};
};

class SimCapture : public DisplayCapture {
public:
    explicit SimCapture(SimDisplays& displays) : m_displays(displays) {}
    // A known pattern: a gradient keyed by the display id, its size the
    // display's bounds times its scale. A display set with setImage() returns
    // that image instead.
    QImage captureDisplay(uint32_t displayID) override;
    void watchRepaints(const QList<RepaintProbe>& leaving = {}) override { m_watched = leaving; }
    void synchronize(const QList<uint32_t>& = {}) override { ++m_syncCount; }
    ForegroundInfo foreground() override { return m_foreground; }
    void releaseBuffers() override { ++m_releaseCount; }
    void warmBuffers(const QList<uint32_t>& displayIDs) override
    {
        ++m_warmCount;
        m_warmed = displayIDs;
    }

    static QColor patternColor(uint32_t displayID, int x, int y, QSize size);
    void setImage(uint32_t displayID, QImage image) { m_images.insert(displayID, std::move(image)); }
    void setFailing(uint32_t displayID, bool failing);
    void setForeground(ForegroundInfo info) { m_foreground = std::move(info); }
    int syncCount() const { return m_syncCount; }
    int captureCount() const { return m_captureCount; }
    int releaseCount() const { return m_releaseCount; }
    int warmCount() const { return m_warmCount; }
    // The displays of the last warmBuffers().
    QList<uint32_t> warmedDisplays() const { return m_warmed; }
    // The probes of the last watchRepaints().
    QList<RepaintProbe> watchedProbes() const { return m_watched; }

private:
    SimDisplays& m_displays;
    QList<RepaintProbe> m_watched;
    QHash<uint32_t, QImage> m_images;
    QSet<uint32_t> m_failing;
    ForegroundInfo m_foreground;
    int m_syncCount = 0;
    int m_captureCount = 0;
    std::atomic<int> m_releaseCount{0};
    std::atomic<int> m_warmCount{0};
    QList<uint32_t> m_warmed;
    std::map<std::pair<uint32_t, std::pair<int, int>>, QImage> m_patterns;
};

class SimPermissions : public Permissions {
public:
    bool accessibilityTrusted() override { return accessibility; }
    bool requestAccessibilityTrust() override;
    bool screenCapturePreflight() override { return screenRecording; }
    bool requestScreenCaptureAccess() override;
    MicrophoneAuthorization microphoneAuthorization() override { return microphone; }
    void requestMicrophoneAccess(std::function<void(bool)> completion) override;
    bool hasMicrophoneInputDevice() override { return microphoneDevice; }
    bool openPrivacyPane(PrivacyPane pane) override;
    QStringList missingInputExtensions() override { return missingInput; }

    // Switches. The answer a request gives: grantOnRequest* decide it; a
    // microphone request completes when completeMicrophoneRequest() is
    // called (or at once when autoCompleteMicrophone).
    bool accessibility = true;
    bool screenRecording = true;
    MicrophoneAuthorization microphone = MicrophoneAuthorization::Authorized;
    bool microphoneDevice = true;
    QStringList missingInput;
    bool grantAccessibilityOnRequest = false;
    bool grantScreenRecordingOnRequest = false;
    bool grantMicrophoneOnRequest = true;
    bool autoCompleteMicrophone = false;
    int accessibilityRequests = 0;
    int screenRecordingRequests = 0;
    int microphoneRequests = 0;
    QList<PrivacyPane> openedPanes;
    void completeMicrophoneRequest();

private:
    std::vector<std::function<void(bool)>> m_pendingMicrophone;
};

// In-memory keychain. Failures can be injected per operation and per item:
// failNext*(n) makes the n-th next call of that operation fail (1 = the next),
// failAlways*(account) fails every call for that account.
class SimKeychain : public Keychain {
public:
    KeychainResult read(const QString& service, const QString& account) override;
    KeychainResult write(const QString& service, const QString& account, const QByteArray& data) override;
    KeychainResult remove(const QString& service, const QString& account) override;

    QHash<QString, QByteArray> items(const QString& service) const;
    void setItem(const QString& service, const QString& account, const QByteArray& data);
    void failReadFor(const QString& account, bool fail = true) { setFlag(m_failRead, account, fail); }
    void failWriteFor(const QString& account, bool fail = true) { setFlag(m_failWrite, account, fail); }
    void failRemoveFor(const QString& account, bool fail = true) { setFlag(m_failRemove, account, fail); }
    // The n-th write from now fails (1 = the next one); 0 disables.
    void failNthWrite(int n) { m_writeCountdown = n; }
    void failAll(bool fail) { m_failAll = fail; }
    int writeCount() const { return m_writes; }
    int removeCount() const { return m_removes; }

private:
    static void setFlag(QSet<QString>& set, const QString& account, bool on);
    KeychainResult failure(const QString& what) const;
    mutable std::mutex m_mutex;
    QHash<QString, QByteArray> m_items; // key: service + '\n' + account
    QSet<QString> m_failRead, m_failWrite, m_failRemove;
    int m_writeCountdown = 0;
    bool m_failAll = false;
    int m_writes = 0;
    int m_removes = 0;
};

class SimWorkspace : public Workspace {
public:
    using Workspace::openURL;
    bool openURL(const QUrl& url) override;
    QList<QUrl> openedURLs;
    // Called with every opened URL (e.g. a test playing the browser).
    std::function<void(const QUrl&)> onOpenURL;
    bool failing = false;
};

class SimAudioInput : public AudioInput {
public:
    std::unique_ptr<AudioInputStream> start(int sampleRate, std::function<void(const QByteArray&)> onSamples,
                                            QString* error) override;
    // Feeds samples to the running stream (no-op when none runs).
    void feed(const QByteArray& pcm);
    // Feeds `seconds` of a sine tone at `amplitude` (0...1).
    void feedTone(double seconds, double amplitude, double frequency = 440.0);
    bool isRunning() const { return bool(m_handler); }
    int sampleRate() const { return m_sampleRate; }
    QString failWith; // non-empty: start() fails with this message
    // Runs as a stream closes, once its samples are handed over: where the
    // real sound server's stream runs the event loop.
    std::function<void()> onStreamClosing;

private:
    friend class SimAudioStream;
    std::function<void(const QByteArray&)> m_handler;
    int m_sampleRate = 0;
    quint64 m_generation = 0;
};

class SimAudioOutput : public AudioOutput {
public:
    std::unique_ptr<AudioPlayback> play(const QByteArray& encoded, const QString& mimeType,
                                        std::function<void(const QString&)> finished) override;
    void probeMpegPlayback(std::function<void(const QString&)> done) override;
    // What the probe answers (empty: MPEG plays) and how often it was asked.
    QString mpegProblem;
    int mpegProbes = 0;
    // Finishes every playing clip with `error` (empty = success).
    void finishAll(const QString& error = {});
    QList<QByteArray> played;
    int playingCount() const;
    // When set, play() finishes at once with this result instead of waiting.
    std::optional<QString> autoFinish;

private:
    friend class SimPlayback;
    struct Clip {
        quint64 id;
        std::function<void(const QString&)> finished;
    };
    std::vector<Clip> m_playing;
    quint64 m_nextId = 1;
};

class SimSpeech : public SpeechSynthesizer {
public:
    bool isAvailable() override { return available; }
    void speak(const QString& text, std::function<void(const QString&)> finished) override;
    void stop() override;
    void finish(const QString& error = {});
    // Whether a speech waits for finish() (not stopped, not finished).
    bool speaking() const { return bool(m_pending); }
    bool available = true;
    bool autoFinish = true;
    QStringList spoken;

private:
    std::function<void(const QString&)> m_pending;
};

class SimPlatform : public Platform {
public:
    SimPlatform();
    Displays& displays() override { return m_displays; }
    SyntheticInput& input() override { return m_input; }
    EventTap& eventTap() override { return m_tap; }
    DisplayCapture& capture() override { return m_capture; }
    Permissions& permissions() override { return m_permissions; }
    Keychain& keychain() override { return *m_keychain; }
    Workspace& workspace() override { return m_workspace; }
    AudioInput& audioInput() override { return m_audioIn; }
    AudioOutput& audioOutput() override { return m_audioOut; }
    SpeechSynthesizer& speech() override { return m_speech; }
    bool compositorActive() override { return m_compositorActive; }

    // A compositor runs unless a test says otherwise (a change is reported).
    void setCompositorActive(bool active)
    {
        const bool changed = active != m_compositorActive;
        m_compositorActive = active;
        if (changed)
            emit m_displays.compositorChanged();
    }
    SimDisplays& simDisplays() { return m_displays; }
    SimInput& simInput() { return m_input; }
    SimEventTap& simEventTap() { return m_tap; }
    SimCapture& simCapture() { return m_capture; }
    SimPermissions& simPermissions() { return m_permissions; }
    SimKeychain& simKeychain() { return m_simKeychain; }
    SimWorkspace& simWorkspace() { return m_workspace; }
    SimAudioInput& simAudioInput() { return m_audioIn; }
    SimAudioOutput& simAudioOutput() { return m_audioOut; }
    SimSpeech& simSpeech() { return m_speech; }
    // Routes keychain calls elsewhere (e.g. the real Secret Service) while the
    // rest stays simulated; nullptr restores the in-memory one.
    void setKeychain(Keychain* keychain) { m_keychain = keychain ? keychain : &m_simKeychain; }

    // Installs a fresh SimPlatform and returns it.
    static SimPlatform& install();

private:
    SimDisplays m_displays;
    SimEventTap m_tap;
    SimInput m_input;
    SimCapture m_capture;
    SimPermissions m_permissions;
    SimKeychain m_simKeychain;
    Keychain* m_keychain = &m_simKeychain;
    SimWorkspace m_workspace;
    SimAudioInput m_audioIn;
    SimAudioOutput m_audioOut;
    SimSpeech m_speech;
    bool m_compositorActive = true;
};

} // namespace tovrik::platform::sim
