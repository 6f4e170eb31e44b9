#include "overlay/views/CursorGuideIcon.h"

#include "common/Constants.h"
#include "overlay/views/CursorShapes.h"
#include "overlay/views/GaussianBlur.h"

#include <QHash>
#include <QLinearGradient>
#include <QRadialGradient>
#include <cmath>

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
    QPainter out(&result);
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

QImage TovrikCursorGuideIcon::render(double dpr, QPointF offset) const
{
    const double side = 2 * std::max(size, 0.0) + 1;
    const int pixels = std::max(1, int(std::ceil(side * dpr)));
    QImage image(pixels, pixels, QImage::Format_ARGB32_Premultiplied);
    image.fill(Qt::transparent);
    image.setDevicePixelRatio(dpr);
    if (!(size > 0))
        return image;
    const double p = clampedProgress();
    QPainter painter(&image);
    painter.setRenderHint(QPainter::Antialiasing);
    painter.translate(QPointF(size, size) + offset);
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
    const double dpr = std::max(1.0, painter.device() ? painter.device()->devicePixelRatioF() : 1.0)
                       * std::max(1.0, std::sqrt(std::abs(world.determinant())));
    const double half = std::max(size, 0.0);
    // Where the image's top-left lands. Under a plain translation an image is
    // drawn on whole pixels, so the sub-pixel part of the position (the
    // shift, a spring's in-between places) is drawn into the image instead.
    QPointF topLeft = centre + shift - QPointF(half, half);
    QPointF offset;
    if (world.type() <= QTransform::TxTranslate) {
        const QPointF device = world.map(topLeft);
        const QPointF whole(std::floor(device.x()), std::floor(device.y()));
        offset = device - whole;
        topLeft = world.inverted().map(whole);
    }
    // The last flattened glyph is kept: a glyph that does not change is
    // drawn again without re-rendering it.
    struct Cached {
        double angle = std::nan(""), size = 0, progress = 0, dpr = 0;
        QPointF offset;
        QImage image;
    };
    static Cached cached;
    const double p = clampedProgress();
    if (!(cached.angle == angle && cached.size == size && cached.progress == p && cached.dpr == dpr
          && cached.offset == offset)) {
        cached.image = render(dpr, offset);
        cached.angle = angle;
        cached.size = size;
        cached.progress = p;
        cached.dpr = dpr;
        cached.offset = offset;
    }
    const double side = 2 * half + 1;
    painter.drawImage(QRectF(topLeft.x(), topLeft.y(), side, side), cached.image);
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

void TovrikCursorHaloView::paint(QPainter& painter, QPointF centre)
{
    const double dpr = painter.device() ? painter.device()->devicePixelRatioF() : 1.0;
    const QImage& halo = image(dpr);
    const double side = frameSide + 2 * haloMargin();
    painter.drawImage(QRectF(centre.x() - side / 2, centre.y() - side / 2, side, side), halo);
}

} // namespace tovrik::overlay
