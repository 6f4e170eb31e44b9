#include "interaction/ScreenCaptureService.h"

#include "common/Clock.h"
#include "common/Error.h"
#include "interaction/JpegEncoder.h"
#include "overlay/OverlayWindowController.h"
#include "platform/Platform.h"

#include <QPointer>
#include <QtConcurrent/QtConcurrentRun>
#include <qcoro/qcorofuture.h>

#include <algorithm>
#include <cmath>

namespace tovrik {

namespace {

using EncodedFrame = ScreenCaptureService::EncodedFrame;

EncodedFrame encodeOne(QImage native)
{
    EncodedFrame out;
    out.jpeg = jpeg::encodeScreenshot(native, &out.pixelSize);
    return out;
}

QString number(double v)
{
    return QString::number(v, 'f', 3);
}

bool sameGeometry(const platform::DisplayInfo& a, const ScreenCapturePayload& p)
{
    return a.bounds == p.displayBounds && a.frame == p.screenFrame && qFuzzyCompare(a.scale, p.scale) &&
           qFuzzyCompare(a.rotation + 1.0, p.rotation + 1.0);
}

} // namespace

ScreenCaptureService::ScreenCaptureService(QObject* parent) : QObject(parent)
{
    auto& displays = platform::Platform::get().displays();
    connect(&displays, &platform::Displays::displaysChanged, this, &ScreenCaptureService::refreshRevision);
    refreshRevision();
}

ScreenCaptureService::~ScreenCaptureService()
{
    if (m_bufferRelease)
        Clock::instance().cancel(m_bufferRelease);
    m_warming.waitForFinished();
}

void ScreenCaptureService::refreshRevision()
{
    const quint64 revision = platform::Platform::get().displays().configurationRevision();
    std::lock_guard lock(stateLock);
    m_configurationRevision = std::max(m_configurationRevision, revision);
}

quint64 ScreenCaptureService::screenConfigurationRevision() const
{
    std::lock_guard lock(stateLock);
    return m_configurationRevision;
}

QString ScreenCaptureService::displayConfigurationSignature(const QList<platform::DisplayInfo>& displays)
{
    auto sorted = displays;
    std::stable_sort(sorted.begin(), sorted.end(),
                     [](const auto& a, const auto& b) { return a.displayID < b.displayID; });
    QStringList parts;
    for (const auto& d : sorted) {
        parts << QStringLiteral("%1:%2,%3,%4,%5@%6r%7%8")
                     .arg(d.displayID)
                     .arg(number(d.bounds.x()), number(d.bounds.y()), number(d.bounds.width()),
                          number(d.bounds.height()), number(d.scale), number(d.rotation))
                     .arg(d.isMain ? QStringLiteral("m") : QString());
    }
    return parts.join(QLatin1Char(';'));
}

QString ScreenCaptureService::imageLabel(int number, int count, QSize pixelSize, bool isMain, bool hasPointer)
{
    QString label = QStringLiteral("Screen %1 of %2 (%3x%4 pixels")
                        .arg(number)
                        .arg(count)
                        .arg(pixelSize.width())
                        .arg(pixelSize.height());
    if (isMain)
        label += QStringLiteral(", main display");
    if (hasPointer)
        label += QStringLiteral(", the mouse pointer is on this screen");
    label += QLatin1Char(')');
    return label;
}

std::optional<platform::DisplayInfo> ScreenCaptureService::displayContaining(
    const QList<platform::DisplayInfo>& displays, QPointF point)
{
    for (const auto& d : displays) {
        const QRectF& b = d.bounds;
        if (point.x() >= b.left() && point.x() < b.right() && point.y() >= b.top() && point.y() < b.bottom())
            return d;
    }
    return std::nullopt;
}

std::optional<platform::DisplayInfo> ScreenCaptureService::screenForCurrentPointer() const
{
    auto& displays = platform::Platform::get().displays();
    return displayContaining(displays.displays(), displays.pointerLocation());
}

bool ScreenCaptureService::screenConfigurationIsCurrent(const ScreenCapturePayload& capture) const
{
    if (screenConfigurationRevision() != capture.screenConfigurationRevision)
        return false;
    const auto displays = platform::Platform::get().displays().displays();
    if (displayConfigurationSignature(displays) != capture.displayConfigurationSignature)
        return false;
    for (const auto& d : displays)
        if (d.displayID == capture.displayID)
            return d.isActive && sameGeometry(d, capture);
    return false;
}

ScreenCaptureService::Frames ScreenCaptureService::grabFrames(bool startEncoding)
{
    refreshRevision();
    auto& p = platform::Platform::get();
    Frames frames;
    frames.displays = p.displays().displays();
    frames.displays.erase(std::remove_if(frames.displays.begin(), frames.displays.end(),
                                         [](const auto& d) { return !d.isActive || d.displayID == 0; }),
                          frames.displays.end());
    if (frames.displays.isEmpty())
        throw TovrikError(errorDomain, NoDisplays, QStringLiteral("No display is available to capture."));
    frames.revision = screenConfigurationRevision();
    frames.signature = displayConfigurationSignature(p.displays().displays());
    if (auto pointer = displayContaining(frames.displays, p.displays().pointerLocation()))
        frames.pointerDisplayID = pointer->displayID;

    for (int i = 0; i < frames.displays.size(); ++i) {
        QImage image = p.capture().captureDisplay(frames.displays[i].displayID);
        if (image.isNull())
            throw TovrikError(errorDomain, CaptureFailed, QStringLiteral("Could not capture screen %1.").arg(i + 1));
        if (startEncoding)
            frames.encodings << QtConcurrent::run(encodeOne, image);
        frames.images << std::move(image);
    }
    // Read while the encoders run (the windows do not change meanwhile).
    const auto fg = p.capture().foreground();
    frames.foreground = {fg.processID, fg.bundleIdentifier, fg.frontWindowSignature, fg.focusedElementSignature};
    return frames;
}

void ScreenCaptureService::releaseBuffers()
{
    if (m_bufferRelease)
        Clock::instance().cancel(m_bufferRelease);
    m_bufferRelease = 0;
    m_buffersKept = false;
    // A warming still under way would leave its buffers behind.
    m_warming.waitForFinished();
    platform::Platform::get().capture().releaseBuffers();
}

void ScreenCaptureService::scheduleBufferRelease()
{
    auto& clock = Clock::instance();
    if (m_bufferRelease)
        clock.cancel(m_bufferRelease);
    m_buffersKept = true;
    m_bufferRelease = clock.schedule(bufferKeepSeconds, this, [this]() {
        m_bufferRelease = 0;
        releaseBuffers();
    });
}

QFuture<void> ScreenCaptureService::warmBuffers()
{
    if (m_buffersKept)
        return m_warming;
    QList<uint32_t> displayIDs;
    for (const auto& d : platform::Platform::get().displays().displays())
        if (d.isActive && d.displayID != 0)
            displayIDs << d.displayID;
    if (displayIDs.isEmpty())
        return m_warming;
    scheduleBufferRelease();
    m_warming = QtConcurrent::run([displayIDs]() { platform::Platform::get().capture().warmBuffers(displayIDs); });
    return m_warming;
}

QCoro::Task<ScreenCapturePayloads> ScreenCaptureService::encodeFrames(Frames frames, bool includeNativeImage)
{
    QPointer<ScreenCaptureService> self(this);
    scheduleBufferRelease();
    for (qsizetype i = frames.encodings.size(); i < frames.images.size(); ++i)
        frames.encodings << QtConcurrent::run(encodeOne, frames.images[i]);
    QList<EncodedFrame> encoded;
    for (auto& encoding : frames.encodings) {
        co_await encoding;
        encoded << encoding.result();
    }
    if (!self)
        throw CancellationError();

    ScreenCapturePayloads payloads;
    const int count = int(frames.displays.size());
    for (int i = 0; i < count; ++i) {
        const auto& d = frames.displays[i];
        if (i >= encoded.size() || encoded[i].jpeg.isEmpty())
            throw TovrikError(errorDomain, EncodingFailed,
                              QStringLiteral("Could not encode the screenshot of screen %1.").arg(i + 1));
        ScreenCapturePayload p;
        p.imageData = encoded[i].jpeg;
        p.pixelSize = encoded[i].pixelSize;
        p.screenFrame = d.frame;
        p.displayID = d.displayID;
        p.displayBounds = d.bounds;
        p.scale = d.scale;
        p.rotation = d.rotation;
        p.screenConfigurationRevision = frames.revision;
        p.displayConfigurationSignature = frames.signature;
        p.screen = d;
        p.screenNumber = i + 1;
        p.isCursorScreen = frames.pointerDisplayID && *frames.pointerDisplayID == d.displayID;
        p.imageLabel = imageLabel(p.screenNumber, count, p.pixelSize, d.isMain, p.isCursorScreen);
        p.foregroundContext = frames.foreground;
        p.nativePixelSize = frames.images[i].size();
        if (includeNativeImage)
            p.nativeImage = platform::opaqueCopy(frames.images[i]);
        payloads << std::move(p);
    }
    co_return payloads;
}

QCoro::Task<ScreenCapturePayloads> ScreenCaptureService::captureAllScreens(bool includeNativeImage)
{
    Frames frames = grabFrames();
    co_return co_await encodeFrames(std::move(frames), includeNativeImage);
}

QCoro::Task<ScreenCapturePayloads> captureAllScreensForModel(ScreenCaptureService* service,
                                                             ScreenCaptureOverlayHooks overlay,
                                                             bool includeNativeImage)
{
    QPointer<ScreenCaptureService> guard(service);
    if (!guard)
        throw CancellationError();
    auto& capture = platform::Platform::get().capture();
    capture.watchRepaints(overlay.probes ? overlay.probes() : QList<platform::RepaintProbe>());
    const bool wasSuspended = overlay.suspend ? overlay.suspend() : false;
    ScreenCaptureService::Frames frames;
    std::exception_ptr failure;
    try {
        // Nothing of the overlay may reach a screenshot: wait until the
        // server has processed its going and repainted what it covered
        // (what it drew, or every display).
        if (wasSuspended && overlay.vacated) {
            capture.synchronizeAreas(overlay.vacated());
        } else {
            QList<uint32_t> vacated;
            if (wasSuspended)
                for (const auto& d : platform::Platform::get().displays().displays())
                    if (d.isActive && d.displayID != 0)
                        vacated << d.displayID;
            capture.synchronize(vacated);
        }
        frames = guard->grabFrames();
    } catch (...) {
        failure = std::current_exception();
    }
    if (overlay.resume)
        overlay.resume(wasSuspended);
    if (failure)
        std::rethrow_exception(failure);
    co_return co_await guard->encodeFrames(std::move(frames), includeNativeImage);
}

QCoro::Task<ScreenCapturePayloads> captureAllScreensForModel(ScreenCaptureService* service,
                                                             overlay::OverlayWindowController* overlay,
                                                             bool includeNativeImage)
{
    ScreenCaptureOverlayHooks hooks;
    if (overlay) {
        QPointer<overlay::OverlayWindowController> guard(overlay);
        hooks.probes = [guard]() { return guard ? guard->screenCaptureProbes() : QList<platform::RepaintProbe>(); };
        hooks.suspend = [guard]() { return guard ? guard->suspendForScreenCapture() : false; };
        hooks.vacated = [guard]() {
            return guard ? guard->screenCaptureVacatedAreas() : QList<platform::VacatedArea>();
        };
        hooks.resume = [guard](bool wasSuspended) {
            if (guard)
                guard->resumeAfterScreenCapture(wasSuspended);
        };
    }
    return captureAllScreensForModel(service, std::move(hooks), includeNativeImage);
}

} // namespace tovrik
