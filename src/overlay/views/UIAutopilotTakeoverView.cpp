#include "overlay/views/UIAutopilotTakeoverView.h"

#include "overlay/views/GaussianBlur.h"
#include "overlay/views/ImageCanvas.h"

#include <QCoreApplication>
#include <QFontMetricsF>
#include <QGuiApplication>
#include <QHash>
#include <QPainterPath>
#include <algorithm>
#include <cmath>
#include <optional>

namespace tovrik::overlay {

namespace {

// The band images per window size, made on first use and kept until
// releaseBandImages().
QHash<QString, QImage>& bandCache()
{
    static QHash<QString, QImage> cache;
    return cache;
}

QFont bannerFont(QFont::Weight weight)
{
    QFont f = QGuiApplication::font();
    f.setPixelSize(13);
    f.setWeight(weight);
    return f;
}

struct BannerLayout {
    double titleWidth = 0;
    double bulletWidth = 0;
    double hintWidth = 0;
    double lineHeight = 0;
    double ascent = 0;
};

BannerLayout measureBanner()
{
    const QFontMetricsF bold(bannerFont(QFont::DemiBold));
    const QFontMetricsF regular(bannerFont(QFont::Normal));
    BannerLayout l;
    l.titleWidth = bold.horizontalAdvance(UIAutopilotTakeoverView::titleText());
    l.hintWidth = bold.horizontalAdvance(UIAutopilotTakeoverView::hintText());
    l.bulletWidth = regular.horizontalAdvance(UIAutopilotTakeoverView::separatorText());
    l.lineHeight = std::max(bold.height(), regular.height());
    l.ascent = bold.ascent();
    return l;
}

// Measured once per application font (text shaping is costly per frame).
// Every frame asks for it, so the check is a plain comparison of fonts: a
// font's key is a string built anew at each call.
BannerLayout bannerLayout()
{
    static std::optional<QFont> measuredFor;
    static BannerLayout layout;
    const QFont font = QGuiApplication::font();
    if (!measuredFor || *measuredFor != font) {
        measuredFor = font;
        layout = measureBanner();
    }
    return layout;
}

QPainterPath roundedRect(const QRectF& r, double radius)
{
    QPainterPath path;
    path.addRoundedRect(r, radius, radius);
    return path;
}

// The banner (glow, fill, outline, dot and texts) drawn once into an image
// with the glow's margin around it.
QImage renderBanner(double dpr)
{
    using V = UIAutopilotTakeoverView;
    const BannerLayout l = bannerLayout();
    const QSizeF size = V::bannerSize();
    const double margin = blurMargin(V::bannerGlowBlur);
    QImage image(QSizeF((size.width() + 2 * margin) * dpr, (size.height() + 2 * margin) * dpr).toSize(),
                 QImage::Format_ARGB32_Premultiplied);
    image.setDevicePixelRatio(dpr);
    image.fill(Qt::transparent);
    ImageCanvas canvas(image);
    QPainter p(canvas.device());
    p.setRenderHint(QPainter::Antialiasing);
    p.setRenderHint(QPainter::TextAntialiasing);
    const QRectF rect(QPointF(margin, margin), size);
    const QPainterPath background = roundedRect(rect, V::bannerRadius);
    // The background's glow: the outline reaches half a point past the fill.
    p.setOpacity(0.62);
    p.drawImage(QPointF(0, 0) - QPointF(0.5, 0.5),
                blurredShapeImage(roundedRect(rect.adjusted(-0.5, -0.5, 0.5, 0.5), V::bannerRadius + 0.5),
                                  QColor(22, 139, 255), V::bannerGlowBlur, dpr));
    p.setOpacity(1);
    p.fillPath(background, V::bannerFillColor());
    p.setPen(QPen(V::bannerOutlineColor(), 1));
    p.setBrush(Qt::NoBrush);
    p.drawPath(background);

    const double rowTop = rect.top() + 9;
    const double rowMid = rowTop + l.lineHeight / 2;
    double x = rect.left() + 15;
    const QRectF dot(x, rowMid - V::dotDiameter / 2, V::dotDiameter, V::dotDiameter);
    QPainterPath dotPath;
    dotPath.addEllipse(dot);
    const double dotGlow = 6;
    p.setOpacity(0.8);
    p.drawImage(dot.topLeft() - QPointF(blurMargin(dotGlow), blurMargin(dotGlow)),
                blurredShapeImage(dotPath, Qt::white, dotGlow, dpr));
    p.setOpacity(1);
    p.fillPath(dotPath, QColor(234, 246, 255));
    x += V::dotDiameter + V::itemSpacing;
    const double baseline = rowTop + l.ascent;
    p.setFont(bannerFont(QFont::DemiBold));
    p.setPen(Qt::white);
    p.drawText(QPointF(x, baseline), V::titleText());
    x += l.titleWidth + V::itemSpacing;
    p.setFont(bannerFont(QFont::Normal));
    p.setPen(QColor(189, 229, 255));
    p.drawText(QPointF(x, baseline), V::separatorText());
    x += l.bulletWidth + V::itemSpacing;
    p.setFont(bannerFont(QFont::DemiBold));
    p.setPen(Qt::white);
    p.drawText(QPointF(x, baseline), V::hintText());
    return image;
}

const QImage& bannerImage(double dpr)
{
    static QHash<double, QImage> cache;
    auto it = cache.find(dpr);
    if (it == cache.end())
        it = cache.insert(dpr, renderBanner(dpr));
    return *it;
}

QTransform transitionTransform(QSizeF windowSize, double progress)
{
    const double scale = UIAutopilotTakeoverView::hiddenScale + (1 - UIAutopilotTakeoverView::hiddenScale) * progress;
    const double cx = windowSize.width() / 2;
    QTransform t;
    t.translate(cx, 0);
    t.scale(scale, scale);
    t.translate(-cx, 0);
    return t;
}

QRect outward(const QRectF& r) { return r.toAlignedRect().adjusted(-1, -1, 1, 1); }

// One band's gradient as a strip one pixel across (a band is the same all
// along its edge), drawn stretched over the band: much cheaper than filling
// the band with the gradient at every frame. `start` and `end` are the
// gradient's unit points in the band.
QImage bandStrip(QPointF start, QPointF end, double dpr)
{
    const bool horizontal = start.x() == end.x(); // a top or bottom band
    const int length = int(std::ceil(UIAutopilotTakeoverView::bandThickness * dpr));
    const QSize size = horizontal ? QSize(1, length) : QSize(length, 1);
    QImage strip(size, QImage::Format_ARGB32_Premultiplied);
    strip.fill(Qt::transparent);
    QPainter p(&strip);
    QLinearGradient g = takeoverEdgeGradient(start, end);
    g.setCoordinateMode(QGradient::LogicalMode);
    g.setStart(start.x() * size.width(), start.y() * size.height());
    g.setFinalStop(end.x() * size.width(), end.y() * size.height());
    p.fillRect(strip.rect(), g);
    return strip;
}

struct Band {
    QPointF start;
    QPointF end;
};
// Top, bottom, left and right: each brightest at its own screen edge.
constexpr Band kBands[4] = {{{0, 0}, {0, 1}}, {{0, 1}, {0, 0}}, {{0, 0}, {1, 0}}, {{1, 0}, {0, 0}}};

// A band as long as the window's edge, made from its strip once per size.
const QImage& bandImage(int band, double length, double dpr)
{
    auto& cache = bandCache();
    const QString key = QStringLiteral("%1:%2@%3").arg(band).arg(length).arg(dpr);
    auto it = cache.find(key);
    if (it == cache.end()) {
        if (cache.size() >= 16)
            cache.clear();
        const QImage strip = bandStrip(kBands[band].start, kBands[band].end, dpr);
        const int pixels = int(std::ceil(length * dpr));
        // The strip repeated along the edge (what scaling it up gives, pixel
        // for pixel, without a painter).
        const bool horizontal = band < 2;
        QImage image(horizontal ? QSize(pixels, strip.height()) : QSize(strip.width(), pixels),
                     QImage::Format_ARGB32_Premultiplied);
        const auto* across = reinterpret_cast<const QRgb*>(strip.constScanLine(0));
        for (int y = 0; y < image.height(); ++y) {
            auto* row = reinterpret_cast<QRgb*>(image.scanLine(y));
            if (horizontal)
                std::fill_n(row, image.width(), reinterpret_cast<const QRgb*>(strip.constScanLine(y))[0]);
            else
                std::copy_n(across, image.width(), row);
        }
        image.setDevicePixelRatio(dpr);
        it = cache.insert(key, image);
    }
    return *it;
}

} // namespace

QLinearGradient takeoverEdgeGradient(QPointF start, QPointF end)
{
    QLinearGradient g(start, end);
    g.setCoordinateMode(QGradient::ObjectMode);
    QColor c = UIAutopilotTakeoverView::edgeGlowColor();
    const std::pair<double, int> stops[] = {{0.0, 77}, {0.24, 28}, {0.56, 7}, {0.84, 0}, {1.0, 0}};
    for (const auto& [at, alpha] : stops) {
        c.setAlpha(alpha);
        g.setColorAt(at, c);
    }
    g.setSpread(QGradient::PadSpread);
    return g;
}

void UIAutopilotTakeoverView::releaseBandImages() { bandCache().clear(); }

qint64 UIAutopilotTakeoverView::bandImageBytes()
{
    qint64 bytes = 0;
    for (const QImage& image : std::as_const(bandCache()))
        bytes += image.sizeInBytes();
    return bytes;
}

QString UIAutopilotTakeoverView::titleText()
{
    return QCoreApplication::translate("UIAutopilotTakeoverView", "Tovrik is using your computer");
}

QString UIAutopilotTakeoverView::separatorText()
{
    return QCoreApplication::translate("UIAutopilotTakeoverView", "\u2022");
}

QString UIAutopilotTakeoverView::hintText()
{
    return QCoreApplication::translate("UIAutopilotTakeoverView", "Esc to stop");
}

QSizeF UIAutopilotTakeoverView::bannerSize()
{
    const BannerLayout l = bannerLayout();
    const double content = dotDiameter + l.titleWidth + l.bulletWidth + l.hintWidth + 3 * itemSpacing;
    return QSizeF(content + 15 + 15, std::max(l.lineHeight, dotDiameter) + 9 + 10);
}

QRectF UIAutopilotTakeoverView::bannerRect(QSizeF windowSize)
{
    const QSizeF size = bannerSize();
    return QRectF(QPointF((windowSize.width() - size.width()) / 2, bannerTop), size);
}

void UIAutopilotTakeoverView::paint(QPainter& painter, QSizeF windowSize, double progress)
{
    progress = std::clamp(progress, 0.0, 1.0);
    if (!(progress > 0))
        return;
    const double w = windowSize.width(), h = windowSize.height();
    // A repaint away from the edges and the banner (the autopilot cursor
    // moving over the screen, every frame) has nothing of the look in it.
    if (progress >= 1 && painter.hasClipping() && painter.worldTransform().isIdentity()) {
        const QRectF clip = painter.clipBoundingRect();
        const double m = blurMargin(bannerGlowBlur) + 1;
        const QRectF inside(bandThickness + 1, bandThickness + 1, w - 2 * bandThickness - 2, h - 2 * bandThickness - 2);
        if (inside.contains(clip) && !clip.intersects(bannerRect(windowSize).adjusted(-m, -m, m, m)))
            return;
    }
    painter.save();
    painter.setOpacity(painter.opacity() * progress);
    // Every part is an axis-aligned image or rectangle: each is mapped through
    // the transition's scale and drawn without a painter transform, which
    // keeps the painter on its fast paths for scaled images and rectangles.
    const QTransform t = transitionTransform(windowSize, progress) * painter.worldTransform();
    painter.resetTransform();
    const double b = bandThickness;
    const double dpr = painter.device() ? painter.device()->devicePixelRatioF() : 1.0;
    // Parts outside what is being repainted are skipped.
    const QRectF clip = painter.hasClipping() ? painter.clipBoundingRect() : QRectF(QPointF(0, 0), t.mapRect(QRectF(0, 0, w, h)).bottomRight());
    const auto wanted = [&clip](const QRectF& r) { return clip.intersects(r); };
    const QRectF bands[4] = {QRectF(0, 0, w, b), QRectF(0, h - b, w, b), QRectF(0, 0, b, h), QRectF(w - b, 0, b, h)};
    for (int i = 0; i < 4; ++i) {
        // A band is the same all along its edge: the scaled band is the
        // unscaled image cut to the scaled length and placed on whole pixels
        // (it keeps its thickness; the scale takes at most half a point off).
        const QRectF r = t.mapRect(bands[i]);
        if (!wanted(r))
            continue;
        const QImage& image = bandImage(i, i < 2 ? w : h, dpr);
        const QPointF at(std::round(r.left() * dpr) / dpr, std::round(r.top() * dpr) / dpr);
        const QPointF farEnd(std::round(r.right() * dpr) / dpr, std::round(r.bottom() * dpr) / dpr);
        const QRectF source = i < 2 ? QRectF(0, 0, (farEnd.x() - at.x()) * dpr, image.height())
                                    : QRectF(0, 0, image.width(), (farEnd.y() - at.y()) * dpr);
        // The bottom and right bands keep their outer edge where the scale put it.
        const QPointF place = i == 1 ? QPointF(at.x(), farEnd.y() - b) : i == 3 ? QPointF(farEnd.x() - b, at.y()) : at;
        painter.drawImage(place, image, source);
    }
    // The frame: a 2-point line centred 1 point inside the edges, mitred
    // corners, so it covers exactly the outermost 2 points.
    const double f = frameWidth;
    painter.setRenderHint(QPainter::Antialiasing);
    for (const QRectF& side : {QRectF(0, 0, w, f), QRectF(0, h - f, w, f), QRectF(0, f, f, h - 2 * f),
                               QRectF(w - f, f, f, h - 2 * f)}) {
        const QRectF r = t.mapRect(side);
        if (wanted(r))
            painter.fillRect(r, frameLineColor());
    }
    const double margin = blurMargin(bannerGlowBlur);
    const QRectF banner = bannerRect(windowSize).adjusted(-margin, -margin, margin, margin);
    QRectF target = t.mapRect(banner);
    if (wanted(target)) {
        // Fully shown, the banner lands on whole pixels so its text stays crisp.
        if (progress >= 1)
            target.moveTopLeft(QPointF(std::round(target.left()), std::round(target.top())));
        painter.drawImage(target, bannerImage(dpr));
    }
    painter.restore();
}

QRegion UIAutopilotTakeoverView::paintedRegion(QSizeF windowSize, double progress)
{
    if (!(progress > 0))
        return QRegion();
    const QTransform t = transitionTransform(windowSize, std::min(progress, 1.0));
    const double w = windowSize.width(), h = windowSize.height(), b = bandThickness;
    const double m = blurMargin(bannerGlowBlur) + 1;
    QRegion region;
    for (const QRectF& r : {QRectF(0, 0, w, b), QRectF(0, h - b, w, b), QRectF(0, 0, b, h), QRectF(w - b, 0, b, h),
                            bannerRect(windowSize).adjusted(-m, -m, m, m)})
        region += outward(t.mapRect(r));
    return region;
}

} // namespace tovrik::overlay
