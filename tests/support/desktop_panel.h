// A desktop around a test on its private X server: a real window manager
// (Debian's openbox) and a panel with a tray at one edge (Debian's trayer)
// whose strut the window manager takes out of the work area
// (_NET_WORKAREA), as on a person's desktop. Both are installed by
// scripts/setup; a missing one reads as not running, and the test fails.
// Header-only so any test program can use it.
#pragma once

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>

#include <string>
#include <vector>

extern char** environ;

namespace morvane::testing {

// A program started for the length of a test, its output thrown away,
// ended at the end.
class ChildProgram {
public:
    // `display`: the X display (and screen) it runs on, when not $DISPLAY.
    explicit ChildProgram(std::vector<std::string> args, const std::string& display = {}) {
        std::vector<char*> argv;
        for (auto& a : args) argv.push_back(a.data());
        argv.push_back(nullptr);
        std::vector<std::string> env;
        for (char** e = environ; *e; ++e)
            if (display.empty() || std::string(*e).rfind("DISPLAY=", 0) != 0) env.emplace_back(*e);
        if (!display.empty()) env.push_back("DISPLAY=" + display);
        std::vector<char*> envp;
        for (auto& e : env) envp.push_back(e.data());
        envp.push_back(nullptr);
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
        posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
        posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
        if (posix_spawnp(&pid_, argv[0], &actions, nullptr, argv.data(), envp.data()) != 0) pid_ = -1;
        posix_spawn_file_actions_destroy(&actions);
    }
    ChildProgram(const ChildProgram&) = delete;
    ChildProgram& operator=(const ChildProgram&) = delete;
    ~ChildProgram() {
        if (pid_ <= 0) return;
        ::kill(pid_, SIGTERM);
        int status = 0;
        ::waitpid(pid_, &status, 0);
    }
    // Started, and not ended by itself (a program not installed ends at once).
    bool running() {
        if (pid_ <= 0) return false;
        int status = 0;
        if (::waitpid(pid_, &status, WNOHANG) == pid_) pid_ = -1;
        return pid_ > 0;
    }

private:
    pid_t pid_ = -1;
};

// Openbox with its packaged configuration and no session manager.
class Openbox : public ChildProgram {
public:
    explicit Openbox(const std::string& display = {})
        : ChildProgram({"openbox", "--sm-disable", "--config-file", "/etc/xdg/openbox/rc.xml"}, display) {}
};

// A panel 24 pixels high along `edge` ("top" or "bottom"), its tray at the
// right, reserving its strip of the screen.
class Trayer : public ChildProgram {
public:
    explicit Trayer(const std::string& edge, const std::string& display = {})
        : ChildProgram({"trayer", "--edge", edge, "--align", "right", "--widthtype", "request", "--height", "24",
                        "--SetDockType", "true", "--SetPartialStrut", "true"},
                       display) {}
};

}  // namespace morvane::testing
