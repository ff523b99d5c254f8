// Starts a private Xvfb for a test and points DISPLAY at it. Header-only so
// any test program can use it.
#pragma once

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <stdexcept>
#include <string>
#include <thread>

namespace morvane::testing {

class Xvfb {
public:
    // Size like "1280x720x24". Throws when the server does not come up.
    explicit Xvfb(const std::string& screen = "1280x720x24") {
        int fds[2];
        if (pipe(fds) != 0) throw std::runtime_error("pipe failed");
        pid_ = fork();
        if (pid_ == 0) {
            close(fds[0]);
            int devnull = open("/dev/null", O_RDWR);
            dup2(devnull, 1);
            dup2(devnull, 2);
            std::string fd = std::to_string(fds[1]);
            execlp("Xvfb", "Xvfb", "-displayfd", fd.c_str(), "-screen", "0", screen.c_str(), "-nolisten", "tcp",
                   "-noreset", "+extension", "RANDR", static_cast<char*>(nullptr));
            _exit(127);
        }
        close(fds[1]);
        std::string number;
        char c;
        auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(15);
        while (std::chrono::steady_clock::now() < deadline && read(fds[0], &c, 1) == 1) {
            if (c == '\n') break;
            number.push_back(c);
        }
        close(fds[0]);
        if (number.empty()) {
            stop();
            throw std::runtime_error("Xvfb did not start");
        }
        display_ = ":" + number;
        previous_ = std::getenv("DISPLAY") ? std::getenv("DISPLAY") : "";
        setenv("DISPLAY", display_.c_str(), 1);
    }
    ~Xvfb() {
        stop();
        if (previous_.empty())
            unsetenv("DISPLAY");
        else
            setenv("DISPLAY", previous_.c_str(), 1);
    }
    Xvfb(const Xvfb&) = delete;
    Xvfb& operator=(const Xvfb&) = delete;

    const std::string& display() const { return display_; }

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
