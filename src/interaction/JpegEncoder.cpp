#include "interaction/JpegEncoder.h"

#include <QBuffer>
#include <QImageWriter>
#include <algorithm>
#include <cmath>

#if __has_include(<turbojpeg.h>)
#include <turbojpeg.h>
#define TOVRIK_HAVE_TURBOJPEG 1
#endif

namespace tovrik::jpeg {

QSize screenshotSize(QSize native)
{
    if (native.isEmpty())
        return {};
    const int longest = std::max(native.width(), native.height());
    if (longest <= maxScreenshotDimension)
        return native;
    const double factor = double(maxScreenshotDimension) / double(longest);
    const int w = std::clamp(int(std::lround(native.width() * factor)), 1, maxScreenshotDimension);
    const int h = std::clamp(int(std::lround(native.height() * factor)), 1, maxScreenshotDimension);
    return QSize(w, h);
}

bool usesTurboJpeg()
{
#ifdef TOVRIK_HAVE_TURBOJPEG
    return true;
#else
    return false;
#endif
}

#ifdef TOVRIK_HAVE_TURBOJPEG
namespace {
// One compressor per thread: creating one costs more than a small encode.
struct Compressor {
    tjhandle handle = tjInitCompress();
    ~Compressor()
    {
        if (handle)
            tjDestroy(handle);
    }
};
} // namespace
#endif

QByteArray encode(const QImage& image, int quality)
{
    if (image.isNull())
        return {};
    quality = std::clamp(quality, 1, 100);
#ifdef TOVRIK_HAVE_TURBOJPEG
    // Format_RGB32 and ARGB32 are B, G, R, X bytes on little-endian machines;
    // anything else is converted first.
    QImage source = image;
    int pixelFormat = TJPF_BGRX;
    if (source.format() == QImage::Format_RGBX8888 || source.format() == QImage::Format_RGBA8888)
        pixelFormat = TJPF_RGBX;
    else if (source.format() != QImage::Format_RGB32 && source.format() != QImage::Format_ARGB32)
        source = source.convertToFormat(QImage::Format_RGB32);
    if (Q_BYTE_ORDER != Q_LITTLE_ENDIAN && pixelFormat == TJPF_BGRX)
        pixelFormat = TJPF_XRGB;
    thread_local Compressor compressor;
    if (compressor.handle) {
        unsigned char* out = nullptr;
        unsigned long outSize = 0;
        const int rc = tjCompress2(compressor.handle, source.constBits(), source.width(), int(source.bytesPerLine()),
                                   source.height(), pixelFormat, &out, &outSize, TJSAMP_420, quality,
                                   TJFLAG_FASTDCT);
        QByteArray result;
        if (rc == 0 && out && outSize > 0)
            result = QByteArray(reinterpret_cast<const char*>(out), qsizetype(outSize));
        if (out)
            tjFree(out);
        if (!result.isEmpty())
            return result;
    }
#endif
    QByteArray bytes;
    QBuffer buffer(&bytes);
    buffer.open(QIODevice::WriteOnly);
    QImageWriter writer(&buffer, "jpeg");
    writer.setQuality(quality);
    if (!writer.write(image))
        return {};
    return bytes;
}

QByteArray encodeScreenshot(const QImage& native, QSize* scaledSize)
{
    if (native.isNull())
        return {};
    const QSize target = screenshotSize(native.size());
    const QImage scaled = target == native.size()
                              ? native
                              : native.scaled(target, Qt::IgnoreAspectRatio, Qt::SmoothTransformation);
    if (scaledSize)
        *scaledSize = scaled.size();
    return encode(scaled);
}

} // namespace tovrik::jpeg
