#include "platform/linux/x11_errors.h"

#include <X11/Xlib.h>
#include <unistd.h>

#include <atomic>
#include <cstdint>
#include <map>
#include <mutex>
#include <utility>

namespace morvane {

namespace {

struct Registered {
    std::uint64_t opening = 0;  // which registration of this address
    int lastError = 0;
    bool lost = false;
};

// Never destroyed: a thread that finds its connection gone closes it
// whenever that happens, which may be while the process is ending.
std::mutex registryLock;
std::uint64_t openings = 0;  // under registryLock
std::map<Display*, Registered>& registry() {
    static auto* const displays = new std::map<Display*, Registered>();
    return *displays;
}
XErrorHandler previous = nullptr;
XIOErrorHandler previousIO = nullptr;

int noteError(Display* display, XErrorEvent* error) {
    {
        std::lock_guard lock(registryLock);
        if (auto it = registry().find(display); it != registry().end()) {
            it->second.lastError = error->error_code;
            return 0;
        }
    }
    return previous ? previous(display, error) : 0;
}

std::atomic<void (*)(Display*)> otherLost{nullptr};

int noteLoss(Display* display) {
    {
        std::lock_guard lock(registryLock);
        if (registry().contains(display)) return 0;
    }
    if (const auto handler = otherLost.load()) handler(display);
    return previousIO ? previousIO(display) : 0;
}

void markLost(Display* display, void*) {
    std::lock_guard lock(registryLock);
    if (auto it = registry().find(display); it != registry().end()) it->second.lost = true;
}

void installHandlers() {
    static std::once_flag once;
    std::call_once(once, [] {
        XInitThreads();
        previous = XSetErrorHandler(noteError);
        previousIO = XSetIOErrorHandler(noteLoss);
    });
}

}  // namespace

Display* openTolerantX11Display(const std::string& name) {
    installHandlers();
    Display* display = XOpenDisplay(name.empty() ? nullptr : name.c_str());
    if (display) tolerateX11Errors(display);
    return display;
}

void whenOtherX11ConnectionLost(void (*handler)(Display*)) {
    installHandlers();
    otherLost = handler;
    // Set again: a library that set its own since (Qt, as it opens its
    // display) would end the process in Xlib's words. Its error handler
    // stays what the others' errors come to; its loss handler, which ends
    // the process, does not.
    const XErrorHandler current = XSetErrorHandler(noteError);
    if (current != noteError) previous = current;
    XSetIOErrorHandler(noteLoss);
}

void tolerateX11Errors(Display* display) {
    installHandlers();
    {
        std::lock_guard lock(registryLock);
        registry()[display] = Registered{++openings};
    }
    XSetIOErrorExitHandler(display, markLost, nullptr);
}

int takeX11Error(Display* display) {
    std::lock_guard lock(registryLock);
    auto it = registry().find(display);
    return it == registry().end() ? 0 : std::exchange(it->second.lastError, 0);
}

bool x11ConnectionLost(Display* display) {
    std::lock_guard lock(registryLock);
    const auto it = registry().find(display);
    return it != registry().end() && it->second.lost;
}

void closeX11Display(Display* display) {
    if (!display) return;
    std::uint64_t opening = 0;
    bool lost = false;
    {
        std::lock_guard lock(registryLock);
        if (auto it = registry().find(display); it != registry().end()) {
            opening = it->second.opening;
            lost = it->second.lost;
        }
    }
    // Still registered while it closes, so that losing it now is noted,
    // not fatal.
    if (lost)
        close(ConnectionNumber(display));
    else
        XCloseDisplay(display);
    // Once closed, its address may be that of a connection another thread
    // has opened and registered since: that one stays.
    std::lock_guard lock(registryLock);
    if (auto it = registry().find(display); it != registry().end() && it->second.opening == opening)
        registry().erase(it);
}

}  // namespace morvane
