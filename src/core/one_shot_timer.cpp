#include "core/one_shot_timer.h"

#include <utility>

namespace morvane {

struct OneShotTimer::State {
    Executor& queue;
    Clock clock;
    std::function<void()> work;
    // Each start gets a new generation; a stop ends the old one.
    std::uint64_t generation = 0;
    bool running = false;
    std::int64_t due = 0;
    // What the clock read when the queue's wait began.
    std::int64_t waitedFrom = 0;
};

OneShotTimer::OneShotTimer(Executor& queue, Clock clock)
    : state_(std::make_shared<State>(State{queue, std::move(clock), nullptr})) {}

OneShotTimer::~OneShotTimer() { stop(); }

void OneShotTimer::start(std::int64_t delayMillis, std::function<void()> work) {
    auto& s = *state_;
    s.work = std::move(work);
    s.running = true;
    s.due = s.clock() + delayMillis;
    wait(state_, ++s.generation, delayMillis);
}

void OneShotTimer::stop() {
    state_->running = false;
    state_->work = nullptr;
    ++state_->generation;
}

bool OneShotTimer::running() const { return state_->running; }

void OneShotTimer::wait(const std::shared_ptr<State>& state, std::uint64_t generation, std::int64_t delayMillis) {
    state->waitedFrom = state->clock();
    std::weak_ptr<State> weak = state;
    state->queue.postAfter(delayMillis, [weak, generation] {
        const auto s = weak.lock();
        if (!s || !s->running || s->generation != generation) return;
        const auto now = s->clock();
        if (now < s->due && now > s->waitedFrom) return wait(s, generation, s->due - now);
        s->running = false;
        // The work may start, stop or let go of the timer.
        const auto work = std::exchange(s->work, nullptr);
        work();
    });
}

}  // namespace morvane
