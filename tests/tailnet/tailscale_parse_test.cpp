#include <gtest/gtest.h>

#include <string>

#include "tailnet/tailscale_parse.h"

namespace morvane {
namespace {

constexpr std::uint16_t port = 8722;

// Recorded from the tool, trimmed to the members that matter plus a few it
// also writes.
const char* const recordedStatus = R"({
  "Version": "1.76.1-t123",
  "TUN": true,
  "BackendState": "Running",
  "Self": {
    "ID": "nABC123", "HostName": "studio", "DNSName": "Studio.Tail1234.TS.net.",
    "TailscaleIPs": ["100.101.102.103", "fd7a:115c:a1e0::1"],
    "UserID": 5123456789, "Online": true, "Capabilities": ["https"]
  },
  "MagicDNSSuffix": "tail1234.ts.net",
  "CertDomains": ["Studio.tail1234.ts.net", 42, "other.tail1234.ts.net"],
  "User": {
    "5123456789": {"ID": 5123456789, "LoginName": "owner@example.com", "DisplayName": "Owner"},
    "77": {"ID": 77, "LoginName": "someone@example.com"}
  }
})";

TEST(TailscaleStatusParse, ReadsNameLoginTagsAndCertificateDomains) {
    const auto status = TailscaleParse::status(recordedStatus);
    ASSERT_TRUE(status);
    EXPECT_EQ(status->backendState, "Running");
    EXPECT_TRUE(status->running());
    EXPECT_EQ(status->dnsName, "studio.tail1234.ts.net");
    EXPECT_EQ(status->ownerLogin, "owner@example.com");
    EXPECT_FALSE(status->tagged);
    EXPECT_EQ(status->certDomains, (std::vector<std::string>{"studio.tail1234.ts.net", "other.tail1234.ts.net"}));
}

