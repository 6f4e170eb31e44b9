#include "autopilot/AutopilotObservation.h"

#include "autopilot/UIAutopilotParsing.h"

#include <QBuffer>
#include <QImage>
#include <QImageReader>
#include <QPainter>
#include <QtConcurrent/QtConcurrentRun>
#include <qcoro/qcorofuture.h>
#include <QStringList>

#include <algorithm>
#include <cmath>
#include <cstring>

#if __has_include(<turbojpeg.h>)
#include <turbojpeg.h>
#define TOVRIK_HAVE_TURBOJPEG 1
#endif

namespace tovrik {

namespace {

QString number(double v)
{
    if (std::isfinite(v) && v == std::trunc(v) && std::fabs(v) < 1e16)
        return QString::number(qint64(v)) + QStringLiteral(".0");
    if (std::isnan(v))
        return QStringLiteral("nan");
    if (std::isinf(v))
        return v > 0 ? QStringLiteral("inf") : QStringLiteral("-inf");
    return QString::number(v, 'g', QLocale::FloatingPointShortest);
}

QString optionalPoint(const std::optional<QPointF>& p) { return p ? autopilotPointText(*p) : QString(); }

} // namespace

QString autopilotPointText(QPointF point)
{
    return QLatin1Char('(') + number(point.x()) + QStringLiteral(", ") + number(point.y()) + QLatin1Char(')');
}

QString autopilotActionSignature(const UIAutopilotAction& a)
{
    QStringList path;
    for (const UIAutopilotPathPoint& p : a.path)
        path << QString::number(p.screen.value_or(0)) + QLatin1Char(':') + autopilotPointText(p.point);
    return QStringList{rawValue(a.kind),
                       optionalPoint(a.imagePoint),
                       optionalPoint(a.endImagePoint),
                       QString::number(a.screenNumber.value_or(0)),
                       QString::number(a.endScreenNumber.value_or(0)),
                       a.text,
                       a.key,
                       a.direction,
                       QString::number(a.pixels),
                       QString::number(a.milliseconds),
                       a.phase,
                       a.modifiers,
                       a.button,
                       QStringLiteral("%1x%2").arg(a.zoomWidth).arg(a.zoomHeight),
                       path.join(QLatin1Char(';'))}
        .join(QLatin1Char('|'));
}

namespace {

QList<const ScreenCapturePayload*> byDisplay(const ScreenCapturePayloads& captures)
{
    QList<const ScreenCapturePayload*> ordered;
    for (const ScreenCapturePayload& c : captures)
        ordered << &c;
    std::stable_sort(ordered.begin(), ordered.end(), [](const ScreenCapturePayload* a, const ScreenCapturePayload* b) {
        return a->displayID < b->displayID;
    });
    return ordered;
}

#ifdef TOVRIK_HAVE_TURBOJPEG
// Decodes at the smallest of the decoder's own scales that is still at
// least `minimumWidth` wide (it scales while it decodes, which skips most
// of the work); a null image when the data is no JPEG it can read.
QImage decodeScaled(const QByteArray& data, int minimumWidth, QSize* fullSize)
{
    struct Decompressor {
        tjhandle handle = tjInitDecompress();
        ~Decompressor() { tjDestroy(handle); }
    };
    thread_local Decompressor decompressor;
    if (!decompressor.handle)
        return {};
    const auto* bytes = reinterpret_cast<const unsigned char*>(data.constData());
    int width = 0, height = 0, subsampling = 0, colorspace = 0;
    if (tjDecompressHeader3(decompressor.handle, bytes, (unsigned long)data.size(), &width, &height, &subsampling,
                            &colorspace) != 0 || width <= 0 || height <= 0)
        return {};
    *fullSize = QSize(width, height);
    int count = 0;
    const tjscalingfactor* factors = tjGetScalingFactors(&count);
    int bestWidth = width, bestHeight = height;
    for (int i = 0; i < count; ++i) {
        const int w = TJSCALED(width, factors[i]);
        if (w >= std::min(minimumWidth, width) && w < bestWidth) {
            bestWidth = w;
            bestHeight = TJSCALED(height, factors[i]);
        }
    }
    QImage image(bestWidth, bestHeight, QImage::Format_RGBA8888);
    if (image.isNull()
        || tjDecompress2(decompressor.handle, bytes, (unsigned long)data.size(), image.bits(), bestWidth,
                         int(image.bytesPerLine()), bestHeight, TJPF_RGBA, TJFLAG_FASTDCT) != 0)
        return {};
    return image;
}
#endif

// One display's sample; thread-safe (worker threads run it).
AutopilotObservationSample sample(QByteArray data)
{
#ifdef TOVRIK_HAVE_TURBOJPEG
    QSize size;
    const QImage image = decodeScaled(data, 320, &size);
    if (image.isNull())
        return {{}, QStringLiteral("Cannot decode current observation.")};
    const int fullWidth = size.width(), fullHeight = size.height();
#else
    QBuffer buffer(&data);
    QImageReader reader(&buffer);
    const QSize size = reader.size();
    const int fullWidth = size.width(), fullHeight = size.height();
    if (fullWidth > 0 && fullHeight > 0)
        reader.setScaledSize(QSize(320, std::max(1, int(qint64(fullHeight) * 320 / fullWidth))));
    const QImage image = fullWidth > 0 && fullHeight > 0 ? reader.read() : QImage();
    if (image.isNull())
        return {{}, QStringLiteral("Cannot decode current observation.")};
#endif
    if (fullWidth <= 0 || fullHeight <= 0)
        return {{}, QStringLiteral("Cannot decode current observation.")};
    const int h = int(std::max<qint64>(1, qint64(fullHeight) * 320 / fullWidth));
    QImage canvas(320, h, QImage::Format_RGBA8888_Premultiplied);
    if (canvas.isNull())
        return {{}, QStringLiteral("Cannot sample current observation.")};
    canvas.fill(Qt::transparent);
    if (image.size() == canvas.size() && image.format() == QImage::Format_RGBA8888) {
        // Opaque pixels: premultiplied is the same.
        for (int y = 0; y < h; ++y)
            std::memcpy(canvas.scanLine(y), image.constScanLine(y), size_t(320) * 4);
    } else {
        QPainter painter(&canvas);
        painter.setRenderHint(QPainter::SmoothPixmapTransform);
        painter.drawImage(QRectF(0, 0, 320, h), image);
    }
    QByteArray out;
    out.reserve(qsizetype(320) * h * 4);
    for (int y = 0; y < h; ++y)
        out.append(reinterpret_cast<const char*>(canvas.constScanLine(y)), 320 * 4);
    return {out, {}};
}

QByteArray join(const QList<AutopilotObservationSample>& samples)
{
    QByteArray out;
    for (const AutopilotObservationSample& s : samples) {
        if (!s.failure.isEmpty())
            throw autopilotError(30, s.failure);
        out += s.bytes;
    }
    return out;
}

} // namespace

QByteArray autopilotObservationImage(const ScreenCapturePayloads& captures)
{
    QList<AutopilotObservationSample> samples;
    for (const ScreenCapturePayload* c : byDisplay(captures))
        samples << sample(c->imageData);
    return join(samples);
}

AutopilotObservationJob startAutopilotObservation(const ScreenCapturePayloads& captures,
                                                  const AutopilotObservationMemo* memo)
{
    AutopilotObservationJob job;
    for (const ScreenCapturePayload* c : byDisplay(captures)) {
        AutopilotObservationPart part{c->displayID, c->imageData, {}};
        const auto kept = memo ? memo->value(c->displayID) : std::pair<QByteArray, QByteArray>();
        if (!kept.first.isEmpty() && kept.first == c->imageData)
            part.sample = QtFuture::makeReadyFuture(AutopilotObservationSample{kept.second, {}});
        else
            part.sample = QtConcurrent::run(sample, c->imageData);
        job << part;
    }
    return job;
}

QCoro::Task<QByteArray> finishAutopilotObservation(AutopilotObservationJob job, AutopilotObservationMemo* memo)
{
    QList<AutopilotObservationSample> samples;
    for (AutopilotObservationPart& part : job) {
        samples << co_await part.sample;
        if (memo && samples.back().failure.isEmpty())
            memo->insert(part.displayID, {part.jpeg, samples.back().bytes});
    }
    co_return join(samples);
}

} // namespace tovrik
