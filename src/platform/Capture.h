#pragma once

#include <QImage>
#include <QList>
#include <QPoint>
#include <QRegion>
#include <QString>
#include <cstdint>
#include <optional>

namespace tovrik::platform {

// What the pointer's front application looks like, for capture payloads.
struct ForegroundInfo {
    int64_t processID = 0;
    QString bundleIdentifier;       // X11: the WM_CLASS class of the active window
    QString frontWindowSignature;   // stable text describing the active window
    QString focusedElementSignature;
};

// A pixel that windows about to leave the screen draw fully opaque: the
// display, the pixel's place in it (native pixels from its top-left corner)
// and its colour (0xffRRGGBB). While those windows are still on screen the
// display shows exactly that colour there.
struct RepaintProbe {
    uint32_t displayID = 0;
    QPoint pixel;
    uint32_t color = 0;
    friend bool operator==(const RepaintProbe&, const RepaintProbe&) = default;
};

// What windows that just left the screen covered on one display: native
// pixels from its top-left corner, or nullopt for the whole display.
struct VacatedArea {
    uint32_t displayID = 0;
    std::optional<QRegion> pixels;
};

class DisplayCapture {
public:
    virtual ~DisplayCapture() = default;
    // The display's pixels at native resolution (Format_RGB32, but the
    // fourth byte of a pixel may be anything: see opaqueCopy()); a null
    // image on failure. The image may share memory with the backend, which
    // takes it back only when the last copy of the image is gone.
    virtual QImage captureDisplay(uint32_t displayID) = 0;
    // Called before windows are taken off screen, so that synchronize()
    // can tell the repaint that follows from earlier ones. `leaving` are
    // opaque pixels of those windows: once the screen no longer shows them,
    // what is drawn there is a repaint without the windows.
    virtual void watchRepaints(const QList<RepaintProbe>& leaving = {}) { (void)leaving; }
    // Waits until the display server has processed every request made so
    // far and repainted; `vacatedDisplays` are the displays whose whole
    // area windows have just left (their repaint is waited for).
    virtual void synchronize(const QList<uint32_t>& vacatedDisplays = {}) = 0;
    // The same for windows that left only part of a display: the repaint
    // of those areas is waited for.
    virtual void synchronizeAreas(const QList<VacatedArea>& vacated)
    {
        QList<uint32_t> displays;
        for (const auto& area : vacated)
            if (!displays.contains(area.displayID))
                displays << area.displayID;
        synchronize(displays);
    }
    virtual ForegroundInfo foreground() = 0;
    // Gives back the buffers kept between captures (those no image holds).
    virtual void releaseBuffers() {}
    // Readies the buffers a capture of these displays will use, so that a
    // capture soon after finds them as warm as one in a run of captures.
    // Blocking, safe on any thread; changes nothing a capture shows.
    virtual void warmBuffers(const QList<uint32_t>& displayIDs) { (void)displayIDs; }
};

// A copy of a captured image with every pixel opaque (0xffRRGGBB), for code
// that draws it or reads its alpha.
inline QImage opaqueCopy(const QImage& image)
{
    QImage out(image.size(), QImage::Format_RGB32);
    if (out.isNull() || image.format() != QImage::Format_RGB32)
        return image.convertToFormat(QImage::Format_RGB32);
    for (int y = 0; y < image.height(); ++y) {
        const auto* src = reinterpret_cast<const uint32_t*>(image.constScanLine(y));
        auto* dst = reinterpret_cast<uint32_t*>(out.scanLine(y));
        for (int x = 0; x < image.width(); ++x)
            dst[x] = src[x] | 0xff000000u;
    }
    return out;
}

} // namespace tovrik::platform
