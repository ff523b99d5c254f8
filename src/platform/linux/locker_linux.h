// Locks the screen with whatever locker the desktop offers, and asks whether
// it is locked. No D-Bus library is linked: the desktop is reached through
// its command-line tools, each run under a time limit so that a silent bus
// never stalls the caller. Each desktop's screen saver answers on a name of
// its own on the session bus; where none does, the login manager's
// LockedHint speaks for lockers that only listen to it (light-locker,
// xss-lock), and an X display without a session bus is served by
// xscreensaver, which xdg-screensaver drives and xscreensaver-command asks.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "core/program_pace.h"

namespace morvane {

// A screen saver of the session bus: its name, which is also the interface
// of its Lock and GetActive, and its object.
struct BusScreenSaver {
    const char* service;
    const char* path;
};
// In the order they are asked; the first that answers has the last word.
// KDE, LXQt and Xfce answer the freedesktop name (Xfce its own too); GNOME,
// MATE and Cinnamon only their own.
inline constexpr std::array<BusScreenSaver, 5> busScreenSavers = {{
    {"org.freedesktop.ScreenSaver", "/org/freedesktop/ScreenSaver"},
    {"org.gnome.ScreenSaver", "/org/gnome/ScreenSaver"},
    {"org.mate.ScreenSaver", "/org/mate/ScreenSaver"},
    {"org.cinnamon.ScreenSaver", "/org/cinnamon/ScreenSaver"},
    {"org.xfce.ScreenSaver", "/org/xfce/ScreenSaver"},
}};

struct CommandResult {
    enum class Kind { exited, missing, timedOut, failed };
    Kind kind = Kind::failed;
    int status = -1;     // exit status when exited
    std::string output;  // standard output, at most 64 KiB
};

// Runs argv[0] found on PATH with the other arguments, standard input and
// error on /dev/null; kills it when it outlives the limit.
using CommandRunner = std::function<CommandResult(const std::vector<std::string>& argv, std::int64_t limitMillis)>;
CommandResult runCommand(const std::vector<std::string>& argv, std::int64_t limitMillis);
// `run` at the pace of each program (ProgramPace): a program resting is not
// started, and its result reads as a failure.
CommandRunner pacedCommands(CommandRunner run, std::shared_ptr<ProgramPaces> paces);
// `run`, never held back, whose answers count for the paced checks too: a
// program found answering when it mattered (a locker that started after
// the host) is asked again at once, not after the rest it earned while it
// was not there.
CommandRunner notingAnswers(CommandRunner run, std::shared_ptr<ProgramPaces> paces);

class ScreenLocker {
public:
    static constexpr std::int64_t commandLimitMillis = 3000;

    explicit ScreenLocker(std::function<void(const std::string&)> log, CommandRunner runner = runCommand);

    struct Look {
        bool answers = false;  // as answers() says
        bool locked = false;   // as isLocked() says
    };
    // Both answers from one round of programs.
    Look look();
    // Tries each screen saver on the session bus, then the login manager,
    // then xdg-screensaver. False, with a log line, when none of them took it.
    bool lock();
    // What the first screen saver on the session bus that answers says;
    // else locked when the login manager's LockedHint says so; else what
    // xscreensaver says. False when nothing answers or the answer is not
    // understood.
    bool isLocked();
    // The login manager's hint, then xscreensaver: for a caller that hears
    // the session bus's screen savers by other means.
    bool lockedOffTheSessionBus();
    // What xscreensaver alone says.
    bool xscreensaverLocked();
    // Whether a screen locker is there to take a lock: a screen saver
    // answers on the session bus, the login manager says the session is
    // locked (so a locker listens to it), or xscreensaver runs. The login
    // manager alone is not counted: its lock only works when a locker
    // listens to it.
    bool answers();

private:
    Look offTheSessionBus();
    bool succeeded(const std::vector<std::string>& argv);
    std::function<void(const std::string&)> log_;
    CommandRunner runner_;
};

}  // namespace morvane
