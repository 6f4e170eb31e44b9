#pragma once

// How the process ends, and a line in its log (standard error) for every way
// it can, so that no end goes unexplained.
//
// endProcess ends the process once main's own teardown is done (the
// application object, the platform backend and every service are gone),
// without running the libraries' exit handlers.
//
// Those handlers hold nothing of ours, and one of them is unsafe: Qt 6.4's
// sound-server connection (made by the first audio device query) closes its
// PulseAudio context from the exiting thread without taking the lock of the
// mainloop thread that still serves it. A sink or source event arriving then
// (a sink that suspends when idle sends one a few seconds after every sound)
// corrupts the mainloop's bookkeeping, and the process aborts in libpulse
// after a clean quit. Standard output and error are flushed first; under the
// leak checker the leak check runs first, as it would at a normal exit.
//
// watchProcessEnds, at the start of main, makes the other ends say so:
//  - a signal that ends the process (a crash: SIGSEGV, SIGBUS, SIGFPE,
//    SIGILL, SIGABRT, SIGTRAP, SIGSYS; a limit: SIGXCPU, SIGXFSZ; one nobody
//    here handles: SIGUSR1, SIGUSR2, SIGALRM, SIGVTALRM, SIGPROF, SIGIO,
//    SIGSTKFLT, SIGPWR) writes "tovrik: ended by signal N (NAME)" and then
//    ends the process as that signal would have (a core where cores are
//    kept), also on a stack overflow (the line is written on a stack of its
//    own);
//  - SIGPIPE no longer ends it: a write to a pipe or socket whose reader is
//    gone fails with EPIPE instead (a library that writes to a helper
//    daemon that went away, for one), noted once;
//  - exit() called by a library writes "tovrik: ended by exit()";
//  - the quit signals say so where they are handled (QuitSignals.h), and
//    endProcess writes "tovrik: ended with status N".
// SIGKILL (the out-of-memory killer, kill -9) ends a process without a word;
// the kernel's log names the out-of-memory killer's.

namespace tovrik {

void watchProcessEnds();
[[noreturn]] void endProcess(int status);

} // namespace tovrik
