// Locks the screen with whatever locker the desktop offers, and asks whether
// it is locked. Nothing here starts a program: each desktop's screen saver
// answers on a name of its own on the session bus, the login manager on the
// system bus (its LockedHint speaks for lockers that only listen to it, such
// as light-locker and xss-lock), and xscreensaver in its own X protocol.
// The questions go out through ports the owner hands in and come back later,
// each by its deadline, so a silent locker holds nothing but its own answer.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "core/liveness.h"

namespace morvane {

// A screen saver of the session bus: its name, which is also the interface
// of its Lock and GetActive, and its object.
struct BusScreenSaver {
    const char* service;
    const char* path;
    // When it goes away while the screen is locked, a locker of its own
    // keeps the screen covered (Cinnamon's backup locker) until the person
    // ends it, which ends the saver started again too: its last word stands
    // meanwhile, even over what the saver says once started again (not
    // active: it cannot lock while the backup holds the keyboard).
    bool coveredWhileGone = false;
    // Its Lock takes the message to show on the lock screen (Cinnamon's),
    // and refuses a call without one.
    bool lockTakesMessage = false;
};
// In the order they are asked; the first that answers has the last word.
// KDE, LXQt and Xfce answer the freedesktop name (Xfce its own too); GNOME,
// MATE and Cinnamon only their own.
inline constexpr std::array<BusScreenSaver, 5> busScreenSavers = {{
    {"org.freedesktop.ScreenSaver", "/org/freedesktop/ScreenSaver"},
    {"org.gnome.ScreenSaver", "/org/gnome/ScreenSaver"},
    {"org.mate.ScreenSaver", "/org/mate/ScreenSaver"},
    {"org.cinnamon.ScreenSaver", "/org/cinnamon/ScreenSaver", true, true},
    {"org.xfce.ScreenSaver", "/org/xfce/ScreenSaver"},
}};

// The bus's lockers, asked without waiting. Every answer comes once, later,
// on the queue the question was asked on; nothing when the locker is not on
// the bus, fails, answers with something else or misses its deadline.
class LockerBus {
public:
    enum class Call { getActive, lock };
    // How long each question may take. A Lock may be answered late by a
    // saver that locks first (one took 2.5 s on a busy desktop) and never by
    // MATE's, which locks at once: the screen's own news tells either.
    static constexpr int getActiveMillis = 2'000;
    static constexpr int lockMillis = 5'000;

    virtual ~LockerBus() = default;
    // busScreenSavers[saver]: GetActive's boolean, or true for a Lock it
    // replied to.
    virtual void askSaver(std::size_t saver, Call call, std::function<void(std::optional<bool>)> answer) = 0;
    // This session at the login manager: its LockedHint, or true for a Lock
    // it replied to.
    virtual void askLoginManager(Call call, std::function<void(std::optional<bool>)> answer) = 0;
};

// xscreensaver as its X properties tell it; asked on the queue its owner
// uses, answered at once (a round trip to the X server).
class XScreenSaverAccess {
public:
    virtual ~XScreenSaverAccess() = default;
    // Nothing when no xscreensaver runs on the display; else whether it
    // has the screen locked (blanked is not locked).
    virtual std::optional<bool> locked() = 0;
    // Tells the running xscreensaver to lock; false when none runs.
    virtual bool lock() = 0;
};

struct LockerLookResult {
    bool answers = false;  // a screen locker is there to take a lock
    bool locked = false;
    bool operator==(const LockerLookResult&) const = default;
};

// What one round of answers says: a screen saver on the bus that answers has
// the last word, the first of the table before the others; where none does,
// a login manager that says the session is locked (so a locker listens to
// it); else xscreensaver. The login manager alone, saying "unlocked", proves
// no locker: its lock only works when one listens.
LockerLookResult decideLook(const std::array<std::optional<bool>, busScreenSavers.size()>& savers,
                            std::optional<bool> lockedHint, std::optional<bool> xscreensaver);

// A program run under a time limit, for the tools, tests and benches that
// drive a locker from outside as a person would; the host asks none.
struct CommandResult {
    enum class Kind { exited, missing, timedOut, failed };
    Kind kind = Kind::failed;
    int status = -1;     // exit status when exited
    std::string output;  // standard output, at most 64 KiB
};
// Runs argv[0] found on PATH with the other arguments, standard input and
// error on /dev/null; kills it when it outlives the limit.
CommandResult runCommand(const std::vector<std::string>& argv, std::int64_t limitMillis);

class ScreenLocker {
public:
    using Look = LockerLookResult;

    // Either port may be null (no session bus, no display). Used on one
    // queue: the one the ports answer on.
    ScreenLocker(std::function<void(const std::string&)> log, LockerBus* bus, XScreenSaverAccess* xscreensaver);
    ScreenLocker(const ScreenLocker&) = delete;
    ScreenLocker& operator=(const ScreenLocker&) = delete;

    // Every locker asked at once; `done` once all answered or their
    // deadlines passed.
    void look(std::function<void(Look)> done);
    // Tries each screen saver on the bus in the table's order, then
    // xscreensaver, then the login manager; `done(false)`, with a log line,
    // when none of them took it. A saver whose Lock is not replied to took
    // it when it says it is active (MATE's never replies).
    void lock(std::function<void(bool took)> done);

private:
    struct Attempt;
    void trySaver(std::shared_ptr<Attempt> attempt, std::size_t saver);
    void tryOffTheSessionBus(std::shared_ptr<Attempt> attempt);

    std::function<void(const std::string&)> log_;
    LockerBus* bus_;
    XScreenSaverAccess* xscreensaver_;
    Liveness alive_;
};

}  // namespace morvane
