#include "platform/linux/locker_linux.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <chrono>
#include <string_view>
#include <thread>

extern char** environ;

namespace morvane {

namespace {

constexpr std::size_t maxOutputBytes = 64 * 1024;

// The two command-line clients of the bus, dbus-send first; gdbus where
// dbus-send is not installed. A call waits 2 s for its answer unless it
// says otherwise.
enum class BusTool { dbusSend, gdbus };

struct BusCall {
    const char* bus;  // "--session" or "--system"
    std::string service, path, method;
    // Arguments in dbus-send's typed form and in gdbus's.
    std::vector<std::pair<std::string, std::string>> args = {};
    int replySeconds = 2;
};

std::vector<std::string> busArgv(BusTool tool, const BusCall& call) {
    std::vector<std::string> argv;
    if (tool == BusTool::dbusSend) {
        argv = {"dbus-send", call.bus, "--print-reply",
                "--reply-timeout=" + std::to_string(call.replySeconds * 1'000), "--dest=" + call.service, call.path,
                call.method};
        for (const auto& arg : call.args) argv.push_back(arg.first);
    } else {
        argv = {"gdbus", "call", call.bus, "--timeout", std::to_string(call.replySeconds), "--dest", call.service,
                "--object-path", call.path, "--method", call.method};
        for (const auto& arg : call.args) argv.push_back(arg.second);
    }
    return argv;
}

bool exitedWell(const CommandResult& r) { return r.kind == CommandResult::Kind::exited && r.status == 0; }

// A boolean answer as each client prints it: dbus-send "boolean true" (in a
// variant for a property), gdbus "(true,)" or "(<true>,)".
bool saysTrue(BusTool tool, const std::string& output) {
    if (tool == BusTool::dbusSend) return output.find("boolean true") != std::string::npos;
    return output.find("(true,)") != std::string::npos || output.find("(<true>,)") != std::string::npos;
}

// Whether a list of names printed by either client holds `name` whole:
// dbus-send quotes it "so", gdbus 'so'.
bool listsName(const std::string& output, std::string_view name) {
    for (const char quote : {'"', '\''}) {
        const std::string quoted = quote + std::string(name) + quote;
        if (output.find(quoted) != std::string::npos) return true;
    }
    return false;
}

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

// The screen savers on the session bus, in the order they are asked, and
// the client that reaches it; none when there is no bus or it is silent.
struct SessionBus {
    BusTool tool = BusTool::dbusSend;
    std::vector<const BusScreenSaver*> savers;
};

// The unique name of the connection that holds `service` now: calls go to
// it rather than to the name, so that a saver that just went away is not
// started again by the bus (an installed one is activatable), and a call
// never reaches a newcomer it was not meant for. Nothing when nobody holds
// it.
std::optional<std::string> ownerOf(const CommandRunner& run, BusTool tool, const char* service) {
    const BusCall owner{"--session",
                        "org.freedesktop.DBus",
                        "/org/freedesktop/DBus",
                        "org.freedesktop.DBus.GetNameOwner",
                        {{std::string("string:") + service, service}}};
    const CommandResult r = run(busArgv(tool, owner), ScreenLocker::commandLimitMillis);
    if (!exitedWell(r)) return std::nullopt;
    // dbus-send: string ":1.42"; gdbus: (':1.42',)
    auto colon = r.output.find("\":");
    if (colon == std::string::npos) colon = r.output.find("':");
    if (colon == std::string::npos) return std::nullopt;
    const char quote = r.output[colon++];
    const auto end = r.output.find(quote, colon);
    if (end == std::string::npos) return std::nullopt;
    std::string name = r.output.substr(colon, end - colon);
    for (const char c : name)
        if (!(std::isalnum(static_cast<unsigned char>(c)) || c == ':' || c == '.' || c == '_' || c == '-')) return std::nullopt;
    return name;
}

SessionBus sessionBus(const CommandRunner& run) {
    // The bus itself says who is on it, so that each saver that is not
    // there costs no program of its own.
    const BusCall names{"--session", "org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus.ListNames"};
    SessionBus bus;
    CommandResult listed = run(busArgv(BusTool::dbusSend, names), ScreenLocker::commandLimitMillis);
    if (listed.kind == CommandResult::Kind::missing) {
        bus.tool = BusTool::gdbus;
        listed = run(busArgv(BusTool::gdbus, names), ScreenLocker::commandLimitMillis);
    }
    if (!exitedWell(listed)) return bus;
    for (const auto& saver : busScreenSavers)
        if (listsName(listed.output, saver.service)) bus.savers.push_back(&saver);
    return bus;
}

// What the login manager says of this session's lock; nothing when it does
// not answer (no logind, no system bus).
std::optional<bool> lockedHint(const CommandRunner& run) {
    const BusCall hint{"--system",
                       "org.freedesktop.login1",
                       "/org/freedesktop/login1/session/auto",
                       "org.freedesktop.DBus.Properties.Get",
                       {{"string:org.freedesktop.login1.Session", "org.freedesktop.login1.Session"},
                        {"string:LockedHint", "LockedHint"}}};
    for (const auto tool : {BusTool::dbusSend, BusTool::gdbus}) {
        const CommandResult r = run(busArgv(tool, hint), ScreenLocker::commandLimitMillis);
        if (r.kind == CommandResult::Kind::missing) continue;
        if (!exitedWell(r)) return std::nullopt;
        return saysTrue(tool, r.output);
    }
    return std::nullopt;
}

// Whether xscreensaver runs, and if so whether it has the screen locked.
std::optional<bool> xscreensaverSays(const CommandRunner& run) {
    const CommandResult r = run(xscreensaverTime, ScreenLocker::commandLimitMillis);
    if (!exitedWell(r) || !r.output.starts_with("XScreenSaver ")) return std::nullopt;
    return xscreensaverSaysLocked(r.output);
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
    const SessionBus bus = sessionBus(runner_);
    for (const auto* saver : bus.savers) {
        const auto owner = ownerOf(runner_, bus.tool, saver->service);
        if (!owner) continue;
        const std::string interface = saver->service;
        // MATE's saver locks at once and never replies to Lock: one that has
        // not replied within a second is asked whether it is active, and
        // that decides.
        if (succeeded(busArgv(bus.tool, {"--session", *owner, saver->path, interface + ".Lock", {}, 1}))) return true;
        const CommandResult active =
            runner_(busArgv(bus.tool, {"--session", *owner, saver->path, interface + ".GetActive"}), commandLimitMillis);
        if (exitedWell(active) && saysTrue(bus.tool, active.output)) return true;
    }
    if (succeeded({"loginctl", "lock-session"})) return true;
    if (succeeded({"xdg-screensaver", "lock"})) return true;
    if (log_) log_("the screen could not be locked: no screen locker answered");
    return false;
}

ScreenLocker::Look ScreenLocker::look() {
    // A screen saver on the session bus that answers has the last word.
    const SessionBus bus = sessionBus(runner_);
    for (const auto* saver : bus.savers) {
        const auto owner = ownerOf(runner_, bus.tool, saver->service);
        if (!owner) continue;
        const std::string method = std::string(saver->service) + ".GetActive";
        const CommandResult r = runner_(busArgv(bus.tool, {"--session", *owner, saver->path, method}),
                                        commandLimitMillis);
        if (exitedWell(r)) return {true, saysTrue(bus.tool, r.output)};
    }
    // No bus, or nobody on it who knows: the login manager's hint, then
    // xscreensaver, which keeps its own state.
    return offTheSessionBus();
}

bool ScreenLocker::isLocked() { return look().locked; }

ScreenLocker::Look ScreenLocker::offTheSessionBus() {
    if (lockedHint(runner_).value_or(false)) return {true, true};
    const auto xscreensaver = xscreensaverSays(runner_);
    return {xscreensaver.has_value(), xscreensaver.value_or(false)};
}

bool ScreenLocker::lockedOffTheSessionBus() { return offTheSessionBus().locked; }

bool ScreenLocker::xscreensaverLocked() { return xscreensaverSays(runner_).value_or(false); }

bool ScreenLocker::answers() { return look().answers; }

}  // namespace morvane
