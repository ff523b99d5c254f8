#include "protocol/host_policy.h"

#include <gtest/gtest.h>

namespace morvane {
namespace {

using Accept = HostPolicy::Accept;
using PolicyRefuse = HostPolicy::Refuse;
using Route = HostPolicy::Route;

const std::string tailnetName = "mac.tail1234.ts.net";

HostPolicy policyWithAccess(std::optional<std::string> login = "owner@example.com") {
    auto access = TailnetAccess::make(tailnetName, login);
    EXPECT_TRUE(access.has_value());
    return HostPolicy(8722, access);
}

TEST(HostPolicy, AcceptsTheLoopbackHostOnlyWithoutProxyHeaders) {
    HostPolicy policy(8722);
    EXPECT_EQ(policy.loopbackHost, "127.0.0.1:8722");
    const HostPolicy::Verdict local = Accept{Route::loopback, "http://127.0.0.1:8722"};
    EXPECT_EQ(policy.evaluate({{"host", "127.0.0.1:8722"}}), local);
    EXPECT_EQ(policy.evaluate({{"host", "127.0.0.1:8722"}, {"accept", "*/*"}, {"origin", "x"}}), local);

    for (const char* proxy : {"x-forwarded-for", "forwarded", "via", "x-real-ip", "x_forwarded_for", "x-forwarded-host",
                              "tailscale-user-name", "tailscale_user_login"}) {
        EXPECT_EQ(policy.evaluate({{"host", "127.0.0.1:8722"}, {proxy, "1.2.3.4"}}), HostPolicy::Verdict(PolicyRefuse{403, false}))
            << proxy;
    }
    // The same with an access set: the loopback route doesn't change.
    EXPECT_EQ(policyWithAccess().evaluate({{"host", "127.0.0.1:8722"}}), local);
    EXPECT_EQ(HostPolicy(9000).evaluate({{"host", "127.0.0.1:9000"}}),
              HostPolicy::Verdict(Accept{Route::loopback, "http://127.0.0.1:9000"}));
}

TEST(HostPolicy, MisdirectsEveryOtherHost) {
    HostPolicy policy(8722);
    for (const char* host : {"localhost:8722", "127.0.0.1", "127.0.0.1:8723", "[::1]:8722", "", "evil.example"})
        EXPECT_EQ(policy.evaluate({{"host", host}}), HostPolicy::Verdict(PolicyRefuse{421, false})) << host;
    EXPECT_EQ(policy.evaluate({}), HostPolicy::Verdict(PolicyRefuse{421, false}));
    // Without an access the tailnet name is just another host.
    EXPECT_EQ(policy.evaluate({{"host", tailnetName}, {"tailscale-user-login", "owner@example.com"}}),
              HostPolicy::Verdict(PolicyRefuse{421, false}));
}

TEST(HostPolicy, TailnetRouteNeedsTheOwnersLogin) {
    const auto policy = policyWithAccess();
    const HostPolicy::Verdict tailnet = Accept{Route::tailnet, "https://" + tailnetName};
    for (const std::string& host : {tailnetName, tailnetName + ":443", std::string("MAC.Tail1234.TS.NET:443")})
        EXPECT_EQ(policy.evaluate({{"host", host}, {"tailscale-user-login", "owner@example.com"}}), tailnet) << host;
    for (const std::string& host : {tailnetName + ":8443", tailnetName + "."})
        EXPECT_EQ(policy.evaluate({{"host", host}, {"tailscale-user-login", "owner@example.com"}}),
                  HostPolicy::Verdict(PolicyRefuse{421, false}))
            << host;

    const HostPolicy::Verdict refused = PolicyRefuse{403, true};
    EXPECT_EQ(policy.evaluate({{"host", tailnetName}}), refused);
    EXPECT_EQ(policy.evaluate({{"host", tailnetName}, {"tailscale-user-login", ""}}), refused);
    EXPECT_EQ(policy.evaluate({{"host", tailnetName}, {"tailscale-user-login", "other@example.com"}}), refused);
    EXPECT_EQ(policy.evaluate({{"host", tailnetName}, {"tailscale-user-login", "Owner@example.com"}}), refused);

    // An access without an owner login accepts any non-empty login.
    const auto open = policyWithAccess(std::nullopt);
    EXPECT_EQ(open.evaluate({{"host", tailnetName}, {"tailscale-user-login", "anyone"}}), tailnet);
    EXPECT_EQ(open.evaluate({{"host", tailnetName}, {"tailscale-user-login", ""}}), refused);
}

TEST(HostPolicy, RefusesFunnelRequestsWhateverElseIsRight) {
    const auto policy = policyWithAccess();
    EXPECT_EQ(policy.evaluate({{"host", tailnetName},
                               {"tailscale-user-login", "owner@example.com"},
                               {"tailscale-funnel-request", "?1"}}),
              HostPolicy::Verdict(PolicyRefuse{403, true}));
    EXPECT_EQ(policy.evaluate({{"host", "127.0.0.1:8722"}, {"tailscale-funnel-request", ""}}),
              HostPolicy::Verdict(PolicyRefuse{403, false}));
    EXPECT_EQ(policy.evaluate({{"host", "elsewhere"}, {"tailscale-funnel-request", "1"}}),
              HostPolicy::Verdict(PolicyRefuse{403, false}));
}

TEST(HostPolicy, OriginMustMatchIgnoringLetterCase) {
    EXPECT_FALSE(HostPolicy::originMatches(std::nullopt, "http://127.0.0.1:8722"));
    EXPECT_TRUE(HostPolicy::originMatches("http://127.0.0.1:8722", "http://127.0.0.1:8722"));
    EXPECT_TRUE(HostPolicy::originMatches("HTTPS://Mac.Tail1234.ts.net", "https://mac.tail1234.ts.net"));
    EXPECT_FALSE(HostPolicy::originMatches("https://mac.tail1234.ts.net:443", "https://mac.tail1234.ts.net"));
    EXPECT_FALSE(HostPolicy::originMatches("", "http://127.0.0.1:8722"));
    EXPECT_FALSE(HostPolicy::originMatches("null", "http://127.0.0.1:8722"));
}

TEST(TailnetAccess, NormalisesAndValidatesHostAndLogin) {
    auto access = TailnetAccess::make("Mac.Tail1234.TS.NET.", "owner@example.com");
    ASSERT_TRUE(access);
    EXPECT_EQ(access->host, "mac.tail1234.ts.net");
    EXPECT_EQ(access->ownerLogin, "owner@example.com");
    EXPECT_EQ(TailnetAccess::make("a.b", std::nullopt), (TailnetAccess{"a.b", std::nullopt}));

    const std::string label63(63, 'a');
    EXPECT_TRUE(TailnetAccess::make(label63 + ".net", std::nullopt));
    EXPECT_TRUE(TailnetAccess::make("a-b.c9", std::nullopt));
    for (const std::string& bad : {std::string("mac"), std::string("100.64.0.1"), std::string("a..b"),
                                  std::string(".a.b"), std::string("-a.b"), std::string("a-.b"),
                                  std::string(64, 'a') + ".net", std::string("a_b.net"), std::string("a b.net"),
                                  std::string("a.b.."), std::string(""), std::string("."), std::string("mac.123")})
        EXPECT_FALSE(TailnetAccess::make(bad, std::nullopt)) << bad;

    // 253 bytes pass; 254 do not, even when the extra byte is the final dot
    // that is dropped first.
    std::string name;
    while (name.size() + 64 <= 253) name += std::string(63, 'a') + ".";
    name += std::string(253 - name.size(), 'b');
    ASSERT_EQ(name.size(), 253u);
    EXPECT_TRUE(TailnetAccess::make(name, std::nullopt));
    EXPECT_TRUE(TailnetAccess::make(name + ".", std::nullopt));
    EXPECT_FALSE(TailnetAccess::make(name + "b", std::nullopt));

    EXPECT_FALSE(TailnetAccess::make("a.b", ""));
    EXPECT_FALSE(TailnetAccess::make("a.b", std::string(255, 'x')));
    EXPECT_TRUE(TailnetAccess::make("a.b", std::string(254, 'x')));
    EXPECT_FALSE(TailnetAccess::make("a.b", "two words"));
    EXPECT_FALSE(TailnetAccess::make("a.b", "tab\there"));
    EXPECT_FALSE(TailnetAccess::make("a.b", "caf\xC3\xA9"));
}

}  // namespace
}  // namespace morvane
