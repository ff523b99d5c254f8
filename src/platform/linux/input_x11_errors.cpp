#include "platform/linux/input_x11_errors.h"

#include <X11/Xlib.h>

#include <mutex>
#include <set>

namespace morvane {

namespace {

std::mutex registryLock;
std::set<Display*>& tolerated() {
    static std::set<Display*> displays;
    return displays;
}
XErrorHandler previous = nullptr;

int swallow(Display* display, XErrorEvent* error) {
    {
        std::lock_guard lock(registryLock);
        if (tolerated().contains(display)) return 0;
    }
    return previous ? previous(display, error) : 0;
}

}  // namespace

void tolerateX11Errors(Display* display) {
    static std::once_flag once;
    std::call_once(once, [] { previous = XSetErrorHandler(swallow); });
    std::lock_guard lock(registryLock);
    tolerated().insert(display);
}

void forgetX11Display(Display* display) {
    std::lock_guard lock(registryLock);
    tolerated().erase(display);
}

}  // namespace morvane
