// A small X client for tests that reads keys as xscreensaver's unlock dialog
// does: raw XInput 2 key events on the root window, which carry no modifier
// state, taken in a batch once per frame, and for each key the modifiers
// asked of the server only then.
#pragma once

#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <X11/extensions/XInput2.h>
#include <X11/keysym.h>

#include <chrono>
#include <stdexcept>
#include <string>
#include <thread>

namespace morvane::testing {

class StateAskingReader {
public:
    StateAskingReader() : display_(XOpenDisplay(nullptr)) {
        int event = 0, error = 0, major = 2, minor = 2;
        if (!display_ || !XQueryExtension(display_, "XInputExtension", &opcode_, &event, &error) ||
            XIQueryVersion(display_, &major, &minor) != Success)
            throw std::runtime_error("no display with XInput 2");
        unsigned char bits[XIMaskLen(XI_LASTEVENT)] = {};
        XISetMask(bits, XI_RawKeyPress);
        XIEventMask mask{XIAllMasterDevices, static_cast<int>(sizeof bits), bits};
        XISelectEvents(display_, DefaultRootWindow(display_), &mask, 1);
        XSync(display_, False);
    }
    ~StateAskingReader() { XCloseDisplay(display_); }

    // Reads frame by frame until `count` characters or ten seconds.
    std::string read(std::size_t count, std::chrono::milliseconds frame) {
        std::string text;
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        while (text.size() < count && std::chrono::steady_clock::now() < deadline) {
            std::this_thread::sleep_for(frame);
            while (XPending(display_) > 0) {
                XEvent e;
                XNextEvent(display_, &e);
                if (e.type != GenericEvent || e.xcookie.extension != opcode_ || !XGetEventData(display_, &e.xcookie))
                    continue;
                text += character(static_cast<unsigned int>(static_cast<XIRawEvent*>(e.xcookie.data)->detail));
                XFreeEventData(display_, &e.xcookie);
            }
        }
        return text;
    }

private:
    std::string character(unsigned int keycode) {
        Window root = 0, child = 0;
        int rootX = 0, rootY = 0, x = 0, y = 0;
        XKeyEvent key{};
        key.type = KeyPress;
        key.display = display_;
        key.keycode = keycode;
        XQueryPointer(display_, DefaultRootWindow(display_), &root, &child, &rootX, &rootY, &x, &y, &key.state);
        char buffer[16];
        KeySym keysym = NoSymbol;
        const int length = XLookupString(&key, buffer, sizeof buffer, &keysym, nullptr);
        if (keysym == XK_Return) return "\n";
        if (length > 0 && static_cast<unsigned char>(buffer[0]) >= 0x20) return std::string(buffer, length);
        return "";
    }

    Display* display_;
    int opcode_ = 0;
};

}  // namespace morvane::testing
