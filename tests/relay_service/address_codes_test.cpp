// A person's allowance of codes: kept per asking network, strangers
// elsewhere bounded in all, and the networks the person signed in from
// not counted with the strangers.
#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

#include "relay_service/address_codes.h"

namespace morvane::relay_service {
namespace {

TEST(AddressCodes, StrangersElsewhereLeaveThePersonTheirOwnCodes) {
    AddressCodes codes({3, 6, 4, 600, 1'000, 2});
    std::vector<std::pair<RateWindow*, std::string>> counted;
    const auto ask = [&](const char* address, const std::string& network, std::int64_t now = 100) {
        return !codes.take(address, network, now, counted).has_value();
    };
    codes.signedIn("p@example.com", "home");
    struct Step {
        const char* why;
        const char* address;
        std::string network;
        bool given;
    };
    const std::vector<Step> steps = {
        {"a stranger's first", "p@example.com", "s1", true},
        {"its second", "p@example.com", "s1", true},
        {"its third", "p@example.com", "s1", true},
        {"its network has had the address's three", "p@example.com", "s1", false},
        {"another network", "p@example.com", "s2", true},
        {"and another", "p@example.com", "s3", true},
        {"", "p@example.com", "s3", true},
        {"six from strangers in all", "p@example.com", "s4", false},
        {"the person at home", "p@example.com", "home", true},
        {"", "p@example.com", "home", true},
        {"", "p@example.com", "home", true},
        {"past three: at home, as many as its owner may want", "p@example.com", "home", true},
        {"but no more", "p@example.com", "home", false},
        {"another address counts apart", "q@example.com", "s1", true},
    };
    for (const auto& step : steps) EXPECT_EQ(ask(step.address, step.network), step.given) << step.why;
    EXPECT_TRUE(ask("p@example.com", "s4", 700)) << "a new window";

    // The last networks signed in from are home; older ones are forgotten.
    codes.signedIn("p@example.com", "cafe");
    codes.signedIn("p@example.com", "office");
    EXPECT_FALSE(codes.home("p@example.com", "home"));
    EXPECT_TRUE(codes.home("p@example.com", "cafe"));
    EXPECT_TRUE(codes.home("p@example.com", "office"));
    EXPECT_FALSE(codes.home("q@example.com", "office"));
}

}  // namespace
}  // namespace morvane::relay_service
