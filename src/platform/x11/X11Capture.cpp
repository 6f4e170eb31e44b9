#include "platform/x11/X11Capture.h"

#include "platform/x11/X11Displays.h"

#include <QElapsedTimer>
#include <QRegion>
#include <QSet>
#include <QThread>
#include <algorithm>
#include <cstring>
#include <poll.h>
#include <sys/ipc.h>
#include <sys/shm.h>
#include <unistd.h>
#include <xcb/damage.h>
#include <xcb/shm.h>

namespace tovrik::platform::x11 {

namespace {

// Copies 32-bit ZPixmap rows (BGRX in memory on a little-endian server)
// into an opaque RGB32 image.
QImage imageFromZPixmap(const uint8_t* data, size_t size, int width, int height)
{
    const size_t stride = size_t(width) * 4;
    if (size < stride * size_t(height))
        return {};
    QImage image(width, height, QImage::Format_RGB32);
    if (image.isNull())
        return {};
    for (int y = 0; y < height; ++y) {
        const auto* src = reinterpret_cast<const uint32_t*>(data + stride * size_t(y));
        auto* dst = reinterpret_cast<uint32_t*>(image.scanLine(y));
        for (int x = 0; x < width; ++x)
            dst[x] = src[x] | 0xff000000u;
    }
    return image;
}

} // namespace

// The capture's connection as the segments see it: gone once the capture
// is, so a segment that outlives it only unmaps its memory (the server
// detached it when the connection closed).
struct X11Capture::Owner {
    std::mutex mutex;
    xcb_connection_t* conn = nullptr;
};

struct X11Capture::Segment {
    std::weak_ptr<Owner> owner;
    uint32_t seg = 0;
    uint8_t* addr = nullptr;
    size_t size = 0;
    ~Segment()
    {
        if (auto o = owner.lock()) {
            std::lock_guard lock(o->mutex);
            if (o->conn) {
                xcb_shm_detach(o->conn, seg);
                xcb_flush(o->conn);
            }
        }
        if (addr)
            shmdt(addr);
    }
};

X11Capture::X11Capture(X11Displays& displays, bool sharedMemory)
    : m_displays(displays), m_conn(nullptr), m_owner(std::make_shared<Owner>())
{
    if (!m_conn.ok())
        return;
    m_owner->conn = m_conn;
    const xcb_setup_t* setup = xcb_get_setup(m_conn);
    const xcb_screen_t* screen = m_conn.screen();
    // Only the common true-colour layout is read: depth 24 or 32 at 32 bits
    // a pixel, red in the high byte, least significant byte first.
    if (screen && setup->image_byte_order == XCB_IMAGE_ORDER_LSB_FIRST
        && (screen->root_depth == 24 || screen->root_depth == 32)) {
        for (auto it = xcb_setup_pixmap_formats_iterator(setup); it.rem; xcb_format_next(&it))
            if (it.data->depth == screen->root_depth && it.data->bits_per_pixel == 32)
                m_formatOk = true;
        bool visualOk = false;
        for (auto d = xcb_screen_allowed_depths_iterator(screen); d.rem; xcb_depth_next(&d))
            for (auto v = xcb_depth_visuals_iterator(d.data); v.rem; xcb_visualtype_next(&v))
                if (v.data->visual_id == screen->root_visual)
                    visualOk = v.data->red_mask == 0xff0000 && v.data->green_mask == 0xff00 && v.data->blue_mask == 0xff;
        m_formatOk = m_formatOk && visualOk;
    }
    const auto* ext = xcb_get_extension_data(m_conn, &xcb_shm_id);
    if (sharedMemory && ext && ext->present) {
        XcbReply<xcb_shm_query_version_reply_t> version(
            xcb_shm_query_version_reply(m_conn, xcb_shm_query_version(m_conn), nullptr));
        m_shmAvailable = bool(version);
    }
    m_compositorSelection = internAtom(m_conn, ("_NET_WM_CM_S" + QByteArray::number(m_conn.screenNumber())).constData());
    m_activeWindowAtom = internAtom(m_conn, "_NET_ACTIVE_WINDOW");
    m_wmNameAtom = internAtom(m_conn, "_NET_WM_NAME");
    m_utf8StringAtom = internAtom(m_conn, "UTF8_STRING");
    m_wmPidAtom = internAtom(m_conn, "_NET_WM_PID");
    const auto* damage = xcb_get_extension_data(m_conn, &xcb_damage_id);
    if (damage && damage->present) {
        XcbReply<xcb_damage_query_version_reply_t> version(xcb_damage_query_version_reply(
            m_conn, xcb_damage_query_version(m_conn, XCB_DAMAGE_MAJOR_VERSION, XCB_DAMAGE_MINOR_VERSION), nullptr));
        m_hasDamage = bool(version);
    }
}

X11Capture::~X11Capture()
{
    std::lock_guard lock(m_mutex);
    stopWatching();
    dropSegments();
    std::lock_guard ownerLock(m_owner->mutex);
    m_owner->conn = nullptr;
}

int X11Capture::segmentCount() const
{
    std::lock_guard lock(m_mutex);
    return int(m_segments.size());
}

void X11Capture::dropSegments() { m_segments.clear(); }

void X11Capture::releaseBuffers()
{
    std::lock_guard lock(m_mutex);
    // A segment an image still holds stays until that image is gone.
    m_segments.erase(std::remove_if(m_segments.begin(), m_segments.end(), [](const auto& s) { return s.use_count() == 1; }),
                     m_segments.end());
}

std::shared_ptr<X11Capture::Segment> X11Capture::takeSegment(size_t bytes, bool* fresh)
{
    if (fresh)
        *fresh = false;
    // An idle segment (held by no image) that is large enough; the idle
    // ones that are not are given back.
    std::shared_ptr<Segment> found;
    for (auto it = m_segments.begin(); it != m_segments.end();) {
        if (it->use_count() == 1 && !found && (*it)->size >= bytes) {
            found = *it++;
        } else if (it->use_count() == 1 && (*it)->size < bytes) {
            it = m_segments.erase(it);
        } else {
            ++it;
        }
    }
    if (found)
        return found;
    const int id = shmget(IPC_PRIVATE, bytes, IPC_CREAT | 0600);
    if (id < 0)
        return nullptr;
    void* addr = shmat(id, nullptr, 0);
    if (addr == reinterpret_cast<void*>(-1)) {
        shmctl(id, IPC_RMID, nullptr);
        return nullptr;
    }
    const uint32_t seg = xcb_generate_id(m_conn);
    // Read-write: GetImage has the server write into the segment.
    XcbReply<xcb_generic_error_t> error(xcb_request_check(m_conn, xcb_shm_attach_checked(m_conn, seg, uint32_t(id), 0)));
    // Marked for removal now: the segment disappears once both sides detach,
    // even if the process dies.
    shmctl(id, IPC_RMID, nullptr);
    if (error) {
        shmdt(addr);
        return nullptr;
    }
    auto segment = std::make_shared<Segment>();
    segment->owner = m_owner;
    segment->seg = seg;
    segment->addr = static_cast<uint8_t*>(addr);
    segment->size = bytes;
    m_segments.push_back(segment);
    if (fresh)
        *fresh = true;
    return segment;
}

void X11Capture::warmBuffers(const QList<uint32_t>& displayIDs)
{
    QList<QRect> rects;
    for (uint32_t id : displayIDs)
        if (const QRect r = m_displays.pixelRect(id); !r.isEmpty())
            rects << r;
    std::lock_guard lock(m_mutex);
    if (!m_conn.ok() || !m_formatOk || !m_shmAvailable)
        return;
    const auto* screen = m_conn.screen();
    const QRect root(0, 0, screen->width_in_pixels, screen->height_in_pixels);
    // Held until the end, so that each display gets a segment of its own.
    std::vector<std::shared_ptr<Segment>> taken;
    for (const QRect& r : rects) {
        if (!root.contains(r))
            continue;
        const size_t bytes = size_t(r.width()) * 4 * size_t(r.height());
        bool fresh = false;
        auto segment = takeSegment(bytes, &fresh);
        if (!segment)
            return;
        taken.push_back(segment);
        if (!fresh)
            continue;
        // A new segment's pages exist nowhere yet: the server's write maps
        // them on its side (what it writes is overwritten by the capture
        // that uses the segment), then one read a page maps them on ours.
        XcbReply<xcb_shm_get_image_reply_t> reply(xcb_shm_get_image_reply(
            m_conn,
            xcb_shm_get_image(m_conn, m_conn.root(), int16_t(r.x()), int16_t(r.y()), uint16_t(r.width()),
                              uint16_t(r.height()), ~0u, XCB_IMAGE_FORMAT_Z_PIXMAP, segment->seg, 0),
            nullptr));
        const long page = std::max(4096L, sysconf(_SC_PAGESIZE));
        uint8_t sum = 0;
        for (size_t at = 0; at < bytes; at += size_t(page))
            sum ^= static_cast<volatile const uint8_t*>(segment->addr)[at];
        (void)sum;
    }
}

QImage X11Capture::captureShm(QRect r)
{
    const size_t stride = size_t(r.width()) * 4;
    auto segment = takeSegment(stride * size_t(r.height()));
    if (!segment)
        return {};
    // The segment's lock is ours while the server writes into it.
    XcbReply<xcb_shm_get_image_reply_t> reply(xcb_shm_get_image_reply(
        m_conn,
        xcb_shm_get_image(m_conn, m_conn.root(), int16_t(r.x()), int16_t(r.y()), uint16_t(r.width()),
                          uint16_t(r.height()), ~0u, XCB_IMAGE_FORMAT_Z_PIXMAP, segment->seg, 0),
        nullptr));
    if (!reply || reply->size < stride * size_t(r.height()))
        return {};
    // The image holds the segment until its last copy is gone.
    auto* hold = new std::shared_ptr<Segment>(segment);
    return QImage(
        segment->addr, r.width(), r.height(), qsizetype(stride), QImage::Format_RGB32,
        [](void* info) { delete static_cast<std::shared_ptr<Segment>*>(info); }, hold);
}

QImage X11Capture::captureGetImage(QRect r)
{
    XcbReply<xcb_get_image_reply_t> reply(xcb_get_image_reply(
        m_conn,
        xcb_get_image(m_conn, XCB_IMAGE_FORMAT_Z_PIXMAP, m_conn.root(), int16_t(r.x()), int16_t(r.y()),
                      uint16_t(r.width()), uint16_t(r.height()), ~0u),
        nullptr));
    if (!reply)
        return {};
    return imageFromZPixmap(xcb_get_image_data(reply.get()), size_t(xcb_get_image_data_length(reply.get())),
                            r.width(), r.height());
}

bool X11Capture::isConnected() const
{
    std::lock_guard lock(m_mutex);
    return m_conn.ok();
}

QImage X11Capture::captureRootRect(QRect r)
{
    std::lock_guard lock(m_mutex);
    if (!m_conn.ok() || !m_formatOk || r.isEmpty())
        return {};
    const auto* screen = m_conn.screen();
    const QRect root(0, 0, screen->width_in_pixels, screen->height_in_pixels);
    if (!root.contains(r))
        return {};
    if (m_shmAvailable) {
        QImage image = captureShm(r);
        if (!image.isNull())
            return image;
        // A server that cannot reach our memory (e.g. another host): stop
        // trying shared memory.
        dropSegments();
        m_shmAvailable = false;
    }
    return captureGetImage(r);
}

QImage X11Capture::captureDisplay(uint32_t displayID)
{
    const QRect r = m_displays.pixelRect(displayID);
    if (r.isEmpty())
        return {};
    return captureRootRect(r);
}

std::vector<std::optional<uint32_t>> X11Capture::readProbes(const std::vector<Probe>& probes)
{
    std::vector<xcb_get_image_cookie_t> cookies;
    cookies.reserve(probes.size());
    for (const auto& p : probes)
        cookies.push_back(xcb_get_image(m_conn, XCB_IMAGE_FORMAT_Z_PIXMAP, m_conn.root(), int16_t(p.root.x()),
                                        int16_t(p.root.y()), 1, 1, ~0u));
    std::vector<std::optional<uint32_t>> colours;
    colours.reserve(probes.size());
    for (auto cookie : cookies) {
        XcbReply<xcb_get_image_reply_t> reply(xcb_get_image_reply(m_conn, cookie, nullptr));
        if (!reply || xcb_get_image_data_length(reply.get()) < 4) {
            colours.emplace_back();
            continue;
        }
        uint32_t pixel = 0;
        std::memcpy(&pixel, xcb_get_image_data(reply.get()), 4);
        colours.emplace_back(pixel | 0xff000000u);
    }
    return colours;
}

void X11Capture::watchRepaints(const QList<RepaintProbe>& leaving)
{
    std::lock_guard lock(m_mutex);
    m_probes.clear();
    if (!m_conn.ok() || !m_hasDamage)
        return;
    stopWatching();
    m_damage = xcb_generate_id(m_conn);
    xcb_damage_create(m_conn, m_damage, m_conn.root(), XCB_DAMAGE_REPORT_LEVEL_RAW_RECTANGLES);
    xcb_flush(m_conn);
    if (!m_formatOk)
        return;
    const auto* screen = m_conn.screen();
    const QRect root(0, 0, screen->width_in_pixels, screen->height_in_pixels);
    std::vector<Probe> probes;
    for (const auto& p : leaving) {
        const QRect display = m_displays.pixelRect(p.displayID);
        const QPoint at = display.topLeft() + p.pixel;
        if (int(probes.size()) < maxProbes && display.contains(at) && root.contains(at))
            probes.push_back({at, p.color | 0xff000000u, p.displayID});
    }
    // Only what the screen shows now tells a late frame from a new one.
    const auto shown = readProbes(probes);
    for (size_t i = 0; i < probes.size(); ++i)
        if (shown[i] == probes[i].color)
            m_probes.push_back(probes[i]);
}

void X11Capture::stopWatching()
{
    m_probes.clear();
    if (!m_damage)
        return;
    xcb_damage_destroy(m_conn, m_damage);
    m_damage = 0;
    m_conn.sync();
    while (auto* ev = xcb_poll_for_event(m_conn))
        std::free(ev);
}

void X11Capture::synchronize(const QList<uint32_t>& vacatedDisplays)
{
    QList<VacatedArea> areas;
    for (uint32_t id : vacatedDisplays)
        areas.append({id, std::nullopt});
    synchronizeAreas(areas);
}

void X11Capture::synchronizeAreas(const QList<VacatedArea>& areas)
{
    QRegion vacated;
    for (const auto& area : areas) {
        const QRect display = m_displays.pixelRect(area.displayID);
        vacated += area.pixels ? area.pixels->translated(display.topLeft()).intersected(display) : QRegion(display);
    }
    if (!areas.isEmpty() && vacated.isEmpty()) {
        // The windows covered nothing: there is no repaint to wait for, only
        // the round trip.
        std::lock_guard lock(m_mutex);
        if (m_conn.ok())
            m_conn.sync();
        stopWatching();
        return;
    }
    waitForRepaint(vacated);
}

void X11Capture::waitForRepaint(const QRegion& vacated)
{
    std::lock_guard lock(m_mutex);
    if (!m_conn.ok())
        return;
    // Asking who owns the compositor selection is the round trip that puts
    // the server past every request made so far.
    XcbReply<xcb_get_selection_owner_reply_t> owner(
        xcb_get_selection_owner_reply(m_conn, xcb_get_selection_owner(m_conn, m_compositorSelection), nullptr));
    if (xcb_connection_has_error(m_conn))
        return;
    const bool compositor = owner && owner->owner != XCB_WINDOW_NONE;
    if (!compositor || !m_hasDamage) {
        if (compositor)
            QThread::msleep(50); // no way to see the repaint: give it three frames
        stopWatching();
        return;
    }
    // The compositor repaints what the windows covered: wait until what it
    // drew on the root covers every vacated display (without displays, for
    // the first repaint), then a round trip puts its drawing before ours.
    const bool watchedBefore = m_damage != 0;
    if (!watchedBefore) {
        m_damage = xcb_generate_id(m_conn);
        xcb_damage_create(m_conn, m_damage, m_conn.root(), XCB_DAMAGE_REPORT_LEVEL_RAW_RECTANGLES);
        xcb_flush(m_conn);
    }
    // A compositor that lags behind (a busy machine) may still be drawing
    // the windows as they were before they went: that drawing covers the
    // vacated displays too, and its repaint without them follows in its
    // next pass. So once they are covered, the probes are read after every
    // drawing until none shows the windows' colour. Without probes, or once
    // some have changed on every display while others keep their colour,
    // the repaint is taken when the root has been quiet for a moment. All
    // within the cap.
    QRegion pending = vacated;
    const uint8_t damageEvent = xcb_get_extension_data(m_conn, &xcb_damage_id)->first_event + XCB_DAMAGE_NOTIFY;
    bool any = false;
    bool drawnSinceProbed = true;
    // The displays with probes, and those where one has changed.
    QSet<uint32_t> probed, cleared;
    for (const auto& p : m_probes)
        probed << p.displayID;
    const bool probing = !m_probes.empty() && !vacated.isEmpty();
    QElapsedTimer elapsed;
    elapsed.start();
    qint64 lastDamageMs = 0;
    const int fd = xcb_get_file_descriptor(m_conn);
    for (;;) {
        while (auto* ev = xcb_poll_for_event(m_conn)) {
            if ((ev->response_type & 0x7f) == damageEvent) {
                const auto* d = reinterpret_cast<xcb_damage_notify_event_t*>(ev);
                const QRect area(d->area.x, d->area.y, d->area.width, d->area.height);
                pending -= area;
                any = true;
                drawnSinceProbed = true;
                if (vacated.isEmpty() || vacated.intersects(area))
                    lastDamageMs = elapsed.elapsed();
            }
            std::free(ev);
        }
        if (xcb_connection_has_error(m_conn))
            break;
        const qint64 cap = vacated.isEmpty() ? 50 : repaintWaitCapMs;
        qint64 left = cap - elapsed.elapsed();
        if (any && pending.isEmpty()) {
            if (probing && drawnSinceProbed) {
                drawnSinceProbed = false;
                const auto shown = readProbes(m_probes);
                std::vector<Probe> still;
                for (size_t i = 0; i < m_probes.size(); ++i) {
                    if (!shown[i] || *shown[i] == m_probes[i].color)
                        still.push_back(m_probes[i]);
                    else
                        cleared << m_probes[i].displayID;
                }
                m_probes = std::move(still);
                if (m_probes.empty())
                    break; // drawn again, and without the windows
                continue; // drawing that came meanwhile is read first
            }
            // While every probe of a display still shows the windows, what
            // was drawn there is a late frame: only the next drawing can
            // tell. Once some have changed on every display, one that has
            // not may be the same colour beneath.
            if (!probing || cleared.size() == probed.size()) {
                const qint64 quietLeft = lastDamageMs + repaintQuietMs - elapsed.elapsed();
                if (quietLeft <= 0)
                    break;
                left = std::min(left, quietLeft);
            }
        }
        if (left <= 0)
            break;
        pollfd pfd{fd, POLLIN, 0};
        ::poll(&pfd, 1, int(left));
    }
    stopWatching();
}

} // namespace tovrik::platform::x11
