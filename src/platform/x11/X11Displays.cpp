#include "platform/x11/X11Displays.h"

#include <QTimer>

#include <QMetaObject>
#include <QPointer>

#include <QGuiApplication>
#include <QScreen>
#include <QSet>
#include <QSocketNotifier>
#include <algorithm>
#include <cmath>
#include <xcb/randr.h>
#include <xcb/xfixes.h>

namespace tovrik::platform::x11 {

namespace {

double rotationDegrees(uint16_t rotation)
{
    if (rotation & XCB_RANDR_ROTATION_ROTATE_90)
        return 90.0;
    if (rotation & XCB_RANDR_ROTATION_ROTATE_180)
        return 180.0;
    if (rotation & XCB_RANDR_ROTATION_ROTATE_270)
        return 270.0;
    return 0.0;
}

bool sameDisplays(const QList<DisplayInfo>& a, const QList<DisplayInfo>& b)
{
    if (a.size() != b.size())
        return false;
    for (int i = 0; i < a.size(); ++i) {
        const auto& x = a[i];
        const auto& y = b[i];
        if (x.displayID != y.displayID || x.name != y.name || x.frame != y.frame || x.visibleFrame != y.visibleFrame
            || x.bounds != y.bounds || x.scale != y.scale || x.rotation != y.rotation || x.isMain != y.isMain)
            return false;
    }
    return true;
}

} // namespace

QList<DisplayInfo> makeDisplayInfos(QList<RawDisplay> raw, std::optional<QRect> workArea, double scale,
                                    QList<QRect>* pixelRects)
{
    if (pixelRects)
        pixelRects->clear();
    raw.erase(std::remove_if(raw.begin(), raw.end(), [](const RawDisplay& d) { return d.pixels.isEmpty(); }),
              raw.end());
    if (raw.isEmpty())
        return {};
    if (!(scale > 0.0) || !std::isfinite(scale))
        scale = 1.0;
    // Main: the primary, else the one at the root origin, else the first.
    int mainIndex = -1;
    for (int i = 0; i < raw.size() && mainIndex < 0; ++i)
        if (raw[i].primary)
            mainIndex = i;
    for (int i = 0; i < raw.size() && mainIndex < 0; ++i)
        if (raw[i].pixels.topLeft() == QPoint(0, 0))
            mainIndex = i;
    if (mainIndex < 0)
        mainIndex = 0;
    const RawDisplay main = raw.takeAt(mainIndex);
    std::stable_sort(raw.begin(), raw.end(), [](const RawDisplay& a, const RawDisplay& b) {
        return a.pixels.x() != b.pixels.x() ? a.pixels.x() < b.pixels.x() : a.pixels.y() < b.pixels.y();
    });
    raw.prepend(main);

    const QPoint origin = main.pixels.topLeft();
    auto toBounds = [&](const QRect& px) {
        return QRectF((px.x() - origin.x()) / scale, (px.y() - origin.y()) / scale, px.width() / scale,
                      px.height() / scale);
    };
    const double mainHeight = main.pixels.height() / scale;
    auto toFrame = [&](const QRectF& b) { return QRectF(b.x(), mainHeight - b.y() - b.height(), b.width(), b.height()); };

    QList<DisplayInfo> out;
    QSet<uint32_t> used;
    for (int i = 0; i < raw.size(); ++i) {
        const auto& r = raw[i];
        DisplayInfo d;
        d.displayID = stableDisplayID(r.name);
        // Two screens with one name (never on a sane server) still get
        // distinct ids.
        while (used.contains(d.displayID))
            d.displayID = stableDisplayID(r.name + '#' + QByteArray::number(d.displayID));
        used.insert(d.displayID);
        d.name = QString::fromUtf8(r.name);
        d.bounds = toBounds(r.pixels);
        d.frame = toFrame(d.bounds);
        d.visibleFrame = d.frame;
        if (workArea && !workArea->isEmpty()) {
            const QRect visible = r.pixels.intersected(*workArea);
            if (!visible.isEmpty())
                d.visibleFrame = toFrame(toBounds(visible));
        }
        d.scale = scale;
        d.rotation = r.rotation;
        d.isMain = (i == 0);
        d.isActive = true;
        out << d;
        if (pixelRects)
            *pixelRects << r.pixels;
    }
    return out;
}

X11Displays::X11Displays() : m_conn(nullptr), m_events(nullptr)
{
    if (!m_conn.ok())
        return;
    const auto* ext = xcb_get_extension_data(m_conn, &xcb_randr_id);
    if (ext && ext->present) {
        XcbReply<xcb_randr_query_version_reply_t> version(
            xcb_randr_query_version_reply(m_conn, xcb_randr_query_version(m_conn, 1, 5), nullptr));
        if (version) {
            m_hasRandr = version->major_version > 1 || version->minor_version >= 2;
            m_hasMonitors = version->major_version > 1 || version->minor_version >= 5;
        }
    }
    m_workAreaAtom = internAtom(m_conn, "_NET_WORKAREA");
    m_currentDesktopAtom = internAtom(m_conn, "_NET_CURRENT_DESKTOP");

    // Notifications arrive on a connection of their own that never waits
    // for a reply, so every event that reaches it wakes the socket notifier.
    if (m_events.ok() && QCoreApplication::instance()) {
        const xcb_window_t root = m_events.root();
        const auto* evExt = xcb_get_extension_data(m_events, &xcb_randr_id);
        if (m_hasRandr && evExt && evExt->present) {
            XcbReply<xcb_randr_query_version_reply_t> version(
                xcb_randr_query_version_reply(m_events, xcb_randr_query_version(m_events, 1, 5), nullptr));
            m_randrEventBase = evExt->first_event;
            xcb_randr_select_input(m_events, root,
                                   XCB_RANDR_NOTIFY_MASK_SCREEN_CHANGE | XCB_RANDR_NOTIFY_MASK_CRTC_CHANGE
                                       | XCB_RANDR_NOTIFY_MASK_OUTPUT_CHANGE);
        }
        // Children of the root mapped or restacked, and the compositor's
        // selection changing hands, are reported too (no polling for them).
        const uint32_t mask = XCB_EVENT_MASK_PROPERTY_CHANGE | XCB_EVENT_MASK_STRUCTURE_NOTIFY
            | XCB_EVENT_MASK_SUBSTRUCTURE_NOTIFY;
        xcb_change_window_attributes(m_events, root, XCB_CW_EVENT_MASK, &mask);
        const auto* fixes = xcb_get_extension_data(m_events, &xcb_xfixes_id);
        if (fixes && fixes->present) {
            XcbReply<xcb_xfixes_query_version_reply_t> version(
                xcb_xfixes_query_version_reply(m_events, xcb_xfixes_query_version(m_events, 5, 0), nullptr));
            if (version) {
                m_xfixesEventBase = fixes->first_event;
                const QByteArray name = "_NET_WM_CM_S" + QByteArray::number(m_events.screenNumber());
                xcb_xfixes_select_selection_input(m_events, root, internAtom(m_events, name.constData()),
                                                  XCB_XFIXES_SELECTION_EVENT_MASK_SET_SELECTION_OWNER
                                                      | XCB_XFIXES_SELECTION_EVENT_MASK_SELECTION_WINDOW_DESTROY
                                                      | XCB_XFIXES_SELECTION_EVENT_MASK_SELECTION_CLIENT_CLOSE);
                m_reportsDesktop = true;
            }
        }
        xcb_flush(m_events);
        m_notifier = new QSocketNotifier(xcb_get_file_descriptor(m_events), QSocketNotifier::Read, this);
        connect(m_notifier, &QSocketNotifier::activated, this, [this]() { onReadable(); });
    }
    refresh();
    std::lock_guard lock(m_mutex);
    // Nothing has changed yet: the first configuration is revision 1.
    m_revision = 1;
}

namespace {
// The latest location the tap saw, and whether a hop to the main thread
// waits to report it.
struct PendingMotion {
    std::mutex mutex;
    QPointF location;
    bool known = false;   // a location has been seen or read
    quint64 moves = 0;    // locations the tap reported
    bool queued = false;
};
} // namespace

// The running motion tap and what it saw.
struct X11Displays::MotionWatch {
    std::unique_ptr<EventTapSession> session;
    std::shared_ptr<PendingMotion> pending;
    bool seesEveryMotion = false;
    ~MotionWatch()
    {
        if (session)
            session->stop();
    }
};

X11Displays::~X11Displays()
{
    // The tap may not post to a registry that is gone.
    if (auto watch = m_motionWatch.lock())
        watch->session.reset();
}

std::shared_ptr<void> X11Displays::watchPointerMotion()
{
    if (auto watch = m_motionWatch.lock())
        return watch;
    if (!m_startTap)
        return nullptr;
    auto pending = std::make_shared<PendingMotion>();
    QPointer<X11Displays> self(this);
    auto watch = std::make_shared<MotionWatch>();
    watch->session = m_startTap([pending, self](const RawInputEvent& e) {
        if (e.type != RawInputEvent::Type::MouseMoved && e.type != RawInputEvent::Type::MouseDragged)
            return;
        std::lock_guard lock(pending->mutex);
        pending->location = e.location;
        pending->known = true;
        ++pending->moves;
        if (pending->queued)
            return;
        pending->queued = true;
        // At most one hop waits for the main thread; it takes the latest.
        QMetaObject::invokeMethod(
            self.data(),
            [pending, self]() {
                QPointF location;
                {
                    std::lock_guard lock(pending->mutex);
                    pending->queued = false;
                    location = pending->location;
                }
                if (self)
                    emit self->pointerMoved(location);
            },
            Qt::QueuedConnection);
    });
    if (!watch->session)
        return nullptr;
    watch->pending = pending;
    watch->seesEveryMotion = watch->session->seesEveryPointerMotion();
    m_motionWatch = watch;
    // The tap's thread selects its events a moment after this returns: a
    // move in between would go unseen until the next one, so the pointer is
    // read once that window has surely passed (and not again).
    for (const int ms : {50, 250})
        QTimer::singleShot(ms, this, [self, pending]() {
            if (!self || self->m_motionWatch.expired())
                return;
            quint64 movesBefore;
            {
                std::lock_guard lock(pending->mutex);
                movesBefore = pending->moves;
            }
            if (const auto location = self->readPointerLocation()) {
                {
                    // A move the tap reported meanwhile is newer than this.
                    std::lock_guard lock(pending->mutex);
                    if (pending->moves == movesBefore) {
                        pending->location = *location;
                        pending->known = true;
                    }
                }
                emit self->pointerMoved(*location);
            }
        });
    return watch;
}

std::optional<QPointF> X11Displays::watchedPointerLocation() const
{
    const auto watch = m_motionWatch.lock();
    if (!watch || !watch->seesEveryMotion || !watch->pending)
        return std::nullopt;
    std::lock_guard lock(watch->pending->mutex);
    if (!watch->pending->known)
        return std::nullopt;
    return watch->pending->location;
}

QList<DisplayInfo> X11Displays::displays() const
{
    std::lock_guard lock(m_mutex);
    return m_displays;
}

quint64 X11Displays::configurationRevision() const
{
    std::lock_guard lock(m_mutex);
    return m_revision;
}

QPoint CoordinateMapping::toRootPixels(QPointF p) const
{
    std::lock_guard lock(m_mutex);
    return QPoint(int(std::lround(m_mainOrigin.x() + p.x() * m_scale)),
                  int(std::lround(m_mainOrigin.y() + p.y() * m_scale)));
}

QPointF CoordinateMapping::fromRootPixels(QPointF px) const
{
    std::lock_guard lock(m_mutex);
    return QPointF((px.x() - m_mainOrigin.x()) / m_scale, (px.y() - m_mainOrigin.y()) / m_scale);
}

double CoordinateMapping::scale() const
{
    std::lock_guard lock(m_mutex);
    return m_scale;
}

void CoordinateMapping::set(QPoint mainOrigin, double scale)
{
    std::lock_guard lock(m_mutex);
    m_mainOrigin = mainOrigin;
    m_scale = scale;
}

QRect X11Displays::pixelRect(uint32_t displayID) const
{
    std::lock_guard lock(m_mutex);
    for (int i = 0; i < m_displays.size(); ++i)
        if (m_displays[i].displayID == displayID)
            return m_pixelRects[i];
    return {};
}

QPointF X11Displays::mainDisplayGlobalOrigin() const
{
    QRect pixels;
    {
        std::lock_guard lock(m_mutex);
        if (!m_pixelRects.isEmpty())
            pixels = m_pixelRects.first(); // the main display comes first
    }
    if (pixels.isEmpty())
        return Displays::mainDisplayGlobalOrigin();
    const double s = scale();
    return QPointF(pixels.topLeft()) / (s > 0 ? s : 1.0);
}

QPointF X11Displays::pointerLocation() const { return readPointerLocation().value_or(QPointF()); }

std::optional<QPointF> X11Displays::readPointerLocation() const
{
    if (!m_conn.ok())
        return std::nullopt;
    XcbReply<xcb_query_pointer_reply_t> reply(
        xcb_query_pointer_reply(m_conn, xcb_query_pointer(m_conn, m_conn.root()), nullptr));
    if (!reply)
        return std::nullopt;
    return fromRootPixels(QPointF(reply->root_x, reply->root_y));
}

QList<RawDisplay> X11Displays::queryRaw()
{
    QList<RawDisplay> out;
    const xcb_window_t root = m_conn.root();
    if (m_hasMonitors) {
        XcbReply<xcb_randr_get_monitors_reply_t> reply(
            xcb_randr_get_monitors_reply(m_conn, xcb_randr_get_monitors(m_conn, root, 1), nullptr));
        if (reply) {
            for (auto it = xcb_randr_get_monitors_monitors_iterator(reply.get()); it.rem;
                 xcb_randr_monitor_info_next(&it)) {
                const auto* m = it.data;
                RawDisplay d;
                d.name = atomName(m_conn, m->name);
                d.pixels = QRect(m->x, m->y, m->width, m->height);
                d.primary = m->primary;
                if (xcb_randr_monitor_info_outputs_length(m) > 0) {
                    const xcb_randr_output_t output = xcb_randr_monitor_info_outputs(m)[0];
                    XcbReply<xcb_randr_get_output_info_reply_t> info(xcb_randr_get_output_info_reply(
                        m_conn, xcb_randr_get_output_info(m_conn, output, XCB_CURRENT_TIME), nullptr));
                    if (info && info->crtc) {
                        XcbReply<xcb_randr_get_crtc_info_reply_t> crtc(xcb_randr_get_crtc_info_reply(
                            m_conn, xcb_randr_get_crtc_info(m_conn, info->crtc, XCB_CURRENT_TIME), nullptr));
                        if (crtc)
                            d.rotation = rotationDegrees(crtc->rotation);
                    }
                }
                out << d;
            }
        }
        if (!out.isEmpty())
            return out;
    }
    if (m_hasRandr) {
        XcbReply<xcb_randr_get_screen_resources_current_reply_t> res(xcb_randr_get_screen_resources_current_reply(
            m_conn, xcb_randr_get_screen_resources_current(m_conn, root), nullptr));
        XcbReply<xcb_randr_get_output_primary_reply_t> primary(
            xcb_randr_get_output_primary_reply(m_conn, xcb_randr_get_output_primary(m_conn, root), nullptr));
        if (res) {
            const auto* outputs = xcb_randr_get_screen_resources_current_outputs(res.get());
            const int count = xcb_randr_get_screen_resources_current_outputs_length(res.get());
            for (int i = 0; i < count; ++i) {
                XcbReply<xcb_randr_get_output_info_reply_t> info(xcb_randr_get_output_info_reply(
                    m_conn, xcb_randr_get_output_info(m_conn, outputs[i], res->config_timestamp), nullptr));
                if (!info || info->connection != XCB_RANDR_CONNECTION_CONNECTED || !info->crtc)
                    continue;
                XcbReply<xcb_randr_get_crtc_info_reply_t> crtc(xcb_randr_get_crtc_info_reply(
                    m_conn, xcb_randr_get_crtc_info(m_conn, info->crtc, res->config_timestamp), nullptr));
                if (!crtc || crtc->width == 0 || crtc->height == 0)
                    continue;
                RawDisplay d;
                d.name = QByteArray(reinterpret_cast<const char*>(xcb_randr_get_output_info_name(info.get())),
                                    xcb_randr_get_output_info_name_length(info.get()));
                d.pixels = QRect(crtc->x, crtc->y, crtc->width, crtc->height);
                d.primary = primary && primary->output == outputs[i];
                d.rotation = rotationDegrees(crtc->rotation);
                out << d;
            }
        }
        if (!out.isEmpty())
            return out;
    }
    if (auto* s = m_conn.screen()) {
        RawDisplay d;
        d.name = "screen" + QByteArray::number(m_conn.screenNumber());
        d.pixels = QRect(0, 0, s->width_in_pixels, s->height_in_pixels);
        d.primary = true;
        out << d;
    }
    return out;
}

std::optional<QRect> X11Displays::queryWorkArea()
{
    const auto area = getProperty(m_conn, m_conn.root(), m_workAreaAtom, XCB_ATOM_CARDINAL).cardinals();
    if (area.size() < 4)
        return std::nullopt;
    size_t desktop = 0;
    const auto current = getProperty(m_conn, m_conn.root(), m_currentDesktopAtom, XCB_ATOM_CARDINAL).cardinals();
    if (!current.empty() && (current[0] + 1) * 4 <= area.size())
        desktop = current[0];
    const auto* a = &area[desktop * 4];
    return QRect(int32_t(a[0]), int32_t(a[1]), int32_t(a[2]), int32_t(a[3]));
}

void X11Displays::refresh()
{
    if (!m_conn.ok())
        return;
    double scale = 1.0;
    if (auto* app = qobject_cast<QGuiApplication*>(QCoreApplication::instance()))
        if (auto* screen = app->primaryScreen())
            scale = screen->devicePixelRatio();
    QList<QRect> rects;
    const auto infos = makeDisplayInfos(queryRaw(), queryWorkArea(), scale, &rects);
    const QPoint origin = rects.isEmpty() ? QPoint() : rects.first().topLeft();
    bool changed = false;
    {
        std::lock_guard lock(m_mutex);
        changed = !sameDisplays(m_displays, infos) || m_mainOrigin != origin;
        m_displays = infos;
        m_pixelRects = rects;
        m_mainOrigin = origin;
        m_mapping->set(origin, scale);
        if (changed)
            ++m_revision;
    }
    if (changed)
        emit displaysChanged();
}

void X11Displays::onReadable()
{
    bool relevant = false;
    bool compositor = false;
    QList<quint64> restacked;
    const xcb_window_t root = m_events.root();
    while (auto* ev = xcb_poll_for_event(m_events)) {
        const uint8_t type = ev->response_type & 0x7f;
        if (m_hasRandr && (type == m_randrEventBase + XCB_RANDR_SCREEN_CHANGE_NOTIFY
                           || type == m_randrEventBase + XCB_RANDR_NOTIFY))
            relevant = true;
        else if (type == XCB_PROPERTY_NOTIFY) {
            const auto* p = reinterpret_cast<xcb_property_notify_event_t*>(ev);
            if (p->atom == m_workAreaAtom || p->atom == m_currentDesktopAtom)
                relevant = true;
        } else if (type == XCB_CONFIGURE_NOTIFY) {
            const auto* c = reinterpret_cast<xcb_configure_notify_event_t*>(ev);
            if (c->window == root)
                relevant = true;
            else if (!restacked.contains(c->window))
                restacked << c->window;
        } else if (type == XCB_MAP_NOTIFY) {
            const auto* m = reinterpret_cast<xcb_map_notify_event_t*>(ev);
            if (!restacked.contains(m->window))
                restacked << m->window;
        } else if (m_xfixesEventBase && type == m_xfixesEventBase + XCB_XFIXES_SELECTION_NOTIFY) {
            compositor = true;
        }
        std::free(ev);
    }
    if (xcb_connection_has_error(m_events) && m_notifier)
        m_notifier->setEnabled(false); // the server went away: nothing more will come
    if (relevant)
        refresh();
    if (compositor)
        emit compositorChanged();
    if (!restacked.isEmpty())
        emit windowsRestacked(restacked);
}

} // namespace tovrik::platform::x11
