// Whether the screen is locked, heard from the desktop's screen saver on the
// session bus instead of asked by starting a program every second while a
// device is connected: its state is asked once when it comes onto the bus,
// then followed through its ActiveChanged signal. Where no screen saver
// answers there (xscreensaver alone, no session bus), the poll given stands
// in: it starts the command-line tools, at most as often as it caches.
//
// Lives on the Qt thread, whose loop delivers the bus's messages; `locked()`
// may be asked from any thread.
#pragma once

#include <functional>
#include <memory>

class QDBusConnection;

namespace morvane {

class ScreenLockWatch {
public:
    // `bus` is the session bus (a private one in tests).
    ScreenLockWatch(const QDBusConnection& bus, std::function<bool()> poll);
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
};

}  // namespace morvane
