#pragma once

namespace tovrik::app {

// The process entry: sets the program-wide constants (drawing the per-launch
// synthetic-input marker), refuses to run without an X11 display, creates the
// application object, installs the x11 platform backend, creates the
// AppController, runs its launch sequence from inside the event loop and runs
// the loop until the application quits. Returns the process's exit code.
int runApplication(int argc, char** argv);

} // namespace tovrik::app
