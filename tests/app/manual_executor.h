// A main queue for tests that runs only when told to, one turn at a time.
#pragma once

#include <deque>
#include <functional>
#include <map>

#include "core/executor.h"

namespace morvane::testing {

class ManualExecutor final : public Executor {
public:
    void post(std::function<void()> work) override { ready_.push_back(std::move(work)); }
    void postAfter(std::int64_t delayMillis, std::function<void()> work) override {
        timers_.emplace(now_ + delayMillis, std::move(work));
    }
    bool isCurrent() const override { return true; }
    // Nothing runs by itself here, so waiting for the queue means running it.
    void drain() override { runAll(); }

    // Runs what is queued now (not what those turns queue).
    int runOneTurn() {
        std::deque<std::function<void()>> turn;
        turn.swap(ready_);
        for (auto& w : turn) w();
        return static_cast<int>(turn.size());
    }
    void runAll() {
        while (runOneTurn() > 0) {
        }
    }
    // Moves time forward, running timers that come due.
    void advance(std::int64_t millis) {
        now_ += millis;
        while (!timers_.empty() && timers_.begin()->first <= now_) {
            auto work = std::move(timers_.begin()->second);
            timers_.erase(timers_.begin());
            work();
            runAll();
        }
        runAll();
    }
    std::int64_t now() const { return now_; }
    std::size_t pendingTimers() const { return timers_.size(); }

private:
    std::deque<std::function<void()>> ready_;
    std::multimap<std::int64_t, std::function<void()>> timers_;
    std::int64_t now_ = 0;
};

}  // namespace morvane::testing
