// A network's sign-in calls, whatever the address: counted at each of its
// levels, so that new /64s of one /48 buy no more answers.
#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

#include "relay_service/network_allowance.h"

namespace morvane::relay_service {
namespace {

std::vector<std::string> v6(int i, int j, int k) {
    const auto h = [](int n) { return std::to_string(n); };
    return {"2001:db8:" + h(k) + ":" + h(j * 256 + i) + "::/64", "2001:db8:" + h(k) + ":" + h(j * 256) + "::/56",
            "2001:db8:" + h(k) + "::/48"};
}

TEST(NetworkAllowance, EachLevelOfANetworkHasItsOwnAllowance) {
    struct Case {
        const char* what;
        std::function<std::vector<std::string>(int)> networks;
        int allowed;  // of 100 calls in one window
    };
    const Case cases[] = {
        {"one IPv4 address", [](int) { return std::vector<std::string>{"203.0.113.9"}; }, 5},
        {"one /64", [](int) { return v6(1, 1, 1); }, 5},
        {"new /64s of one /56", [](int i) { return v6(i, 1, 1); }, 10},
        {"new /64s and /56s of one /48", [](int i) { return v6(i % 7, i, 1); }, 20},
        {"new /48s", [](int i) { return v6(1, 1, i); }, 100},
        {"a trusted proxy that names no client", [](int) { return std::vector<std::string>{}; }, 100},
    };
    for (const auto& c : cases) {
        NetworkAllowance allowance(5, 600, 1'000);
        int allowed = 0;
        std::vector<std::pair<RateWindow*, std::string>> counted;
        for (int i = 0; i < 100; ++i) {
            const auto wait = allowance.take(c.networks(i), 1'000, counted);
            if (!wait) {
                ++allowed;
                continue;
            }
            EXPECT_GE(*wait, 1) << c.what;
            EXPECT_LE(*wait, 600) << c.what;
        }
        EXPECT_EQ(allowed, c.allowed) << c.what;
        // A refusal counts nothing: what was counted is what was allowed.
        EXPECT_EQ(counted.size(), static_cast<std::size_t>(allowed) * c.networks(0).size()) << c.what;
        EXPECT_FALSE(allowance.take(c.networks(0), 1'600, counted)) << c.what << ": a new window";
    }
}

}  // namespace
}  // namespace morvane::relay_service
