// Periodic work owned by the component it calls: a steady beat on one
// executor, read off an injected clock (the server's once-a-second tick, the
// relay service's beats and purge). This is the token executor.h asks
// delayed work to check, written once: the executor holds each waiting beat
// weakly, so a beat that comes due after a stop, or after the timer (and the
// component holding it) went, calls nothing, however far its turn had
// already got on the queue.
//
// Each beat is scheduled from the previous deadline so the rhythm does not
// drift; beats missed while the queue was held up are not made up in a
// burst, which would count idle and settle seconds that never passed; a
// clock that stands still or goes back still gets one beat per period.
// Made, started, stopped and let go on the queue it beats on (or once that
// queue no longer runs), which outlives it.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>

#include "core/executor.h"

namespace morvane {

class RepeatingTimer {
public:
    using Clock = std::function<std::int64_t()>;

    RepeatingTimer(Executor& queue, Clock clock, std::int64_t periodMillis);
    // Stops: no beat runs after it.
    ~RepeatingTimer();
    RepeatingTimer(const RepeatingTimer&) = delete;
    RepeatingTimer& operator=(const RepeatingTimer&) = delete;

    // A start while beating begins a new rhythm; a beat of the old one that
    // is still waiting never runs. A beat may stop or restart its timer, or
    // let go of it.
    void start(std::function<void()> beat);
    void stop();
    bool running() const;

private:
    struct State;
    static void schedule(const std::shared_ptr<State>& state, std::uint64_t generation, std::int64_t delayMillis);

    std::shared_ptr<State> state_;
};

}  // namespace morvane
