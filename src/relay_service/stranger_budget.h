// What calls from people the relay does not know yet may cost the store in
// all, however many networks they come from: a share of the store's time,
// counted in milliseconds the store spent on them, refilled as time passes
// up to a burst. Limits per network bound what one network asks; this
// bounds the sum, so that a stranger spread over many networks cannot fill
// the store queue with code requests and guesses. A newcomer's own sign-in
// (a code from a network that asked little of late, and the first tries of
// it from that network) is not counted here and is served ahead.
//
// A call is admitted while the share is not spent, counting what such a
// call has cost of late until the store says what it cost; at least
// `floorMillis` each, so that a store that answers in no time still bounds
// how many a second. A value on the network thread, on times passed in.
#pragma once

#include <cstdint>
#include <optional>

namespace morvane::relay_service {

class StrangerBudget {
public:
    struct Limits {
        // Store time a second the calls may have, and the most saved up.
        std::int64_t millisPerSecond = 250;
        std::int64_t burstMillis = 2'000;
        std::int64_t floorMillis = 5;
    };
    explicit StrangerBudget(Limits limits, std::int64_t nowMillis = 0);

    // Whether one more call may go to the store now: when it may, what it
    // is expected to cost, held until the call is settled.
    std::optional<std::int64_t> admit(std::int64_t nowMillis);
    // An admitted call came back: `held` is what admit answered, `spent`
    // what the store spent on it, or nothing when it never ran.
    void settle(std::int64_t held, std::optional<std::int64_t> spentMillis, std::int64_t nowMillis);
    // What is left to spend now, after what admitted calls are expected to
    // cost.
    std::int64_t left(std::int64_t nowMillis);

private:
    void refill(std::int64_t nowMillis);
    Limits limits_;
    // Millis, times 1000 (for the fraction a millisecond refills).
    std::int64_t balance_;
    std::int64_t at_;
    std::int64_t held_ = 0;
    std::int64_t expected_;
};

}  // namespace morvane::relay_service
