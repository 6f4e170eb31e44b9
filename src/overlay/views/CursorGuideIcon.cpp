#include "overlay/views/CursorGuideIcon.h"

#include "common/Constants.h"
#include "overlay/views/CursorShapes.h"
#include "overlay/views/GaussianBlur.h"
#include "overlay/views/ImageCanvas.h"

#include <QHash>
#include <QLinearGradient>
#include <QRadialGradient>
#include <algorithm>
#include <cmath>
#include <vector>

namespace tovrik::overlay {

namespace {

QColor grey(int v, double opacity = 1.0)
{
    QColor c(v, v, v);
    c.setAlphaF(float(opacity));
    return c;
}

QColor rgba255(int r, int g, int b, int a) { return QColor(r, g, b, a); }

struct HaloDisc {
    double endRadius;
    double frame;
    double blur;
    QGradientStops stops;
};

QList<HaloDisc> haloDiscs()
{
    return {
        {54, 108, 8,
         {{0.00, rgba255(22, 139, 245, 66)}, {0.22, rgba255(23, 138, 245, 53)}, {0.44, rgba255(27, 135, 244, 36)},
          {0.62, rgba255(32, 128, 241, 20)}, {0.76, rgba255(36, 127, 240, 8)}, {0.88, rgba255(36, 127, 240, 0)},
          {1.00, rgba255(36, 127, 240, 0)}}},
        {36, 72, 10,
         {{0.00, rgba255(22, 139, 245, 82)}, {0.30, rgba255(22, 136, 244, 61)}, {0.62, rgba255(29, 132, 242, 32)},
          {1.00, rgba255(36, 127, 240, 0)}}},
        {20, 40, 8, {{0.00, rgba255(32, 152, 255, 92)}, {0.48, rgba255(22, 139, 245, 54)}, {1.00, rgba255(36, 127, 240, 0)}}},
    };
}

double haloMargin() { return blurMargin(10); }

QImage renderHalo(double dpr)
{
    const double margin = haloMargin();
    const double side = TovrikCursorHaloView::frameSide + 2 * margin;
    const int pixels = int(std::ceil(side * dpr));
    QImage result(pixels, pixels, QImage::Format_ARGB32_Premultiplied);
    result.fill(Qt::transparent);
    ImageCanvas canvas(result);
    QPainter out(canvas.device());
    out.scale(dpr, dpr);
    const QPointF centre(side / 2, side / 2);
    for (const HaloDisc& disc : haloDiscs()) {
        const double discMargin = blurMargin(disc.blur);
        const double discSide = disc.frame + 2 * discMargin;
        const int discPixels = int(std::ceil(discSide * dpr));
        QImage layer(discPixels, discPixels, QImage::Format_ARGB32_Premultiplied);
        layer.fill(Qt::transparent);
        {
            QPainter p(&layer);
            p.setRenderHint(QPainter::Antialiasing);
            p.scale(dpr, dpr);
            const QPointF c(discSide / 2, discSide / 2);
            QRadialGradient gradient(c, disc.endRadius);
            gradient.setStops(disc.stops);
            p.setPen(Qt::NoPen);
            p.setBrush(gradient);
            p.drawEllipse(c, disc.frame / 2, disc.frame / 2);
        }
        QImage blurred = gaussianBlurred(layer, blurSigma(disc.blur, dpr));
        out.drawImage(QRectF(centre.x() - discSide / 2, centre.y() - discSide / 2, discSide, discSide), blurred);
    }
    out.end();
    result.setDevicePixelRatio(dpr);
    return result;
}

} // namespace

double TovrikCursorGuideIcon::clampedProgress() const
{
    if (!(morphProgress > 0))
        return 0;
    return morphProgress > 1 ? 1 : morphProgress;
}

QImage TovrikCursorGuideIcon::render(double dpr, QPointF offset, double scale) const
{
    const double side = 2 * std::max(size, 0.0) * scale + 1;
    const int pixels = std::max(1, int(std::ceil(side * dpr)));
    QImage image(pixels, pixels, QImage::Format_ARGB32_Premultiplied);
    image.fill(Qt::transparent);
    image.setDevicePixelRatio(dpr);
    if (!(size > 0))
        return image;
    const double p = clampedProgress();
    ImageCanvas canvas(image);
    QPainter painter(canvas.device());
    painter.setRenderHint(QPainter::Antialiasing);
    painter.translate(QPointF(size, size) * scale + offset);
    painter.scale(scale, scale);
    painter.rotate(angle);
    painter.translate(-size / 2, -size / 2);
    const QRectF square(0, 0, size, size);
    const QPainterPath shape = TovrikMorphingCursorShape::path(square, p);
    if (p < 1) {
        QLinearGradient linear(QPointF(0.15 * size, 0.10 * size), QPointF(0.90 * size, 0.95 * size));
        linear.setStops({{0.00, grey(25)}, {0.52, grey(11)}, {1.00, grey(1)}});
        painter.setOpacity(1 - p);
        painter.fillPath(shape, linear);
    }
    if (p > 0) {
        QRadialGradient radial(QPointF(0.38 * size, 0.32 * size), 0.72 * size);
        radial.setStops({{0.00, grey(26)}, {0.55, grey(9)}, {1.00, grey(1)}});
        painter.setOpacity(p);
        painter.fillPath(shape, radial);
    }
    painter.setOpacity(1);
    QPen outline(constants::cursorGuideOutlineColor, outlineWidth(), Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin);
    outline.setMiterLimit(10);
    painter.strokePath(shape, outline);
    return image;
}

void TovrikCursorGuideIcon::paint(QPainter& painter, QPointF centre) const
{
    const QTransform& world = painter.worldTransform();
    const double deviceRatio = painter.device() ? painter.device()->devicePixelRatioF() : 1.0;
    const double half = std::max(size, 0.0);
    const bool uniform = world.type() <= QTransform::TxTranslate
        || (world.type() == QTransform::TxScale && world.m11() == world.m22() && world.m11() > 0);
    if (!uniform) {
        // Rotated or skewed by the parent: draw the flattened glyph through it.
        const double side = 2 * half + 1;
        const QPointF c = centre + shift;
        painter.drawImage(QRectF(c.x() - half, c.y() - half, side, side), render(deviceRatio));
        return;
    }
    // Under a translation and a uniform scale (the flight's swell) the glyph
    // is rendered at its final size and copied 1:1 onto whole pixels, the
    // sub-pixel part of its place drawn into the image: an image drawn
    // through a scale would be filtered, which costs far more.
    const double scale = world.type() == QTransform::TxScale ? world.m11() : 1.0;
    const QPointF device = world.map(centre) + shift * scale;
    const QPointF topLeft = device - QPointF(half, half) * scale;
    const QPointF whole(std::floor(topLeft.x()), std::floor(topLeft.y()));
    // The sub-pixel part in steps of 1/8 pixel (a step is not visible): a
    // glyph that follows the pointer at one heading finds its image among
    // the few kept, instead of rendering a new one every frame.
    const QPointF offset(std::round((topLeft.x() - whole.x()) * 8) / 8, std::round((topLeft.y() - whole.y()) * 8) / 8);
    struct Key {
        double angle, size, progress, dpr, scale, x, y;
        bool operator==(const Key&) const = default;
    };
    struct Cached {
        Key key;
        QImage image;
    };
    static std::vector<Cached> cache;
    const Key key{angle, size, clampedProgress(), deviceRatio, scale, offset.x(), offset.y()};
    auto it = std::find_if(cache.begin(), cache.end(), [&](const Cached& c) { return c.key == key; });
    if (it == cache.end()) {
        if (cache.size() >= 64)
            cache.erase(cache.begin());
        cache.push_back({key, render(deviceRatio, offset, scale)});
        it = cache.end() - 1;
    }
    const QImage& image = it->image;
    painter.save();
    painter.resetTransform();
    painter.setRenderHint(QPainter::SmoothPixmapTransform, false);
    painter.drawImage(whole, image);
    painter.restore();
}

const QImage& TovrikCursorHaloView::image(double dpr)
{
    static QHash<int, QImage> cache;
    const int key = int(std::lround(dpr * 100));
    auto it = cache.find(key);
    if (it == cache.end())
        it = cache.insert(key, renderHalo(dpr));
    return *it;
}

QRectF TovrikCursorHaloView::drawnBounds()
{
    static const QRectF bounds = [] {
        const QImage& halo = image(1.0);
        int left = halo.width(), top = halo.height(), right = -1, bottom = -1;
        for (int y = 0; y < halo.height(); ++y) {
            const auto* row = reinterpret_cast<const QRgb*>(halo.constScanLine(y));
            for (int x = 0; x < halo.width(); ++x)
                if (qAlpha(row[x]) > 0) {
                    left = std::min(left, x);
                    right = std::max(right, x);
                    top = std::min(top, y);
                    bottom = std::max(bottom, y);
                }
        }
        if (right < 0)
            return QRectF();
        const double half = halo.width() / 2.0;
        return QRectF(left - half, top - half, right - left + 1, bottom - top + 1);
    }();
    return bounds;
}

void TovrikCursorHaloView::paint(QPainter& painter, QPointF centre)
{
    const double dpr = painter.device() ? painter.device()->devicePixelRatioF() : 1.0;
    const QImage& halo = image(dpr);
    const double side = frameSide + 2 * haloMargin();
    const QTransform& world = painter.worldTransform();
    const double scale = world.m11();
    if (world.type() == QTransform::TxScale && world.m22() == scale && scale > 0) {
        // Mid-flight the halo swells by up to 16 %: drawn from a copy scaled
        // once per step of 1 %, placed on whole pixels (the glow is soft, a
        // step is not visible; filtering it every frame costs far more).
        static QHash<int, QImage> scaled;
        const int step = int(std::lround(scale * 100));
        const int key = step * 1000 + int(std::lround(dpr * 100));
        auto it = scaled.find(key);
        if (it == scaled.end()) {
            if (scaled.size() > 64)
                scaled.clear();
            const int pixels = int(std::lround(halo.width() * step / 100.0));
            QImage copy = halo.scaled(pixels, pixels, Qt::IgnoreAspectRatio, Qt::SmoothTransformation);
            copy.setDevicePixelRatio(dpr);
            it = scaled.insert(key, copy);
        }
        const QPointF device = world.map(centre);
        const double drawn = it->width() / dpr;
        painter.save();
        painter.resetTransform();
        painter.setRenderHint(QPainter::SmoothPixmapTransform, false);
        painter.drawImage(QPointF(std::round(device.x() - drawn / 2), std::round(device.y() - drawn / 2)), *it);
        painter.restore();
        return;
    }
    painter.drawImage(QRectF(centre.x() - side / 2, centre.y() - side / 2, side, side), halo);
}

} // namespace tovrik::overlay
