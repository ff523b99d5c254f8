#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "../app/manual_executor.h"
#include "core/one_shot_timer.h"

namespace morvane {
namespace {

using testing::ManualExecutor;

void runInSteps(ManualExecutor& queue, std::int64_t millis) {
    for (std::int64_t t = 0; t < millis; t += 10) queue.advance(10);
}

TEST(OneShotTimer, RunsOnceWhenTheClockSaysItsDelayPassed) {
    struct Case {
        const char* name;
        // What the injected clock reads when the queue's time is `t`.
        std::function<std::int64_t(std::int64_t t)> clock;
        std::vector<std::int64_t> ranAt;
    };
    const std::vector<Case> cases = {
        {"a steady clock", [](std::int64_t t) { return t; }, {1000}},
        // The clock runs at half the queue's pace: the rest is waited for.
        {"a clock behind the queue", [](std::int64_t t) { return t / 2; }, {2000}},
        {"a clock ahead of the queue", [](std::int64_t t) { return 2 * t; }, {1000}},
        // Neither holds it past the queue's own wait.
        {"a clock standing still", [](std::int64_t) { return std::int64_t{0}; }, {1000}},
        {"a clock going back", [](std::int64_t t) { return -t; }, {1000}},
    };
    for (const auto& c : cases) {
        ManualExecutor queue;
        OneShotTimer deadline(queue, [&] { return c.clock(queue.now()); });
        std::vector<std::int64_t> ran;
        deadline.start(1000, [&] { ran.push_back(queue.now()); });
        EXPECT_TRUE(deadline.running()) << c.name;
        runInSteps(queue, 5000);
        EXPECT_EQ(ran, c.ranAt) << c.name;
        EXPECT_FALSE(deadline.running()) << c.name;
        EXPECT_EQ(queue.pendingTimers(), 0u) << c.name;
    }
}

TEST(OneShotTimer, NoWorkRunsAfterAStopARestartOrItsOwnerGoes) {
    ManualExecutor queue;
    std::vector<std::string> ran;
    {
        OneShotTimer deadline(queue, [&] { return queue.now(); });
        deadline.start(1000, [&] { ran.push_back("stopped"); });
        deadline.stop();
        EXPECT_FALSE(deadline.running());
        // Started again while waiting: only the new work, at its own time.
        deadline.start(1000, [&] { ran.push_back("first"); });
        queue.advance(500);
        deadline.start(1000, [&] { ran.push_back("second"); });
        queue.advance(600);
        EXPECT_TRUE(ran.empty());
        queue.advance(400);
        EXPECT_EQ(ran, std::vector<std::string>{"second"});
        // The work may start its timer again.
        deadline.start(100, [&] {
            ran.push_back("again");
            deadline.start(100, [&] { ran.push_back("and again"); });
        });
        runInSteps(queue, 300);
        EXPECT_EQ(ran, (std::vector<std::string>{"second", "again", "and again"}));
    }
    // Its owner gone, the waiting work never runs, though its turn comes.
    auto owner = std::make_unique<OneShotTimer>(queue, [&] { return queue.now(); });
    owner->start(1000, [&] { ran.push_back("gone"); });
    owner.reset();
    queue.advance(2000);
    EXPECT_EQ(ran.size(), 3u);
}

}  // namespace
}  // namespace morvane
