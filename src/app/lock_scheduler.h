// Locking the machine when the controller leaves, judging a lock the
// controller asked for from the page, and knowing whether a screen locker
// answers at all. A value state machine: its owner feeds controller changes,
// timer firings and the locker's answers, and carries out the actions (log
// lines, timers, a lock or a look handed to the locker's own queue, the
// answer to the page). Nothing in here reads a clock or touches the system.
//
// The locker is a slow and sometimes silent neighbour: one lock and one look
// are under way at a time, however many asks come, and the page is answered
// by a deadline whatever the locker does, then told again if the screen
// locks after all. A locker that did not answer is looked for again, soon
// at first, then less often, and at once when a device connects.
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
// A lock the page asked for is waited for while a locker is still taking it
// (its answer not in yet, or taken and the screen not locked yet): the page
// is told "not locked" only when nothing took it, or when by then the screen
// did not lock. A locker answers late on a busy desktop (2.5 s seen) and
// xscreensaver locks up to seconds after it took the lock; telling "not
// locked" first and "locked" after would be telling the person wrong.
inline constexpr std::int64_t answerMillis = 10'000;
// While a locker that took the lock has not locked yet, it is looked at this
// often until the answer is due.
inline constexpr std::int64_t lookAgainMillis = 500;
// After a "not locked", the screen is watched until this long from the ask,
// a look a second, so that a lock that comes later still is told too.
inline constexpr std::int64_t lateWatchMillis = 20'000;
inline constexpr std::int64_t lateLookMillis = 1'000;
// News of the locker (a saver flipping its state, xscreensaver's status)
// makes a look no sooner than this after the last one began: one look under
// way and one owed at most, whatever a saver says how often.
inline constexpr std::int64_t movedLookGapMillis = 250;
// An ask this soon after an answer is given that answer again: a page that
// sends "lock" on and on starts no lock of its own.
inline constexpr std::int64_t freshAnswerMillis = 2'000;
// A locker that did not answer is looked for again after this, doubled each
// time up to the longest.
inline constexpr std::int64_t firstRelookMillis = 5'000;
inline constexpr std::int64_t longestRelookMillis = 60'000;
}  // namespace LockLimits

// What one look at the locker found.
struct LockerLook {
    bool answers = false;  // a screen locker is there to take a lock
    bool locked = false;
    bool operator==(const LockerLook&) const = default;
};

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
    // The host started: the locker is looked at a first time.
    struct Launched {
        bool operator==(const Launched&) const = default;
    };
    // The controller asked to lock from the page; `ask` is what the answer
    // to the page carries.
    struct Asked {
        std::uint64_t ask = 0;
        bool operator==(const Asked&) const = default;
    };
    // The answer to TryLock: whether a locker took the lock.
    struct LockTried {
        bool took = false;
        bool operator==(const LockTried&) const = default;
    };
    // The answer to Look.
    struct Looked {
        LockerLook look;
        bool operator==(const Looked&) const = default;
    };
    // A look the owner made for its own reasons (the probe after a
    // disconnect): only whether a locker answers is taken from it.
    struct Heard {
        bool answers = false;
        bool operator==(const Heard&) const = default;
    };
    // The host heard the locker move: a screen saver came or went, or the
    // screen's lock changed. Looked at again (at most every
    // movedLookGapMillis), so that the session hears at once a locker that
    // went away, and an ask is answered as soon as the screen locks.
    struct LockerMoved {
        bool operator==(const LockerMoved&) const = default;
    };
    enum class Timer { answerDue, lookAgain, relook, movedLook };
    struct TimerFired {
        Timer which = Timer::answerDue;
        std::uint64_t ticket = 0;
        bool operator==(const TimerFired&) const = default;
    };
    using Event = std::variant<ControllerChanged, GraceElapsed, Paused, LockProbed, LockChecked, Launched, Asked,
                               LockTried, Looked, Heard, TimerFired, LockerMoved>;

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
    // Let go of held keys and buttons, and hand the lock to the locker's
    // queue; then feed LockTried.
    struct TryLock {
        bool operator==(const TryLock&) const = default;
    };
    // Look at the locker on its queue; then feed Looked.
    struct Look {
        bool operator==(const Look&) const = default;
    };
    // Fire TimerFired{which, ticket} after the delay.
    struct StartTimer {
        Timer which = Timer::answerDue;
        std::uint64_t ticket = 0;
        std::int64_t delayMillis = 0;
        bool operator==(const StartTimer&) const = default;
    };
    // Whether a screen locker answers, after every look (the session hears
    // it; `changed` when it is news).
    struct LockerAnswers {
        bool answers = false;
        bool changed = false;
        bool operator==(const LockerAnswers&) const = default;
    };
    struct StartLockCheck {
        std::int64_t delayMillis = 0;
        bool operator==(const StartLockCheck&) const = default;
    };
    // Tell the page whether the lock it asked for happened.
    struct AnswerAsk {
        std::uint64_t ask = 0;
        bool locked = false;
        bool operator==(const AnswerAsk&) const = default;
    };
    using Action = std::variant<Log, StartGraceTimer, ProbeForLock, TryLock, Look, StartTimer, LockerAnswers,
                                StartLockCheck, AnswerAsk>;

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
    std::vector<Action> asked(const Asked& e, std::int64_t now);
    std::vector<Action> lockTried(const LockTried& e, std::int64_t now);
    std::vector<Action> looked(const LockerLook& look, std::int64_t now);
    std::vector<Action> timerFired(const TimerFired& e, std::int64_t now);
    void heard(bool answers, std::vector<Action>& out);
    void lookNow(std::int64_t now, std::vector<Action>& out);
    void lookSoon(std::int64_t now, std::vector<Action>& out);
    void startTimer(Timer which, std::int64_t delayMillis, std::vector<Action>& out);
    void answer(bool locked, std::int64_t now, std::vector<Action>& out);

    bool present_ = false;
    std::optional<std::string> device_;
    std::optional<Pending> pending_;
    std::uint64_t nextTicket_ = 1;
    // The page's ask being judged, then watched for a late lock: a later ask
    // joins it until it is answered.
    struct Round {
        std::uint64_t ask = 0;
        std::int64_t startedAt = 0;
        bool tried = false;  // the lock came back from the locker
        bool took = false;
        bool answered = false;
    };
    std::optional<Round> round_;
    struct Answer {
        bool locked = false;
        std::int64_t at = 0;
    };
    std::optional<Answer> lastAnswer_;
    bool trying_ = false;
    bool looking_ = false;
    // The locker moved while a look was under way, which may have seen it
    // before: one more look follows.
    bool lookOwed_ = false;
    std::optional<std::int64_t> lastLookAt_;
    bool lastLocked_ = false;
    std::optional<bool> answers_;
    std::int64_t relookMillis_ = LockLimits::firstRelookMillis;
    bool relookSet_ = false;
    // The ticket each timer fires with; one that fires with another is stale.
    std::uint64_t tickets_[4] = {0, 0, 0, 0};
};

}  // namespace morvane
