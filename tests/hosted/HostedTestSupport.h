#pragma once

// Helpers of the hosted tests: run a task to its end while the event loop
// spins (the fake service answers on the same loop), scripted answers that
// never end, and a fixture with a started and installed fake hosted service.

#include "support/FakeHostedService.h"
#include "support/SimFixture.h"

#include "common/Constants.h"
#include "common/Error.h"
#include "hosted/HTTPError.h"

#include <qcoro/qcorotask.h>

#include <exception>
#include <optional>
#include <type_traits>

namespace tovrik::test {

template <typename T>
struct TaskOutcome {
    bool finished = false;
    std::conditional_t<std::is_void_v<T>, bool, std::optional<T>> value{}; // true once a void task returned
    std::exception_ptr error;
};

namespace detail {
template <typename T>
QCoro::Task<void> collect(QCoro::Task<T> task, std::shared_ptr<TaskOutcome<T>> out)
{
    try {
        if constexpr (std::is_void_v<T>) {
            co_await std::move(task);
            out->value = true;
        } else {
            out->value.emplace(co_await std::move(task));
        }
    } catch (...) {
        out->error = std::current_exception();
    }
    out->finished = true;
}
} // namespace detail

// Starts `task` and returns its outcome record, filled once it ends.
template <typename T>
std::shared_ptr<TaskOutcome<T>> launch(QCoro::Task<T> task)
{
    auto out = std::make_shared<TaskOutcome<T>>();
    detail::collect<T>(std::move(task), out);
    return out;
}

// Runs `task` to its end (spinning the event loop, at most timeoutMs of real
// time) and returns the outcome.
template <typename T>
std::shared_ptr<TaskOutcome<T>> runToEnd(QCoro::Task<T> task, int timeoutMs = 10000)
{
    auto out = launch(std::move(task));
    spinUntil([&]() { return out->finished; }, timeoutMs);
    return out;
}

// Rethrows the outcome's error as E and returns it, or fails the test.
template <typename E, typename T>
std::optional<E> errorAs(const std::shared_ptr<TaskOutcome<T>>& out)
{
    if (!out->finished || !out->error)
        return std::nullopt;
    try {
        std::rethrow_exception(out->error);
    } catch (const E& e) {
        return e;
    } catch (...) {
        return std::nullopt;
    }
}

inline QString describe(std::exception_ptr e) { return describeException(e); }

// An answer that never comes.
inline FakeResponse hangingResponse()
{
    FakeResponse r;
    r.hang = true;
    return r;
}

// A raw answer that starts with `first` and then sends `more` every 2 ms,
// without ever ending its header.
inline FakeResponse headerFlood(const QByteArray& first, const QByteArray& more)
{
    FakeResponse r;
    r.verbatim = true;
    r.holdOpen = true;
    r.chunkIntervalMs = 2;
    r.chunks << first;
    for (int i = 0; i < 4000; ++i)
        r.chunks << more;
    return r;
}

class HostedServiceTest : public SimTest {
protected:
    void SetUp() override
    {
        SimTest::SetUp();
        ASSERT_TRUE(fake.start()) << fake.lastError().toStdString();
        fake.install();
        origin = constants::defaultHostedWorkerBaseURL();
    }
    void TearDown() override
    {
        fake.uninstall();
        fake.stop();
        SimTest::TearDown();
    }

    // The running request ends as "request timed out" exactly when `limit`
    // seconds of the clock have passed since the fake received it.
    template <typename T>
    void expectTimesOutAfter(const std::shared_ptr<TaskOutcome<T>>& out, double limit)
    {
        ASSERT_TRUE(fake.waitForRequests(1));
        spinUntil([] { return false; }, 50); // some of the answer arrives
        advance(limit - 1, 0.5);
        EXPECT_FALSE(out->finished) << limit;
        advance(1.5, 0.5);
        ASSERT_TRUE(spinUntil([&]() { return out->finished; }));
        const auto e = errorAs<HTTPError>(out);
        ASSERT_TRUE(e) << describe(out->error).toStdString();
        EXPECT_EQ(e->kind(), HTTPError::Kind::timedOut);
        EXPECT_EQ(e->localizedDescription(), QStringLiteral("request timed out"));
    }

    FakeHostedService fake;
    QString origin;
};

} // namespace tovrik::test
