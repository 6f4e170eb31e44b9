#pragma once

// Running the service's operations to their end in sim tests.

#include "common/Error.h"
#include "common/Task.h"

#include <memory>

namespace tovrik::test {

struct Outcome {
    bool done = false;
    std::exception_ptr error;
    // The input error's code, or 0 for none / another error.
    int code() const
    {
        try {
            if (error)
                std::rethrow_exception(error);
        } catch (const CancellationError&) {
            return 0;
        } catch (const TovrikError& e) {
            return e.domain() == QLatin1String("TovrikInput") ? e.code() : 0;
        } catch (...) {
        }
        return 0;
    }
    QString message() const { return error ? describeException(error) : QString(); }
    bool cancelled() const { return error && isCancellation(error); }
};

inline QCoro::Task<void> track(QCoro::Task<void> task, std::shared_ptr<Outcome> out)
{
    try {
        co_await std::move(task);
    } catch (...) {
        out->error = std::current_exception();
    }
    out->done = true;
}

// Starts `task` (it runs until its first pause) and reports its end.
inline std::shared_ptr<Outcome> launch(QCoro::Task<void> task)
{
    auto out = std::make_shared<Outcome>();
    track(std::move(task), out);
    return out;
}

} // namespace tovrik::test
