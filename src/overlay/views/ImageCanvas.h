#pragma once

// Drawing into an image that is kept (a cached glyph, glow or band) without
// keeping a paint engine alive beside it.
//
// A QImage holds on to the raster engine of the last painter that drew into
// it until the image itself goes, and with it that engine's rasterizer,
// outline and stroker buffers: tens of KB once a path has been stroked, more
// than many of the images themselves. The canvas is a second image over the
// same pixels (same size, stride, format and device pixel ratio): a painter
// opened on it leaves its engine to the canvas, which takes it along when it
// goes, while the kept image holds the pixels only.
//
//   QImage image(size, QImage::Format_ARGB32_Premultiplied);
//   image.fill(Qt::transparent);
//   ImageCanvas canvas(image);
//   QPainter p(canvas.device()); // ends before the canvas goes
//
// The image must stay alive and unshared (not copied) while the canvas is.

#include <QImage>

namespace tovrik::overlay {

class ImageCanvas {
public:
    explicit ImageCanvas(QImage& image)
        : m_canvas(image.bits(), image.width(), image.height(), image.bytesPerLine(), image.format())
    {
        m_canvas.setDevicePixelRatio(image.devicePixelRatio());
    }
    ImageCanvas(const ImageCanvas&) = delete;
    ImageCanvas& operator=(const ImageCanvas&) = delete;

    QImage* device() { return &m_canvas; }

private:
    QImage m_canvas;
};

} // namespace tovrik::overlay
