// A real screen locker for tests: xscreensaver on the private display that
// tests/support/xvfb.h started, with a throw-away home whose settings lock
// at once and blank the screen. Header-only, like the Xvfb helper.
#pragma once

#include <fcntl.h>
#include <grp.h>
#include <pwd.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <optional>
#include <sstream>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "platform/linux/locker_linux.h"

extern char** environ;

namespace morvane::testing {

// Keeps the locker under test away from the developer's own desktop: no
// session or system bus can be reached and no desktop is named, so nothing
// but what runs on the private display answers a lock request.
class DesktopOutOfReach {
public:
    DesktopOutOfReach() {
        const std::string dead = "unix:path=/nonexistent/morvane-test-bus";
        set("DBUS_SESSION_BUS_ADDRESS", dead);
        set("DBUS_SYSTEM_BUS_ADDRESS", dead);
        for (const char* name : {"XDG_CURRENT_DESKTOP", "DESKTOP_SESSION", "KDE_FULL_SESSION",
                                 "GNOME_DESKTOP_SESSION_ID", "MATE_DESKTOP_SESSION_ID", "XDG_SESSION_ID"})
            set(name, std::nullopt);
    }
    ~DesktopOutOfReach() {
        for (auto it = saved_.rbegin(); it != saved_.rend(); ++it) {
            if (it->second)
                setenv(it->first.c_str(), it->second->c_str(), 1);
            else
                unsetenv(it->first.c_str());
        }
    }
    DesktopOutOfReach(const DesktopOutOfReach&) = delete;
    DesktopOutOfReach& operator=(const DesktopOutOfReach&) = delete;

private:
    void set(const std::string& name, const std::optional<std::string>& value) {
        const char* old = std::getenv(name.c_str());
        saved_.emplace_back(name, old ? std::optional<std::string>(old) : std::nullopt);
        if (value)
            setenv(name.c_str(), value->c_str(), 1);
        else
            unsetenv(name.c_str());
    }
    std::vector<std::pair<std::string, std::optional<std::string>>> saved_;
};

inline bool onPath(const std::string& program) {
    const char* path = std::getenv("PATH");
    std::stringstream dirs(path ? path : "/usr/bin:/bin");
    std::string dir;
    while (std::getline(dirs, dir, ':')) {
        if (!dir.empty() && access((dir + "/" + program).c_str(), X_OK) == 0) return true;
    }
    return false;
}

class XScreenSaver {
public:
    static bool installed() { return onPath("xscreensaver") && onPath("xscreensaver-command"); }

