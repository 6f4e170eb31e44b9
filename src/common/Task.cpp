#include "common/Task.h"

#include <qcoro/qcorosignal.h>

#include <algorithm>

namespace tovrik {

quint64 CancellationToken::onCancel(std::function<void()> fn) const
{
    if (!m_state)
        return 0;
    if (m_state->cancelled) {
        fn();
        return 0;
    }
    const quint64 id = m_state->nextId++;
    m_state->callbacks.emplace_back(id, std::move(fn));
    return id;
}

void CancellationToken::removeCallback(quint64 id) const
{
    if (!m_state || id == 0)
        return;
    auto& cbs = m_state->callbacks;
    cbs.erase(std::remove_if(cbs.begin(), cbs.end(), [id](const auto& p) { return p.first == id; }), cbs.end());
}

CancellationSource::CancellationSource() : m_state(std::make_shared<CancellationToken::State>()) {}

void CancellationSource::cancel()
{
    if (m_state->cancelled)
        return;
    m_state->cancelled = true;
    auto callbacks = std::move(m_state->callbacks);
    m_state->callbacks.clear();
    for (auto& [id, fn] : callbacks)
        fn();
}

namespace detail {
QCoro::Task<void> runDetached(QCoro::Task<void> task, std::shared_ptr<bool> finished)
{
    try {
        co_await std::move(task);
    } catch (...) {
    }
    *finished = true;
}
} // namespace detail

namespace {
// A one-shot wake-up object for sleepFor: fires when the clock's timer
// elapses or the token is cancelled, whichever comes first.
class SleepWaker : public QObject {
    Q_OBJECT
public:
    bool cancelled = false;
    bool fired = false;
    void fire(bool byCancel)
    {
        if (fired)
            return;
        fired = true;
        cancelled = byCancel;
        emit woke();
    }
signals:
    void woke();
};
} // namespace

QCoro::Task<void> sleepFor(double seconds, CancellationToken token)
{
    token.throwIfCancelled();
    auto waker = std::make_unique<SleepWaker>();
    SleepWaker* w = waker.get();
    const quint64 timerId = Clock::instance().schedule(seconds, w, [w]() { w->fire(false); });
    const quint64 cancelId = token.onCancel([w]() { w->fire(true); });
    if (!w->fired)
        co_await qCoro(w, &SleepWaker::woke);
    Clock::instance().cancel(timerId);
    token.removeCallback(cancelId);
    if (w->cancelled || token.isCancelled())
        throw CancellationError();
}

} // namespace tovrik

#include "Task.moc"
