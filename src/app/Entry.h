#pragma once

#include "common/Constants.h"

namespace tovrik::app {

// The process entry: sets the program-wide constants (drawing the per-launch
// synthetic-input marker), refuses to run without an X11 display, creates the
// application object, installs the x11 platform backend, creates the
// AppController, runs its launch sequence from inside the event loop and runs
// the loop until the application quits. Returns the process's exit code.
// When the system's secure random source fails, nothing starts: one line
// goes to stderr and the exit code is 1.
int runApplication(int argc, char** argv, constants::RandomFill randomFill = &constants::systemRandomFill);

} // namespace tovrik::app
