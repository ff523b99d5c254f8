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

#include <cstdio>
#include <cstdlib>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "eventually.h"

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

// What the root window of `display` ($DISPLAY when empty) says of its
// window manager and work area, as xprop prints it.
inline std::string rootProperties(const std::string& display = {}) {
    const std::string name = display.empty() ? std::string(std::getenv("DISPLAY") ? std::getenv("DISPLAY") : "") : display;
    const std::string command = "xprop -display '" + name + "' -root _NET_SUPPORTING_WM_CHECK _NET_WORKAREA 2>&1";
    std::string out;
    if (FILE* pipe = ::popen(command.c_str(), "r")) {
        char buffer[512];
        while (std::fgets(buffer, sizeof buffer, pipe)) out += buffer;
        ::pclose(pipe);
    }
    return out;
}

// Openbox with its packaged configuration and no session manager. It is
// made only once the window manager has claimed its screen (or 20 s have
// passed): what starts after, a panel or a window, is managed from its
// first moment, and a client of the display has heard what the window
// manager supports before it hears of any work area it sets.
class Openbox : public ChildProgram {
public:
    explicit Openbox(const std::string& display = {})
        : ChildProgram({"openbox", "--sm-disable", "--config-file", "/etc/xdg/openbox/rc.xml"}, display) {
        eventually([&] { return !running() || rootProperties(display).find("window id #") != std::string::npos; },
                   20'000);
    }
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

// A panel along the top of `display` whose strut the window manager took
// out of the work area, which `taken` waits to see. On a loaded machine (a
// sanitized build, tests in parallel) openbox now and then misses a
// panel's strut: the panel is started again, as a person would, up to
// three times. Answers "" once the strut is taken, else what went wrong.
inline std::string startPanel(std::optional<Trayer>& trayer, Openbox& openbox, const std::string& display,
                              const std::function<bool()>& taken) {
    for (int attempt = 0; attempt < 3; ++attempt) {
        trayer.reset();
        trayer.emplace("top", display);
        if (!trayer->running()) return "trayer is missing: run scripts/setup";
        if (taken()) return "";
    }
    return "the window manager took no strut out of the work area; the root says:\n" + rootProperties(display) +
           "openbox " + (openbox.running() ? "runs" : "ended") + ", trayer " + (trayer->running() ? "runs" : "ended");
}

}  // namespace morvane::testing
