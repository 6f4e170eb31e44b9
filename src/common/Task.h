#pragma once

// Asynchronous work on the main thread.
//
// Every asynchronous operation is a QCoro::Task<T> that may throw. QCoro 0.8
// has no cancellation of its own and a few traps; the rules of this code base:
//  1. Never capture state in a lambda coroutine: its captures dangle after the
//     first suspension. Pass everything as parameters (by value) instead.
//  2. A coroutine awaiting a deleted object never resumes. Await replies and
//     signals of objects that outlive the await, or guard the wait with a
//     time-out or a context object.
//  3. Long-lived objects re-check a QPointer to `this` after every co_await.
//  4. Never destroy a QNetworkAccessManager that a suspended coroutine still
//     uses: clients own one for their whole life.
//  5. co_await is not allowed inside a catch block: capture the
//     std::exception_ptr in the handler and await after it.
//  6. Cancellation is explicit: a task started with startTask() gets a
//     CancellationToken; sleeps and requests that take the token wake at once
//     on cancel and throw CancellationError.

#include "common/Clock.h"
#include "common/Error.h"

#include <QObject>
#include <QPointer>
#include <qcoro/qcorotask.h>

#include <functional>
#include <memory>
#include <vector>

namespace tovrik {

class CancellationToken {
public:
    CancellationToken() = default;

    bool isCancelled() const { return m_state && m_state->cancelled; }
    void throwIfCancelled() const
    {
        if (isCancelled())
            throw CancellationError();
    }
    // Registers fn to run (on the cancelling thread, the main one) when the
    // token is cancelled; runs at once when it already is. Returns an id for
    // removeCallback. A default token never cancels.
    quint64 onCancel(std::function<void()> fn) const;
    void removeCallback(quint64 id) const;

    static CancellationToken none() { return {}; }

private:
    friend class CancellationSource;
    struct State {
        bool cancelled = false;
        quint64 nextId = 1;
        std::vector<std::pair<quint64, std::function<void()>>> callbacks;
    };
    explicit CancellationToken(std::shared_ptr<State> s) : m_state(std::move(s)) {}
    std::shared_ptr<State> m_state;
};

class CancellationSource {
public:
    CancellationSource();
    CancellationToken token() const { return CancellationToken(m_state); }
    void cancel();
    bool isCancelled() const { return m_state->cancelled; }

private:
    std::shared_ptr<CancellationToken::State> m_state;
};

// The handle of an unstructured task: cancel() flags the task's token; the
// task ends at its next cancellable await.
class TaskHandle {
public:
    TaskHandle() = default;
    void cancel() const
    {
        if (m_source)
            m_source->cancel();
    }
    bool isCancelled() const { return m_source && m_source->isCancelled(); }
    bool isFinished() const { return !m_finished || *m_finished; }
    bool isValid() const { return bool(m_source); }
    CancellationToken token() const { return m_source ? m_source->token() : CancellationToken(); }

private:
    template <typename F>
    friend TaskHandle startTask(F&& body);
    std::shared_ptr<CancellationSource> m_source;
    std::shared_ptr<bool> m_finished;
};

namespace detail {
QCoro::Task<void> runDetached(QCoro::Task<void> task, std::shared_ptr<bool> finished);
}

// Starts an unstructured main-thread task. `body` is called at once with the
// task's token and returns the QCoro::Task<void> to run; errors that escape it
// are swallowed (a task's body reports its own failures). Pass state as
// parameters, never as lambda captures used after the first suspension.
template <typename F>
TaskHandle startTask(F&& body)
{
    TaskHandle handle;
    handle.m_source = std::make_shared<CancellationSource>();
    handle.m_finished = std::make_shared<bool>(false);
    detail::runDetached(body(handle.m_source->token()), handle.m_finished);
    return handle;
}

// Suspends for max(seconds, 0) on the installed clock. Throws
// CancellationError at once when the token is cancelled (before or during).
QCoro::Task<void> sleepFor(double seconds, CancellationToken token = {});

} // namespace tovrik
