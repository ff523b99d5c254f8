// What waits to be written, per connection, per account and in all: which
// queue must make room when a charge does not fit, and that a queue whose
// peer reads is never the one.
#include <gtest/gtest.h>

#include <map>

#include "relay_service/queue_budget.h"

namespace morvane::relay_service {
namespace {

struct Queue final : BudgetedQueue {
    std::int64_t moved = 0;
    std::int64_t movedAt() const override { return moved; }
    void makeRoom(const QueueOver&) override {}
};

struct Step {
    enum Kind { add, charge, release, closing, remove } kind;
    char queue;
    std::size_t bytes = 0;
    std::string account = {};
    std::int64_t moved = 0;  // a charge: when the queue's front write last moved
};

TEST(QueueBudget, AChargeThatDoesNotFitNamesAQueueThatIsStuckNeverOneThatReads) {
    using Cause = QueueCause;
    struct Expected {
        char queue;
        QueueScope scope;
        Cause cause;
    };
    struct Case {
        const char* name;
        QueueLimits limits;
        std::vector<Step> before;
        Step last;  // a charge, at time 10,000
        std::optional<Expected> over;
    };
    const QueueLimits roomy{1000, 1500, 3000, 1000};
    const std::vector<Case> cases = {
        {"it fits", roomy, {{Step::add, 'a', 0, "x"}, {Step::charge, 'a', 500}}, {Step::charge, 'a', 500}, std::nullopt},
        {"one connection over its own",
         roomy,
         {{Step::add, 'a', 0, "x"}, {Step::charge, 'a', 800}},
         {Step::charge, 'a', 201},
         Expected{'a', QueueScope::connection, Cause::ownLimit}},
        {"the account over: its queue that moved least recently, though another holds more",
         roomy,
         {{Step::add, 'a', 0, "x"},
          {Step::add, 'b', 0, "x"},
          {Step::charge, 'a', 800, "", 9'990},
          {Step::charge, 'b', 600, "", 9'900}},
         {Step::charge, 'a', 150},
         Expected{'b', QueueScope::account, Cause::stuck}},
        {"the account over, this queue the stalest",
         {2000, 1500, 3000, 1000},
         {{Step::add, 'a', 0, "x"}, {Step::add, 'b', 0, "x"}, {Step::charge, 'a', 300, "", 9'990}, {Step::charge, 'b', 900, "", 5'000}},
         {Step::charge, 'b', 400},
         Expected{'b', QueueScope::account, Cause::stuck}},
        {"a closing queue is never closed again within the account",
         roomy,
         {{Step::add, 'a', 0, "x"},
          {Step::add, 'b', 0, "x"},
          {Step::charge, 'a', 900, "", 1'000},
          {Step::charge, 'b', 500, "", 9'999},
          {Step::closing, 'a'}},
         {Step::charge, 'b', 200},
         Expected{'b', QueueScope::account, Cause::stuck}},
        {"the relay over, nothing stuck but a queue closed as slow: it gives back what it still writes",
         {1000, 1500, 1500, 1000},
         {{Step::add, 'p', 0, "phone"},
          {Step::add, 'a', 0, "x"},
          {Step::add, 'b', 0, "y"},
          {Step::charge, 'a', 500, "", 9'900},
          {Step::charge, 'b', 600, "", 1'000},
          {Step::charge, 'p', 200, "", 9'950},
          {Step::closing, 'b'}},
         {Step::charge, 'p', 400},
         Expected{'b', QueueScope::total, Cause::stillWriting}},
        {"another account's queue is not this account's to close",
         roomy,
         {{Step::add, 'a', 0, "x"}, {Step::add, 'c', 0, "y"}, {Step::charge, 'c', 990}, {Step::charge, 'a', 900}},
         {Step::charge, 'a', 100},
         std::nullopt},
        // Devices that stopped reading, each holding one record, fill the
        // relay; a phone that reads is sent a keyframe larger than any.
        {"the relay over: a stuck queue of any account, not the reading phone sent more than any holds",
         {1000, 1500, 1500, 1000},
         {{Step::add, 'p', 0, "phone"},
          {Step::add, 'a', 0, "x"},
          {Step::add, 'b', 0, "y"},
          {Step::add, 'c', 0, "z"},
          {Step::charge, 'a', 400, "", 1'000},
          {Step::charge, 'b', 400, "", 2'000},
          {Step::charge, 'c', 400, "", 3'000},
          {Step::charge, 'p', 200, "", 9'999}},
         {Step::charge, 'p', 400},
         Expected{'a', QueueScope::total, Cause::stuck}},
        {"the relay over, nothing stuck yet: the stalest queue of the account holding most",
         {1000, 1500, 1500, 1000},
         {{Step::add, 'p', 0, "phone"},
          {Step::add, 'a', 0, "x"},
          {Step::add, 'b', 0, "x"},
          {Step::add, 'c', 0, "y"},
          {Step::charge, 'a', 350, "", 9'500},
          {Step::charge, 'b', 350, "", 9'800},
          {Step::charge, 'c', 300, "", 9'100},
          {Step::charge, 'p', 200, "", 9'950}},
         {Step::charge, 'p', 400},
         Expected{'a', QueueScope::total, Cause::overShare}},
        {"the relay over, nothing stuck, the charged account the heaviest: its own queue",
         {2000, 1500, 1500, 1000},
         {{Step::add, 'p', 0, "phone"}, {Step::add, 'c', 0, "y"}, {Step::charge, 'c', 500, "", 9'100}, {Step::charge, 'p', 700, "", 9'990}},
         {Step::charge, 'p', 400},
         Expected{'p', QueueScope::total, Cause::overShare}},
        {"a queue of no account counts only in all",
         {1000, 100, 3000, 1000},
         {{Step::add, 'a', 0, ""}, {Step::charge, 'a', 900}},
         {Step::charge, 'a', 50},
         std::nullopt},
        {"released bytes are room again",
         roomy,
         {{Step::add, 'a', 0, "x"}, {Step::charge, 'a', 900}, {Step::release, 'a', 500}},
         {Step::charge, 'a', 500},
         std::nullopt},
        {"a removed queue holds nothing",
         {1000, 1000, 3000, 1000},
         {{Step::add, 'a', 0, "x"}, {Step::add, 'b', 0, "x"}, {Step::charge, 'a', 900}, {Step::remove, 'a'}},
         {Step::charge, 'b', 900},
         std::nullopt},
    };
    constexpr std::int64_t now = 10'000;
    for (const auto& c : cases) {
        QueueBudget budget(c.limits);
        std::map<char, Queue> queues;
        for (const auto& step : c.before) {
            auto* queue = &queues[step.queue];
            switch (step.kind) {
                case Step::add: budget.add(queue, step.account); break;
                case Step::charge:
                    ASSERT_EQ(budget.charge(queue, step.bytes, now), std::nullopt) << c.name;
                    queue->moved = step.moved;
                    break;
                case Step::release: budget.release(queue, step.bytes); break;
                case Step::closing: budget.closing(queue); break;
                case Step::remove: budget.remove(queue); break;
            }
        }
        auto* charged = &queues[c.last.queue];
        const auto held = budget.queued(charged), total = budget.total();
        const auto over = budget.charge(charged, c.last.bytes, now);
        if (!c.over) {
            EXPECT_EQ(over, std::nullopt) << c.name;
            EXPECT_EQ(budget.queued(charged), held + c.last.bytes) << c.name;
            continue;
        }
        ASSERT_TRUE(over) << c.name;
        EXPECT_EQ(over->queue, &queues[c.over->queue]) << c.name;
        EXPECT_EQ(over->scope, c.over->scope) << c.name;
        EXPECT_EQ(over->cause, c.over->cause) << c.name;
        // A charge that does not fit charges nothing.
        EXPECT_EQ(budget.queued(charged), held) << c.name;
        EXPECT_EQ(budget.total(), total) << c.name;
    }
}

TEST(QueueBudget, TheLogNamesEachLimitAndWhyTheQueueWasChosenInWords) {
    const QueueBudget budget({4u << 20, 16u << 20, 1000, 1000});
    EXPECT_EQ(budget.describe(QueueScope::connection), "over the 4 MiB one connection may have waiting");
    EXPECT_EQ(budget.describe(QueueScope::account), "over the 16 MiB one account may have waiting");
    EXPECT_EQ(budget.describe(QueueScope::total), "over the 1000 bytes the relay may have waiting in all");
    EXPECT_EQ(budget.explain({nullptr, QueueScope::total, QueueCause::stuck, 2'500}),
              "it has taken nothing of what it is sent for 2500 ms, the longest of any connection, over the 1000 "
              "bytes the relay may have waiting in all");
    EXPECT_EQ(budget.explain({nullptr, QueueScope::total, QueueCause::overShare, 20}),
              "its account has the most waiting of any, over the 1000 bytes the relay may have waiting in all");
}

}  // namespace
}  // namespace morvane::relay_service
