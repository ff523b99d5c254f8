#include "relayed_x11_rig.h"

#include <X11/Xlib.h>

namespace morvane::testing {

std::pair<int, int> pointerOnX() {
    Display* d = XOpenDisplay(nullptr);
    if (!d) return {-1, -1};
    Window root = 0, child = 0;
    int rx = -1, ry = -1, wx = 0, wy = 0;
    unsigned mask = 0;
    XQueryPointer(d, DefaultRootWindow(d), &root, &child, &rx, &ry, &wx, &wy, &mask);
    XCloseDisplay(d);
    return {rx, ry};
}

}  // namespace morvane::testing
