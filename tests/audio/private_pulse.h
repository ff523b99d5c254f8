// A throw-away PulseAudio server for one test: its own runtime and home
// folders, a null sink as the default device when asked for, reached through
// PULSE_SERVER. Never touches the developer's own sound server.
#pragma once

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <optional>
#include <string>
#include <thread>
#include <vector>

extern char** environ;

namespace morvane::testing {

class PrivatePulse {
public:
    static constexpr const char* sinkName = "morvane_test";

    explicit PrivatePulse(bool withSink = true) {
        char pattern[] = "/tmp/morvane-pulse-XXXXXX";
        if (!mkdtemp(pattern)) return;
        dir_ = pattern;
        std::filesystem::create_directories(dir_ + "/run");
        socket_ = dir_ + "/native";
        std::vector<std::string> args = {"pulseaudio", "--daemonize=no", "--exit-idle-time=-1", "-n",
                                         "--use-pid-file=no", "--log-target=stderr"};
        if (withSink) args.push_back(std::string("--load=module-null-sink sink_name=") + sinkName);
        args.push_back("--load=module-native-protocol-unix auth-anonymous=1 socket=" + socket_);
        pid_ = spawn(args, dir_ + "/log");
        // The socket appears once the server listens on it.
        for (int i = 0; i < 750 && !up_ && pid_ > 0; ++i) {
            int status = 0;
            up_ = std::filesystem::exists(socket_);
            if (!up_ && waitpid(pid_, &status, WNOHANG) == pid_) pid_ = -1;  // it gave up
            if (!up_) std::this_thread::sleep_for(std::chrono::milliseconds(20));
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
        std::error_code ec;
        if (!dir_.empty()) std::filesystem::remove_all(dir_, ec);
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
        for (int i = 0; i < 500 && waitpid(pid_, &status, WNOHANG) == 0; ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        if (waitpid(pid_, &status, WNOHANG) == 0) {
            ::kill(pid_, SIGKILL);
            waitpid(pid_, &status, 0);
        }
        pid_ = -1;
    }

    // Plays raw mono float samples at 48 kHz into the null sink.
    pid_t play(const std::string& rawFile) const {
        return spawn({"pacat", "--playback", "--raw", "--format=float32le", "--rate=48000", "--channels=1",
                      std::string("--device=") + sinkName, rawFile},
                     "/dev/null");
    }

private:
    // Everything is prepared before the fork: the test process has threads.
    pid_t spawn(std::vector<std::string> args, const std::string& log) const {
        std::vector<std::string> env = {"HOME=" + dir_, "XDG_RUNTIME_DIR=" + dir_ + "/run",
                                        "PULSE_SERVER=" + server()};
        for (char** e = environ; *e; ++e) {
            std::string_view v(*e);
            if (!v.starts_with("HOME=") && !v.starts_with("XDG_RUNTIME_DIR=") && !v.starts_with("PULSE_SERVER=") &&
                !v.starts_with("DISPLAY="))
                env.emplace_back(v);
        }
        std::vector<char*> argv, envp;
        for (auto& a : args) argv.push_back(a.data());
        for (auto& e : env) envp.push_back(e.data());
        argv.push_back(nullptr);
        envp.push_back(nullptr);
        int out = open(log.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
        pid_t pid = fork();
        if (pid == 0) {
            if (out >= 0) dup2(out, 2);
            execvpe(argv[0], argv.data(), envp.data());
            _exit(127);
        }
        if (out >= 0) close(out);
        return pid;
    }

    std::string dir_;
    std::string socket_;
    pid_t pid_ = -1;
    bool up_ = false;
    std::optional<std::string> previous_;
};

}  // namespace morvane::testing
