#pragma once

namespace tovrik::app {

// The process entry: sets the program-wide constants, checks for an X11
// display, installs the platform backend, creates the application object and
// the AppController, and runs the event loop.
int runApplication(int argc, char** argv);

} // namespace tovrik::app
