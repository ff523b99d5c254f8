// What the X server offers the host, and keeping its display awake.
#pragma once

#include <memory>

#include "app/display_wake.h"

namespace morvane {

struct X11Facts {
    bool display = false;  // the display could be opened: the screen can be read
    bool xtest = false;    // synthetic input
    bool xinput2 = false;  // the input extension, for watching keys held at the machine
    int screens = 0;       // monitors
};

X11Facts probeX11();

// XScreenSaverSuspend while held; activity resets the saver and turns DPMS on.
std::unique_ptr<DisplayWakeBackend> makeX11DisplayWake();

}  // namespace morvane
