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
    EXPECT_TRUE(s.handle(connected("dev-a"), 0).empty());
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
              (std::vector<LS::Action>{LS::Log{"lock", "controller left: locking the computer"}, LS::SendLock{},
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

TEST(LockScheduler, ALockThePageAskedForIsLookedAtTwiceAndAnswered) {
    const std::vector<LS::Action> look{LS::CheckAsk{LockLimits::askCheckMillis}};
    LS s;
    EXPECT_EQ(s.handle(LS::Asked{7}, 0), look);
    // Locked at the first look: answered at once.
    EXPECT_EQ(s.handle(LS::AskChecked{true}, 1'000),
              (std::vector<LS::Action>{LS::Log{"lock", "the computer is locked, as the controller asked"},
                                       LS::AnswerAsk{7, true}}));
    EXPECT_TRUE(s.handle(LS::AskChecked{true}, 1'500).empty()) << "answered once";

    // Not locked at either look: answered after the second.
    EXPECT_EQ(s.handle(LS::Asked{8}, 2'000), look);
    EXPECT_EQ(s.handle(LS::AskChecked{false}, 3'000), look);
    EXPECT_EQ(s.handle(LS::AskChecked{false}, 4'000),
              (std::vector<LS::Action>{LS::Log{"error", "the controller asked to lock the computer, but it did not lock"},
                                       LS::AnswerAsk{8, false}}));

    // Asks that come while a look is under way start none of their own (a
    // page that sends "lock" on and on starts a program a second at most):
    // the last ask is answered, after two looks since it came.
    EXPECT_EQ(s.handle(LS::Asked{9}, 5'000), look);
    for (std::uint64_t ask = 10; ask < 100; ++ask) EXPECT_TRUE(s.handle(LS::Asked{ask}, 5'500).empty());
    EXPECT_EQ(s.handle(LS::AskChecked{false}, 6'000), look);
    EXPECT_EQ(s.handle(LS::AskChecked{false}, 7'000).back(), LS::Action(LS::AnswerAsk{99, false}));
    EXPECT_FALSE(s.lockPending()) << "asks leave the lock on disconnect alone";
}

}  // namespace
}  // namespace morvane
