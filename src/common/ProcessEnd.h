#pragma once

// Ends the process once main's own teardown is done (the application object,
// the platform backend and every service are gone), without running the
// libraries' exit handlers.
//
// Those handlers hold nothing of ours, and one of them is unsafe: Qt 6.4's
// sound-server connection (made by the first audio device query) closes its
// PulseAudio context from the exiting thread without taking the lock of the
// mainloop thread that still serves it. A sink or source event arriving then
// (a sink that suspends when idle sends one a few seconds after every sound)
// corrupts the mainloop's bookkeeping, and the process aborts in libpulse
// after a clean quit. Standard output and error are flushed first; under the
// leak checker the leak check runs first, as it would at a normal exit.

namespace tovrik {

[[noreturn]] void endProcess(int status);

} // namespace tovrik
