#include "relay/relay_budget.h"

#include <gtest/gtest.h>

#include <limits>

namespace morvane {
namespace {

// 5 March 2024 23:59:59 UTC and the instants around it.
constexpr std::int64_t lastSecond = 1'709'683'199'000;
constexpr std::int64_t midnight = lastSecond + 1'000;
constexpr std::int64_t day = 86'400'000;

TEST(RelayDay, DayNamesAndMidnightAreUtc) {
    EXPECT_EQ(RelayDay::name(lastSecond), "2024-03-05");
    EXPECT_EQ(RelayDay::name(midnight), "2024-03-06");
    EXPECT_EQ(RelayDay::name(0), "1970-01-01");
    EXPECT_EQ(RelayDay::name(-1), "1969-12-31");
    EXPECT_DOUBLE_EQ(RelayDay::secondsToMidnight(midnight), 86'400);
    EXPECT_DOUBLE_EQ(RelayDay::secondsToMidnight(midnight - 1), 1);  // never below one second
    EXPECT_DOUBLE_EQ(RelayDay::secondsToMidnight(lastSecond), 1);
    EXPECT_DOUBLE_EQ(RelayDay::secondsToMidnight(midnight + 3'600'000), 82'800);
}

TEST(RelayBudget, TakesTheDailyLimitThenExtrasAndStartsAfreshNextDay) {
    RelayBudget budget;
    for (int i = 1; i <= 200; ++i) ASSERT_TRUE(budget.take(lastSecond)) << i;
    EXPECT_FALSE(budget.canTake(lastSecond));
    EXPECT_FALSE(budget.take(lastSecond));
    EXPECT_EQ(budget.count, 200);
    budget.allowMore(lastSecond);
    EXPECT_EQ(budget.limit(), 220);
    for (int i = 0; i < 20; ++i) ASSERT_TRUE(budget.take(lastSecond));
    EXPECT_FALSE(budget.take(lastSecond));
    EXPECT_TRUE(budget.canTake(midnight));  // another day counts from zero
    EXPECT_EQ(budget.count, 220);           // canTake changes nothing
    EXPECT_TRUE(budget.take(midnight));
    EXPECT_EQ(budget.count, 1);
    EXPECT_EQ(budget.extra, 0);
    EXPECT_EQ(budget.day, "2024-03-06");
}

TEST(RelayBudget, StoredCountersLoadWithoutRollingAndSaveUnderTheirKeys) {
    MemoryCounterStorage storage;
    storage.set(std::int64_t{-5}, RelayBudget::countKey);
    storage.set(std::int64_t{-5}, RelayBudget::extraKey);
    RelayBudget empty(storage, 200);
    EXPECT_EQ(empty.day, "");
    EXPECT_EQ(empty.count, 0);
    EXPECT_EQ(empty.extra, 0);

    RelayBudget budget;
    budget.take(lastSecond);
    budget.allowMore(lastSecond);
    budget.save(storage);
    EXPECT_EQ(storage.string("relayAttemptsDay"), "2024-03-05");
    EXPECT_EQ(storage.integer("relayAttemptsCount"), 1);
    EXPECT_EQ(storage.integer("relayAttemptsExtra"), 20);
    RelayBudget loaded(storage, 150);
    EXPECT_EQ(loaded.count, 1);
    EXPECT_EQ(loaded.dailyLimit, 150);  // the limit is never stored

    RelayUsage usage;
    usage.count(59, lastSecond);
    usage.allowMore(lastSecond);
    usage.save(storage);
    EXPECT_EQ(storage.integer("relayUsageRecords"), 59);
    EXPECT_EQ(storage.integer("relayUsageExtra"), 10'000);
    EXPECT_EQ(storage.string("relayUsageDay"), "2024-03-05");
    EXPECT_EQ(RelayUsage(storage, 60'000), usage);
}

TEST(RelayUsage, EstimateCountsTwoPerAttemptAndOnePerTwentyRecords) {
    RelayUsage usage;
    usage.count(19, lastSecond);
    EXPECT_EQ(usage.estimatedRequests(0), 0);
    usage.count(1, lastSecond);
    EXPECT_EQ(usage.estimatedRequests(0), 1);
    usage.count(39, lastSecond);
    EXPECT_EQ(usage.estimatedRequests(3), 8);  // 3 × 2 + 59 / 20
    RelayUsage atCeiling;
    atCeiling.dailyCeiling = 10;
    EXPECT_FALSE(atCeiling.reached(4));
    EXPECT_TRUE(atCeiling.reached(5));  // equal already counts
    atCeiling.allowMore(lastSecond);
    EXPECT_EQ(atCeiling.ceiling(), 10'010);
    usage.count(1, midnight);
    EXPECT_EQ(usage.records, 1);  // a new day starts at the new record
}

TEST(RelayBudget, HandEditedHugeCountersSaturateInsteadOfOverflowing) {
    constexpr auto huge = std::numeric_limits<std::int64_t>::max();
    MemoryCounterStorage storage;
    storage.set(std::string("2024-03-05"), RelayBudget::dayKey);
    storage.set(huge, RelayBudget::countKey);
    storage.set(huge, RelayBudget::extraKey);
    storage.set(std::string("2024-03-05"), RelayUsage::dayKey);
    storage.set(huge, RelayUsage::recordsKey);
    storage.set(huge - 5, RelayUsage::extraKey);
    RelayBudget budget(storage, 200);
    EXPECT_EQ(budget.limit(), huge);
    EXPECT_FALSE(budget.take(lastSecond));
    budget.allowMore(lastSecond);
    EXPECT_EQ(budget.extra, huge);
    RelayUsage usage(storage, 60'000);
    EXPECT_EQ(usage.ceiling(), huge);
    EXPECT_EQ(usage.estimatedRequests(huge), huge);
    EXPECT_TRUE(usage.reached(huge));
    usage.count(100, lastSecond);
    EXPECT_EQ(usage.records, huge);
    usage.allowMore(lastSecond);
    EXPECT_EQ(usage.extra, huge);
}

TEST(RelayRetry, FailuresDoubleFromOneSecondUpToTheCapWithBoundedJitter) {
    RelayRetry retry;
    const std::vector<double> bases = {1, 2, 4, 8, 16, 32, 64, 128, 256, 512, 900, 900};
    for (double base : bases) EXPECT_DOUBLE_EQ(retry.delay(RelayRetry::Outcome::failure, 1.0), base);
    struct Case {
        double random, factor;
    };
    for (auto [random, factor] : {Case{0, 0.75}, {-3, 0.75}, {1, 1}, {7, 1}, {0.5, 0.875},
                                  {std::numeric_limits<double>::quiet_NaN(), 0.75}}) {
        RelayRetry fresh(0.5);
        EXPECT_DOUBLE_EQ(fresh.delay(RelayRetry::Outcome::failure, random), factor * 0.5) << random;
    }
    for (int i = 0; i < 100; ++i) {
        RelayRetry r;
        r.n = 4;
        const double d = r.delay(RelayRetry::Outcome::failure, i / 99.0);
        EXPECT_GE(d, 12.0);
        EXPECT_LE(d, 16.0);
    }
}

TEST(RelayRetry, RefusalsAndReplacementsSetTheirPace) {
    using O = RelayRetry::Outcome;
    RelayRetry replaced;
    EXPECT_DOUBLE_EQ(replaced.delay(O::replaced, 0), 60);

    RelayRetry retry;
    retry.delay(O::refused, 1);
    retry.delay(O::refused, 1);
    retry.delay(O::failure, 1);
    EXPECT_EQ(retry.refusals, 0);  // a failure between refusals resets them
    EXPECT_FALSE(retry.slow);
    retry.delay(O::refused, 1);
    retry.delay(O::refused, 1);
    EXPECT_DOUBLE_EQ(retry.delay(O::refused, 1), 1'800);
    EXPECT_TRUE(retry.slow);
    for (O o : {O::failure, O::replaced, O::refused}) EXPECT_DOUBLE_EQ(retry.delay(o, 1), 1'800);
    retry.welcomed();
    EXPECT_FALSE(retry.slow);
    EXPECT_EQ(retry.refusals, 0);
    EXPECT_GT(retry.n, 0);  // welcomed keeps the step
    retry.restart();
    EXPECT_EQ(retry, RelayRetry());

    RelayRetry account(0.01);
    EXPECT_DOUBLE_EQ(account.delay(O::notOnAccount, 1), 18);
    EXPECT_TRUE(account.slow);
    EXPECT_TRUE(account.notOnAccount);
}

TEST(RelayRetry, AWaitIsHeldToAnEighthOfTheTroubleSoFar) {
    const struct {
        double at, wait;
    } failures[] = {
        {0, 1},     {1, 1},         {2, 1},           {9, 1.125},
        {20, 2.5},  {100, 12.5},    {100'000, 64},    {200'000, 128},  // the doubling bounds it too
    };
    RelayRetry retry;
    for (const auto& f : failures) EXPECT_DOUBLE_EQ(retry.delay(RelayRetry::Outcome::failure, 1, f.at), f.wait) << f.at;
    retry.resetStep();  // a stable period up ends the trouble
    EXPECT_DOUBLE_EQ(retry.delay(RelayRetry::Outcome::failure, 0, 300'000), 0.75);
    // The doubling still bounds it: a second failure long after the first.
    EXPECT_DOUBLE_EQ(retry.delay(RelayRetry::Outcome::failure, 1, 300'100), 2);
    EXPECT_DOUBLE_EQ(retry.delay(RelayRetry::Outcome::replaced, 1, 300'101), 60);
}

TEST(RelayRetry, AWelcomeEndsTheOutageUntilTheLinkKeepsDropping) {
    // Each row: a failure at `at` (seconds), then, where `welcomed`, the
    // relay welcoming the link again.
    const struct {
        double at, wait;
        bool welcomed;
    } rows[] = {
        {0, 1, false},  {1, 1, false},  {2, 1, false},  {40, 5, false}, {41, 5.125, true},  // an outage of 41 s
        {63, 1, false}, {64, 1, false}, {80, 2.125, true},  // the next is measured from its own first failure
        {100, 1, true},                                     // a drop 20 s after the welcome: an outage again
    };
    RelayRetry retry;
    for (const auto& r : rows) {
        EXPECT_DOUBLE_EQ(retry.delay(RelayRetry::Outcome::failure, 1, r.at), r.wait) << r.at;
        if (r.welcomed) retry.welcomed();
    }
    EXPECT_GT(retry.n, 5);  // the step runs on until a stable period up

    // Past as many welcomes as prompt moves, the drops are one outage.
    RelayRetry looping;
    double at = 0;
    for (int i = 0; i < RelayRetry::promptMoves; ++i) {
        EXPECT_DOUBLE_EQ(looping.delay(RelayRetry::Outcome::failure, 1, at), 1) << i;
        looping.welcomed();
        at += 1;
    }
    const double first = at;
    EXPECT_DOUBLE_EQ(looping.delay(RelayRetry::Outcome::failure, 1, at), 1);
    looping.welcomed();
    EXPECT_DOUBLE_EQ(looping.delay(RelayRetry::Outcome::failure, 1, first + 80), 10);
    // A link held up past the quick drops ends its outage all the same,
    // and so does the next, each timed from its own first failure.
    for (const double up : {first + 100, first + 150}) {
        looping.welcomed(up);
        EXPECT_DOUBLE_EQ(looping.delay(RelayRetry::Outcome::failure, 1, up + RelayRetry::heldSeconds), 1) << up;
        EXPECT_DOUBLE_EQ(looping.delay(RelayRetry::Outcome::failure, 1, up + 30), 2.5) << up;
    }
    looping.welcomed(first + 190);  // dropped at once again: it runs on from the last outage
    EXPECT_DOUBLE_EQ(looping.delay(RelayRetry::Outcome::failure, 1, first + 191), 3.875);
    looping.resetStep();  // a stable period up
    looping.welcomed();
    EXPECT_DOUBLE_EQ(looping.delay(RelayRetry::Outcome::failure, 1, first + 200), 1);
}

TEST(RelayRetry, MovesAreFollowedAtOnceUntilTheyLookLikeALoop) {
    using O = RelayRetry::Outcome;
    RelayRetry retry;
    retry.delay(O::failure, 1);
    retry.delay(O::failure, 1);
    for (int i = 0; i < RelayRetry::promptMoves; ++i) EXPECT_DOUBLE_EQ(retry.delay(O::moved, 1), 1) << i;
    EXPECT_EQ(retry.n, 2);                          // a move spends no step
    EXPECT_DOUBLE_EQ(retry.delay(O::moved, 1), 4);  // past the prompt ones it backs off like a failure
    retry.resetStep();                              // a stable period up
    EXPECT_DOUBLE_EQ(retry.delay(O::moved, 0), 0.75);

    RelayRetry refused;
    for (int i = 0; i < RelayRetry::refusalsBeforeSlow; ++i) refused.delay(O::refused, 1);
    EXPECT_DOUBLE_EQ(refused.delay(O::moved, 1), 1'800);  // the slow pace holds until welcomed
}

}  // namespace
}  // namespace morvane