TEST(TailscaleStatusParse, MissingOrMistypedMembersLeaveFieldsAbsent) {
    struct Case {
        const char* name;
        std::string json;
        bool parses;
        std::optional<std::string> dnsName;
        std::optional<std::string> login;
        bool tagged;
    };
    const std::string user = R"("User":{"7":{"LoginName":"me@x.com"}})";
    const Case cases[] = {
        {"not json", "BackendState: Running", false, {}, {}, false},
        {"array", R"(["Running"])", false, {}, {}, false},
        {"no state", R"({"Self":{}})", false, {}, {}, false},
        {"state not a string", R"({"BackendState":1})", false, {}, {}, false},
        {"no self", R"({"BackendState":"Running"})", true, {}, {}, false},
        {"self not an object", R"({"BackendState":"Running","Self":[]})", true, {}, {}, false},
        {"name of a dot", R"({"BackendState":"Running","Self":{"DNSName":"."}})", true, {}, {}, false},
        {"empty name", R"({"BackendState":"Running","Self":{"DNSName":""}})", true, {}, {}, false},
        {"login through user table", R"({"BackendState":"Running","Self":{"UserID":7},)" + user + "}", true, {},
         "me@x.com", false},
        {"tagged hides login", R"({"BackendState":"Running","Self":{"UserID":7,"Tags":["tag:server"]},)" + user + "}",
         true, {}, {}, true},
        {"empty tags", R"({"BackendState":"Running","Self":{"UserID":7,"Tags":[]},)" + user + "}", true, {},
         "me@x.com", false},
        {"tags not an array", R"({"BackendState":"Running","Self":{"UserID":7,"Tags":"x"},)" + user + "}", true, {},
         "me@x.com", false},
        {"user id as text", R"({"BackendState":"Running","Self":{"UserID":"7"},)" + user + "}", true, {}, {}, false},
        {"unknown user id", R"({"BackendState":"Running","Self":{"UserID":8},)" + user + "}", true, {}, {}, false},
        {"empty login", R"({"BackendState":"Running","Self":{"UserID":7},"User":{"7":{"LoginName":""}}})", true, {},
         {}, false},
        {"user table not an object", R"({"BackendState":"Running","Self":{"UserID":7},"User":[]})", true, {}, {},
         false},
        {"unknown fields", R"({"BackendState":"Running","Whatever":{"a":[1,2,{"b":null}]},"Self":{"DNSName":"A.B.","Odd":1}})",
         true, "a.b", {}, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const auto status = TailscaleParse::status(c.json);
        ASSERT_EQ(status.has_value(), c.parses);
        if (!status) continue;
        EXPECT_EQ(status->dnsName, c.dnsName);
        EXPECT_EQ(status->ownerLogin, c.login);
        EXPECT_EQ(status->tagged, c.tagged);
    }
}

TEST(TailscaleStatusParse, HugeOrDeepOutputIsRefusedOrReadWithoutHarm) {
    // Nesting far beyond any real document is refused outright.
    const std::string deep = std::string(200'000, '[') + std::string(200'000, ']');
    EXPECT_FALSE(TailscaleParse::status(deep));
    EXPECT_FALSE(TailscaleParse::serve(deep, "a.b", port));
    // A large but flat document is read for what it holds.
    std::string large = R"({"BackendState":"Stopped","Peer":{)";
    for (int i = 0; i < 50'000; ++i) large += (i ? "," : "") + std::string("\"p") + std::to_string(i) + "\":{\"x\":1}";
    large += "}}";
    const auto status = TailscaleParse::status(large);
    ASSERT_TRUE(status);
    EXPECT_EQ(status->backendState, "Stopped");
    // Cut off where the output limit stopped it: unreadable, not half read.
    EXPECT_FALSE(TailscaleParse::status(large.substr(0, large.size() / 2)));
    EXPECT_FALSE(TailscaleParse::status("{\"BackendState\":\"Running\xff\"}"));
}

std::string hostSite(const std::string& target = "http://127.0.0.1:8722") {
    return R"("Web":{"studio.tail1234.ts.net:443":{"Handlers":{"/":{"Proxy":")" + target + R"("}}}})";
}
const std::string https443 = R"("TCP":{"443":{"HTTPS":true}})";
const std::string ownConfig = "{" + https443 + "," + hostSite() + "}";

TEST(TailscaleServeParse, EachConfigurationSetsTheFlagsItShould) {
    struct Case {
        const char* name;
        std::string json;
        std::optional<TailscaleServeState> expected;
    };
    using S = TailscaleServeState;
    const S own{true, false, false, false, false};
    const Case cases[] = {
        {"null with blanks", " null\n", S{}},
        {"empty object", "{}", S{}},
        {"array", "[]", std::nullopt},
        {"not json", "serve config: none", std::nullopt},
        {"foreground is text", R"({"Foreground":"x"})", std::nullopt},
        {"foreground null", R"({"Foreground":null})", S{}},
        {"foreground member not an object", R"({"Foreground":{"s1":3}})", std::nullopt},
        {"services not an object", R"({"Services":[]})", std::nullopt},
        {"own publication", ownConfig, own},
        {"own publication with a final slash, upper case",
         "{" + https443 + "," + hostSite("HTTP://127.0.0.1:8722/") + "}", own},
        {"own publication with a capitalised site name",
         R"({"TCP":{"443":{"HTTPS":true}},"Web":{"Studio.Tail1234.ts.net:443":{"Handlers":{"/":{"Proxy":"http://127.0.0.1:8722"}}}}})",
         own},
        {"own publication also in foreground", R"({"TCP":{"443":{"HTTPS":true}},)" + hostSite() +
                                                   R"(,"Foreground":{"sess":)" + ownConfig + "}}",
         S{false, true, false, false, false}},
        {"own publication only under services", R"({"Services":{"svc:morvane":)" + ownConfig + "}}",
         S{false, false, true, true, false}},
        {"publication without https on 443", "{" + hostSite() + R"(,"TCP":{"443":{"HTTPS":false}}})",
         S{false, true, false, false, false}},
        {"publication with no tcp entry", "{" + hostSite() + "}", S{false, true, false, false, false}},
        {"second handler elsewhere",
         R"({"TCP":{"443":{"HTTPS":true}},"Web":{"studio.tail1234.ts.net:443":{"Handlers":{"/":{"Proxy":"http://127.0.0.1:8722"},"/x":{"Proxy":"http://127.0.0.1:9000"}}}}})",
         S{false, true, false, false, false}},
        {"second handler to the local port",
         R"({"TCP":{"443":{"HTTPS":true}},"Web":{"studio.tail1234.ts.net:443":{"Handlers":{"/":{"Proxy":"http://127.0.0.1:8722"},"/x":{"Proxy":"http://localhost:8722/x"}}}}})",
         S{false, true, true, false, false}},
        {"another target on the host site", "{" + https443 + "," + hostSite("http://127.0.0.1:3000") + "}",
         S{false, true, false, false, false}},
        {"localhost spelling of the local port", "{" + https443 + "," + hostSite("http://localhost:8722") + "}",
         S{false, true, true, false, false}},
        {"raw forward to the local port on 443", R"({"TCP":{"443":{"TCPForward":"127.0.0.1:8722"}}})",
         S{false, true, true, false, false}},
        {"raw forward to the local port elsewhere", R"({"TCP":{"5000":{"TCPForward":"127.0.0.1:8722"}}})",
         S{false, false, true, true, false}},
        {"empty funnel table", ownConfig.substr(0, ownConfig.size() - 1) +
                                             R"(,"AllowFunnel":{}})",
         own},
        {"other site", R"({"Web":{"other.tail1234.ts.net:8443":{"Handlers":{"/":{"Proxy":"http://127.0.0.1:3000"}}}}})",
         S{false, false, false, true, false}},
        {"funnel false only", R"({"AllowFunnel":{"studio.tail1234.ts.net:443":false}})", S{}},
        {"funnel true", R"({"AllowFunnel":{"studio.tail1234.ts.net:443":true}})", S{false, false, false, false, true}},
        {"funnel as text", R"({"AllowFunnel":{"x:443":"yes"}})", S{false, false, false, false, true}},
        {"funnel in a service", R"({"Services":{"svc:a":{"AllowFunnel":{"x:443":true}}}})",
         S{false, false, false, false, true}},
        {"unknown members everywhere", R"({"ETag":"abc","TCP":{"443":{"HTTPS":true,"Extra":[1]}},"Web":{"studio.tail1234.ts.net:443":{"Handlers":{"/":{"Proxy":"http://127.0.0.1:8722","Odd":true}},"Z":1}},"New":{"a":1}})",
         own},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(TailscaleParse::serve(c.json, "studio.tail1234.ts.net", port), c.expected);
    }
}

TEST(TailscaleServeParse, OrderOfMembersDoesNotChangeTheResult) {
    const std::string a = R"({"Web":{"studio.tail1234.ts.net:443":{"Handlers":{"/":{"Proxy":"http://127.0.0.1:8722"}}}},"TCP":{"443":{"HTTPS":true}},"Foreground":{"x":{"TCP":{"22":{}}}}})";
    const std::string b = R"({"Foreground":{"x":{"TCP":{"22":{}}}},"TCP":{"443":{"HTTPS":true}},"Web":{"studio.tail1234.ts.net:443":{"Handlers":{"/":{"Proxy":"http://127.0.0.1:8722"}}}}})";
    const auto first = TailscaleParse::serve(a, "studio.tail1234.ts.net", port);
    ASSERT_TRUE(first);
    EXPECT_EQ(first, TailscaleParse::serve(b, "studio.tail1234.ts.net", port));
    EXPECT_EQ(*first, (TailscaleServeState{true, false, false, true, false}));
}

TEST(TailscaleTargets, PortIsTakenFromUrlsAndHostPorts) {
    const std::pair<const char*, std::optional<std::uint16_t>> cases[] = {
        {"http://127.0.0.1:8722", 8722},
        {"  HTTP://User:Pw@127.0.0.1:8722/a/b?c=d#e\t", 8722},
        {"127.0.0.1:8722", 8722},
        {"[::1]:8722", 8722},
        {"8722", 8722},
        {"http://127.0.0.1:0008722", 8722},
        {"http://127.0.0.1", std::nullopt},
        {"[::1]", std::nullopt},
        {"localhost:http", std::nullopt},
        {"127.0.0.1:70000", std::nullopt},
        {"127.0.0.1:99999999999999999999", std::nullopt},
        {"", std::nullopt},
    };
    for (const auto& [text, expected] : cases) {
        SCOPED_TRACE(text);
        EXPECT_EQ(TailscaleParse::targetPort(text), expected);
    }
}

TEST(TailscaleTargets, OnlyTheLoopbackAddressOverHttpIsThisHost) {
    const std::pair<const char*, bool> cases[] = {
        {"http://127.0.0.1:8722", true},   {"HTTP://127.0.0.1:8722/", true},  {"http://127.0.0.1:8722//", false},
        {"http://localhost:8722", false},  {"https://127.0.0.1:8722", false}, {"http://127.0.0.2:8722", false},
        {"http://127.0.0.1:87220", false}, {"127.0.0.1:8722", false},
    };
    for (const auto& [text, expected] : cases) {
        SCOPED_TRACE(text);
        EXPECT_EQ(TailscaleParse::isMorvaneTarget(text, port), expected);
    }
}

TEST(TailscaleCommands, ArgumentListsAreFixed) {
    EXPECT_EQ(TailscaleCommand::status(), (std::vector<std::string>{"status", "--json"}));
    EXPECT_EQ(TailscaleCommand::serveStatus(), (std::vector<std::string>{"serve", "status", "--json"}));
    EXPECT_EQ(TailscaleCommand::serveOn(8722),
              (std::vector<std::string>{"serve", "--bg", "--https=443", "http://127.0.0.1:8722"}));
    EXPECT_EQ(TailscaleCommand::serveOff(1), (std::vector<std::string>{"serve", "--https=443", "http://127.0.0.1:1", "off"}));
}

}  // namespace
}  // namespace morvane
