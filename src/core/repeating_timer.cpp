#include "core/repeating_timer.h"

namespace morvane {

struct RepeatingTimer::State {
    Executor& queue;
    Clock clock;
    std::int64_t period;
    std::function<void()> beat;
    // Each start gets a new generation; a stop ends the old one.
    std::uint64_t generation = 0;
    bool running = false;
    std::int64_t next = 0;
};

RepeatingTimer::RepeatingTimer(Executor& queue, Clock clock, std::int64_t periodMillis)
    : state_(std::make_shared<State>(State{queue, std::move(clock), periodMillis, nullptr})) {}

RepeatingTimer::~RepeatingTimer() { stop(); }

void RepeatingTimer::start(std::function<void()> beat) {
    auto& s = *state_;
    s.beat = std::move(beat);
    s.running = true;
    s.next = s.clock() + s.period;
    schedule(state_, ++s.generation, s.period);
}

void RepeatingTimer::stop() {
    state_->running = false;
    ++state_->generation;
}

bool RepeatingTimer::running() const { return state_->running; }

void RepeatingTimer::schedule(const std::shared_ptr<State>& state, std::uint64_t generation, std::int64_t delayMillis) {
    std::weak_ptr<State> weak = state;
    state->queue.postAfter(delayMillis, [weak, generation] {
        auto s = weak.lock();
        if (!s || !s->running || s->generation != generation) return;
        std::int64_t t = s->clock();
        std::int64_t next = s->next + s->period;
        if (next <= t || next - t > s->period) next = t + s->period;
        s->next = next;
        auto beat = s->beat;  // the beat may stop, restart or let go of the timer
        beat();
        if (s->running && s->generation == generation) schedule(s, generation, next - t);
    });
}

}  // namespace morvane
