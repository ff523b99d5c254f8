// A network's sign-in calls, whatever the address: counted at each of its
// widths, so that new /64s of one /48 buy no more answers and fresh /48s of
// one /32 weigh as one asker; and the scale from an address to its wider
// networks.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <utility>
#include <vector>

#include "relay_service/network_allowance.h"
#include "relay_service/network_scale.h"

namespace morvane::relay_service {
namespace {

std::vector<std::string> v6(int i, int j, int k) {
    const auto h = [](int n) { return std::to_string(n); };
    return {"2001:db8:" + h(k) + ":" + h(j * 256 + i) + "::/64", "2001:db8:" + h(k) + ":" + h(j * 256) + "::/56",
            "2001:db8:" + h(k) + "::/48"};
}

TEST(NetworkScale, AnIPv6CallerIsCountedUpToItsProvidersSlash32) {
    using Networks = std::vector<std::string>;
    const struct {
        Networks named, widths;
        std::string customer, widest;
    } cases[] = {
        {{"203.0.113.9"}, {"203.0.113.9"}, "203.0.113.9", "203.0.113.9"},
        {{"2001:db8:7:101::/64", "2001:db8:7:100::/56", "2001:db8:7::/48"},
         {"2001:db8:7:101::/64", "2001:db8:7:100::/56", "2001:db8:7::/48", "2001:db8::/40", "2001:db8::/32"},
         "2001:db8:7::/48", "2001:db8::/32"},
        {{"2001:db8:abcd:1::/64", "2001:db8:abcd::/56", "2001:db8:abcd::/48"},
         {"2001:db8:abcd:1::/64", "2001:db8:abcd::/56", "2001:db8:abcd::/48", "2001:db8:ab00::/40", "2001:db8::/32"},
         "2001:db8:abcd::/48", "2001:db8::/32"},
        // What the server never names is taken as it is.
        {{"a", "b", "not an address/48"}, {"a", "b", "not an address/48"}, "not an address/48", "not an address/48"},
        {{}, {}, "", ""},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(NetworkScale::widths(c.named), c.widths) << c.customer;
        EXPECT_EQ(NetworkScale::customer(c.named), c.customer);
        EXPECT_EQ(NetworkScale::widest(c.named), c.widest);
    }
}

TEST(NetworkAllowance, EachWidthOfANetworkHasItsOwnAllowanceAndWeight) {
    struct Case {
        const char* what;
        std::function<std::vector<std::string>(int)> networks;
        int allowed;  // of 100 calls in one window
        int weight;   // the last caller's afterwards
    };
    const Case cases[] = {
        {"one IPv4 address", [](int) { return std::vector<std::string>{"203.0.113.9"}; }, 5, 5},
        {"one /64", [](int) { return v6(1, 1, 1); }, 5, 5},
        {"new /64s of one /56", [](int i) { return v6(i, 1, 1); }, 10, 5},
        {"new /64s and /56s of one /48", [](int i) { return v6(i % 7, i, 1); }, 20, 5},
        // A provider's customers share no allowance, but its fresh /48s
        // weigh as one asker: 100 calls an eighth each at their /40.
        {"fresh /48s of one /40", [](int i) { return v6(1, 1, i); }, 100, 100 / 8},
        {"fresh /48s of one /32, each of a /40 of its own",
         [](int i) {
             char slash48[32];
             std::snprintf(slash48, sizeof slash48, "2001:db8:%x::", static_cast<unsigned>(i) << 8);
             return std::vector<std::string>{std::string(slash48) + "1/64", std::string(slash48) + "/56",
                                             std::string(slash48) + "/48"};
         },
         100, 100 / 16},
        {"a trusted proxy that names no client", [](int) { return std::vector<std::string>{}; }, 100, 0},
    };
    for (const auto& c : cases) {
        NetworkAllowance allowance(5, 600, 1'000);
        int allowed = 0;
        for (int i = 0; i < 100; ++i) {
            const auto wait = allowance.take(c.networks(i), 1'000);
            if (!wait) {
                ++allowed;
                continue;
            }
            EXPECT_GE(*wait, 1) << c.what;
            EXPECT_LE(*wait, 600) << c.what;
        }
        EXPECT_EQ(allowed, c.allowed) << c.what;
        EXPECT_EQ(allowance.weight(c.networks(99), 1'000), c.weight) << c.what;
        EXPECT_FALSE(allowance.take(c.networks(0), 1'600)) << c.what << ": a new window";
    }
    // A newcomer from another provider weighs what it asked alone.
    NetworkAllowance allowance(5, 600, 1'000);
    for (int i = 0; i < 100; ++i) allowance.take(v6(1, 1, i), 1'000);
    allowance.take({"2001:db9:1:1::/64", "2001:db9:1::/56", "2001:db9:1::/48"}, 1'000);
    EXPECT_EQ(allowance.weight({"2001:db9:1:1::/64", "2001:db9:1::/56", "2001:db9:1::/48"}, 1'000), 1);
    // Ranked finer: the /32 that asked 100 calls ranks above the address
    // that asked one, though both weigh about as much.
    EXPECT_EQ(allowance.rank("2001:db9::/32", 1'000), 1);
    EXPECT_EQ(allowance.rank("2001:db9:1:1::/64", 1'000), 16);
    EXPECT_EQ(allowance.rank("2001:db8::/32", 1'000), 100);
}

}  // namespace
}  // namespace morvane::relay_service
