#include "autopilot/AutopilotObservation.h"

#include "autopilot/UIAutopilotParsing.h"

#include <QBuffer>
#include <QImage>
#include <QImageReader>
#include <QPainter>
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

QByteArray autopilotObservationImage(const ScreenCapturePayloads& captures)
{
    QList<const ScreenCapturePayload*> ordered;
    for (const ScreenCapturePayload& c : captures)
        ordered << &c;
    std::stable_sort(ordered.begin(), ordered.end(),
                     [](const ScreenCapturePayload* a, const ScreenCapturePayload* b) { return a->displayID < b->displayID; });

    QByteArray out;
    for (const ScreenCapturePayload* capture : ordered) {
        QByteArray data = capture->imageData;
        QBuffer buffer(&data);
        QImageReader reader(&buffer);
        const QSize size = reader.size();
        if (!size.isValid() || size.isEmpty())
            throw autopilotError(30, QStringLiteral("Cannot decode current observation."));
        const int h = std::max<qint64>(1, qint64(size.height()) * 320 / size.width());
        // Decoding straight at about the sample's size lets the JPEG decoder
        // skip most of the work; the sample is drawn from that image.
        if (size.width() > 640)
            reader.setScaledSize(QSize(640, std::max(1, int(qint64(size.height()) * 640 / size.width()))));
        const QImage image = reader.read();
        if (image.isNull())
            throw autopilotError(30, QStringLiteral("Cannot decode current observation."));
        QImage sample(320, h, QImage::Format_RGBA8888_Premultiplied);
        if (sample.isNull())
            throw autopilotError(30, QStringLiteral("Cannot sample current observation."));
        sample.fill(Qt::transparent);
        {
            QPainter painter(&sample);
            painter.setRenderHint(QPainter::SmoothPixmapTransform);
            painter.drawImage(QRectF(0, 0, 320, h), image);
        }
        for (int y = 0; y < h; ++y)
            out.append(reinterpret_cast<const char*>(sample.constScanLine(y)), 320 * 4);
    }
    return out;
}

} // namespace tovrik
