#include "app/lock_scheduler.h"

#include <gtest/gtest.h>

namespace morvane {
namespace {

using LS = LockScheduler;

LS::ControllerChanged connected(std::string device, bool lockOn = true, bool paused = false) {
    return {true, std::move(device), lockOn, paused};
}
LS::ControllerChanged left(bool lockOn = true, bool paused = false) { return {false, std::nullopt, lockOn, paused}; }

std::uint64_t graceTicket(const std::vector<LS::Action>& actions) {
    for (const auto& a : actions)
        if (const auto* t = std::get_if<LS::StartGraceTimer>(&a)) return t->ticket;
    ADD_FAILURE() << "no grace timer started";
    return 0;
}

const std::vector<LS::Action> probe{LS::ProbeForLock{}};

TEST(LockScheduler, LocksFiveSecondsAfterTheControllerLeavesAndChecksThreeSecondsLater) {
    LS s;
    EXPECT_EQ(s.handle(connected("dev-a"), 0), std::vector<LS::Action>{LS::Look{}}) << "can it lock? asked afresh";
    const auto leave = s.handle(left(), 1'000);
    ASSERT_EQ(leave, (std::vector<LS::Action>{LS::StartGraceTimer{graceTicket(leave), 5'000}}));
    EXPECT_TRUE(s.lockPending());
    // A timer that fires early does nothing.
    EXPECT_TRUE(s.handle(LS::GraceElapsed{graceTicket(leave)}, 5'999).empty());
    EXPECT_EQ(s.handle(LS::GraceElapsed{graceTicket(leave)}, 6'000), probe);
    EXPECT_FALSE(s.lockPending());
    // Firing twice locks once.
    EXPECT_TRUE(s.handle(LS::GraceElapsed{graceTicket(leave)}, 6'001).empty());

    EXPECT_EQ(s.handle(LS::LockProbed{}, 6'000),
              (std::vector<LS::Action>{LS::Log{"lock", "controller left: locking the computer"}, LS::TryLock{},
                                       LS::StartLockCheck{3'000}}));
    EXPECT_EQ(s.handle(LS::LockChecked{true}, 9'000), (std::vector<LS::Action>{LS::Log{"lock", "the computer is locked"}}));
    EXPECT_EQ(s.handle(LS::LockChecked{false}, 9'000),
              (std::vector<LS::Action>{LS::Log{"error", "the computer did not lock within 3 s"}}));
}

TEST(LockScheduler, DecidesByTheDeviceThatCameBackWithinTheGrace) {
    LS same;
    same.handle(connected("dev-a"), 0);
    const auto t = graceTicket(same.handle(left(), 1'000));
    EXPECT_EQ(same.handle(connected("dev-a"), 3'000),
              (std::vector<LS::Action>{LS::Log{"lock", "the same device is back within 5 s: not locking"}}));
    // The old timer is dead: it must not lock the returning device's machine.
    EXPECT_TRUE(same.handle(LS::GraceElapsed{t}, 6'000).empty());

    LS other;
    other.handle(connected("dev-a"), 0);
    const auto t2 = graceTicket(other.handle(left(), 1'000));
    EXPECT_EQ(other.handle(connected("dev-b"), 3'000),
              (std::vector<LS::Action>{LS::Log{"lock", "a different device connected during the grace period"},
                                       LS::ProbeForLock{}}));
    EXPECT_TRUE(other.handle(LS::GraceElapsed{t2}, 6'000).empty());
}

TEST(LockScheduler, TakeoverLeavesNoMomentWithoutControllerAndSchedulesNothing) {
    LS s;
    s.handle(connected("dev-a"), 0);
    EXPECT_TRUE(s.handle(connected("dev-b"), 1'000).empty());
    EXPECT_FALSE(s.lockPending());
    // The device that leaves last is the one remembered: b, not a.
    graceTicket(s.handle(left(), 2'000));
    EXPECT_EQ(s.handle(connected("dev-b"), 3'000),
              (std::vector<LS::Action>{LS::Log{"lock", "the same device is back within 5 s: not locking"}}));
}

TEST(LockScheduler, NoLockWhenSwitchedOffPausedOrPausedDuringTheGrace) {
    LS off;
    off.handle(connected("dev-a", false), 0);
    EXPECT_TRUE(off.handle(left(false), 1'000).empty());
    EXPECT_FALSE(off.lockPending());

    LS endedByPause;
    endedByPause.handle(connected("dev-a"), 0);
    EXPECT_EQ(endedByPause.handle(left(true, true), 1'000),
              (std::vector<LS::Action>{LS::Log{"lock", "the session was ended at the computer (paused): not locking"}}));

    LS pausedLater;
    pausedLater.handle(connected("dev-a"), 0);
    const auto t = graceTicket(pausedLater.handle(left(), 1'000));
    EXPECT_EQ(pausedLater.handle(LS::Paused{}, 4'000),
              (std::vector<LS::Action>{
                  LS::Log{"lock", "paused before the lock after the last disconnect was due: not locking"}}));
    EXPECT_TRUE(pausedLater.handle(LS::GraceElapsed{t}, 6'000).empty());
    // Pausing with nothing scheduled says nothing.
    EXPECT_TRUE(pausedLater.handle(LS::Paused{}, 7'000).empty());

    // No controller before: a "none" report is not a departure.
    LS fresh;
    EXPECT_TRUE(fresh.handle(left(), 0).empty());
}

TEST(LockScheduler, TheLockItselfRespectsTheProbes) {
    LS s;
    EXPECT_TRUE(s.handle(LS::LockProbed{false, false, false, true}, 0).empty());
    EXPECT_TRUE(s.handle(LS::LockProbed{true, true, false, true}, 0).empty());
    EXPECT_EQ(s.handle(LS::LockProbed{true, false, true, true}, 0),
              (std::vector<LS::Action>{LS::Log{"lock", "controller left; the computer is already locked"}}));
    EXPECT_EQ(s.handle(LS::LockProbed{true, false, false, false}, 0),
              (std::vector<LS::Action>{LS::Log{
                  "error", "controller left, but the computer cannot be locked: input injection is not available"}}));
}

// The locker's side, road by road on a hand-moved clock: what the scheduler
// asks of the locker's queues and tells the page. A timer's ticket is
// played back by `FireTimer`; expected timers carry ticket 0.
struct FireTimer {
    LS::Timer which;
};
struct LockStep {
    std::int64_t at;
    std::variant<LS::Event, FireTimer> event;
    std::vector<LS::Action> expect;
};

class LockPlayer {
public:
    std::vector<LS::Action> play(const LockStep& step) {
        std::vector<LS::Action> out;
        if (const auto* fire = std::get_if<FireTimer>(&step.event))
            out = s.handle(LS::TimerFired{fire->which, tickets[static_cast<int>(fire->which)]}, step.at);
        else
            out = s.handle(std::get<LS::Event>(step.event), step.at);
        for (auto& a : out)
            if (auto* t = std::get_if<LS::StartTimer>(&a)) {
                tickets[static_cast<int>(t->which)] = t->ticket;
                t->ticket = 0;
            }
        return out;
    }
    void road(const std::string& name, const std::vector<LockStep>& steps) {
        for (std::size_t i = 0; i < steps.size(); ++i)
            EXPECT_EQ(play(steps[i]), steps[i].expect) << name << ", step " << i << " at " << steps[i].at;
    }
    LS s;
    std::uint64_t tickets[4] = {0, 0, 0, 0};
};

using LockTimer = LS::Timer;
const LS::Log lockedAsAsked{"lock", "the computer is locked, as the controller asked"};
const LS::Log notLocked{"error", "the controller asked to lock the computer, but it did not lock"};
const LS::Log lockedAfterAll{"lock", "the computer locked after all, as the controller asked"};
LS::StartTimer lockTimer(LockTimer which, std::int64_t millis) { return {which, 0, millis}; }
LS::Looked lookSaw(bool answers, bool locked) { return {LockerLook{answers, locked}}; }
const LS::LockerAnswers stillThere{true, false};

// The page hears "locked" or "not locked" once, and true: a locker still
// answering, or one that took the lock and has not locked yet, is waited for
// (up to the deadline) rather than told about as a failure that then locks.
TEST(LockScheduler, APageAskIsToldTrueOnceAndALockStillUnderWayIsWaitedFor) {
    const auto due = lockTimer(LockTimer::answerDue, LockLimits::answerMillis);
    LockPlayer{}.road("locks at once; an ask soon after hears the same",
                  {{0, LS::Asked{1}, {LS::TryLock{}, due}},
                   {300, LS::LockTried{true}, {LS::Look{}}},
                   {350, lookSaw(true, true), {LS::LockerAnswers{true, true}, lockedAsAsked, LS::AnswerAsk{1, true}}},
                   {1'000, LS::Asked{2}, {LS::AnswerAsk{2, true}}},
                   {10'000, FireTimer{LockTimer::answerDue}, {}}});
    LockPlayer{}.road("unlocked at the computer right after: an ask then locks anew",
                  {{0, LS::Asked{1}, {LS::TryLock{}, due}},
                   {300, LS::LockTried{true}, {LS::Look{}}},
                   {350, lookSaw(true, true), {LS::LockerAnswers{true, true}, lockedAsAsked, LS::AnswerAsk{1, true}}},
                   {900, LS::LockerMoved{}, {LS::Look{}}},
                   {950, lookSaw(true, false), {stillThere}},
                   {1'000, LS::Asked{2}, {LS::TryLock{}, due}}});
    LockPlayer{}.road("no locker takes it: told at once, nothing watched",
                  {{0, LS::Asked{1}, {LS::TryLock{}, due}},
                   {50, LS::Asked{2}, {}},
                   {100, LS::LockTried{false}, {LS::Look{}}},
                   {150, lookSaw(true, false), {LS::LockerAnswers{true, true}, notLocked, LS::AnswerAsk{2, false}}},
                   {10'000, FireTimer{LockTimer::answerDue}, {}},
                   {10'100, LS::Asked{3}, {LS::TryLock{}, due}}});
    LockPlayer{}.road("a bus saver answers Lock after 2.5 s, then locks: told locked once",
                  {{0, LS::Asked{1}, {LS::TryLock{}, due}},
                   {2'500, LS::Asked{2}, {}},
                   {2'600, LS::LockTried{true}, {LS::Look{}}},
                   {2'650, lookSaw(true, false), {LS::LockerAnswers{true, true}, lockTimer(LockTimer::lookAgain, 500)}},
                   {2'700, LS::LockerMoved{}, {lockTimer(LockTimer::movedLook, 150)}},
                   {2'850, FireTimer{LockTimer::movedLook}, {LS::Look{}}},
                   {2'900, lookSaw(true, true), {stillThere, lockedAsAsked, LS::AnswerAsk{2, true}}},
                   {3'150, FireTimer{LockTimer::lookAgain}, {}}});
    LockPlayer{}.road("xscreensaver takes it at once and locks 2.8 s later",
                  {{0, LS::Asked{1}, {LS::TryLock{}, due}},
                   {100, LS::LockTried{true}, {LS::Look{}}},
                   {150, lookSaw(true, false), {LS::LockerAnswers{true, true}, lockTimer(LockTimer::lookAgain, 500)}},
                   {650, FireTimer{LockTimer::lookAgain}, {LS::Look{}}},
                   {700, lookSaw(true, false), {stillThere, lockTimer(LockTimer::lookAgain, 500)}},
                   {1'200, FireTimer{LockTimer::lookAgain}, {LS::Look{}}},
                   {1'250, lookSaw(true, false), {stillThere, lockTimer(LockTimer::lookAgain, 500)}},
                   {2'900, LS::LockerMoved{}, {LS::Look{}}},
                   {2'950, lookSaw(true, true), {stillThere, lockedAsAsked, LS::AnswerAsk{1, true}}}});
    LockPlayer{}.road("a locker that took it but never locks: told at the deadline, watched on",
                  {{0, LS::Asked{1}, {LS::TryLock{}, due}},
                   {100, LS::LockTried{true}, {LS::Look{}}},
                   {150, lookSaw(true, false), {LS::LockerAnswers{true, true}, lockTimer(LockTimer::lookAgain, 500)}},
                   {10'000, FireTimer{LockTimer::answerDue}, {notLocked, LS::AnswerAsk{1, false}, lockTimer(LockTimer::lookAgain, 1'000)}},
                   {11'000, FireTimer{LockTimer::lookAgain}, {LS::Look{}}},
                   {12'000, lookSaw(true, true), {stillThere, lockedAfterAll, LS::AnswerAsk{1, true}}}});
    LockPlayer{}.road("the late watch ends 20 s after the ask",
                  {{0, LS::Asked{1}, {LS::TryLock{}, due}},
                   {100, LS::LockTried{true}, {LS::Look{}}},
                   {10'000, FireTimer{LockTimer::answerDue}, {notLocked, LS::AnswerAsk{1, false}}},
                   {10'050, lookSaw(true, false), {LS::LockerAnswers{true, true}, lockTimer(LockTimer::lookAgain, 1'000)}},
                   {19'990, lookSaw(true, false), {stillThere, lockTimer(LockTimer::lookAgain, 1'000)}},
                   {20'990, FireTimer{LockTimer::lookAgain}, {LS::Look{}}},
                   {21'000, lookSaw(true, false), {stillThere}},
                   {22'000, FireTimer{LockTimer::lookAgain}, {}}});
    LockPlayer{}.road("a hanging locker: told by the deadline, one lock under way",
                  {{0, LS::Asked{1}, {LS::TryLock{}, due}},
                   {2'500, LS::Asked{2}, {}},
                   {10'000, FireTimer{LockTimer::answerDue}, {notLocked, LS::AnswerAsk{2, false}}},
                   {11'000, LS::Asked{3}, {LS::AnswerAsk{3, false}}},
                   {12'500, LS::Asked{4}, {due}},
                   {13'000, LS::LockTried{false}, {LS::Look{}}},
                   {13'100, lookSaw(false, false), {LS::LockerAnswers{false, true}, lockTimer(LockTimer::relook, 5'000),
                                                    notLocked, LS::AnswerAsk{4, false}}},
                   {13'200, LS::Asked{5}, {LS::AnswerAsk{5, false}}}});

    // A page that sends "lock" on and on: one lock and one look for a burst.
    LockPlayer burst;
    int locks = 0, looks = 0, answers = 0;
    const auto count = [&](const std::vector<LS::Action>& out) {
        for (const auto& a : out) {
            locks += std::holds_alternative<LS::TryLock>(a);
            looks += std::holds_alternative<LS::Look>(a);
            answers += std::holds_alternative<LS::AnswerAsk>(a);
        }
    };
    for (std::uint64_t ask = 1; ask <= 50; ++ask) {
        count(burst.play({static_cast<std::int64_t>(ask) * 20, LS::Asked{ask}, {}}));
        if (ask == 10) count(burst.play({200, LS::LockTried{false}, {}}));
        if (ask == 20) count(burst.play({400, lookSaw(false, false), {}}));
    }
    EXPECT_EQ(locks, 1);
    EXPECT_EQ(looks, 1);
    EXPECT_EQ(answers, 31) << "the first twenty as one, then each at once";
}

// The host heard the locker move (a saver left the bus, a lock ended, the
// screen locked): looked at again at once, after a look under way if one
// is, so the session hears a locker that went away and an ask is answered
// as soon as the screen locks.
TEST(LockScheduler, ALockerThatMovesIsLookedAtAgainAtOnce) {
    const auto due = lockTimer(LockTimer::answerDue, LockLimits::answerMillis);
    LockPlayer{}.road("killed while the screen was locked",
                      {{0, connected("dev-a"), {LS::Look{}}},
                       {100, lookSaw(true, true), {LS::LockerAnswers{true, true}}},
                       {9'000, LS::LockerMoved{}, {LS::Look{}}},
                       {9'050, lookSaw(false, false), {LS::LockerAnswers{false, true}, lockTimer(LockTimer::relook, 5'000)}}});
    LockPlayer{}.road("moved while a look was under way",
                      {{0, LS::Launched{}, {LS::Look{}}},
                       {10, LS::LockerMoved{}, {}},
                       {20, LS::LockerMoved{}, {}},
                       {300, lookSaw(true, false), {LS::LockerAnswers{true, true}, LS::Look{}}},
                       {400, lookSaw(true, false), {stillThere}}});
    LockPlayer{}.road("moved again soon after a look began: the next waits for its turn",
                      {{0, LS::Launched{}, {LS::Look{}}},
                       {10, LS::LockerMoved{}, {}},
                       {100, lookSaw(true, false), {LS::LockerAnswers{true, true}, lockTimer(LockTimer::movedLook, 150)}},
                       {120, LS::LockerMoved{}, {}},
                       {250, FireTimer{LockTimer::movedLook}, {LS::Look{}}},
                       {300, lookSaw(true, true), {stillThere}}});
    LockPlayer{}.road("the screen locks before the lock program returns",
                      {{0, LS::Asked{1}, {LS::TryLock{}, due}},
                       {400, LS::LockerMoved{}, {LS::Look{}}},
                       {450, lookSaw(true, true), {LS::LockerAnswers{true, true}, lockedAsAsked, LS::AnswerAsk{1, true}}},
                       {10'000, FireTimer{LockTimer::answerDue}, {}}});

    // A saver that flips its state 100 times a second for 20 s, its looks
    // answered 30 ms after they are asked: a few looks a second, one under
    // way and one owed at most.
    LockPlayer flood;
    flood.play({0, LS::Launched{}, {}});
    std::vector<std::int64_t> looks{0};
    std::optional<std::int64_t> answerAt = 30, timerAt;
    for (std::int64_t now = 0; now <= 20'000; now += 1) {
        std::vector<LS::Action> out;
        if (answerAt && *answerAt == now) {
            answerAt.reset();
            out = flood.play({now, lookSaw(true, now % 20 < 10), {}});
        } else if (timerAt && *timerAt == now) {
            timerAt.reset();
            out = flood.play({now, FireTimer{LockTimer::movedLook}, {}});
        } else if (now % 10 == 0) {
            out = flood.play({now, LS::LockerMoved{}, {}});
        }
        for (const auto& a : out) {
            if (std::holds_alternative<LS::Look>(a)) {
                ASSERT_FALSE(answerAt) << "two looks under way at " << now;
                looks.push_back(now);
                answerAt = now + 30;
            }
            if (const auto* t = std::get_if<LS::StartTimer>(&a); t && t->which == LockTimer::movedLook)
                timerAt = now + t->delayMillis;
        }
    }
    for (std::size_t i = 1; i < looks.size(); ++i)
        EXPECT_GE(looks[i] - looks[i - 1], LockLimits::movedLookGapMillis) << "look " << i;
    EXPECT_GE(looks.size(), 20u * 3) << "the news is still followed";
    EXPECT_LE(looks.size(), 20u * 1'000 / LockLimits::movedLookGapMillis + 1);
}

TEST(LockScheduler, AMissingLockerIsLookedForSoonThenLessOftenAndAtOnceWhenADeviceConnects) {
    LockPlayer{}.road("a locker that starts after the host",
                  {{0, LS::Launched{}, {LS::Look{}}},
                   {0, LS::Launched{}, {}},
                   {100, lookSaw(false, false), {LS::LockerAnswers{false, true}, lockTimer(LockTimer::relook, 5'000)}},
                   {5'100, FireTimer{LockTimer::relook}, {LS::Look{}}},
                   {5'200, lookSaw(false, false), {LS::LockerAnswers{false, false}, lockTimer(LockTimer::relook, 10'000)}},
                   {15'200, FireTimer{LockTimer::relook}, {LS::Look{}}},
                   {15'300, lookSaw(false, false), {LS::LockerAnswers{false, false}, lockTimer(LockTimer::relook, 20'000)}},
                   {20'000, connected("dev-a"), {LS::Look{}}},
                   {20'100, lookSaw(false, false), {LS::LockerAnswers{false, false}, lockTimer(LockTimer::relook, 5'000)}},
                   {25'100, FireTimer{LockTimer::relook}, {LS::Look{}}},
                   {25'200, lookSaw(true, false), {LS::LockerAnswers{true, true}}},
                   {26'000, LS::Heard{true}, {stillThere}},
                   {27'000, LS::Heard{false}, {LS::LockerAnswers{false, true}, lockTimer(LockTimer::relook, 5'000)}}});
    // Doubling from 5 s, the longest wait is a minute.
    std::vector<LockStep> waits{{0, LS::Launched{}, {LS::Look{}}}};
    std::int64_t at = 0;
    for (const std::int64_t wait : {5'000, 10'000, 20'000, 40'000, 60'000, 60'000}) {
        waits.push_back({at, lookSaw(false, false), {LS::LockerAnswers{false, at == 0}, lockTimer(LockTimer::relook, wait)}});
        waits.push_back({at += wait, FireTimer{LockTimer::relook}, {LS::Look{}}});
    }
    LockPlayer{}.road("the longest wait is a minute", waits);
}

}  // namespace
}  // namespace morvane
