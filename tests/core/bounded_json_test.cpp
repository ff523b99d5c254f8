#include "core/bounded_json.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace morvane {
namespace {

using Problem = BoundedJson::Problem;

std::string nested(int levels, const std::string& open, const std::string& close, const std::string& inside = "1") {
    std::string text;
    for (int i = 0; i < levels; ++i) text += open;
    text += inside;
    for (int i = 0; i < levels; ++i) text += close;
    return text;
}

TEST(BoundedJson, RefusesNestingPastTheLimitAndBadSyntaxEachWithItsOwnProblem) {
    struct Case {
        const char* name;
        std::string text;
        std::optional<Problem> problem;  // absent: accepted
    };
    const std::vector<Case> cases = {
        {"scalar", "5", std::nullopt},
        {"flat object", R"({"paused":true,"seen":{"wallMillis":1}})", std::nullopt},
        {"arrays at the limit", nested(16, "[", "]"), std::nullopt},
        {"arrays one past", nested(17, "[", "]"), Problem::tooDeep},
        {"objects at the limit", nested(16, R"({"a":)", "}"), std::nullopt},
        {"objects one past", nested(17, R"({"a":)", "}"), Problem::tooDeep},
        {"mixed past", nested(9, R"({"a":[)", "]}"), Problem::tooDeep},
        {"brackets inside a text do not count", "[\"" + std::string(1000, '[') + "\"]", std::nullopt},
        {"siblings do not add up", "[" + nested(15, "[", "]") + "," + nested(15, "[", "]") + "]", std::nullopt},
        // The walk stops at the first level too deep: what follows is never read.
        {"deep then broken", std::string(100, '[') + "garbage", Problem::tooDeep},
        {"a million levels", nested(1'000'000, "[", "]"), Problem::tooDeep},
        {"cut short", R"({"paused":tr)", Problem::notJSON},
        {"empty", "", Problem::notJSON},
        {"two documents", "{} {}", Problem::notJSON},
        {"not UTF-8", "[\"\xff\"]", Problem::notJSON},
    };
    for (const auto& c : cases) {
        const auto parsed = BoundedJson::parse(c.text, BoundedJson::storedFileDepth);
        if (c.problem) {
            ASSERT_TRUE(std::holds_alternative<Problem>(parsed)) << c.name;
            EXPECT_EQ(std::get<Problem>(parsed), *c.problem) << c.name;
        } else {
            ASSERT_TRUE(std::holds_alternative<nlohmann::json>(parsed)) << c.name;
            EXPECT_EQ(std::get<nlohmann::json>(parsed), nlohmann::json::parse(c.text)) << c.name;
        }
    }
    EXPECT_EQ(BoundedJson::describe(Problem::tooDeep, 16), "nested deeper than 16 levels");
    EXPECT_EQ(BoundedJson::describe(Problem::notJSON, 16), "not valid JSON");
}

}  // namespace
}  // namespace morvane
