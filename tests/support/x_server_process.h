// A private X server for a test: started with -displayfd so it picks a free
// display number itself, DISPLAY points at it while the object lives, and it
// is stopped at the end. Header-only so any test program can use it.
#pragma once

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <stdexcept>
#include <string>
#include <thread>
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
        // A server that neither answers nor exits must not hold the test past
        // the deadline, so every read waits on poll first.
        for (;;) {
            const auto left =
                std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
            if (left.count() <= 0) break;
            pollfd p{fds[0], POLLIN, 0};
            const int ready = poll(&p, 1, static_cast<int>(left.count()));
            if (ready < 0 && errno == EINTR) continue;
            if (ready <= 0 || read(fds[0], &c, 1) != 1 || c == '\n') break;
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
        if (pid_ <= 0) return;
        // A server stuck under load gets five seconds to go, then is killed:
        // a test must never wait on it for ever.
        kill(pid_, SIGTERM);
        int status;
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
        while (waitpid(pid_, &status, WNOHANG) == 0) {
            if (std::chrono::steady_clock::now() >= deadline) {
                kill(pid_, SIGKILL);
                waitpid(pid_, &status, 0);
                break;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        pid_ = -1;
    }
    pid_t pid_ = -1;
    std::string display_;
    std::string previous_;
};

}  // namespace morvane::testing
