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

}  // namespace
}  // namespace morvane