    // Starts xscreensaver on $DISPLAY and waits until it answers. When it
    // can't, running() is false and problem() says why; unavailable() tells
    // a machine that can't run it at all from a start that failed.
    // As root it runs as `runAs`, which must be an ordinary one.
    explicit XScreenSaver(const std::string& runAs = "nobody") {
        // Missing is a failure, not a skip: scripts/setup installs it, so a
        // skip here would only hide a broken set-up.
        if (!installed()) {
            problem_ = "xscreensaver is not installed (scripts/setup installs it)";
            return;
        }
        char pattern[] = "/tmp/morvane-xscreensaver-XXXXXX";
        if (!mkdtemp(pattern)) {
            problem_ = "no temporary home";
            return;
        }
        home_ = pattern;
        {
            std::ofstream settings(home_ / ".xscreensaver");
            settings << "mode:\t\tblank\n"
                        "lock:\t\tTrue\n"
                        "lockTimeout:\t0:00:00\n"
                        "timeout:\t1:00:00\n"
                        "splash:\t\tFalse\n"
                        "dpmsEnabled:\tFalse\n";
        }
        // xscreensaver never locks for root; as root the test runs it as an
        // ordinary account instead.
        std::optional<std::pair<uid_t, gid_t>> account;
        if (geteuid() == 0) {
            const passwd* user = getpwnam(runAs.c_str());
            if (!user) {
                unavailable_ = true;
                problem_ = "running as root and there is no account \"" + runAs + "\" to run xscreensaver as";
                return;
            }
            account = std::make_pair(user->pw_uid, user->pw_gid);
            if (chown(home_.c_str(), user->pw_uid, user->pw_gid) != 0 ||
                chown((home_ / ".xscreensaver").c_str(), user->pw_uid, user->pw_gid) != 0) {
                problem_ = "cannot hand the temporary home to \"" + runAs + "\"";
                return;
            }
        }

        // Built before the fork: the child only calls what is safe there.
        std::vector<std::string> env;
        for (char** e = environ; *e; ++e) {
            if (std::string_view(*e).starts_with("HOME=")) continue;
            env.emplace_back(*e);
        }
        env.push_back("HOME=" + home_.string());
        std::vector<char*> envp;
        for (auto& e : env) envp.push_back(e.data());
        envp.push_back(nullptr);
        const std::string logPath = (home_ / "xscreensaver.log").string();
        int subreaper = 0;
        prctl(PR_GET_CHILD_SUBREAPER, &subreaper);
        wasSubreaper_ = subreaper != 0;
        prctl(PR_SET_CHILD_SUBREAPER, 1);
        const std::string program = "xscreensaver";

        pid_ = fork();
        if (pid_ == 0) {
            const int log = open(logPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
            const int devnull = open("/dev/null", O_RDONLY);
            dup2(devnull, 0);
            dup2(log, 1);
            dup2(log, 2);
            if (account) {
                if (setgroups(0, nullptr) != 0 || setgid(account->second) != 0 || setuid(account->first) != 0)
                    _exit(126);
            }
            char* argv[] = {const_cast<char*>(program.c_str()), const_cast<char*>("-no-splash"), nullptr};
            execvpe(argv[0], argv, envp.data());
            _exit(127);
        }
        if (pid_ < 0) {
            problem_ = "fork failed";
            return;
        }

        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(15);
        while (std::chrono::steady_clock::now() < deadline) {
            int status = 0;
            if (waitpid(pid_, &status, WNOHANG) == pid_) {
                pid_ = -1;
                problem_ = "xscreensaver ended at start: " + log();
                return;
            }
            const CommandResult answer = runCommand({"xscreensaver-command", "-time"}, 3000);
            if (answer.kind == CommandResult::Kind::exited && answer.status == 0) {
                running_ = true;
                return;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
        }
        problem_ = "xscreensaver did not answer within 15 s: " + log();
    }

    ~XScreenSaver() {
        if (pid_ > 0) {
            // xscreensaver and every helper it started, some of which sit in
            // process groups of their own.
            std::vector<pid_t> started = descendants(pid_);
            started.insert(started.begin(), pid_);
            for (pid_t pid : started) kill(pid, SIGTERM);
            if (!reapAll(started, std::chrono::seconds(3))) {
                for (pid_t pid : started) kill(pid, SIGKILL);
                reapAll(started, std::chrono::seconds(3));
            }
        }
        if (!wasSubreaper_) prctl(PR_SET_CHILD_SUBREAPER, 0);
        std::error_code ignored;
        if (!home_.empty()) std::filesystem::remove_all(home_, ignored);
    }
    XScreenSaver(const XScreenSaver&) = delete;
    XScreenSaver& operator=(const XScreenSaver&) = delete;

    bool running() const { return running_; }
    bool unavailable() const { return unavailable_; }
    const std::string& problem() const { return problem_; }

    // What xscreensaver wrote so far, for failure messages.
    std::string log() const {
        std::ifstream in(home_ / "xscreensaver.log");
        return std::string(std::istreambuf_iterator<char>(in), {});
    }

private:
    // The helpers outlive xscreensaver by a moment; as their subreaper this
    // process collects them instead of leaving them to init. True when all
    // of them are gone.
    static bool reapAll(std::vector<pid_t>& pids, std::chrono::seconds within) {
        const auto deadline = std::chrono::steady_clock::now() + within;
        for (;;) {
            std::erase_if(pids, [](pid_t pid) {
                int status = 0;
                const pid_t done = waitpid(pid, &status, WNOHANG);
                return done == pid || (done < 0 && errno == ECHILD && kill(pid, 0) != 0);
            });
            if (pids.empty()) return true;
            if (std::chrono::steady_clock::now() >= deadline) return false;
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
    }

    static std::vector<pid_t> descendants(pid_t root) {
        std::vector<std::pair<pid_t, pid_t>> parents;  // pid, parent
        std::error_code error;
        for (const auto& entry : std::filesystem::directory_iterator("/proc", error)) {
            const std::string name = entry.path().filename().string();
            if (name.empty() || name.find_first_not_of("0123456789") != std::string::npos) continue;
            std::ifstream in(entry.path() / "stat");
            std::string stat((std::istreambuf_iterator<char>(in)), {});
            const auto close = stat.rfind(')');
            if (close == std::string::npos) continue;
            std::istringstream rest(stat.substr(close + 1));
            char state = 0;
            long parent = 0;
            if (rest >> state >> parent) parents.emplace_back(std::stoi(name), static_cast<pid_t>(parent));
        }
        std::vector<pid_t> found;
        std::vector<pid_t> queue{root};
        while (!queue.empty()) {
            const pid_t parent = queue.back();
            queue.pop_back();
            for (const auto& [pid, of] : parents)
                if (of == parent) {
                    found.push_back(pid);
                    queue.push_back(pid);
                }
        }
        return found;
    }

    std::filesystem::path home_;
    bool wasSubreaper_ = false;
    pid_t pid_ = -1;
    bool running_ = false;
    bool unavailable_ = false;
    std::string problem_;
};

}  // namespace morvane::testing
