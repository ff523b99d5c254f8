// A private X server for a test: started with -displayfd so it picks a free
// display number itself, DISPLAY points at it while the object lives, and it
// is stopped at the end. Header-only so any test program can use it.
#pragma once

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <stdexcept>
#include <string>
#include <vector>

namespace morvane::testing {

class XServerProcess {
public:
    XServerProcess(const XServerProcess&) = delete;
    XServerProcess& operator=(const XServerProcess&) = delete;
    const std::string& display() const { return display_; }
    pid_t pid() const { return pid_; }

protected:
    // `arguments` follow the program and "-displayfd N"; `failure` is the
    // text thrown when no display number comes within `seconds`.
    XServerProcess(const std::string& program, const std::vector<std::string>& arguments, const std::string& failure,
                   int seconds = 15) {
        int fds[2];
        if (pipe(fds) != 0) throw std::runtime_error("pipe failed");
        pid_ = fork();
        if (pid_ == 0) {
            close(fds[0]);
            setsid();  // off the test's terminal and its signals
            int devnull = open("/dev/null", O_RDWR);
            dup2(devnull, 0);
            dup2(devnull, 1);
            dup2(devnull, 2);
            const std::string fd = std::to_string(fds[1]);
            std::vector<const char*> argv{program.c_str(), "-displayfd", fd.c_str()};
            for (const auto& a : arguments) argv.push_back(a.c_str());
            argv.push_back(nullptr);
            execvp(program.c_str(), const_cast<char* const*>(argv.data()));
            _exit(127);
        }
        close(fds[1]);
        std::string number;
        char c;
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
        while (std::chrono::steady_clock::now() < deadline && read(fds[0], &c, 1) == 1) {
            if (c == '\n') break;
            number.push_back(c);
        }
        close(fds[0]);
        if (number.empty()) {
            stop();
            throw std::runtime_error(failure);
        }
        display_ = ":" + number;
        previous_ = std::getenv("DISPLAY") ? std::getenv("DISPLAY") : "";
        setenv("DISPLAY", display_.c_str(), 1);
    }
    ~XServerProcess() {
        stop();
        if (previous_.empty())
            unsetenv("DISPLAY");
        else
            setenv("DISPLAY", previous_.c_str(), 1);
    }

private:
    void stop() {
        if (pid_ > 0) {
            kill(pid_, SIGTERM);
            int status;
            waitpid(pid_, &status, 0);
            pid_ = -1;
        }
    }
    pid_t pid_ = -1;
    std::string display_;
    std::string previous_;
};

}  // namespace morvane::testing
