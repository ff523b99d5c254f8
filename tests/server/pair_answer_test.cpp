#include <gtest/gtest.h>

#include <vector>

#include "server/pair_answer.h"

namespace morvane {
namespace {

TEST(PairAnswer, OnlyAMatchingCodeThatWasSavedGetsATokenAndBothCodeRefusalsReadTheSame) {
    PairedDevice phone;
    phone.id = "D1";
    phone.name = "Phone";
    phone.tokenHash = "ab";
    struct Case {
        const char* name;
        DeviceStore::PairOutcome outcome;
        PairAttempt attempt;
        int status;
        nlohmann::json body;
    };
    const nlohmann::json refused = {{"error", "code-not-accepted"}};
    const std::vector<Case> cases = {
        {"a matching code", pair_outcome::Paired{"T0K3N", phone}, pair_attempt::Paired{"Phone"}, 200,
         {{"deviceId", "D1"}, {"token", "T0K3N"}}},
        {"a wrong code", pair_outcome::WrongCode{}, pair_attempt::WrongCode{}, 403, refused},
        {"no window open", pair_outcome::Closed{}, pair_attempt::Closed{}, 403, refused},
        // The owner hears the storage's reason; the device only that the
        // computer could not keep it, with no token.
        {"a list that cannot be saved", pair_outcome::NotSaved{"cannot update private item x/y: No space left"},
         pair_attempt::NotSaved{"cannot update private item x/y: No space left"}, 503, {{"error", "cannot-save"}}},
    };
    for (const auto& c : cases) {
        auto answer = PairAnswer::of(c.outcome);
        EXPECT_EQ(answer.attempt, c.attempt) << c.name << ": what the owner is told";
        EXPECT_EQ(answer.status, c.status) << c.name;
        EXPECT_EQ(answer.body, c.body) << c.name << ": what the device is told";
    }
}

}  // namespace
}  // namespace morvane
