// The small values that pace the relay link: the UTC day that resets the
// daily counters, the daily attempt budget, the daily request estimate with
// its ceiling, and the back-off between attempts. Plain values: the link
// changes them on its queue and saves them through RelayCounterStorage.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "relay/relay_counter_storage.h"

namespace morvane {

namespace RelayDay {
// "yyyy-MM-dd" of the UTC day holding the wall-clock instant.
std::string name(std::int64_t wallMillis);
// Seconds from the instant to the next UTC midnight, never below 1.
double secondsToMidnight(std::int64_t wallMillis);
}  // namespace RelayDay

// Stored counts come from a file anyone can edit: every sum here saturates
// instead of overflowing.
std::int64_t saturatingAdd(std::int64_t a, std::int64_t b);

struct RelayBudget {
    static constexpr std::int64_t dailyAttempts = 200;
    static constexpr std::int64_t moreAttempts = 20;
    static constexpr const char* dayKey = "relayAttemptsDay";
    static constexpr const char* countKey = "relayAttemptsCount";
    static constexpr const char* extraKey = "relayAttemptsExtra";

    std::string day;
    std::int64_t count = 0;
    std::int64_t extra = 0;
    std::int64_t dailyLimit = dailyAttempts;

    RelayBudget() = default;
    // Reads day, count and extra (negatives as 0); does not roll.
    RelayBudget(RelayCounterStorage& storage, std::int64_t dailyLimit);

    std::int64_t limit() const { return saturatingAdd(dailyLimit, extra); }
    bool canTake(std::int64_t wallMillis) const;
    bool take(std::int64_t wallMillis);
    void allowMore(std::int64_t wallMillis);
    void roll(std::int64_t wallMillis);
    void save(RelayCounterStorage& storage) const;
    bool operator==(const RelayBudget&) const = default;
};

struct RelayUsage {
    static constexpr std::int64_t requestCeiling = 60'000;
    static constexpr std::int64_t moreRequests = 10'000;
    static constexpr const char* dayKey = "relayUsageDay";
    static constexpr const char* recordsKey = "relayUsageRecords";
    static constexpr const char* extraKey = "relayUsageExtra";

    std::string day;
    std::int64_t records = 0;
    std::int64_t extra = 0;
    std::int64_t dailyCeiling = requestCeiling;

    RelayUsage() = default;
    RelayUsage(RelayCounterStorage& storage, std::int64_t dailyCeiling);

    std::int64_t ceiling() const { return saturatingAdd(dailyCeiling, extra); }
    // Two requests an attempt, one every twenty relayed records.
    std::int64_t estimatedRequests(std::int64_t attempts) const;
    bool reached(std::int64_t attempts) const { return estimatedRequests(attempts) >= ceiling(); }
    // "about 12% of this computer's daily allowance": `requests` against the
    // amount at which this computer stops its own link, as the menu and the
    // log both say it (100 % is exactly "stopped for today").
    static std::string allowanceText(std::int64_t requests, std::int64_t ceiling);
    void count(std::int64_t n, std::int64_t wallMillis);
    void allowMore(std::int64_t wallMillis);
    void roll(std::int64_t wallMillis);
    void save(RelayCounterStorage& storage) const;
    bool operator==(const RelayUsage&) const = default;
};

struct RelayRetry {
    static constexpr double capSeconds = 900;
    static constexpr double refusedPaceSeconds = 1'800;
    static constexpr double replacedMinimumSeconds = 60;
    static constexpr int refusalsBeforeSlow = 3;
    // Moves in a row, without a stable period up between them, that are
    // dialled again at once; past them a relay that keeps sending the link
    // away is treated as failing. As many links welcomed without a stable
    // period up each end their outage; past them a relay that keeps
    // dropping the link is one outage, backed off from as it goes on.
    static constexpr int promptMoves = 10;
    // A link the relay held at least this long before it dropped ended its
    // outage whatever came before: only drops sooner than this count
    // towards the prompt ones, so a relay back for good after a run of
    // restarts is reached as quickly as after the first.
    static constexpr double heldSeconds = 10;
    // A failure's wait never exceeds this share of how long the trouble has
    // lasted (nor falls below one unit): a relay back after an outage is
    // reached within an eighth of the time it was away, while a long
    // outage still slows the tries down to the cap.
    static constexpr double troubleShare = 0.125;

    // How an attempt or a session ended. `moved`: the relay sent the link
    // to another of its instances.
    enum class Outcome { failure, refused, replaced, notOnAccount, moved };

    double unit = 1;  // seconds per back-off unit
    int n = 0;
    int moves = 0;  // prompt moves since the step was last reset
    int ends = 0;   // outages ended by a welcome since the step was last reset
    int refusals = 0;
    bool slow = false;
    bool notOnAccount = false;
    // When the first failure of this outage happened, in seconds of the
    // caller's clock.
    std::optional<double> troubleSince;
    // When the relay last welcomed the link (NaN where the caller gave no
    // time), until the failure that follows it.
    std::optional<double> upSince;

    explicit RelayRetry(double unit = 1) : unit(unit) {}
    // Seconds until the next attempt; `random` in 0...1 sets the jitter.
    // Given the time, the wait is held to a share of the trouble so far.
    double delay(Outcome after, double random, std::optional<double> nowSeconds = std::nullopt);
    // The relay welcomed the link: the outage is over, and the next failure
    // starts another, unless the link keeps dropping soon after its
    // welcomes without a stable period up.
    void welcomed(std::optional<double> nowSeconds = std::nullopt);
    void resetStep();
    void restart();
    bool operator==(const RelayRetry&) const = default;

private:
    // The first failure after a welcome: whether the outage it follows
    // counts as its own.
    void dropped(std::optional<double> nowSeconds);
    // 0.75...1 from `random` in 0...1 (outside it, the nearer end).
    static double jitter(double random);
};

}  // namespace morvane
