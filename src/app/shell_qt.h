// The application: builds every long-lived component in order, runs the
// status icon on Qt's event loop, and winds everything down in order at quit
// (from the menu, SIGTERM or SIGINT).
#pragma once

namespace morvane {

// Runs the host as a tray application until it quits; the exit status.
int runShell(int argc, char** argv);

}  // namespace morvane
