#include "platform/x11/X11MotionRecorder.h"

#include <QThread>
#include <X11/Xlib.h>
#include <X11/Xproto.h>
#include <X11/extensions/record.h>
#include <atomic>
#include <cerrno>
#include <optional>
#include <poll.h>
#include <pthread.h>
#include <sys/eventfd.h>
#include <unistd.h>

namespace tovrik::platform::x11 {

namespace {

struct RecorderState {
    Display* control = nullptr;
    Display* data = nullptr;
    XRecordContext context = 0;
    int wakeFd = -1;
    QByteArray threadName;
    std::function<QPointF(QPointF)> toPoints;
    std::function<void(const RawInputEvent&)> handler;
    std::optional<QPoint> latest; // root pixels of the last motion of a batch

    ~RecorderState()
    {
        if (control && context) {
            XRecordDisableContext(control, context);
            XRecordFreeContext(control, context);
            XSync(control, False);
        }
        if (data)
            XCloseDisplay(data);
        if (control)
            XCloseDisplay(control);
        if (wakeFd >= 0)
            ::close(wakeFd);
    }

    static void intercept(XPointer closure, XRecordInterceptData* d)
    {
        auto* self = reinterpret_cast<RecorderState*>(closure);
        // Device events come one xEvent (32 bytes) at a time; anything else
        // (start and end of data, client notices) is not motion.
        if (d->category == XRecordFromServer && d->data_len * 4 >= sizeof(xEvent)) {
            const auto* e = reinterpret_cast<const xEvent*>(d->data);
            if ((e->u.u.type & 0x7f) == MotionNotify)
                self->latest = QPoint(e->u.keyButtonPointer.rootX, e->u.keyButtonPointer.rootY);
        }
        XRecordFreeData(d);
    }

    void deliverLatest()
    {
        if (!latest)
            return;
        RawInputEvent e;
        e.type = RawInputEvent::Type::MouseMoved;
        e.location = toPoints(QPointF(*latest));
        latest.reset();
        try {
            handler(e);
        } catch (...) {
            // A handler's failure must not end the recorder.
        }
    }

    void run()
    {
        pthread_setname_np(pthread_self(), threadName.left(15).constData());
        pollfd fds[2] = {{ConnectionNumber(data), POLLIN, 0}, {wakeFd, POLLIN, 0}};
        for (;;) {
            // Processing may read more than one reply off the socket; what
            // it read is handled before waiting again.
            XRecordProcessReplies(data);
            deliverLatest();
            if (::poll(fds, 2, -1) < 0 && errno != EINTR)
                return;
            if (fds[1].revents & POLLIN)
                return;
            if (fds[0].revents & (POLLHUP | POLLERR))
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
        if (!m_thread)
            return;
        const uint64_t one = 1;
        [[maybe_unused]] auto n = ::write(m_state->wakeFd, &one, sizeof one);
        if (QThread::currentThread() == m_thread) {
            QObject::connect(m_thread, &QThread::finished, m_thread, &QObject::deleteLater);
        } else {
            m_thread->wait();
            delete m_thread;
        }
        m_thread = nullptr;
    }

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
    state->control = XOpenDisplay(nullptr);
    state->data = XOpenDisplay(nullptr);
    int major = 0, minor = 0;
    if (!state->control || !state->data || !XRecordQueryVersion(state->control, &major, &minor))
        return nullptr;
    XRecordRange* range = XRecordAllocRange();
    if (!range)
        return nullptr;
    range->device_events.first = MotionNotify;
    range->device_events.last = MotionNotify;
    XRecordClientSpec clients = XRecordAllClients;
    state->context = XRecordCreateContext(state->control, 0, &clients, 1, &range, 1);
    XFree(range);
    // The context must exist on the server before the data connection
    // names it.
    XSync(state->control, False);
    if (!state->context || !XRecordEnableContextAsync(state->data, state->context, &RecorderState::intercept,
                                                      reinterpret_cast<XPointer>(state.get())))
        return nullptr;
    XFlush(state->data);
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
