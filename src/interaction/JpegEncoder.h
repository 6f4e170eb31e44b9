#pragma once

#include <QByteArray>
#include <QImage>
#include <QSize>

namespace tovrik::jpeg {

// The quality every screenshot is encoded with.
inline constexpr int screenshotQuality = 80;
// No screenshot sent to the model is larger than this on its longest side.
inline constexpr int maxScreenshotDimension = 2560;

// The size a native frame is sent at: scaled down (aspect kept, rounded) so
// its longest side is at most maxScreenshotDimension; never scaled up.
QSize screenshotSize(QSize native);

// Encodes `image` as a baseline JPEG (4:2:0). Uses libjpeg-turbo when the
// build has it, Qt's writer otherwise. Empty on failure (null image, encoder
// error). Safe to call from any thread.
QByteArray encode(const QImage& image, int quality = screenshotQuality);

// Scales `native` to screenshotSize() and encodes it; `scaledSize` receives
// the encoded size. Safe to call from any thread.
QByteArray encodeScreenshot(const QImage& native, QSize* scaledSize = nullptr);

// True when the fast encoder is compiled in.
bool usesTurboJpeg();

} // namespace tovrik::jpeg
