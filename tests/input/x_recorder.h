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
#include <algorithm>
#include <condition_variable>
#include <deque>
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
    unsigned int count = 0;  // of a MappingNotify: the keys it changed, from `keycode` on
    KeySym keysym = NoSymbol;
    KeySym base = NoSymbol;  // the key's first symbol, whatever the modifiers
    std::chrono::steady_clock::time_point at;  // when the recorder read the event
    Time serverTime = 0;                       // of key events and mappings: when the server made them
};

class XRecorder {
public:
    // `lag` makes it an application that is busy elsewhere: it gets to each
    // event that much after the event came, and reads the key's symbol only
    // then, as a starved application does.
    explicit XRecorder(std::chrono::milliseconds lag = {}) : lag_(lag) {
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

    // Events are taken off the connection as they come and read (a key's
    // symbol asked of the server) `lag` after that.
    void run() {
        using Clock = std::chrono::steady_clock;
        std::deque<std::pair<XEvent, Clock::time_point>> taken;
        while (!stop_) {
            while (XPending(display_) > 0) {
                XEvent e;
                XNextEvent(display_, &e);
                taken.emplace_back(e, Clock::now());
            }
            while (!taken.empty() && taken.front().second + lag_ <= Clock::now()) {
                read(taken.front().first);
                taken.pop_front();
            }
            int wait = 20;
            if (!taken.empty()) {
                const auto due = std::chrono::duration_cast<std::chrono::milliseconds>(taken.front().second + lag_ -
                                                                                       Clock::now());
                wait = std::clamp(static_cast<int>(due.count()) + 1, 0, wait);
            }
            // Asking for a key's symbols reads the connection, and events
            // that came meanwhile wait in Xlib's queue, not on the socket.
            if (XEventsQueued(display_, QueuedAlready) > 0) continue;
            pollfd p{ConnectionNumber(display_), POLLIN, 0};
            poll(&p, 1, wait);
        }
    }

    void read(XEvent& e) {
        XRecord r;
        r.type = e.type;
        r.at = std::chrono::steady_clock::now();
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
                r.serverTime = e.xkey.time;
                break;
            }
            case MappingNotify:
                XRefreshKeyboardMapping(&e.xmapping);
                return;
            default:
                // A change of the keys' symbols is written down as a
                // MappingNotify of the keys it changed.
                if (e.type != xkbEvent_) return;
                const auto& map = reinterpret_cast<const XkbMapNotifyEvent&>(e);
                if (map.xkb_type != XkbMapNotify || !(map.changed & XkbKeySymsMask)) return;
                r.type = MappingNotify;
                r.keycode = map.first_key_sym;
                r.count = map.num_key_syms;
                r.serverTime = map.time;
                break;
        }
        {
            std::lock_guard lock(m_);
            records_.push_back(r);
        }
        cv_.notify_all();
    }

    std::chrono::milliseconds lag_;
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
