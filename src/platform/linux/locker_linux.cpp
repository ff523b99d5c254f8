#include "platform/linux/locker_linux.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <thread>

extern char** environ;

namespace morvane {

namespace {

constexpr std::size_t maxOutputBytes = 64 * 1024;

}  // namespace

LockerLookResult decideLook(const std::array<std::optional<bool>, busScreenSavers.size()>& savers,
                            std::optional<bool> lockedHint, std::optional<bool> xscreensaver) {
    for (const auto& saver : savers)
        if (saver) return {true, *saver};
    if (lockedHint.value_or(false)) return {true, true};
    return {xscreensaver.has_value(), xscreensaver.value_or(false)};
}

ScreenLocker::ScreenLocker(std::function<void(const std::string&)> log, LockerBus* bus,
                           XScreenSaverAccess* xscreensaver)
    : log_(std::move(log)), bus_(bus), xscreensaver_(xscreensaver) {}

void ScreenLocker::look(std::function<void(Look)> done) {
    struct Round {
        std::array<std::optional<bool>, busScreenSavers.size()> savers;
        std::optional<bool> hint;
        std::size_t waiting = busScreenSavers.size() + 1;
        std::function<void(Look)> done;
    };
    auto round = std::make_shared<Round>();
    round->done = std::move(done);
    // xscreensaver is read when the last answer is in, so that what it says
    // is no older than what the bus said.
    auto arrived = [this, round, alive = alive_.token()] {
        if (--round->waiting > 0 || !alive) return;
        const auto xscreensaver = xscreensaver_ ? xscreensaver_->locked() : std::nullopt;
        round->done(decideLook(round->savers, round->hint, xscreensaver));
    };
    if (!bus_) {
        round->waiting = 1;
        arrived();
        return;
    }
    for (std::size_t i = 0; i < busScreenSavers.size(); ++i)
        bus_->askSaver(i, LockerBus::Call::getActive, [round, arrived, i](std::optional<bool> active) {
            round->savers[i] = active;
            arrived();
        });
    bus_->askLoginManager(LockerBus::Call::getActive, [round, arrived](std::optional<bool> hint) {
        round->hint = hint;
        arrived();
    });
}

struct ScreenLocker::Attempt {
    std::function<void(bool)> done;
};

void ScreenLocker::lock(std::function<void(bool took)> done) {
    auto attempt = std::make_shared<Attempt>();
    attempt->done = std::move(done);
    if (bus_)
        trySaver(attempt, 0);
    else
        tryOffTheSessionBus(attempt);
}

void ScreenLocker::trySaver(std::shared_ptr<Attempt> attempt, std::size_t saver) {
    if (saver == busScreenSavers.size()) {
        tryOffTheSessionBus(std::move(attempt));
        return;
    }
    bus_->askSaver(saver, LockerBus::Call::lock, [this, attempt, saver, alive = alive_.token()](std::optional<bool> replied) {
        if (!alive) return;
        if (replied.value_or(false)) {
            attempt->done(true);
            return;
        }
        bus_->askSaver(saver, LockerBus::Call::getActive, [this, attempt, saver, alive](std::optional<bool> active) {
            if (!alive) return;
            if (active.value_or(false))
                attempt->done(true);
            else
                trySaver(attempt, saver + 1);
        });
    });
}

void ScreenLocker::tryOffTheSessionBus(std::shared_ptr<Attempt> attempt) {
    // xscreensaver is asked before the login manager: its window proves it
    // is there, while the login manager takes a lock whether or not any
    // locker listens to it.
    if (xscreensaver_ && xscreensaver_->lock()) {
        attempt->done(true);
        return;
    }
    auto none = [this, attempt] {
        if (log_) log_("the screen could not be locked: no screen locker answered");
        attempt->done(false);
    };
    if (!bus_) {
        none();
        return;
    }
    bus_->askLoginManager(LockerBus::Call::lock, [attempt, none, alive = alive_.token()](std::optional<bool> replied) {
        if (!alive) return;
        if (replied.value_or(false))
            attempt->done(true);
        else
            none();
    });
}

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

}  // namespace morvane
