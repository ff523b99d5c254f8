// Locking the machine when the controller leaves, and judging a lock the
// controller asked for from the page. A value state machine: its owner feeds
// controller changes, timer firings and probe answers, and carries out the
// actions (log lines, timers, the lock keystroke, the answer to the page).
// Nothing in here reads a clock or touches the system.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <variant>
#include <vector>

namespace morvane {

namespace LockLimits {
inline constexpr std::int64_t graceMillis = 5'000;
inline constexpr std::int64_t checkMillis = 3'000;
// A lock the page asked for is looked at this often, this many times, and
// said to have failed after the last: the person at the phone hears within
// about two seconds (a locker takes well under one to lock).
inline constexpr std::int64_t askCheckMillis = 1'000;
inline constexpr int askChecks = 2;
}  // namespace LockLimits

class LockScheduler {
public:
    // The server's controller report. `device` is the device id that came
    // with this very report, not whatever the server holds by the time the
    // shell reads it: a later takeover must not change this decision.
    struct ControllerChanged {
        bool present = false;               // a device controls the machine now
        std::optional<std::string> device;  // its id when present
        bool lockOnDisconnect = true;
        bool paused = false;
        bool operator==(const ControllerChanged&) const = default;
    };
    // The grace timer of `ticket` fired.
    struct GraceElapsed {
        std::uint64_t ticket = 0;
        bool operator==(const GraceElapsed&) const = default;
    };
    // The host was paused from the menu or by the system's stop.
    struct Paused {
        bool operator==(const Paused&) const = default;
    };
    // The owner's answer to ProbeForLock.
    struct LockProbed {
        bool lockOnDisconnect = true;
        bool paused = false;
        bool alreadyLocked = false;
        bool canInject = true;  // input injection works at all
        bool operator==(const LockProbed&) const = default;
    };
    // The owner's answer to StartLockCheck, once its delay passed.
    struct LockChecked {
        bool locked = false;
        bool operator==(const LockChecked&) const = default;
    };
    // The controller asked to lock from the page (the lock itself went to
    // the injector); `ask` is what the answer to the page carries.
    struct Asked {
        std::uint64_t ask = 0;
        bool operator==(const Asked&) const = default;
    };
    // The owner's answer to CheckAsk, once its delay passed.
    struct AskChecked {
        bool locked = false;
        bool operator==(const AskChecked&) const = default;
    };
    using Event = std::variant<ControllerChanged, GraceElapsed, Paused, LockProbed, LockChecked, Asked, AskChecked>;

    struct Log {
        std::string tag, text;
        bool operator==(const Log&) const = default;
    };
    struct StartGraceTimer {
        std::uint64_t ticket = 0;
        std::int64_t delayMillis = 0;
        bool operator==(const StartGraceTimer&) const = default;
    };
    // Ask the probes, then feed LockProbed.
    struct ProbeForLock {
        bool operator==(const ProbeForLock&) const = default;
    };
    // Hand the lock event to the injector itself (not through the counter).
    struct SendLock {
        bool operator==(const SendLock&) const = default;
    };
    struct StartLockCheck {
        std::int64_t delayMillis = 0;
        bool operator==(const StartLockCheck&) const = default;
    };
    // Ask whether the computer is locked after the delay, then feed
    // AskChecked. One look is under way at a time, however often the page
    // asks.
    struct CheckAsk {
        std::int64_t delayMillis = 0;
        bool operator==(const CheckAsk&) const = default;
    };
    // Tell the page whether the lock it asked for happened.
    struct AnswerAsk {
        std::uint64_t ask = 0;
        bool locked = false;
        bool operator==(const AnswerAsk&) const = default;
    };
    using Action = std::variant<Log, StartGraceTimer, ProbeForLock, SendLock, StartLockCheck, CheckAsk, AnswerAsk>;

    std::vector<Action> handle(const Event& event, std::int64_t nowMillis);

    bool lockPending() const { return pending_.has_value(); }

private:
    struct Pending {
        std::uint64_t ticket = 0;
        std::int64_t dueMillis = 0;
        std::optional<std::string> device;
    };
    std::vector<Action> controllerChanged(const ControllerChanged& e, std::int64_t now);
    std::vector<Action> graceElapsed(const GraceElapsed& e, std::int64_t now);
    std::vector<Action> lockProbed(const LockProbed& e);
    std::vector<Action> askChecked(const AskChecked& e);

    bool present_ = false;
    std::optional<std::string> device_;
    std::optional<Pending> pending_;
    std::uint64_t nextTicket_ = 1;
    // The page's ask being checked: a later ask takes its place, and the
    // looks under way count for it.
    struct Asking {
        std::uint64_t ask = 0;
        int checksLeft = 0;
    };
    std::optional<Asking> asking_;
};

}  // namespace morvane
