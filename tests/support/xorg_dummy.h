// Starts a private Xorg with the dummy video driver for a test and points
// DISPLAY at it: unlike Xvfb it can switch display modes through RandR.
// The server runs as root with the config in tests/support (three modes:
// 1920x1080, 1440x900 and 1280x720, starting at the first). Header-only;
// throws when the server does not come up, so a test without it fails.
#pragma once

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <stdexcept>
#include <string>

namespace morvane::testing {

class XorgDummy {
public:
    explicit XorgDummy(const std::string& config) {
        namespace fs = std::filesystem;
        folder_ = fs::temp_directory_path() / ("morvane-xorg-" + std::to_string(::getpid()) + "-" +
                                               std::to_string(counter()++));
        fs::create_directories(folder_ / "conf.d");
        const std::string configDir = (folder_ / "conf.d").string();
        const std::string logFile = (folder_ / "Xorg.log").string();
        int fds[2];
        if (pipe(fds) != 0) throw std::runtime_error("pipe failed");
        pid_ = fork();
        if (pid_ == 0) {
            close(fds[0]);
            setsid();  // keeps the server off the test's terminal and signals
            int devnull = open("/dev/null", O_RDWR);
            dup2(devnull, 0);
            dup2(devnull, 1);
            dup2(devnull, 2);
            const std::string fd = std::to_string(fds[1]);
            execlp("Xorg", "Xorg", "-displayfd", fd.c_str(), "-noreset", "-nolisten", "tcp", "-config",
                   config.c_str(), "-configdir", configDir.c_str(), "-logfile", logFile.c_str(),
                   static_cast<char*>(nullptr));
            _exit(127);
        }
        close(fds[1]);
        std::string number;
        char c;
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
        while (std::chrono::steady_clock::now() < deadline && read(fds[0], &c, 1) == 1) {
            if (c == '\n') break;
            number.push_back(c);
        }
        close(fds[0]);
        if (number.empty()) {
            stop();
            throw std::runtime_error("Xorg with the dummy driver did not start (log: " + logFile + ")");
        }
        display_ = ":" + number;
        previous_ = std::getenv("DISPLAY") ? std::getenv("DISPLAY") : "";
        setenv("DISPLAY", display_.c_str(), 1);
    }
    ~XorgDummy() {
        stop();
        if (previous_.empty())
            unsetenv("DISPLAY");
        else
            setenv("DISPLAY", previous_.c_str(), 1);
        std::error_code ec;
        std::filesystem::remove_all(folder_, ec);
    }
    XorgDummy(const XorgDummy&) = delete;
    XorgDummy& operator=(const XorgDummy&) = delete;

    const std::string& display() const { return display_; }

private:
    static int& counter() {
        static int n = 0;
        return n;
    }
    void stop() {
        if (pid_ > 0) {
            kill(pid_, SIGTERM);
            int status;
            waitpid(pid_, &status, 0);
            pid_ = -1;
        }
    }
    pid_t pid_ = -1;
    std::filesystem::path folder_;
    std::string display_;
    std::string previous_;
};

}  // namespace morvane::testing
