#include "core/executor.h"

#include <gtest/gtest.h>

#include <atomic>
#include <future>
#include <stdexcept>
#include <thread>

#include "core/clock.h"
#include "core/frame_source.h"
#include "core/loop_executor.h"

namespace morvane {

TEST(Executor, RunsPostedWorkInOrderAndTimersNoSoonerThanTheirDelay) {
    LoopExecutor loop("test");
    // Touched only on the loop until the timer has reported through the
    // promise, which orders its writes before the test's reads.
    std::vector<int> seen;
    std::promise<std::int64_t> fired;
    const std::int64_t posted = nowMillis();
    loop.post([&] { seen.push_back(1); });
    loop.post([&] { seen.push_back(2); });
    loop.postAfter(30, [&] {
        seen.push_back(3);
        fired.set_value(nowMillis());
    });
    const std::int64_t firedAt = fired.get_future().get();
    EXPECT_GE(firedAt - posted, 30);
    EXPECT_EQ(seen, (std::vector<int>{1, 2, 3}));
}

TEST(Executor, SynchronousHopRefusesItsOwnQueueAndPassesErrorsBack) {
    LoopExecutor loop("test");
    std::atomic<bool> refused{false};
    loop.post([&] {
        try {
            runSync(loop, [] {});
        } catch (const std::logic_error&) {
            refused = true;
        }
    });
    loop.drain();
    EXPECT_TRUE(refused);
    EXPECT_THROW(runSync(loop, [] { throw std::runtime_error("x"); }), std::runtime_error);
}

TEST(Executor, QueueOnlyMethodsRefuseOtherThreads) {
    LoopExecutor queue("queue");
    EXPECT_THROW(expectOn(queue, "tick"), WrongQueue);
    try {
        expectOn(queue, "tick");
    } catch (const WrongQueue& e) {
        EXPECT_STREQ(e.what(), "tick called off its queue");
    }
    bool passed = false;
    runSync(queue, [&] {
        expectOn(queue, "tick");
        passed = true;
    });
    EXPECT_TRUE(passed);
    LoopExecutor other("other");
    EXPECT_THROW(runSync(other, [&] { expectOn(queue, "tick"); }), WrongQueue) << "another queue's thread is no better";
}

TEST(Executor, QueueLetGoOnItsOwnThreadFinishesWhatItTookWithoutTouchingItself) {
    // The last owner lets go inside a piece of the queue's own work: the
    // queue cannot join itself, yet the work it took before must still run
    // and the thread must not reach into the destroyed object afterwards
    // (the sanitizer build catches that).
    auto owner = std::make_shared<std::unique_ptr<LoopExecutor>>(std::make_unique<LoopExecutor>("own"));
    LoopExecutor& queue = **owner;
    std::promise<void> gate;
    std::promise<void> later;
    queue.post([opened = gate.get_future().share()] { opened.wait(); });
    queue.post([owner] { owner->reset(); });
    queue.post([&later] { later.set_value(); });
    gate.set_value();
    EXPECT_EQ(later.get_future().wait_for(std::chrono::seconds(10)), std::future_status::ready);
}

TEST(Executor, DrainWaitsForEarlierWorkAndRefusesItsOwnQueue) {
    LoopExecutor queue("drained");
    std::promise<void> gate;
    std::atomic<int> ran{0};
    queue.post([opened = gate.get_future().share()] { opened.wait(); });
    for (int i = 0; i < 3; ++i) queue.post([&] { ++ran; });
    std::thread opener([&] { gate.set_value(); });
    queue.drain();
    EXPECT_EQ(ran.load(), 3);
    opener.join();
    std::atomic<bool> refused{false};
    queue.post([&] {
        try {
            queue.drain();
        } catch (const std::logic_error&) {
            refused = true;
        }
    });
    queue.drain();
    EXPECT_TRUE(refused.load());
}

namespace {
class PicturesOnly final : public FrameSource {
public:
    std::string state() const override { return "ok"; }
    void start(const std::shared_ptr<FrameObserver>&) override {}
    void stop() override {}
    void setQuality(FrameQuality) override {}
    void requestFrame() override {}
};
}  // namespace

TEST(FrameSourceDefaults, ExclusionAnswersFalseLaterOnTheMainQueue) {
    LoopExecutor main("main");
    PicturesOnly source;
    source.setMainQueue(&main);
    EXPECT_FALSE(source.startVideo(100, 100));
    EXPECT_EQ(source.displayListing(), DisplayListing{});
    std::atomic<int> answer{-1};
    std::atomic<bool> onMain{false};
    runSync(main, [&] {
        source.setExcludedWindow(7, [&](bool ok) {
            answer = ok ? 1 : 0;
            onMain = main.isCurrent();
        });
        EXPECT_EQ(answer.load(), -1);  // never before it returns
    });
    main.drain();
    EXPECT_EQ(answer.load(), 0);
    EXPECT_TRUE(onMain.load());
}

}  // namespace morvane
