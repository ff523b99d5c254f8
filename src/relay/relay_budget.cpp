#include "relay/relay_budget.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <ctime>
#include <limits>

namespace morvane {

namespace {
std::int64_t floorDiv(std::int64_t a, std::int64_t b) {
    std::int64_t q = a / b;
    if ((a % b != 0) && ((a < 0) != (b < 0))) --q;
    return q;
}
std::int64_t stored(RelayCounterStorage& storage, const char* key) {
    return std::max<std::int64_t>(storage.integer(key), 0);
}

// Both daily values reset lazily: the first use on another UTC day (later
// or earlier) starts their numbers from zero.
void rollDay(std::string& day, std::int64_t& number, std::int64_t& extra, std::int64_t wallMillis) {
    auto today = RelayDay::name(wallMillis);
    if (today == day) return;
    day = std::move(today);
    number = 0;
    extra = 0;
}

void saveDay(RelayCounterStorage& storage, const char* const (&keys)[3], const std::string& day, std::int64_t number,
             std::int64_t extra) {
    storage.set(day, keys[0]);
    storage.set(number, keys[1]);
    storage.set(extra, keys[2]);
}
}  // namespace

std::int64_t saturatingAdd(std::int64_t a, std::int64_t b) {
    std::int64_t sum = 0;
    if (__builtin_add_overflow(a, b, &sum)) return b > 0 ? std::numeric_limits<std::int64_t>::max()
                                                        : std::numeric_limits<std::int64_t>::min();
    return sum;
}

std::string RelayDay::name(std::int64_t wallMillis) {
    const auto t = static_cast<std::time_t>(floorDiv(wallMillis, 1000));
    std::tm tm{};
    gmtime_r(&t, &tm);
    char buffer[32];
    std::snprintf(buffer, sizeof buffer, "%04d-%02d-%02d", tm.tm_year + 1900, tm.tm_mon + 1, tm.tm_mday);
    return buffer;
}

double RelayDay::secondsToMidnight(std::int64_t wallMillis) {
    const double t = static_cast<double>(wallMillis) / 1000.0;
    return std::max((std::floor(t / 86'400.0) + 1) * 86'400.0 - t, 1.0);
}

RelayBudget::RelayBudget(RelayCounterStorage& storage, std::int64_t dailyLimit)
    : day(storage.string(dayKey).value_or("")),
      count(stored(storage, countKey)),
      extra(stored(storage, extraKey)),
      dailyLimit(dailyLimit) {}

bool RelayBudget::canTake(std::int64_t wallMillis) const {
    if (RelayDay::name(wallMillis) != day) return 0 < dailyLimit;
    return count < limit();
}

bool RelayBudget::take(std::int64_t wallMillis) {
    roll(wallMillis);
    if (count >= limit()) return false;
    count = saturatingAdd(count, 1);
    return true;
}

void RelayBudget::allowMore(std::int64_t wallMillis) {
    roll(wallMillis);
    extra = saturatingAdd(extra, moreAttempts);
}

void RelayBudget::roll(std::int64_t wallMillis) { rollDay(day, count, extra, wallMillis); }

void RelayBudget::save(RelayCounterStorage& storage) const {
    saveDay(storage, {dayKey, countKey, extraKey}, day, count, extra);
}

RelayUsage::RelayUsage(RelayCounterStorage& storage, std::int64_t dailyCeiling)
    : day(storage.string(dayKey).value_or("")),
      records(stored(storage, recordsKey)),
      extra(stored(storage, extraKey)),
      dailyCeiling(dailyCeiling) {}

std::string RelayUsage::allowanceText(std::int64_t requests, std::int64_t ceiling) {
    const std::int64_t percent = std::min<std::int64_t>(requests * 100 / std::max<std::int64_t>(ceiling, 1), 100);
    return "about " + std::to_string(percent) + "% of this computer's daily allowance";
}

std::int64_t RelayUsage::estimatedRequests(std::int64_t attempts) const {
    const std::int64_t doubled = attempts > std::numeric_limits<std::int64_t>::max() / 2
                                     ? std::numeric_limits<std::int64_t>::max()
                                     : attempts * 2;
    return saturatingAdd(doubled, records / 20);
}

void RelayUsage::count(std::int64_t n, std::int64_t wallMillis) {
    roll(wallMillis);
    records = saturatingAdd(records, n);
}

void RelayUsage::allowMore(std::int64_t wallMillis) {
    roll(wallMillis);
    extra = saturatingAdd(extra, moreRequests);
}

void RelayUsage::roll(std::int64_t wallMillis) { rollDay(day, records, extra, wallMillis); }

void RelayUsage::save(RelayCounterStorage& storage) const {
    saveDay(storage, {dayKey, recordsKey, extraKey}, day, records, extra);
}

double RelayRetry::delay(Outcome after, double random, std::optional<double> nowSeconds) {
    dropped(nowSeconds);
    switch (after) {
        case Outcome::refused:
            ++refusals;
            if (refusals >= refusalsBeforeSlow) {
                slow = true;
                return unit * refusedPaceSeconds;
            }
            if (slow) return unit * refusedPaceSeconds;
            break;
        case Outcome::notOnAccount:
            slow = true;
            notOnAccount = true;
            return unit * refusedPaceSeconds;
        case Outcome::moved:
            if (slow) return unit * refusedPaceSeconds;
            // Not a failure: the relay asked for it, and a phone waits at
            // the new instance only a few seconds. It spends no step.
            if (moves < promptMoves) {
                ++moves;
                return jitter(random) * unit;
            }
            refusals = 0;
            break;
        case Outcome::failure:
        case Outcome::replaced:
            if (slow) return unit * refusedPaceSeconds;
            refusals = 0;
            break;
    }
    const int step = n;
    if (n < std::numeric_limits<int>::max()) ++n;
    double base = std::min(std::ldexp(1.0, std::min(step, 30)), capSeconds) * unit;
    if (nowSeconds) {
        if (step == 0 || !troubleSince) troubleSince = *nowSeconds;
        base = std::min(base, std::max(unit, (*nowSeconds - *troubleSince) * troubleShare));
    }
    double d = base * jitter(random);
    if (after == Outcome::replaced) d = std::max(d, unit * replacedMinimumSeconds);
    return d;
}

double RelayRetry::jitter(double random) { return !(random > 0) ? 0.75 : 0.75 + 0.25 * std::min(random, 1.0); }

void RelayRetry::resetStep() {
    n = 0;
    moves = 0;
    ends = 0;
    troubleSince.reset();
}

void RelayRetry::welcomed(std::optional<double> nowSeconds) {
    refusals = 0;
    slow = false;
    notOnAccount = false;
    upSince = nowSeconds.value_or(std::numeric_limits<double>::quiet_NaN());
}

void RelayRetry::dropped(std::optional<double> nowSeconds) {
    if (!upSince) return;
    const bool held = nowSeconds && *nowSeconds - *upSince >= heldSeconds;  // false for NaN
    upSince.reset();
    // The step is kept either way: it is what a relay that keeps dropping
    // the link at once is paced by, once its drops no longer count as
    // outages of their own.
    if (held) {
        troubleSince.reset();
    } else if (ends < promptMoves) {
        ++ends;
        troubleSince.reset();
    }
}

void RelayRetry::restart() { *this = RelayRetry(unit); }

}  // namespace morvane
