// A throw-away PulseAudio server for one test: its own runtime and home
// folders, a null sink as the default device when asked for, reached through
// PULSE_SERVER. Never touches the developer's own sound server.
#pragma once

#include <signal.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace morvane::testing {

class PrivatePulse {
public:
    static constexpr const char* sinkName = "morvane_test";

    explicit PrivatePulse(bool withSink = true) {
        char pattern[] = "/tmp/morvane-pulse-XXXXXX";
        if (!mkdtemp(pattern)) return;
        dir_ = pattern;
        std::filesystem::create_directories(dir_ + "/run");
        std::filesystem::create_directories(dir_ + "/home");
        socket_ = dir_ + "/native";
        std::vector<std::string> args = {"pulseaudio", "--daemonize=no", "--exit-idle-time=-1", "-n",
                                         "--use-pid-file=no", "--log-target=stderr"};
        if (withSink) args.push_back(std::string("--load=module-null-sink sink_name=") + sinkName);
        args.push_back("--load=module-native-protocol-unix auth-anonymous=1 socket=" + socket_);
        pid_ = fork();
        if (pid_ == 0) {
            std::string log = dir_ + "/log";
            FILE* f = freopen(log.c_str(), "w", stderr);
            (void)f;
            setenv("HOME", (dir_ + "/home").c_str(), 1);
            setenv("XDG_RUNTIME_DIR", (dir_ + "/run").c_str(), 1);
            unsetenv("DISPLAY");
            unsetenv("PULSE_SERVER");
            std::vector<char*> argv;
            for (auto& a : args) argv.push_back(a.data());
            argv.push_back(nullptr);
            execvp("pulseaudio", argv.data());
            _exit(127);
        }
        auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(15);
        while (std::chrono::steady_clock::now() < deadline) {
            if (connectable()) {
                up_ = true;
                break;
            }
            int status = 0;
            if (pid_ > 0 && waitpid(pid_, &status, WNOHANG) == pid_) {
                pid_ = -1;
                break;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        if (!up_) return;
        if (const char* old = std::getenv("PULSE_SERVER")) previous_ = old;
        setenv("PULSE_SERVER", server().c_str(), 1);
    }
    ~PrivatePulse() {
        kill();
        if (previous_)
            setenv("PULSE_SERVER", previous_->c_str(), 1);
        else
            unsetenv("PULSE_SERVER");
        if (!dir_.empty()) {
            std::error_code ec;
            std::filesystem::remove_all(dir_, ec);
        }
    }
    PrivatePulse(const PrivatePulse&) = delete;
    PrivatePulse& operator=(const PrivatePulse&) = delete;

    bool up() const { return up_; }
    std::string server() const { return "unix:" + socket_; }
    std::string dir() const { return dir_; }

    void kill() {
        if (pid_ <= 0) return;
        ::kill(pid_, SIGTERM);
        int status = 0;
        auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
        while (waitpid(pid_, &status, WNOHANG) == 0) {
            if (std::chrono::steady_clock::now() >= deadline) {
                ::kill(pid_, SIGKILL);
                waitpid(pid_, &status, 0);
                break;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        pid_ = -1;
    }

    // Plays raw mono float samples at 48 kHz into the null sink; returns
    // the player's process id.
    pid_t play(const std::string& rawFile) const {
        pid_t pid = fork();
        if (pid == 0) {
            FILE* f = freopen("/dev/null", "w", stderr);
            (void)f;
            setenv("PULSE_SERVER", server().c_str(), 1);
            setenv("HOME", (dir_ + "/home").c_str(), 1);
            std::string device = std::string("--device=") + sinkName;
            execlp("pacat", "pacat", "--playback", "--raw", "--format=float32le", "--rate=48000", "--channels=1",
                   device.c_str(), rawFile.c_str(), static_cast<char*>(nullptr));
            _exit(127);
        }
        return pid;
    }

private:
    bool connectable() const {
        int fd = socket(AF_UNIX, SOCK_STREAM, 0);
        if (fd < 0) return false;
        sockaddr_un addr{};
        addr.sun_family = AF_UNIX;
        if (socket_.size() >= sizeof addr.sun_path) {
            close(fd);
            return false;
        }
        std::copy(socket_.begin(), socket_.end(), addr.sun_path);
        bool ok = connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0;
        close(fd);
        return ok;
    }

    std::string dir_;
    std::string socket_;
    pid_t pid_ = -1;
    bool up_ = false;
    std::optional<std::string> previous_;
};

}  // namespace morvane::testing
