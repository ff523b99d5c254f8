#include "platform/linux/input_x11_errors.h"

#include <X11/Xlib.h>
#include <unistd.h>

#include <map>
#include <mutex>

namespace morvane {

namespace {

std::mutex registryLock;
// Each registered connection, and whether it was lost.
std::map<Display*, bool>& tolerated() {
    static std::map<Display*, bool> displays;
    return displays;
}
XErrorHandler previous = nullptr;
XIOErrorHandler previousIO = nullptr;

bool registered(Display* display) {
    std::lock_guard lock(registryLock);
    return tolerated().contains(display);
}

int swallow(Display* display, XErrorEvent* error) {
    if (registered(display)) return 0;
    return previous ? previous(display, error) : 0;
}

int swallowLoss(Display* display) {
    if (registered(display)) return 0;
    return previousIO ? previousIO(display) : 0;
}

void markLost(Display* display, void*) {
    std::lock_guard lock(registryLock);
    if (auto it = tolerated().find(display); it != tolerated().end()) it->second = true;
}

}  // namespace

void tolerateX11Errors(Display* display) {
    static std::once_flag once;
    std::call_once(once, [] {
        previous = XSetErrorHandler(swallow);
        previousIO = XSetIOErrorHandler(swallowLoss);
    });
    {
        std::lock_guard lock(registryLock);
        tolerated()[display] = false;
    }
    XSetIOErrorExitHandler(display, markLost, nullptr);
}

bool x11ConnectionLost(Display* display) {
    std::lock_guard lock(registryLock);
    const auto it = tolerated().find(display);
    return it != tolerated().end() && it->second;
}

void closeX11Display(Display* display) {
    if (!display) return;
    const bool lost = x11ConnectionLost(display);
    if (lost)
        close(ConnectionNumber(display));
    else
        XCloseDisplay(display);
    std::lock_guard lock(registryLock);
    tolerated().erase(display);
}

}  // namespace morvane
