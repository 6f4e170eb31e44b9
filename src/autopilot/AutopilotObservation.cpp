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

// One display's sample; thread-safe (worker threads run it).
AutopilotObservationSample sample(QByteArray data)
{
    QBuffer buffer(&data);
    QImageReader reader(&buffer);
    const QSize size = reader.size();
    if (!size.isValid() || size.isEmpty())
        return {{}, QStringLiteral("Cannot decode current observation.")};
    const int h = int(std::max<qint64>(1, qint64(size.height()) * 320 / size.width()));
    // Decoding straight at the sample's size lets the JPEG decoder skip
    // most of its work (it scales while it decodes).
    reader.setScaledSize(QSize(320, h));
    const QImage image = reader.read();
    if (image.isNull())
        return {{}, QStringLiteral("Cannot decode current observation.")};
    QImage canvas(320, h, QImage::Format_RGBA8888_Premultiplied);
    if (canvas.isNull())
        return {{}, QStringLiteral("Cannot sample current observation.")};
    canvas.fill(Qt::transparent);
    {
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

AutopilotObservationJob startAutopilotObservation(const ScreenCapturePayloads& captures)
{
    AutopilotObservationJob job;
    for (const ScreenCapturePayload* c : byDisplay(captures))
        job << QtConcurrent::run(sample, c->imageData);
    return job;
}

QCoro::Task<QByteArray> finishAutopilotObservation(AutopilotObservationJob job)
{
    QList<AutopilotObservationSample> samples;
    for (QFuture<AutopilotObservationSample>& part : job)
        samples << co_await part;
    co_return join(samples);
}

} // namespace tovrik
