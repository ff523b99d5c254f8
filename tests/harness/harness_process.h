// Runs morvane-harness (or another program of the build) as a child
// process with a private data folder.
#pragma once

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <filesystem>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "ws_client.h"

namespace morvane::testing {

// The child process with a private data folder. Lines of its standard
// output are collected by a reader thread.
class HarnessProcess {
public:
#ifdef MORVANE_HARNESS_PATH
    // `extra` arguments follow "--port PORT", for instance "--x11".
    HarnessProcess(std::filesystem::path dataHome, std::uint16_t port, std::vector<std::string> extra = {})
        : port_(port) {
        std::vector<std::string> args = {"morvane-harness", "--port", std::to_string(port)};
        args.insert(args.end(), extra.begin(), extra.end());
        spawn(MORVANE_HARNESS_PATH, std::move(args), dataHome, false);
    }
#endif
    // Another program of the build: its path, then its arguments. With
    // `errorsToo`, what it writes to standard error (a log) is read as lines too.
    HarnessProcess(const std::string& path, std::vector<std::string> arguments, const std::filesystem::path& dataHome,
                   bool errorsToo = false)
        : port_(0) {
        arguments.insert(arguments.begin(), std::filesystem::path(path).filename().string());
        spawn(path, std::move(arguments), dataHome, errorsToo);
    }
    ~HarnessProcess() {
        if (stdin_ >= 0) close(stdin_);
        if (pid_ > 0) {
            auto deadline = Clock::now() + std::chrono::seconds(5);
            int status;
            while (waitpid(pid_, &status, WNOHANG) == 0) {
                if (Clock::now() > deadline) {
                    kill(pid_, SIGKILL);
                    waitpid(pid_, &status, 0);
                    break;
                }
                std::this_thread::sleep_for(std::chrono::milliseconds(10));
            }
        }
        if (reader_.joinable()) reader_.join();
        if (stdout_ >= 0) close(stdout_);
    }

    std::uint16_t port() const { return port_; }
    pid_t pid() const { return pid_; }
    // For a child that does not end when its input does.
    void signal(int number) {
        if (pid_ > 0) ::kill(pid_, number);
    }

    void command(const std::string& line) {
        std::string l = line + "\n";
        if (::write(stdin_, l.data(), l.size()) != static_cast<ssize_t>(l.size())) throw std::runtime_error("write");
    }
    // Waits for a line beginning with `prefix` that was not taken before.
    std::optional<std::string> waitLine(const std::string& prefix, int millis = 5000) {
        return waitMatching([&](const std::string& line) { return line.rfind(prefix, 0) == 0; }, millis);
    }
    // The same for a line holding `part` anywhere.
    std::optional<std::string> waitLineWith(const std::string& part, int millis = 5000) {
        return waitMatching([&](const std::string& line) { return line.find(part) != std::string::npos; }, millis);
    }
    bool sawLine(const std::string& exact) {
        std::lock_guard lock(m_);
        for (auto& l : lines_)
            if (l == exact) return true;
        return false;
    }
    std::vector<std::string> lines() {
        std::lock_guard lock(m_);
        return lines_;
    }
    int waitExit() {
        close(stdin_);
        stdin_ = -1;
        int status = 0;
        waitpid(pid_, &status, 0);
        pid_ = -1;
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }

private:
    template <typename Match>
    std::optional<std::string> waitMatching(const Match& match, int millis) {
        std::unique_lock lock(m_);
        std::optional<std::string> found;
        cv_.wait_for(lock, std::chrono::milliseconds(millis), [&] {
            for (std::size_t i = taken_; i < lines_.size(); ++i) {
                if (match(lines_[i])) {
                    found = lines_[i];
                    taken_ = i + 1;
                    return true;
                }
            }
            return eof_;
        });
        return found;
    }

    void spawn(const std::string& path, std::vector<std::string> args, const std::filesystem::path& dataHome,
               bool errorsToo) {
        // Everything the child needs is built before fork: a threaded parent's
        // child may only make async-signal-safe calls.
        std::vector<char*> argv;
        for (auto& a : args) argv.push_back(a.data());
        argv.push_back(nullptr);
        std::string home = "XDG_DATA_HOME=" + dataHome.string();
        std::vector<char*> envp;
        for (char** e = environ; *e; ++e)
            if (std::string_view(*e).rfind("XDG_DATA_HOME=", 0) != 0) envp.push_back(*e);
        envp.push_back(home.data());
        envp.push_back(nullptr);
        int in[2], out[2];
        if (pipe(in) != 0 || pipe(out) != 0) throw std::runtime_error("pipe");
        pid_ = fork();
        if (pid_ == 0) {
            dup2(in[0], 0);
            dup2(out[1], 1);
            if (errorsToo) dup2(out[1], 2);
            // Nothing else of the test's: a socket the test closes later
            // must close for its peer too, not live on in a child.
            close_range(3, ~0U, 0);
            execve(path.c_str(), argv.data(), envp.data());
            _exit(127);
        }
        close(in[0]);
        close(out[1]);
        stdin_ = in[1];
        stdout_ = out[0];
        reader_ = std::thread([this] { readLoop(); });
    }
    void readLoop() {
        std::string partial;
        char buf[4096];
        for (;;) {
            ssize_t n = ::read(stdout_, buf, sizeof buf);
            if (n <= 0) break;
            partial.append(buf, static_cast<std::size_t>(n));
            std::size_t nl;
            while ((nl = partial.find('\n')) != std::string::npos) {
                std::lock_guard lock(m_);
                lines_.push_back(partial.substr(0, nl));
                partial.erase(0, nl + 1);
                cv_.notify_all();
            }
        }
        std::lock_guard lock(m_);
        eof_ = true;
        cv_.notify_all();
    }

    std::uint16_t port_;
    pid_t pid_ = -1;
    int stdin_ = -1, stdout_ = -1;
    std::thread reader_;
    std::mutex m_;
    std::condition_variable cv_;
    std::vector<std::string> lines_;
    std::size_t taken_ = 0;
    bool eof_ = false;
};

// The origin mark the host set on a received file, and whether the file
// system keeps user attributes at all (where it does not, no mark can be).
struct OriginMark {
    std::string origin;
    bool kept = false;
};
inline OriginMark originMark(const std::filesystem::path& file) {
    char mark[256] = {};
    const auto size = ::getxattr(file.c_str(), "user.xdg.origin.url", mark, sizeof mark - 1);
    return {size > 0 ? std::string(mark, static_cast<std::size_t>(size)) : std::string(),
            size > 0 || ::setxattr(file.c_str(), "user.morvane-probe", "1", 1, 0) == 0};
}

}  // namespace morvane::testing
