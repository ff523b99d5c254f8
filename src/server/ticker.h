// A steady beat on one queue: the server's once-a-second tick. Each beat is
// scheduled from the previous deadline so the rhythm does not drift; beats
// missed while the queue was held up are not made up in a burst, which would
// count idle and settle seconds that never passed; a clock that stands still
// or goes back still gets one beat per period. Owned by, and used on, the
// queue it beats on.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>

#include "core/executor.h"

namespace morvane {

class Ticker {
public:
    using Clock = std::function<std::int64_t()>;

    // `queue` outlives the ticker.
    Ticker(Executor& queue, Clock clock, std::int64_t periodMillis);
    ~Ticker();
    Ticker(const Ticker&) = delete;
    Ticker& operator=(const Ticker&) = delete;

    // A start while beating begins a new rhythm; a beat of the old one that
    // is still waiting never runs.
    void start(std::function<void()> beat);
    void stop();
    bool running() const;

private:
    struct State;
    static void schedule(const std::shared_ptr<State>& state, std::uint64_t generation, std::int64_t delayMillis);

    std::shared_ptr<State> state_;
};

}  // namespace morvane
