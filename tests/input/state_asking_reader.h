// A small X client for tests that reads keys as xscreensaver's unlock dialog
// does: raw XInput 2 key events on the root window, which carry no modifier
// state, taken in a batch once per frame, and for each key the modifiers
// asked of the server only then. A modifier let go (or pressed) before the
// reader gets to a key changes that key's character here.
#pragma once

#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <X11/extensions/XInput2.h>
#include <X11/keysym.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>

namespace morvane::testing {

class StateAskingReader {
public:
    explicit StateAskingReader(std::chrono::milliseconds frame) : frame_(frame) {
        display_ = XOpenDisplay(nullptr);
        if (!display_) throw std::runtime_error("no display");
        int event = 0, error = 0;
        int major = 2, minor = 2;
        if (!XQueryExtension(display_, "XInputExtension", &opcode_, &event, &error) ||
            XIQueryVersion(display_, &major, &minor) != Success)
            throw std::runtime_error("no XInput 2");
        unsigned char bits[XIMaskLen(XI_LASTEVENT)] = {};
        XISetMask(bits, XI_RawKeyPress);
        XIEventMask mask{XIAllMasterDevices, static_cast<int>(sizeof bits), bits};
        XISelectEvents(display_, DefaultRootWindow(display_), &mask, 1);
        XSync(display_, False);
        thread_ = std::thread([this] { run(); });
    }
    ~StateAskingReader() {
        stop_ = true;
        thread_.join();
        XCloseDisplay(display_);
    }

    std::string text() {
        std::lock_guard lock(m_);
        return text_;
    }
    void clear() {
        std::lock_guard lock(m_);
        text_.clear();
    }
    // Waits until the text read holds `count` characters, or ten seconds.
    bool waitForLength(std::size_t count) {
        std::unique_lock lock(m_);
        return cv_.wait_for(lock, std::chrono::seconds(10), [&] { return text_.size() >= count; });
    }

private:
    void run() {
        while (!stop_) {
            std::this_thread::sleep_for(frame_);
            while (XPending(display_) > 0) {
                XEvent e;
                XNextEvent(display_, &e);
                if (e.xcookie.type != GenericEvent || e.xcookie.extension != opcode_ ||
                    !XGetEventData(display_, &e.xcookie))
                    continue;
                const auto* raw = static_cast<const XIRawEvent*>(e.xcookie.data);
                read(static_cast<unsigned int>(raw->detail));
                XFreeEventData(display_, &e.xcookie);
            }
        }
    }

    void read(unsigned int keycode) {
        Window root = 0, child = 0;
        int rootX = 0, rootY = 0, x = 0, y = 0;
        unsigned int modifiers = 0;
        XQueryPointer(display_, DefaultRootWindow(display_), &root, &child, &rootX, &rootY, &x, &y, &modifiers);
        XKeyEvent key{};
        key.type = KeyPress;
        key.display = display_;
        key.keycode = keycode;
        key.state = modifiers;
        char buffer[16];
        KeySym keysym = NoSymbol;
        const int length = XLookupString(&key, buffer, sizeof buffer, &keysym, nullptr);
        std::string typed;
        if (keysym == XK_Return) typed = "\n";
        else if (length > 0 && static_cast<unsigned char>(buffer[0]) >= 0x20) typed.assign(buffer, length);
        if (typed.empty()) return;
        {
            std::lock_guard lock(m_);
            text_ += typed;
        }
        cv_.notify_all();
    }

    std::chrono::milliseconds frame_;
    Display* display_ = nullptr;
    int opcode_ = 0;
    std::atomic<bool> stop_ = false;
    std::thread thread_;
    std::mutex m_;
    std::condition_variable cv_;
    std::string text_;
};

}  // namespace morvane::testing
