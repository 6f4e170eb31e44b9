#pragma once

// Runs a coroutine from a test without blocking: the test keeps driving the
// sim backend and the virtual clock, then inspects how the task ended.

#include "common/Error.h"
#include "support/SimFixture.h"

#include <gtest/gtest.h>
#include <qcoro/qcorotask.h>

#include <exception>
#include <memory>
#include <optional>
#include <type_traits>

namespace tovrik::test {

template <typename T>
struct AsyncOutcome {
    bool done = false;
    std::conditional_t<std::is_void_v<T>, bool, std::optional<T>> value{};
    std::exception_ptr error;

    // The error as an E (by default ours: domain, code, message), if it is one.
    template <typename E = TovrikError>
    std::optional<E> errorAs() const
    {
        if (!error)
            return std::nullopt;
        try {
            std::rethrow_exception(error);
        } catch (const E& e) {
            return e;
        } catch (...) {
            return std::nullopt;
        }
    }
    std::optional<TovrikError> tovrikError() const { return errorAs(); }
    bool cancelled() const { return error && isCancellation(error); }
    // Expects the task to have failed (not been cancelled) with our error of
    // `domain` and `code`, and returns that error.
    std::optional<TovrikError> expectError(const char* domain, int code) const
    {
        const auto e = tovrikError();
        EXPECT_TRUE(e.has_value() && !cancelled()) << domain << " " << code;
        if (e) {
            EXPECT_EQ(e->domain(), QString::fromLatin1(domain));
            EXPECT_EQ(e->code(), code);
        }
        return e;
    }
};

namespace detail {
template <typename T>
QCoro::Task<void> drive(QCoro::Task<T> task, std::shared_ptr<AsyncOutcome<T>> out)
{
    try {
        if constexpr (std::is_void_v<T>) {
            co_await std::move(task);
            out->value = true;
        } else {
            out->value = co_await std::move(task);
        }
    } catch (...) {
        out->error = std::current_exception();
    }
    out->done = true;
}
} // namespace detail

template <typename T>
std::shared_ptr<AsyncOutcome<T>> launch(QCoro::Task<T> task)
{
    auto out = std::make_shared<AsyncOutcome<T>>();
    detail::drive<T>(std::move(task), out);
    return out;
}

// Launches and spins the event loop until the task has ended.
template <typename T>
std::shared_ptr<AsyncOutcome<T>> runToEnd(QCoro::Task<T> task, int timeoutMs = 20000)
{
    auto out = launch(std::move(task));
    spinUntil([&] { return out->done; }, timeoutMs);
    return out;
}

} // namespace tovrik::test
