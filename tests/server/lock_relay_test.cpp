#include <gtest/gtest.h>

#include "../app/manual_executor.h"
#include "server/lock_relay.h"
#include "server_fakes.h"

namespace morvane {
namespace {

// Each session hears the facts at once and at every change, and only the
// answers to its own asks; "cannot lock" only once the shell looked again.
TEST(LockRelay, EachSessionHearsTheFactsAndTheAnswersToItsOwnAsks) {
    const std::string cannot = R"({"can":false,"onDisconnect":true,"t":"lock-state"})";
    const std::string can = R"({"can":true,"onDisconnect":true,"t":"lock-state"})";
    const std::string locked = R"({"locked":true,"t":"lock-result"})";
    testing::ManualExecutor queue;
    LockRelay relay(queue);
    relay.setFacts({false, true});  // no session yet: nobody to tell
    auto first = std::make_shared<testing::RecordingLink>();
    relay.attach(first);
    EXPECT_TRUE(first->sent.empty()) << "what was known before it came is not said";
    const auto before = relay.asked();
    relay.setFacts({false, true});  // the shell looked again: said now
    relay.setFacts({false, true});  // the same facts: nothing new
    relay.setFacts({true, true});
    relay.answered(before + 1, true);  // never asked

    auto second = std::make_shared<testing::RecordingLink>();
    relay.attach(second);
    relay.answered(before, false);  // the session before asked it
    relay.answered(relay.asked(), true);
    relay.detach();
    relay.answered(before + 1, true);
    EXPECT_EQ(first->sent, (std::vector<std::string>{cannot, can}));
    EXPECT_EQ(second->sent, (std::vector<std::string>{can, locked}));
}

// Taps while an ask waits join it: one crosses to the shell, and its answer
// answers them all; the next tap after the answer crosses again. An answer
// that never comes frees the way after a while, and a new session starts
// afresh.
TEST(LockRelay, TapsWhileAnAskWaitsJoinIt) {
    const std::string locked = R"({"locked":true,"t":"lock-result"})";
    testing::ManualExecutor queue;
    LockRelay relay(queue);
    auto link = std::make_shared<testing::RecordingLink>();
    relay.attach(link);
    link->sent.clear();
    const auto first = relay.tapped(0);
    ASSERT_TRUE(first);
    int crossed = 1;
    for (std::int64_t at = 1; at <= 1'024; ++at) crossed += relay.tapped(at).has_value();
    EXPECT_EQ(crossed, 1);
    relay.answered(*first, true);
    EXPECT_EQ(link->sent, std::vector<std::string>{locked}) << "one answer for the burst";
    const auto next = relay.tapped(2'000);
    ASSERT_TRUE(next);
    EXPECT_GT(*next, *first);
    relay.answered(*first, true);  // a late word on the old ask frees nothing
    EXPECT_FALSE(relay.tapped(2'100));
    EXPECT_FALSE(relay.tapped(2'000 + LockRelay::joinMillis - 1));
    EXPECT_TRUE(relay.tapped(2'000 + LockRelay::joinMillis)) << "an answer that never came";
    relay.attach(std::make_shared<testing::RecordingLink>());
    EXPECT_TRUE(relay.tapped(7'100)) << "a new session waits on nothing of the last";
}

}  // namespace
}  // namespace morvane
