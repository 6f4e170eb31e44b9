#pragma once

#include "platform/Types.h"

#include <QByteArray>
#include <QImage>
#include <QList>
#include <QRectF>
#include <QSize>
#include <QString>
#include <cstdint>
#include <optional>

namespace tovrik {

// What was in front when the displays were captured: the active window's
// process, its class and stable descriptions of the window and the focused
// element.
struct ScreenCaptureForegroundContext {
    int64_t ownerProcessID = 0;
    QString ownerBundleIdentifier;
    QString frontWindowSignature;
    QString focusedElementSignature;
    bool operator==(const ScreenCaptureForegroundContext&) const = default;
};

// One captured display as the model and the agent loop see it.
struct ScreenCapturePayload {
    QByteArray imageData;                  // the JPEG sent to the model
    QSize pixelSize;                       // the JPEG's size in pixels
    QRectF screenFrame;                    // AppKit frame (points, y up)
    uint32_t displayID = 0;                // from the shared display registry
    QRectF displayBounds;                  // global display coordinates (points, y down)
    double scale = 1.0;                    // pixels per point
    double rotation = 0.0;                 // degrees
    quint64 screenConfigurationRevision = 0;
    QString displayConfigurationSignature;
    platform::DisplayInfo screen;          // the display as it was captured
    QString imageLabel;                    // the text sent beside the image
    int screenNumber = 0;                  // 1-based number shown to the model
    bool isCursorScreen = false;           // the pointer was on this display
    ScreenCaptureForegroundContext foregroundContext;
    std::optional<QImage> nativeImage;     // only when asked for
    QSize nativePixelSize;                 // always: the display's native size
};

using ScreenCapturePayloads = QList<ScreenCapturePayload>;

} // namespace tovrik
