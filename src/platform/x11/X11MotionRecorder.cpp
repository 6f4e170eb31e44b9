#include "platform/x11/X11MotionRecorder.h"

#include "platform/x11/X11EventTap.h"
#include "platform/x11/Xcb.h"

#include <QThread>
#include <atomic>
#include <cerrno>
#include <optional>
#include <poll.h>
#include <pthread.h>
#include <sys/eventfd.h>
#include <unistd.h>
#include <xcb/record.h>
#include <xcb/xcbext.h>

namespace tovrik::platform::x11 {

namespace {

struct RecorderState {
    XcbConnection control;
    XcbConnection data;
    uint32_t context = 0;
    unsigned int sequence = 0; // of the enable request, whose replies carry the data
    int wakeFd = -1;
    QByteArray threadName;
    std::function<QPointF(QPointF)> toPoints;
    std::function<void(const RawInputEvent&)> handler;

    ~RecorderState()
    {
        if (context && control.ok()) {
            xcb_record_disable_context(control, context);
            xcb_record_free_context(control, context);
            control.sync();
        }
        if (wakeFd >= 0)
            ::close(wakeFd);
    }

    // The root position of the last motion among the replies that have
    // arrived, if any. Device events come as 32-byte events, several to a
    // reply; the other categories (start and end of data) carry none.
    std::optional<QPoint> readMotion()
    {
        std::optional<QPoint> latest;
        void* raw = nullptr;
        xcb_generic_error_t* error = nullptr;
        while (xcb_poll_for_reply(data, sequence, &raw, &error)) {
            std::free(error);
            error = nullptr;
            auto* reply = static_cast<xcb_record_enable_context_reply_t*>(raw);
            raw = nullptr;
            if (!reply)
                continue;
            if (reply->category == 0 /* from the server */) {
                const uint8_t* bytes = xcb_record_enable_context_data(reply);
                const int length = xcb_record_enable_context_data_length(reply);
                for (int at = 0; at + 32 <= length; at += 32) {
                    const auto* e = reinterpret_cast<const xcb_motion_notify_event_t*>(bytes + at);
                    if ((e->response_type & 0x7f) == XCB_MOTION_NOTIFY)
                        latest = QPoint(e->root_x, e->root_y);
                }
            }
            std::free(reply);
        }
        return latest;
    }

    void run()
    {
        pthread_setname_np(pthread_self(), threadName.left(15).constData());
        pollfd fds[2] = {{xcb_get_file_descriptor(data), POLLIN, 0}, {wakeFd, POLLIN, 0}};
        for (;;) {
            if (const auto latest = readMotion()) {
                RawInputEvent e;
                e.type = RawInputEvent::Type::MouseMoved;
                e.location = toPoints(QPointF(*latest));
                try {
                    handler(e);
                } catch (...) {
                    // A handler's failure must not end the recorder.
                }
            }
            // A broken connection (the server went away) ends the recorder;
            // the pointer then simply stops being followed.
            if (xcb_connection_has_error(data))
                return;
            if (::poll(fds, 2, -1) < 0 && errno != EINTR)
                return;
            if (fds[1].revents & POLLIN)
                return;
        }
    }
};

class RecorderSession : public EventTapSession {
public:
    RecorderSession(std::shared_ptr<RecorderState> state, QThread* thread)
        : m_state(std::move(state)), m_thread(thread)
    {
    }
    ~RecorderSession() override { stop(); }

    void stop() override
    {
        if (m_thread)
            endListeningThread(m_thread, m_state->wakeFd);
    }
    bool seesEveryPointerMotion() const override { return true; }

private:
    std::shared_ptr<RecorderState> m_state;
    QThread* m_thread;
};

} // namespace

std::unique_ptr<EventTapSession> X11MotionRecorder::start(const QString& threadName,
                                                          std::function<QPointF(QPointF)> rootPixelsToPoints,
                                                          std::function<void(const RawInputEvent&)> handler)
{
    if (!handler || !rootPixelsToPoints)
        return nullptr;
    auto state = std::make_shared<RecorderState>();
    state->control = XcbConnection(nullptr);
    state->data = XcbConnection(nullptr);
    if (!state->control.ok() || !state->data.ok())
        return nullptr;
    const auto* ext = xcb_get_extension_data(state->control, &xcb_record_id);
    if (!ext || !ext->present)
        return nullptr;
    XcbReply<xcb_record_query_version_reply_t> version(
        xcb_record_query_version_reply(state->control, xcb_record_query_version(state->control, 1, 13), nullptr));
    if (!version)
        return nullptr;
    xcb_record_range_t range{};
    range.device_events.first = XCB_MOTION_NOTIFY;
    range.device_events.last = XCB_MOTION_NOTIFY;
    const xcb_record_client_spec_t clients = XCB_RECORD_CS_ALL_CLIENTS;
    const uint32_t context = xcb_generate_id(state->control);
    XcbReply<xcb_generic_error_t> failed(xcb_request_check(
        state->control, xcb_record_create_context_checked(state->control, context, 0, 1, 1, &clients, &range)));
    if (failed)
        return nullptr;
    state->context = context;
    // The context exists on the server now (the check was a round trip):
    // the data connection may name it.
    state->sequence = xcb_record_enable_context(state->data, context).sequence;
    // It records from the moment the server has enabled it, which the first
    // reply (the start of the data, no motion in it) says: waited for, so
    // that a motion posted once this returns is seen (the server may
    // otherwise take another client's input before this request).
    xcb_generic_error_t* error = nullptr;
    void* first = xcb_wait_for_reply(state->data, state->sequence, &error);
    const bool enabled = first && !error;
    std::free(first);
    std::free(error);
    if (!enabled)
        return nullptr;
    state->wakeFd = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (state->wakeFd < 0)
        return nullptr;
    state->threadName = threadName.toUtf8();
    state->toPoints = std::move(rootPixelsToPoints);
    state->handler = std::move(handler);
    auto* thread = QThread::create([state]() { state->run(); });
    thread->setObjectName(threadName);
    thread->start();
    return std::make_unique<RecorderSession>(state, thread);
}

} // namespace tovrik::platform::x11
