#include "common/ProcessEnd.h"

#include <atomic>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <unistd.h>

// Present only in a build with the leak checker (AddressSanitizer).
extern "C" int __lsan_do_recoverable_leak_check() __attribute__((weak));

namespace tovrik {

namespace {

struct Ending {
    int number;
    const char* name;
};
const Ending kEndings[] = {
    {SIGSEGV, "SIGSEGV"}, {SIGBUS, "SIGBUS"},       {SIGFPE, "SIGFPE"},       {SIGILL, "SIGILL"},
    {SIGABRT, "SIGABRT"}, {SIGTRAP, "SIGTRAP"},     {SIGSYS, "SIGSYS"},       {SIGXCPU, "SIGXCPU"},
    {SIGXFSZ, "SIGXFSZ"}, {SIGUSR1, "SIGUSR1"},     {SIGUSR2, "SIGUSR2"},     {SIGALRM, "SIGALRM"},
    {SIGVTALRM, "SIGVTALRM"}, {SIGPROF, "SIGPROF"}, {SIGIO, "SIGIO"},         {SIGSTKFLT, "SIGSTKFLT"},
    {SIGPWR, "SIGPWR"},
};

std::atomic<bool> g_exiting{false};
std::atomic<bool> g_pipeNoted{false};

// Only what a signal handler may call: write(2) of a text made here.
void writeLine(const char* head, long number, const char* tail)
{
    char line[128];
    size_t at = 0;
    const auto add = [&](const char* s) {
        while (*s && at < sizeof line - 1)
            line[at++] = *s++;
    };
    add(head);
    char digits[24];
    size_t n = 0;
    const bool negative = number < 0;
    unsigned long value = negative ? 0UL - static_cast<unsigned long>(number) : static_cast<unsigned long>(number);
    do {
        digits[n++] = char('0' + value % 10);
        value /= 10;
    } while (value && n < sizeof digits);
    if (negative)
        add("-");
    while (n && at < sizeof line - 1)
        line[at++] = digits[--n];
    add(tail);
    line[at++] = '\n';
    [[maybe_unused]] const ssize_t written = ::write(STDERR_FILENO, line, at);
}

void onEndingSignal(int number)
{
    const char* name = "?";
    for (const Ending& e : kEndings)
        if (e.number == number)
            name = e.name;
    char tail[32] = " (";
    std::strncat(tail, name, sizeof tail - 4);
    std::strncat(tail, ")", 2);
    writeLine("tovrik: ended by signal ", number, tail);
    // The handler was reset on entry: the signal raised again does what it
    // would have done (a core, for a crash).
    ::raise(number);
}

void onPipe(int)
{
    if (!g_pipeNoted.exchange(true))
        writeLine("tovrik: a write went to a pipe or socket nobody reads (SIGPIPE, signal ", SIGPIPE,
                  "); the write fails and Tovrik goes on");
}

void onExit()
{
    if (!g_exiting.load())
        writeLine("tovrik: ended by exit() (status unknown, pid ", long(::getpid()), ")");
}

} // namespace

void watchProcessEnds()
{
    // A stack of its own for the handlers: a stack overflow leaves none.
    static char alternate[64 * 1024];
    stack_t stack{};
    stack.ss_sp = alternate;
    stack.ss_size = sizeof alternate;
    ::sigaltstack(&stack, nullptr);
    struct sigaction action {};
    action.sa_handler = onEndingSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_ONSTACK | SA_RESETHAND | SA_NODEFER;
    for (const Ending& e : kEndings) {
        struct sigaction was {};
        // A signal ignored when we were started stays ignored, and one that
        // something before us handles (the sanitizers' crash reports) stays
        // with it: that report is the line.
        if (::sigaction(e.number, nullptr, &was) != 0 || (was.sa_flags & SA_SIGINFO)
            || was.sa_handler != SIG_DFL)
            continue;
        ::sigaction(e.number, &action, nullptr);
    }
    // Caught, not ignored: a program we start gets the default back.
    struct sigaction pipe {};
    pipe.sa_handler = onPipe;
    sigemptyset(&pipe.sa_mask);
    pipe.sa_flags = SA_RESTART;
    ::sigaction(SIGPIPE, &pipe, nullptr);
    static bool registered = false;
    if (!registered)
        registered = std::atexit(onExit) == 0;
}

void endProcess(int status)
{
    g_exiting = true;
    std::fflush(nullptr);
    if (__lsan_do_recoverable_leak_check && __lsan_do_recoverable_leak_check() != 0 && status == 0)
        status = 23; // the leak checker's own exit code
    writeLine("tovrik: ended with status ", status, "");
    std::_Exit(status);
}

} // namespace tovrik
