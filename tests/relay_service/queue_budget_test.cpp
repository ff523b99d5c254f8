// What waits to be written, per connection, per account and in all: which
// queue must close when a charge does not fit.
#include <gtest/gtest.h>

#include <map>

#include "relay_service/queue_budget.h"

namespace morvane::relay_service {
namespace {

struct Queue final : BudgetedQueue {
    void overBudget(QueueScope) override {}
};

struct Step {
    enum Kind { add, charge, release, closing, remove } kind;
    char queue;
    std::size_t bytes = 0;
    std::string account = {};
};

TEST(QueueBudget, AChargeThatDoesNotFitNamesTheFullestOpenQueueOfTheLimitItReached) {
    struct Case {
        const char* name;
        QueueLimits limits;
        std::vector<Step> before;
        Step last;  // a charge
        std::optional<std::pair<char, QueueScope>> over;
    };
    const QueueLimits roomy{1000, 1500, 3000};
    const std::vector<Case> cases = {
        {"it fits", roomy, {{Step::add, 'a', 0, "x"}, {Step::charge, 'a', 500}}, {Step::charge, 'a', 500}, std::nullopt},
        {"one connection over its own",
         roomy,
         {{Step::add, 'a', 0, "x"}, {Step::charge, 'a', 800}},
         {Step::charge, 'a', 201},
         std::pair{'a', QueueScope::connection}},
        {"the account over, another of its queues fuller",
         roomy,
         {{Step::add, 'a', 0, "x"}, {Step::add, 'b', 0, "x"}, {Step::charge, 'a', 900}, {Step::charge, 'b', 500}},
         {Step::charge, 'b', 200},
         std::pair{'a', QueueScope::account}},
        {"the account over, this queue the fullest with the charge",
         {2000, 1500, 3000},
         {{Step::add, 'a', 0, "x"}, {Step::add, 'b', 0, "x"}, {Step::charge, 'a', 300}, {Step::charge, 'b', 900}},
         {Step::charge, 'b', 400},
         std::pair{'b', QueueScope::account}},
        {"a closing queue is never chosen",
         roomy,
         {{Step::add, 'a', 0, "x"},
          {Step::add, 'b', 0, "x"},
          {Step::charge, 'a', 900},
          {Step::charge, 'b', 500},
          {Step::closing, 'a'}},
         {Step::charge, 'b', 200},
         std::pair{'b', QueueScope::account}},
        {"another account's queue is not this account's to close",
         roomy,
         {{Step::add, 'a', 0, "x"}, {Step::add, 'c', 0, "y"}, {Step::charge, 'c', 990}, {Step::charge, 'a', 900}},
         {Step::charge, 'a', 100},
         std::nullopt},
        {"the relay over, the fullest of any account",
         {1000, 1500, 1500},
         {{Step::add, 'a', 0, "x"}, {Step::add, 'c', 0, "y"}, {Step::charge, 'a', 500}, {Step::charge, 'c', 900}},
         {Step::charge, 'a', 200},
         std::pair{'c', QueueScope::total}},
        {"a queue of no account counts only in all",
         {1000, 100, 3000},
         {{Step::add, 'a', 0, ""}, {Step::charge, 'a', 900}},
         {Step::charge, 'a', 50},
         std::nullopt},
        {"released bytes are room again",
         roomy,
         {{Step::add, 'a', 0, "x"}, {Step::charge, 'a', 900}, {Step::release, 'a', 500}},
         {Step::charge, 'a', 500},
         std::nullopt},
        {"a removed queue holds nothing",
         {1000, 1000, 3000},
         {{Step::add, 'a', 0, "x"}, {Step::add, 'b', 0, "x"}, {Step::charge, 'a', 900}, {Step::remove, 'a'}},
         {Step::charge, 'b', 900},
         std::nullopt},
    };
    for (const auto& c : cases) {
        QueueBudget budget(c.limits);
        std::map<char, Queue> queues;
        for (const auto& step : c.before) {
            auto* queue = &queues[step.queue];
            switch (step.kind) {
                case Step::add: budget.add(queue, step.account); break;
                case Step::charge: ASSERT_EQ(budget.charge(queue, step.bytes), std::nullopt) << c.name; break;
                case Step::release: budget.release(queue, step.bytes); break;
                case Step::closing: budget.closing(queue); break;
                case Step::remove: budget.remove(queue); break;
            }
        }
        auto* charged = &queues[c.last.queue];
        const auto held = budget.queued(charged), total = budget.total();
        const auto over = budget.charge(charged, c.last.bytes);
        if (!c.over) {
            EXPECT_EQ(over, std::nullopt) << c.name;
            EXPECT_EQ(budget.queued(charged), held + c.last.bytes) << c.name;
            continue;
        }
        ASSERT_TRUE(over) << c.name;
        EXPECT_EQ(over->queue, &queues[c.over->first]) << c.name;
        EXPECT_EQ(over->scope, c.over->second) << c.name;
        // A charge that does not fit charges nothing.
        EXPECT_EQ(budget.queued(charged), held) << c.name;
        EXPECT_EQ(budget.total(), total) << c.name;
    }
}

TEST(QueueBudget, TheLogNamesEachLimitInWords) {
    const QueueBudget budget({4u << 20, 16u << 20, 1000});
    EXPECT_EQ(budget.describe(QueueScope::connection), "over the 4 MiB one connection may have waiting");
    EXPECT_EQ(budget.describe(QueueScope::account), "over the 16 MiB one account may have waiting");
    EXPECT_EQ(budget.describe(QueueScope::total), "over the 1000 bytes the relay may have waiting in all");
}

}  // namespace
}  // namespace morvane::relay_service
