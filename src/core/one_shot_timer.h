// A deadline owned by the component it calls: one piece of work after a
// delay, on one executor, read off an injected clock (a round of questions
// that must end, a reader held back until its allowance refills). Written
// beside RepeatingTimer and for the same reason: the executor holds the
// waiting work weakly, so once the timer is stopped, started again or gone
// (with the component holding it), the work it was given never runs, however
// far its turn had already got on the queue. The work may therefore point at
// its owner without any token of its own.
//
// The deadline is the clock's: when the queue's wait ends before the clock
// says the delay has passed, it waits for what is left, as long as the clock
// moved meanwhile; a clock standing still or going back does not hold it
// past the queue's own wait.
// Made, started, stopped and let go on the queue it runs on (or once that
// queue no longer runs), which outlives it.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>

#include "core/executor.h"

namespace morvane {

class OneShotTimer {
public:
    using Clock = std::function<std::int64_t()>;

    OneShotTimer(Executor& queue, Clock clock);
    // Stops: the work does not run after it.
    ~OneShotTimer();
    OneShotTimer(const OneShotTimer&) = delete;
    OneShotTimer& operator=(const OneShotTimer&) = delete;

    // Runs `work` once, `delayMillis` from now. A start while waiting
    // replaces the waiting work, which never runs. The work may start, stop
    // or let go of its timer.
    void start(std::int64_t delayMillis, std::function<void()> work);
    void stop();
    // Started, and its work has not run yet.
    bool running() const;

private:
    struct State;
    static void wait(const std::shared_ptr<State>& state, std::uint64_t generation, std::int64_t delayMillis);

    std::shared_ptr<State> state_;
};

}  // namespace morvane
