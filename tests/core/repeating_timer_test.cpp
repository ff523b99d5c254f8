#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <vector>

#include "../app/manual_executor.h"
#include "core/repeating_timer.h"

namespace morvane {
namespace {

using testing::ManualExecutor;

// The manual queue runs what comes due at the end of one advance; small
// steps let each beat see the time it came due at.
void run(ManualExecutor& queue, std::int64_t millis) {
    for (std::int64_t t = 0; t < millis; t += 10) queue.advance(10);
}

TEST(RepeatingTimer, BeatsOncePerPeriodWhateverTheClockDoes) {
    struct Case {
        const char* name;
        // What the injected clock reads when the queue's time is `t`.
        std::function<std::int64_t(std::int64_t t)> clock;
        std::int64_t runFor;
        std::vector<std::int64_t> beatsAt;
    };
    const std::vector<Case> cases = {
        {"a steady clock", [](std::int64_t t) { return t; }, 3500, {1000, 2000, 3000}},
        // The first beat ran 300 ms late by the clock: the next keeps the
        // rhythm of the deadlines instead of drifting.
        {"a late beat", [](std::int64_t t) { return t < 1000 ? t : t + 300; }, 3000, {1000, 1700, 2700}},
        // Three and a half seconds passed while the queue was held up: one
        // beat, then the ordinary period, never a burst.
        {"a held-up queue", [](std::int64_t t) { return t < 1000 ? t : t + 3500; }, 3000, {1000, 2000, 3000}},
        {"a clock standing still", [](std::int64_t) { return std::int64_t{0}; }, 3000, {1000, 2000, 3000}},
        {"a clock going back", [](std::int64_t t) { return -t; }, 3000, {1000, 2000, 3000}},
    };
    for (const auto& c : cases) {
        ManualExecutor queue;
        RepeatingTimer ticker(queue, [&] { return c.clock(queue.now()); }, 1000);
        std::vector<std::int64_t> beats;
        ticker.start([&] { beats.push_back(queue.now()); });
        run(queue, c.runFor);
        EXPECT_EQ(beats, c.beatsAt) << c.name;
        EXPECT_EQ(queue.pendingTimers(), 1u) << c.name << ": exactly one beat waits";
    }
}

TEST(RepeatingTimer, NoBeatRunsAfterAStopARestartOrItsOwnerGoes) {
    ManualExecutor queue;
    std::vector<std::int64_t> beats;
    auto record = [&] { beats.push_back(queue.now()); };
    {
        RepeatingTimer ticker(queue, [&] { return queue.now(); }, 1000);
        ticker.start(record);
        run(queue, 500);
        ticker.start(record);
        run(queue, 2200);
        EXPECT_EQ(beats, (std::vector<std::int64_t>{1500, 2500})) << "the beat due at 1000 belonged to the old start";

        ticker.stop();
        EXPECT_FALSE(ticker.running());
        run(queue, 3000);
        EXPECT_EQ(beats.size(), 2u) << "a stopped ticker is silent";

        ticker.start([&] {
            record();
            ticker.stop();
        });
        run(queue, 5000);
        EXPECT_EQ(beats.size(), 3u) << "a beat that stops the ticker is the last";
        ticker.start(record);
    }
    run(queue, 5000);
    EXPECT_EQ(beats.size(), 3u) << "a destroyed ticker's waiting beat does nothing";

    // The component holding the timer goes in one of its own beats.
    auto owner = std::make_unique<RepeatingTimer>(queue, [&] { return queue.now(); }, 1000);
    owner->start([&] {
        record();
        owner.reset();
    });
    run(queue, 5000);
    EXPECT_EQ(beats.size(), 4u) << "a beat that lets go of its timer is the last";
    EXPECT_EQ(queue.pendingTimers(), 0u);
}

}  // namespace
}  // namespace morvane
