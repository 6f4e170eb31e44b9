#include "overlay/views/GaussianBlur.h"

#include <QPainter>
#include <cmath>
#include <vector>

namespace tovrik::overlay {

double blurSigma(double radius, double devicePixelRatio) { return std::max(radius, 0.0) / 2 * devicePixelRatio; }

double blurMargin(double radius) { return std::ceil(std::max(radius, 0.0) * 1.5) + 1; }

namespace {

std::vector<float> gaussianKernel(double sigma)
{
    const int half = std::max(1, int(std::ceil(sigma * 3)));
    std::vector<float> kernel(2 * half + 1);
    double sum = 0;
    for (int i = -half; i <= half; ++i) {
        const double w = std::exp(-(i * i) / (2 * sigma * sigma));
        kernel[i + half] = float(w);
        sum += w;
    }
    for (float& w : kernel)
        w = float(w / sum);
    return kernel;
}

// One pass along rows (horizontal) or columns; premultiplied channels, edges
// treated as transparent.
void blurPass(const QImage& source, QImage& target, const std::vector<float>& kernel, bool horizontal)
{
    const int half = int(kernel.size() / 2);
    const int w = source.width();
    const int h = source.height();
    const int outer = horizontal ? h : w;
    const int inner = horizontal ? w : h;
    for (int o = 0; o < outer; ++o) {
        for (int i = 0; i < inner; ++i) {
            float acc[4] = {0, 0, 0, 0};
            const int from = std::max(0, i - half);
            const int to = std::min(inner - 1, i + half);
            for (int k = from; k <= to; ++k) {
                const QRgb px = horizontal ? reinterpret_cast<const QRgb*>(source.constScanLine(o))[k]
                                           : reinterpret_cast<const QRgb*>(source.constScanLine(k))[o];
                if (px == 0)
                    continue;
                const float weight = kernel[k - i + half];
                acc[0] += weight * qAlpha(px);
                acc[1] += weight * qRed(px);
                acc[2] += weight * qGreen(px);
                acc[3] += weight * qBlue(px);
            }
            const auto channel = [](float v) { return int(std::lround(std::clamp(v, 0.0f, 255.0f))); };
            const int a = channel(acc[0]);
            const QRgb out = qRgba(std::min(channel(acc[1]), a), std::min(channel(acc[2]), a), std::min(channel(acc[3]), a), a);
            if (horizontal)
                reinterpret_cast<QRgb*>(target.scanLine(o))[i] = out;
            else
                reinterpret_cast<QRgb*>(target.scanLine(i))[o] = out;
        }
    }
}

} // namespace

QImage gaussianBlurred(const QImage& image, double sigma)
{
    QImage source = image.convertToFormat(QImage::Format_ARGB32_Premultiplied);
    if (!(sigma > 0) || source.isNull())
        return source;
    const auto kernel = gaussianKernel(sigma);
    QImage pass(source.size(), QImage::Format_ARGB32_Premultiplied);
    pass.fill(Qt::transparent);
    blurPass(source, pass, kernel, true);
    QImage result(source.size(), QImage::Format_ARGB32_Premultiplied);
    result.fill(Qt::transparent);
    blurPass(pass, result, kernel, false);
    result.setDevicePixelRatio(image.devicePixelRatio());
    return result;
}

QImage blurredShapeImage(const QPainterPath& shape, const QColor& color, double radius, double devicePixelRatio)
{
    const double margin = blurMargin(radius);
    const QRectF bounds = shape.boundingRect().adjusted(-margin, -margin, margin, margin);
    const QSize pixels(int(std::ceil(bounds.width() * devicePixelRatio)), int(std::ceil(bounds.height() * devicePixelRatio)));
    QImage image(pixels.expandedTo(QSize(1, 1)), QImage::Format_ARGB32_Premultiplied);
    image.fill(Qt::transparent);
    {
        QPainter p(&image);
        p.setRenderHint(QPainter::Antialiasing);
        p.scale(devicePixelRatio, devicePixelRatio);
        p.translate(-bounds.topLeft());
        p.fillPath(shape, color);
    }
    QImage blurred = gaussianBlurred(image, blurSigma(radius, devicePixelRatio));
    blurred.setDevicePixelRatio(devicePixelRatio);
    return blurred;
}

} // namespace tovrik::overlay
