// Locks the screen with whatever locker the desktop offers, and asks whether
// it is locked. No D-Bus library is linked: the desktop is reached through
// its command-line tools, each run under a time limit so that a silent bus
// never stalls the caller. An X display without a session bus is served by
// xscreensaver, which xdg-screensaver drives and xscreensaver-command asks.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "core/program_pace.h"

namespace morvane {

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
    // Tries the desktop's screen saver over D-Bus, then the login manager,
    // then xdg-screensaver. False, with a log line, when none of them took it.
    bool lock();
    // What the desktop's screen saver says over D-Bus, or else what
    // xscreensaver says; false when nothing answers or the answer is not
    // understood.
    bool isLocked();
    // What xscreensaver alone says, for a caller that hears the session
    // bus by other means.
    bool xscreensaverLocked();
    // Whether a screen locker is there to take a lock: the desktop's screen
    // saver answers on the session bus, or xscreensaver runs. The login
    // manager's lock is not counted: it only works when such a locker
    // listens to it.
    bool answers();

private:
    bool succeeded(const std::vector<std::string>& argv);
    std::function<void(const std::string&)> log_;
    CommandRunner runner_;
};

}  // namespace morvane
