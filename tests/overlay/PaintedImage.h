#pragma once

// Painting into a clear premultiplied image and counting what was drawn.

#include <QImage>
#include <QPainter>
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

inline bool isWhite(QRgb rgb) { return qRed(rgb) > 200; }

} // namespace tovrik::test
