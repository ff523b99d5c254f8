#include "app/system_state.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <thread>

#include "core/clock.h"
#include "core/paths.h"

extern char** environ;

namespace morvane {

namespace {

// Lines split at every newline character the platform knows of; empty ones
// are dropped.
std::vector<std::string_view> lines(std::string_view text) {
    std::vector<std::string_view> out;
    std::size_t start = 0;
    const auto flush = [&](std::size_t end) {
        if (end > start) out.push_back(text.substr(start, end - start));
    };
    for (std::size_t i = 0; i < text.size();) {
        const unsigned char c = static_cast<unsigned char>(text[i]);
        std::size_t width = 0;
        if (c == '\n' || c == '\v' || c == '\f' || c == '\r')
            width = 1;
        else if (c == 0xC2 && i + 1 < text.size() && static_cast<unsigned char>(text[i + 1]) == 0x85)
            width = 2;  // U+0085
        else if (c == 0xE2 && i + 2 < text.size() && static_cast<unsigned char>(text[i + 1]) == 0x80 &&
                 (static_cast<unsigned char>(text[i + 2]) == 0xA8 || static_cast<unsigned char>(text[i + 2]) == 0xA9))
            width = 3;  // U+2028, U+2029
        if (width) {
            flush(i);
            i += width;
            start = i;
        } else {
            ++i;
        }
    }
    flush(text.size());
    return out;
}

std::vector<std::string_view> words(std::string_view line) {
    std::vector<std::string_view> out;
    std::size_t i = 0;
    while (i < line.size()) {
        while (i < line.size() && (line[i] == ' ' || line[i] == '\t')) ++i;
        const std::size_t start = i;
        while (i < line.size() && line[i] != ' ' && line[i] != '\t') ++i;
        if (i > start) out.push_back(line.substr(start, i - start));
    }
    return out;
}

}  // namespace

bool SystemState::parseLidClosed(std::string_view stateFile) {
    for (const auto line : lines(stateFile)) {
        const auto w = words(line);
        if (w.size() >= 2 && w[0] == "state:") return w[1] == "closed";
    }
    return false;
}

bool SystemState::parseSleepDisabled(std::string_view systemctlOutput) {
    for (const auto line : lines(systemctlOutput)) {
        const auto w = words(line);
        if (w.size() == 1 && w[0] == "LoadState=masked") return true;
    }
    return false;
}

bool SystemState::parseKernelCanSleep(std::string_view powerState) {
    for (const auto line : lines(powerState))
        for (const auto word : words(line))
            if (word == "freeze" || word == "mem" || word == "disk" || word == "standby") return true;
    return false;
}

bool SystemState::parseSleepBlocked(std::string_view loginctlOutput) {
    constexpr std::string_view key = "BlockInhibited=";
    for (const auto line : lines(loginctlOutput)) {
        const auto w = words(line);
        if (w.size() == 1 && w[0].starts_with(key) && blocksSleep(w[0].substr(key.size()))) return true;
    }
    return false;
}

bool SystemState::blocksSleep(std::string_view what) {
    while (!what.empty()) {
        const auto colon = what.find(':');
        if (what.substr(0, colon) == "sleep") return true;
        if (colon == std::string_view::npos) break;
        what.remove_prefix(colon + 1);
    }
    return false;
}

bool SystemState::sleepDisabled(const SleepFacts& facts) {
    if (facts.targetStates) {
        if (std::ranges::find(*facts.targetStates, "masked") != facts.targetStates->end()) return true;
    } else if (facts.targets && parseSleepDisabled(*facts.targets)) {
        return true;
    }
    if (facts.powerState && !parseKernelCanSleep(*facts.powerState)) return true;
    if (facts.blockInhibited) return blocksSleep(*facts.blockInhibited);
    return facts.managerState && parseSleepBlocked(*facts.managerState);
}

bool SystemState::lidClosed(const std::filesystem::path& root) {
    std::error_code ec;
    std::vector<std::filesystem::path> lids;
    for (std::filesystem::directory_iterator it(root, ec), end; !ec && it != end; it.increment(ec))
        lids.push_back(it->path());
    std::sort(lids.begin(), lids.end());
    for (const auto& lid : lids) {
        if (const auto text = readSmallFile(lid / "state", 4096)) return parseLidClosed(*text);
    }
    return false;
}

bool SystemState::hasBattery(const std::filesystem::path& root) {
    std::error_code ec;
    for (std::filesystem::directory_iterator it(root, ec), end; !ec && it != end; it.increment(ec)) {
        const auto text = readSmallFile(it->path() / "type", 64);
        if (!text) continue;
        std::string_view type = *text;
        while (!type.empty() && (type.back() == '\n' || type.back() == ' ')) type.remove_suffix(1);
        if (type == "Battery") return true;
    }
    return false;
}

std::optional<std::string> SystemState::runBounded(const std::vector<std::string>& argv, std::int64_t timeoutMillis,
                                                   std::size_t maxOutputBytes) {
    if (argv.empty() || argv[0].empty() || argv[0][0] != '/') return std::nullopt;
    int out[2];
    if (::pipe2(out, O_CLOEXEC) != 0) return std::nullopt;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_adddup2(&actions, out[1], 1);
    posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
    // Nothing of ours (sockets, files) is handed to the child.
    posix_spawn_file_actions_addclosefrom_np(&actions, 3);
    posix_spawnattr_t attr;
    posix_spawnattr_init(&attr);
    sigset_t defaults;
    sigemptyset(&defaults);
    sigaddset(&defaults, SIGPIPE);
    posix_spawnattr_setsigdefault(&attr, &defaults);
    sigset_t none;
    sigemptyset(&none);
    posix_spawnattr_setsigmask(&attr, &none);
    posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSIGMASK);
    std::vector<char*> args;
    for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    pid_t pid = 0;
    const int spawned = posix_spawn(&pid, argv[0].c_str(), &actions, &attr, args.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attr);
    ::close(out[1]);
    if (spawned != 0) {
        ::close(out[0]);
        return std::nullopt;
    }
    std::string output;
    bool timedOut = false;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMillis);
    char buffer[4096];
    while (true) {
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now()).count();
        if (left <= 0) {
            timedOut = true;
            break;
        }
        pollfd p{out[0], POLLIN, 0};
        const int ready = ::poll(&p, 1, static_cast<int>(left));
        if (ready < 0 && errno == EINTR) continue;
        if (ready <= 0) continue;
        const ssize_t n = ::read(out[0], buffer, sizeof buffer);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        const std::size_t room = maxOutputBytes - std::min(maxOutputBytes, output.size());
        output.append(buffer, std::min(room, static_cast<std::size_t>(n)));
    }
    ::close(out[0]);
    if (timedOut) ::kill(pid, SIGKILL);
    int status = 0;
    // After the pipe closed the child is about to end; a child that closed
    // its output but lingers is given the rest of the time, then killed.
    while (true) {
        const pid_t r = ::waitpid(pid, &status, timedOut ? 0 : WNOHANG);
        if (r == pid) break;
        if (r < 0 && errno != EINTR) return std::nullopt;
        if (r == 0) {
            if (std::chrono::steady_clock::now() >= deadline) {
                ::kill(pid, SIGKILL);
                timedOut = true;
            } else {
                std::this_thread::sleep_for(std::chrono::milliseconds(10));
            }
        }
    }
    if (timedOut || !WIFEXITED(status) || WEXITSTATUS(status) != 0) return std::nullopt;
    return output;
}

