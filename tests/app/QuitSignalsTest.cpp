// SIGTERM, SIGINT and SIGHUP reach the main thread's event loop as a call of
// the quit callback, in the order sent, and only while the handlers are
// installed; afterwards the signals' earlier dispositions are back.

#include "app/QuitSignals.h"
#include "support/SimFixture.h"

#include <csignal>
#include <gtest/gtest.h>
#include <vector>

namespace tovrik::app {
namespace {

TEST(QuitSignals, EachSignalBecomesOneCallOnTheEventLoopAndTheOldDispositionsComeBack)
{
    // Earlier dispositions to come back: SIGHUP ignored, the others default.
    struct sigaction ignore {};
    ignore.sa_handler = SIG_IGN;
    struct sigaction before {};
    ASSERT_EQ(::sigaction(SIGHUP, &ignore, &before), 0);

    std::vector<int> received;
    {
        QuitSignals handlers([&](int number) { received.push_back(number); });
        ASSERT_TRUE(handlers.isInstalled());
        // A second set in the same process stays inert.
        QuitSignals second([&](int) { received.push_back(-1); });
        EXPECT_FALSE(second.isInstalled());

        ::raise(SIGTERM);
        ::raise(SIGHUP);
        ::raise(SIGINT);
        // Nothing runs inside the handler: the calls wait for the loop.
        EXPECT_TRUE(received.empty());
        EXPECT_TRUE(test::spinUntil([&] { return received.size() == 3; }, 5000));
        EXPECT_EQ(received, (std::vector<int>{SIGTERM, SIGHUP, SIGINT}));
    }
    struct sigaction now {};
    ASSERT_EQ(::sigaction(SIGHUP, nullptr, &now), 0);
    EXPECT_EQ(now.sa_handler, SIG_IGN);
    ASSERT_EQ(::sigaction(SIGTERM, nullptr, &now), 0);
    EXPECT_EQ(now.sa_handler, SIG_DFL);
    ::sigaction(SIGHUP, &before, nullptr);
}

} // namespace
} // namespace tovrik::app
