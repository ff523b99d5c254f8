#include "platform/linux/locker_linux.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <string_view>
#include <thread>

extern char** environ;

namespace morvane {

namespace {

constexpr std::size_t maxOutputBytes = 64 * 1024;

const std::vector<std::string> screenSaverLockDbusSend = {
    "dbus-send", "--session", "--print-reply", "--reply-timeout=2000", "--dest=org.freedesktop.ScreenSaver",
    "/org/freedesktop/ScreenSaver", "org.freedesktop.ScreenSaver.Lock"};
const std::vector<std::string> screenSaverLockGdbus = {
    "gdbus", "call", "--session", "--timeout", "2", "--dest", "org.freedesktop.ScreenSaver", "--object-path",
    "/org/freedesktop/ScreenSaver", "--method", "org.freedesktop.ScreenSaver.Lock"};
const std::vector<std::string> screenSaverActiveDbusSend = {
    "dbus-send", "--session", "--print-reply=literal", "--reply-timeout=2000", "--dest=org.freedesktop.ScreenSaver",
    "/org/freedesktop/ScreenSaver", "org.freedesktop.ScreenSaver.GetActive"};
const std::vector<std::string> screenSaverActiveGdbus = {
    "gdbus", "call", "--session", "--timeout", "2", "--dest", "org.freedesktop.ScreenSaver", "--object-path",
    "/org/freedesktop/ScreenSaver", "--method", "org.freedesktop.ScreenSaver.GetActive"};
const std::vector<std::string> xscreensaverTime = {"xscreensaver-command", "-time"};

// xscreensaver-command -time prints one line such as
//   XScreenSaver 6.06: screen locked since Mon Dec  7 08:39:42 2026
// where "locked" may instead read "blanked" or "non-blanked". Only the
// locked form counts; anything else, including text we don't know, is no.
bool xscreensaverSaysLocked(const std::string& output) {
    const std::string_view line = std::string_view(output).substr(0, output.find('\n'));
    const std::string_view program = "XScreenSaver ";
    if (line.substr(0, program.size()) != program) return false;
    const auto colon = line.find(": ");
    return colon != std::string_view::npos && line.substr(colon + 2).starts_with("screen locked since ");
}

}  // namespace

CommandResult runCommand(const std::vector<std::string>& argv, std::int64_t limitMillis) {
    CommandResult result;
    if (argv.empty()) return result;
    int out[2];
    if (pipe2(out, O_CLOEXEC) != 0) return result;

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_adddup2(&actions, out[1], 1);
    posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
    std::vector<char*> args;
    for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    pid_t pid = -1;
    const int spawned = posix_spawnp(&pid, args[0], &actions, nullptr, args.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    close(out[1]);
    if (spawned != 0) {
        close(out[0]);
        result.kind = (spawned == ENOENT || spawned == EACCES) ? CommandResult::Kind::missing
                                                               : CommandResult::Kind::failed;
        return result;
    }

    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(limitMillis);
    auto remaining = [&] {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        return static_cast<int>(std::max<std::int64_t>(0, left.count()));
    };
    bool timedOut = false;
    for (;;) {
        pollfd p{out[0], POLLIN, 0};
        const int left = remaining();
        if (left == 0) {
            timedOut = true;
            break;
        }
        const int ready = poll(&p, 1, left);
        if (ready < 0 && errno == EINTR) continue;
        if (ready <= 0) {
            timedOut = ready == 0;
            break;
        }
        char buffer[4096];
        const ssize_t n = read(out[0], buffer, sizeof buffer);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        const std::size_t room = maxOutputBytes - std::min(maxOutputBytes, result.output.size());
        result.output.append(buffer, std::min<std::size_t>(room, static_cast<std::size_t>(n)));
    }
    close(out[0]);

    int status = 0;
    auto killed = [&] {
        kill(pid, SIGKILL);
        while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
        }
        result.kind = CommandResult::Kind::timedOut;
        return result;
    };
    if (timedOut) return killed();
    // The output closed; the program may still linger until the deadline.
    for (;;) {
        const pid_t done = waitpid(pid, &status, WNOHANG);
        if (done == pid) break;
        if (done < 0 && errno != EINTR) return result;
        if (remaining() == 0) return killed();
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    if (WIFEXITED(status)) {
        result.kind = CommandResult::Kind::exited;
        result.status = WEXITSTATUS(status);
        // A shell-style "not found" from a wrapper counts as missing.
        if (result.status == 127) result.kind = CommandResult::Kind::missing;
    }
    return result;
}

CommandRunner pacedCommands(CommandRunner run, std::shared_ptr<ProgramPaces> paces) {
    return pacedRunner(
        std::move(run), std::move(paces),
        [](const CommandResult& r) -> std::optional<int> {
            if (r.kind == CommandResult::Kind::exited && r.status == 0) return std::nullopt;
            return static_cast<int>(r.kind) * 1'000 + r.status;
        },
        CommandResult{});
}

CommandRunner notingAnswers(CommandRunner run, std::shared_ptr<ProgramPaces> paces) {
    return [run = std::move(run), paces = std::move(paces)](const std::vector<std::string>& argv,
                                                             std::int64_t limitMillis) {
        CommandResult result = run(argv, limitMillis);
        if (result.kind == CommandResult::Kind::exited && result.status == 0) paces->record(argv, std::nullopt);
        return result;
    };
}

ScreenLocker::ScreenLocker(std::function<void(const std::string&)> log, CommandRunner runner)
    : log_(std::move(log)), runner_(std::move(runner)) {}

bool ScreenLocker::succeeded(const std::vector<std::string>& argv) {
    const CommandResult r = runner_(argv, commandLimitMillis);
    return r.kind == CommandResult::Kind::exited && r.status == 0;
}

bool ScreenLocker::lock() {
    const CommandResult viaDbus = runner_(screenSaverLockDbusSend, commandLimitMillis);
    if (viaDbus.kind == CommandResult::Kind::exited && viaDbus.status == 0) return true;
    if (viaDbus.kind == CommandResult::Kind::missing && succeeded(screenSaverLockGdbus)) return true;
    if (succeeded({"loginctl", "lock-session"})) return true;
    if (succeeded({"xdg-screensaver", "lock"})) return true;
    if (log_) log_("the screen could not be locked: no screen locker answered");
    return false;
}

ScreenLocker::Look ScreenLocker::look() {
    // A screen saver on the session bus that answers has the last word.
    const CommandResult viaDbus = runner_(screenSaverActiveDbusSend, commandLimitMillis);
    if (viaDbus.kind == CommandResult::Kind::exited && viaDbus.status == 0)
        return {true, viaDbus.output.find("boolean true") != std::string::npos};
    if (viaDbus.kind == CommandResult::Kind::missing) {
        const CommandResult viaGdbus = runner_(screenSaverActiveGdbus, commandLimitMillis);
        if (viaGdbus.kind == CommandResult::Kind::exited && viaGdbus.status == 0)
            return {true, viaGdbus.output.find("(true,)") != std::string::npos};
    }
    // No bus, or nobody on it who knows: xscreensaver keeps its own state.
    const CommandResult viaXscreensaver = runner_(xscreensaverTime, commandLimitMillis);
    if (viaXscreensaver.kind != CommandResult::Kind::exited || viaXscreensaver.status != 0 ||
        !viaXscreensaver.output.starts_with("XScreenSaver "))
        return {};
    return {true, xscreensaverSaysLocked(viaXscreensaver.output)};
}

bool ScreenLocker::isLocked() { return look().locked; }

bool ScreenLocker::xscreensaverLocked() {
    const CommandResult viaXscreensaver = runner_(xscreensaverTime, commandLimitMillis);
    return viaXscreensaver.kind == CommandResult::Kind::exited && viaXscreensaver.status == 0 &&
           xscreensaverSaysLocked(viaXscreensaver.output);
}

bool ScreenLocker::answers() { return look().answers; }

}  // namespace morvane
