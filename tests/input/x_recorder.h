// A small X client for tests: one window over the whole screen that takes
// the keyboard focus and writes down every pointer and key event it gets.
#pragma once

#include <X11/XKBlib.h>
#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <X11/keysym.h>
#include <poll.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

namespace morvane::testing {

struct XRecord {
    int type = 0;  // MotionNotify, ButtonPress, ..., MappingNotify (for the key `keycode`)
    int x = 0, y = 0;
    unsigned int state = 0;
    unsigned int button = 0;
    unsigned int keycode = 0;
    KeySym keysym = NoSymbol;
    KeySym base = NoSymbol;  // the key's first symbol, whatever the modifiers
};

class XRecorder {
public:
    XRecorder() {
        display_ = XOpenDisplay(nullptr);
        if (!display_) throw std::runtime_error("no display");
        const int screen = DefaultScreen(display_);
        XSetWindowAttributes a{};
        a.override_redirect = True;
        a.event_mask = KeyPressMask | KeyReleaseMask | ButtonPressMask | ButtonReleaseMask | PointerMotionMask |
                       StructureNotifyMask;
        window_ = XCreateWindow(display_, RootWindow(display_, screen), 0, 0, DisplayWidth(display_, screen),
                                DisplayHeight(display_, screen), 0, CopyFromParent, InputOutput, CopyFromParent,
                                CWOverrideRedirect | CWEventMask, &a);
        XMapRaised(display_, window_);
        XEvent e;
        do XNextEvent(display_, &e);
        while (e.type != MapNotify);
        XSetInputFocus(display_, window_, RevertToParent, CurrentTime);
        int opcode = 0, error = 0, major = XkbMajorVersion, minor = XkbMinorVersion;
        if (XkbQueryExtension(display_, &opcode, &xkbEvent_, &error, &major, &minor))
            XkbSelectEvents(display_, XkbUseCoreKbd, XkbMapNotifyMask, XkbMapNotifyMask);
        XSync(display_, False);
        thread_ = std::thread([this] { run(); });
    }
    ~XRecorder() {
        stop_ = true;
        thread_.join();
        XCloseDisplay(display_);
    }

    std::vector<XRecord> records() {
        std::lock_guard lock(m_);
        return records_;
    }
    void clear() {
        std::lock_guard lock(m_);
        records_.clear();
    }
    // Waits until `done` holds for the records, or ten seconds.
    bool waitFor(const std::function<bool(const std::vector<XRecord>&)>& done) {
        std::unique_lock lock(m_);
        return cv_.wait_for(lock, std::chrono::seconds(10), [&] { return done(records_); });
    }
    bool waitForCount(int type, std::size_t count) {
        return waitFor([&](const std::vector<XRecord>& r) {
            return static_cast<std::size_t>(std::count_if(r.begin(), r.end(), [&](const XRecord& x) {
                       return x.type == type;
                   })) >= count;
        });
    }

private:
    // Asks the server for the key's current symbols rather than trusting
    // Xlib's cached keymap, which may lag behind a binding made just before.
    KeySym keysymOf(const XKeyEvent& key, KeySym* base) {
        int perKeycode = 0;
        KeySym* syms = XGetKeyboardMapping(display_, static_cast<KeyCode>(key.keycode), 1, &perKeycode);
        if (!syms) return NoSymbol;
        KeySym lower = perKeycode > 0 ? syms[0] : NoSymbol;
        *base = lower;
        KeySym upper = perKeycode > 1 ? syms[1] : NoSymbol;
        XFree(syms);
        if (upper == NoSymbol) XConvertCase(lower, &lower, &upper);
        return (key.state & ShiftMask) ? upper : lower;
    }

    void run() {
        while (!stop_) {
            while (XPending(display_) > 0) {
                XEvent e;
                XNextEvent(display_, &e);
                XRecord r;
                r.type = e.type;
                switch (e.type) {
                    case MotionNotify:
                        r.x = e.xmotion.x_root, r.y = e.xmotion.y_root, r.state = e.xmotion.state;
                        break;
                    case ButtonPress:
                    case ButtonRelease:
                        r.x = e.xbutton.x_root, r.y = e.xbutton.y_root, r.state = e.xbutton.state;
                        r.button = e.xbutton.button;
                        break;
                    case KeyPress:
                    case KeyRelease: {
                        r.keycode = e.xkey.keycode, r.state = e.xkey.state;
                        r.keysym = keysymOf(e.xkey, &r.base);
                        break;
                    }
                    case MappingNotify:
                        XRefreshKeyboardMapping(&e.xmapping);
                        continue;
                    default:
                        // A change of the keys' symbols is written down as
                        // a MappingNotify of the first key it changed.
                        if (e.type != xkbEvent_) continue;
                        const auto& map = reinterpret_cast<const XkbMapNotifyEvent&>(e);
                        if (map.xkb_type != XkbMapNotify || !(map.changed & XkbKeySymsMask)) continue;
                        r.type = MappingNotify;
                        r.keycode = map.first_key_sym;
                        break;
                }
                {
                    std::lock_guard lock(m_);
                    records_.push_back(r);
                }
                cv_.notify_all();
            }
            pollfd p{ConnectionNumber(display_), POLLIN, 0};
            poll(&p, 1, 20);
        }
    }

    Display* display_ = nullptr;
    Window window_ = 0;
    int xkbEvent_ = -1;
    std::atomic<bool> stop_ = false;
    std::thread thread_;
    std::mutex m_;
    std::condition_variable cv_;
    std::vector<XRecord> records_;
};

// The character a keysym stands for (0 for keys that type nothing).
inline char32_t characterOf(KeySym keysym) {
    if (keysym == XK_Tab) return U'\t';
    if (keysym == XK_Return) return U'\n';
    if ((keysym >= 0x20 && keysym <= 0x7e) || (keysym >= 0xa0 && keysym <= 0xff)) return static_cast<char32_t>(keysym);
    if (keysym >= 0x1000100 && keysym <= 0x110ffff) return static_cast<char32_t>(keysym - 0x1000000);
    if (keysym == XK_EuroSign) return U'\u20AC';
    return 0;
}

}  // namespace morvane::testing