CachedProbe::CachedProbe(Executor& queue, Read read, std::int64_t maxAgeMillis, Clock clock)
    : read_(std::move(read)), maxAgeMillis_(maxAgeMillis), clock_(std::move(clock)), queue_(queue) {
    refreshIfStale();
}

bool CachedProbe::value() {
    refreshIfStale();
    std::lock_guard guard(state_->lock);
    return state_->cached;
}

void CachedProbe::refreshIfStale() {
    {
        std::lock_guard guard(state_->lock);
        if (state_->refreshing) return;
        if (state_->readAt && clock_() - *state_->readAt <= maxAgeMillis_) return;
        state_->refreshing = true;
    }
    queue_.post([state = state_, read = read_, clock = clock_] {
        const auto result = read();
        std::lock_guard guard(state->lock);
        if (result) state->cached = *result;
        state->readAt = clock();
        state->refreshing = false;
    });
}

SystemState::Run SystemState::pacedRun(Run run, std::shared_ptr<ProgramPaces> paces) {
    // Only an exit status of 0 gives an output: every failure is the same.
    return pacedRunner(
        std::move(run), std::move(paces),
        [](const std::optional<std::string>& out) { return out ? std::nullopt : std::optional<int>(0); },
        std::optional<std::string>());
}

std::optional<bool> SystemState::readSleepDisabled(const SleepBus& bus, const Run& run,
                                                   const std::filesystem::path& powerState) {
    SleepFacts facts;
    if (bus.targetStates) facts.targetStates = bus.targetStates();
    if (!facts.targetStates)
        facts.targets = run({"/usr/bin/systemctl", "show", "--property=LoadState", "sleep.target", "suspend.target"},
                            3'000);
    facts.powerState = readSmallFile(powerState, 4096);
    if (bus.blockInhibited) facts.blockInhibited = bus.blockInhibited();
    if (!facts.blockInhibited)
        facts.managerState = run({"/usr/bin/loginctl", "show-session", "--property=BlockInhibited"}, 3'000);
    // Nothing answered: keep the last reading.
    if (!facts.targetStates && !facts.targets && !facts.powerState && !facts.blockInhibited && !facts.managerState)
        return std::nullopt;
    return sleepDisabled(facts);
}

std::unique_ptr<CachedProbe> makeSleepDisabledReader(Executor& queue, SystemState::SleepBus bus,
                                                     std::int64_t maxAgeMillis) {
    return std::make_unique<CachedProbe>(
        queue,
        [bus = std::move(bus), run = SystemState::pacedRun(
                                   [](const std::vector<std::string>& argv, std::int64_t timeoutMillis) {
                                       return SystemState::runBounded(argv, timeoutMillis);
                                   },
                                   std::make_shared<ProgramPaces>(nowMillis))] {
            return SystemState::readSleepDisabled(bus, run);
        },
        maxAgeMillis, [] { return nowMillis(); });
}

}  // namespace morvane
