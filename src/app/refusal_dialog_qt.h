// The window that tells a person started from the desktop's menu, or at
// login, why the host did not start: standard error is read by nobody there.
#pragma once

#include <string>

namespace morvane {

// Shows `text` with one button on the X display of DISPLAY (Xwayland in a
// Wayland session) and returns once it is closed. Shows nothing when that
// display cannot be opened.
void showRefusalDialog(int argc, char** argv, const std::string& text);

}  // namespace morvane
