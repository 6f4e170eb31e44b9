#pragma once

// Helpers of the hosted tests: a task's outcome as a given error type,
// scripted answers that never end, and a fixture with a started and installed
// fake hosted service.

#include "interaction/AsyncOutcome.h"
#include "support/FakeHostedService.h"

#include "common/Constants.h"
#include "hosted/HTTPError.h"

namespace tovrik::test {

template <typename T>
using TaskOutcome = AsyncOutcome<T>;

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
        EXPECT_FALSE(out->done) << limit;
        advance(1.5, 0.5);
        ASSERT_TRUE(spinUntil([&]() { return out->done; }));
        const auto e = out->template errorAs<HTTPError>();
        ASSERT_TRUE(e) << describe(out->error).toStdString();
        EXPECT_EQ(e->kind(), HTTPError::Kind::timedOut);
        EXPECT_EQ(e->localizedDescription(), QStringLiteral("request timed out"));
    }

    FakeHostedService fake;
    QString origin;
};

} // namespace tovrik::test
