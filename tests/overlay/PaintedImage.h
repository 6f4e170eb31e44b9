#pragma once

// Painting (or rendering a widget) into a clear premultiplied image and
// measuring what was drawn.

#include <QImage>
#include <QPainter>
#include <QWidget>
#include <cstdlib>
#include <functional>

namespace tovrik::test {

inline QImage painted(QSize size, const std::function<void(QPainter&)>& paint)
{
    QImage image(size, QImage::Format_ARGB32_Premultiplied);
    image.fill(Qt::transparent);
    QPainter painter(&image);
    paint(painter);
    return image;
}

inline QImage rendered(QWidget* widget)
{
    return painted(widget->size(), [&](QPainter& p) { widget->render(&p, QPoint(), QRegion(), QWidget::DrawChildren); });
}

// Pixels of `area` (all of the image when null) for which `is` holds.
inline int countPixels(const QImage& image, const std::function<bool(QRgb)>& is, QRect area = QRect())
{
    area = area.isNull() ? image.rect() : area & image.rect();
    int n = 0;
    for (int y = area.top(); y <= area.bottom(); ++y)
        for (int x = area.left(); x <= area.right(); ++x)
            n += is(image.pixel(x, y));
    return n;
}

// The bounding box of the pixels drawn (null when none is).
inline QRect inkBounds(const QImage& image)
{
    QRect box;
    for (int y = 0; y < image.height(); ++y)
        for (int x = 0; x < image.width(); ++x)
            if (qAlpha(image.pixel(x, y)) > 0)
                box |= QRect(x, y, 1, 1);
    return box;
}

inline int alphaAt(const QImage& image, int x, int y) { return qAlpha(image.pixel(x, y)); }

inline bool isWhite(QRgb rgb) { return qRed(rgb) > 200; }

// A premultiplied pixel whose colour is `expected` within `tolerance`.
inline bool isColour(QRgb premultiplied, QColor expected, int tolerance = 6)
{
    const QColor c = QColor::fromRgba(qUnpremultiply(premultiplied));
    return std::abs(c.red() - expected.red()) <= tolerance && std::abs(c.green() - expected.green()) <= tolerance
        && std::abs(c.blue() - expected.blue()) <= tolerance;
}

} // namespace tovrik::test
