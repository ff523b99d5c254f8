// Whether the screen is locked, heard from the desktop's screen saver on the
// session bus instead of asked by starting a program every second while a
// device is connected: each screen saver the desktops offer (busScreenSavers)
// is asked once when it comes onto the bus, then followed through its
// ActiveChanged signal. Where none answers there (xscreensaver alone, a
// locker that only the login manager knows, no session bus), the poll given
// stands in: it starts the command-line tools, at most as often as it caches.
//
// Lives on the Qt thread, whose loop delivers the bus's messages; `locked()`
// may be asked from any thread.
#pragma once

#include <atomic>
#include <functional>
#include <memory>
#include <optional>

class QDBusConnection;

namespace morvane {

class ScreenLockWatch {
public:
    // `bus` is the session bus (a private one in tests). `moved` is called,
    // on the Qt thread or the thread that asked `locked()`, when a screen
    // saver comes onto the bus or leaves it, or the answer `locked()` gives
    // changes: a locker that went away while the screen was locked is news
    // the owner hears at once, not at its next look.
    ScreenLockWatch(const QDBusConnection& bus, std::function<bool()> poll, std::function<void()> moved = {});
    ~ScreenLockWatch();
    ScreenLockWatch(const ScreenLockWatch&) = delete;
    ScreenLockWatch& operator=(const ScreenLockWatch&) = delete;

    // The screen saver's last word while one answers on the bus; else the
    // poll's answer.
    bool locked();
    // A screen saver on the bus answers, so nothing is polled.
    bool hearing() const;

    class Listener;

private:
    std::unique_ptr<Listener> listener_;
    std::function<bool()> poll_;
    std::function<void()> moved_;
    // The poll's last answer (1 locked, 0 not), -1 while the bus answers.
    std::atomic<int> polled_{-1};
};

}  // namespace morvane
