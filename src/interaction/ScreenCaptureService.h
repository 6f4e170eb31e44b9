#pragma once

#include "interaction/ScreenCapturePayload.h"
#include "platform/Capture.h"
#include "platform/Types.h"

#include <QFuture>
#include <QObject>
#include <qcoro/qcorotask.h>

#include <functional>
#include <mutex>
#include <optional>

namespace tovrik::overlay {
class OverlayWindowController;
}

namespace tovrik {

// Captures every display for the model: one JPEG per display (longest side
// at most 2560 pixels), with the geometry and configuration the agent loop
// needs to trust a screenshot later. Lives on the main thread.
class ScreenCaptureService : public QObject {
    Q_OBJECT
public:
    static inline const QString errorDomain = QStringLiteral("TovrikScreenCapture");
    enum ErrorCode { NoDisplays = 1, CaptureFailed = 2, EncodingFailed = 3 };

    explicit ScreenCaptureService(QObject* parent = nullptr);
    ~ScreenCaptureService() override;

    // One display's screenshot, scaled and encoded.
    struct EncodedFrame {
        QByteArray jpeg;
        QSize pixelSize;
    };
    // The raw frames of one capture, taken on the main thread, with the
    // encoding of each already running on a worker.
    struct Frames {
        QList<platform::DisplayInfo> displays;
        QList<QImage> images;
        QList<QFuture<EncodedFrame>> encodings;
        ScreenCaptureForegroundContext foreground;
        std::optional<uint32_t> pointerDisplayID;
        quint64 revision = 0;
        QString signature;
    };

    // Grabs every display at native resolution (main display first) and
    // starts scaling and encoding each on a worker as soon as it is grabbed
    // (unless `startEncoding` is false). Throws TovrikError (NoDisplays,
    // CaptureFailed). Synchronous: call it while the overlay is off screen.
    Frames grabFrames(bool startEncoding = true);
    // Waits for the encodings (starting any not yet running; one worker per
    // display) and builds the payloads. Throws TovrikError (EncodingFailed).
    QCoro::Task<ScreenCapturePayloads> encodeFrames(Frames frames, bool includeNativeImage);
    // grabFrames + encodeFrames, without touching any window.
    QCoro::Task<ScreenCapturePayloads> captureAllScreens(bool includeNativeImage);

    // True while the recorded configuration, the connected screens and the
    // payload's display geometry are what they were at capture time.
    bool screenConfigurationIsCurrent(const ScreenCapturePayload& capture) const;
    // The display under the mouse pointer, or none.
    std::optional<platform::DisplayInfo> screenForCurrentPointer() const;
    // The configuration revision, read under the lock.
    quint64 screenConfigurationRevision() const;

    // A text that changes whenever a display is added, removed, moved,
    // resized, rescaled or rotated.
    static QString displayConfigurationSignature(const QList<platform::DisplayInfo>& displays);
    // The label sent beside screenshot `number` of `count`.
    static QString imageLabel(int number, int count, QSize pixelSize, bool isMain, bool hasPointer);
    // The display whose bounds contain `point` (global, y down), half-open so
    // that a shared edge belongs to one display only.
    static std::optional<platform::DisplayInfo> displayContaining(const QList<platform::DisplayInfo>& displays,
                                                                  QPointF point);

    // The capture buffers are kept this long after the last capture (a run
    // of captures reuses them), then given back.
    static constexpr double bufferKeepSeconds = 20.0;
    // Gives them back now (a run of captures has ended).
    void releaseBuffers();
    // A capture is likely soon (the user began a turn): readies the buffers
    // on a worker now, so the turn's capture does not pay for new ones. They
    // are kept as after a capture; while they are, this does nothing more.
    QFuture<void> warmBuffers();

private:
    void refreshRevision();
    void scheduleBufferRelease();
    quint64 m_bufferRelease = 0;
    // Whether the buffers are kept (warmed, or a capture's) until the
    // release; the warming under way.
    bool m_buffersKept = false;
    QFuture<void> m_warming;
    mutable std::mutex stateLock;
    quint64 m_configurationRevision = 0;
};

// How the capture step takes the overlay off screen: `probes` names opaque
// pixels the overlay shows now (asked before it goes, so that the repaint
// without it can be told from a late one with it); `suspend` returns
// whether it did; `vacated`, asked after it did, what it covered (without
// it, every display counts as wholly vacated); `resume` gets the answer of
// `suspend`. Any may be empty.
struct ScreenCaptureOverlayHooks {
    std::function<QList<platform::RepaintProbe>()> probes;
    std::function<bool()> suspend;
    std::function<QList<platform::VacatedArea>()> vacated;
    std::function<void(bool wasSuspended)> resume;
};

// The pipeline's capture step: takes the overlay windows off screen, waits
// until the display server has repainted, grabs every display, puts the
// overlay back (also on failure) and then encodes. Throws TovrikError in
// "TovrikScreenCapture"; CancellationError when the service went away.
QCoro::Task<ScreenCapturePayloads> captureAllScreensForModel(ScreenCaptureService* service,
                                                             ScreenCaptureOverlayHooks overlay,
                                                             bool includeNativeImage);
// The same with the overlay controller's suspendForScreenCapture() and
// resumeAfterScreenCapture(wasSuspended:); a null overlay is skipped.
QCoro::Task<ScreenCapturePayloads> captureAllScreensForModel(ScreenCaptureService* service,
                                                             overlay::OverlayWindowController* overlay,
                                                             bool includeNativeImage);

} // namespace tovrik
