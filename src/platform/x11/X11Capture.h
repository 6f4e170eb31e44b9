#pragma once

// Display capture from the root window: MIT-SHM when the server offers it,
// else GetImage. Each display is its rectangle of the root at native
// resolution. With shared memory the image IS the segment the server wrote
// (no copy): each segment is lent to the images made from it and taken
// again only once the last of them is gone. The fourth byte of each pixel
// is whatever the server left there; JPEG encoders read the pixels as BGRX
// and platform::opaqueCopy() makes a copy that drawing code may use.
//
// Synchronisation: X11 cannot leave windows out of a capture, so callers
// take their windows off screen first. A round trip makes sure the server
// has processed the unmaps. With a compositor running, the screen changes
// only when the compositor repaints: watchRepaints(), called before the
// windows go, starts following what is drawn on the root (DAMAGE), and
// synchronize() then waits until the compositor has repainted the vacated
// displays (at most a short cap, for a compositor that draws elsewhere).
// A compositor that lags may first finish a frame it began with the windows
// still in it; that frame covers the displays too. So watchRepaints() also
// reads the opaque pixels the windows show (the probes), and synchronize()
// takes a repaint as the one without the windows only once none of those
// pixels shows the windows' colour any more. A probe the screen did not
// show before the windows went (the compositor not yet up to date, another
// window above) is dropped. Without probes, or when on every display some
// have changed and others keep their colour (the pixel beneath has the
// same), the repaint is taken once the root has been quiet for a moment;
// while all of a display's keep it, only the cap ends the wait.

#include "platform/Capture.h"
#include "platform/x11/Xcb.h"

#include <QRect>
#include <memory>
#include <mutex>
#include <optional>
#include <vector>

namespace tovrik::platform::x11 {

class X11Displays;

class X11Capture : public DisplayCapture {
public:
    // `sharedMemory` false reads every capture through GetImage.
    explicit X11Capture(X11Displays& displays, bool sharedMemory = true);
    ~X11Capture() override;

    QImage captureDisplay(uint32_t displayID) override;
    void watchRepaints(const QList<RepaintProbe>& leaving = {}) override;
    void synchronize(const QList<uint32_t>& vacatedDisplays = {}) override;
    void synchronizeAreas(const QList<VacatedArea>& vacated) override;
    ForegroundInfo foreground() override;
    void releaseBuffers() override;
    // One idle segment per display, written once by the server (its pages
    // mapped on both sides); a display that has one already costs nothing.
    void warmBuffers(const QList<uint32_t>& displayIDs) override;

    // A rectangle of the root window (pixels); null on failure or when the
    // rectangle lies outside the root.
    QImage captureRootRect(QRect pixels);
    bool usesSharedMemory() const { return m_shmAvailable; }
    // Whether the connection to the server is up (no request sent).
    bool isConnected() const;
    // Shared segments held now (lent or idle).
    int segmentCount() const;
    // The longest synchronize() waits for a compositor's repaint. It ends as
    // soon as the repaint is seen; the cap only matters for a compositor
    // slowed down by a busy machine, where a short one let overlay pixels
    // into the capture.
    static constexpr int repaintWaitCapMs = 500;
    // How long the root must stay quiet after the vacated displays were
    // repainted before the repaint is taken as the last one.
    static constexpr int repaintQuietMs = 12;
    // The most probes read per capture.
    static constexpr int maxProbes = 32;

    struct Segment;
    struct Owner;

private:
    std::shared_ptr<Segment> takeSegment(size_t bytes, bool* fresh = nullptr);
    void dropSegments();
    QImage captureShm(QRect r);
    QImage captureGetImage(QRect r);
    void stopWatching();
    void waitForRepaint(const QRegion& vacated);
    struct Probe {
        QPoint root;
        uint32_t color = 0;
        uint32_t displayID = 0;
    };
    // The root's colours (0xffRRGGBB) at the probes, in one round trip;
    // nullopt for a pixel that could not be read.
    std::vector<std::optional<uint32_t>> readProbes(const std::vector<Probe>& probes);

    X11Displays& m_displays;
    XcbConnection m_conn;
    mutable std::mutex m_mutex;
    bool m_formatOk = false;
    bool m_shmAvailable = false;
    bool m_hasDamage = false;
    uint32_t m_damage = 0;
    uint32_t m_compositorSelection = 0;
    // Atoms the foreground query reads, named once (they live as long as
    // the server).
    uint32_t m_activeWindowAtom = 0, m_wmNameAtom = 0, m_utf8StringAtom = 0, m_wmPidAtom = 0;
    std::vector<Probe> m_probes;
    std::shared_ptr<Owner> m_owner;
    std::vector<std::shared_ptr<Segment>> m_segments;
};


} // namespace tovrik::platform::x11
