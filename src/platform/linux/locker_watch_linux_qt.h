// The desktop's screen lockers heard and asked over the connections the host
// holds: each screen saver the desktops offer (busScreenSavers) is asked when
// it comes onto the session bus, then followed through its ActiveChanged
// signal; xscreensaver through its X properties (XScreenSaverLink, whose
// socket Qt's loop watches); the login manager's LockedHint over the system
// bus. The same connections carry the questions of a look or a lock
// (LockerBus), asynchronously, each with its deadline: no program is started.
//
// Lives on the Qt thread, whose loop delivers the answers; `locked()` may be
// asked from any thread.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>

#include "platform/linux/locker_linux.h"
#include "platform/linux/locker_xscreensaver_x11.h"

class QDBusConnection;

namespace morvane {

class ScreenLockWatch final : public LockerBus {
public:
    // `bus` is the session bus and `system` the system bus (private ones in
    // tests; either may be unconnected); `xscreensaver` the display's link,
    // null without a display. `moved` is called on the Qt thread when a
    // screen saver comes onto the bus or leaves it, xscreensaver comes, goes
    // or changes, or the answer `locked()` gives changes: a locker that went
    // away while the screen was locked is news the owner hears at once.
    ScreenLockWatch(const QDBusConnection& bus, const QDBusConnection& system,
                    std::unique_ptr<XScreenSaverLink> xscreensaver, std::function<void()> moved = {});
    ~ScreenLockWatch() override;
    ScreenLockWatch(const ScreenLockWatch&) = delete;
    ScreenLockWatch& operator=(const ScreenLockWatch&) = delete;

    // The screen saver's last word while one answers on the bus (or its
    // backup keeps the screen covered); else xscreensaver's; else the login
    // manager's hint, asked again when older than a second.
    bool locked();
    // A screen saver on the bus answers, so its word is the one taken.
    bool hearing() const;
    // xscreensaver, for the lock's own questions; null without a display.
    XScreenSaverAccess* xscreensaver();

    void askSaver(std::size_t saver, Call call, std::function<void(std::optional<bool>)> answer) override;
    void askLoginManager(Call call, std::function<void(std::optional<bool>)> answer) override;

    class Listener;

private:
    std::unique_ptr<Listener> listener_;
};

}  // namespace morvane
