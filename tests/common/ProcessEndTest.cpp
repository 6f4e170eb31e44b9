// Every way the process can end leaves a line on standard error.

#include "common/ProcessEnd.h"

#include <gtest/gtest.h>

#include <csignal>
#include <cstdlib>
#include <unistd.h>

namespace {

struct SignalEnd {
    int number;
    const char* line;
};

class ProcessEndBySignal : public ::testing::TestWithParam<SignalEnd> {};

TEST_P(ProcessEndBySignal, SaysWhichSignalAndStillEndsByIt)
{
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    const SignalEnd end = GetParam();
    EXPECT_EXIT(
        {
            tovrik::watchProcessEnds();
            ::raise(end.number);
        },
        ::testing::KilledBySignal(end.number), end.line);
}

INSTANTIATE_TEST_SUITE_P(Signals, ProcessEndBySignal,
                         ::testing::Values(SignalEnd{SIGSEGV, "tovrik: ended by signal 11 \\(SIGSEGV\\)"},
                                           SignalEnd{SIGABRT, "tovrik: ended by signal 6 \\(SIGABRT\\)"},
                                           SignalEnd{SIGBUS, "tovrik: ended by signal 7 \\(SIGBUS\\)"},
                                           SignalEnd{SIGUSR1, "tovrik: ended by signal 10 \\(SIGUSR1\\)"}),
                         [](const ::testing::TestParamInfo<SignalEnd>& info) { return std::to_string(info.param.number); });

// Deeper than any stack: the line is written all the same.
volatile int g_floor = -1;
int overflow(int depth)
{
    volatile char frame[4096];
    frame[0] = char(depth);
    if (depth == g_floor)
        return 0;
    return overflow(depth + 1) + frame[0];
}

TEST(ProcessEnd, AStackOverflowSaysSo)
{
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(
        {
            tovrik::watchProcessEnds();
            overflow(0);
        },
        ::testing::KilledBySignal(SIGSEGV), "tovrik: ended by signal 11 \\(SIGSEGV\\)");
}

TEST(ProcessEnd, AWriteToAClosedPipeFailsInsteadOfEndingTheProcess)
{
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(
        {
            tovrik::watchProcessEnds();
            int fds[2];
            if (::pipe(fds) != 0)
                std::_Exit(1);
            ::close(fds[0]);
            const bool failed = ::write(fds[1], "x", 1) < 0 && errno == EPIPE;
            tovrik::endProcess(failed ? 7 : 1);
        },
        ::testing::ExitedWithCode(7), "SIGPIPE(.|\n)*tovrik: ended with status 7");
}

TEST(ProcessEnd, ExitCalledByALibrarySaysSo)
{
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(
        {
            tovrik::watchProcessEnds();
            std::exit(3);
        },
        ::testing::ExitedWithCode(3), "tovrik: ended by exit\\(\\)");
}

} // namespace
