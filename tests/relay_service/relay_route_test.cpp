// The route of a request: which file of the page, which account call with
// which room, bearer and body, which upgrade, or which refusal; and who
// the client is behind proxies, and the key its requests are counted under.
#include <gtest/gtest.h>

#include "core/overload.h"
#include "relay_service/client_address.h"
#include "relay_service/relay_route.h"

namespace morvane::relay_service::testing {
namespace {

namespace ip = boost::asio::ip;
const std::string room = "0123456789abcdef0123456789abcdef";

struct Request {
    Request(std::string method, std::string target, bool upgrade = false, std::string contentType = "",
            std::string authorization = "", std::string subprotocols = "", std::string hostAuth = "", std::string body = "")
        : method(std::move(method)),
          target(std::move(target)),
          upgrade(upgrade),
          contentType(std::move(contentType)),
          authorization(std::move(authorization)),
          subprotocols(std::move(subprotocols)),
          hostAuth(std::move(hostAuth)),
          body(std::move(body)) {}
    std::string method, target;
    bool upgrade;
    std::string contentType, authorization, subprotocols, hostAuth, body;
};

// The decision as one line, so that a table can say what it expects.
std::string decided(const Request& r) {
    RelayRequest request{r.method, r.target, r.upgrade, r.contentType, r.authorization, r.subprotocols, r.hostAuth, r.body};
    const auto routed = routeRelay(request);
    return std::visit(Overload{
                          [](const relay_route::Page& p) { return "page " + p.path; },
                          [](const relay_route::Account& a) {
                              const auto& call = a.call;
                              return "account " + std::to_string(static_cast<int>(call.endpoint)) +
                                     (call.room.empty() ? "" : " room " + call.room) +
                                     (call.bearer.empty() ? "" : " bearer " + call.bearer) +
                                     (call.body.is_object() ? " body " + call.body.dump() : "");
                          },
                          [](const relay_route::HostLink& h) { return "host " + h.room + " hello " + h.hello; },
                          [](const relay_route::DeviceSocket& d) { return "device " + d.room + " ticket " + d.ticket; },
                          [](const relay_route::FleetQuestion& q) { return "question " + q.text; },
                          [](const relay_route::Refusal& f) { return "refuse " + std::to_string(f.status) + " " + f.word; },
                      },
                      routed);
}

Request post(std::string target, std::string body = "{}", std::string authorization = "") {
    return Request{"POST", std::move(target), false, "application/json", std::move(authorization), "", "", std::move(body)};
}

std::string endpoint(AccountEndpoint e) { return "account " + std::to_string(static_cast<int>(e)); }

TEST(RelayRoute, EachAccountEndpointIsOneRowWithItsMethodBearerAndBodyRules) {
    struct Case {
        const char* name;
        Request request;
        std::string decision;
    };
    const std::vector<Case> cases = {
        {"a code", post("/v1/auth/code", R"({"email":"a@b.c"})"), endpoint(AccountEndpoint::code) + R"( body {"email":"a@b.c"})"},
        {"a sign-in", post("/v1/auth/verify"), endpoint(AccountEndpoint::verify) + " body {}"},
        {"a refresh", post("/v1/auth/refresh"), endpoint(AccountEndpoint::refresh) + " body {}"},
        {"a sign-out", post("/v1/auth/signout"), endpoint(AccountEndpoint::signOut) + " body {}"},
        {"the list", Request{"GET", "/v1/hosts", false, "", "Bearer t1"}, endpoint(AccountEndpoint::listHosts) + " bearer t1"},
        {"a registration", post("/v1/hosts", "{}", "Bearer t1"), endpoint(AccountEndpoint::registerHost) + " bearer t1 body {}"},
        {"a removal", post("/v1/hosts/self/delete"), endpoint(AccountEndpoint::removeHost) + " body {}"},
        {"a ticket, its body unread", post("/v1/hosts/" + room + "/ticket", "not json", "Bearer t1"),
         endpoint(AccountEndpoint::ticket) + " room " + room + " bearer t1"},
        {"a ticket with a query", post("/v1/hosts/" + room + "/ticket?x=1", "", "Bearer t1"),
         endpoint(AccountEndpoint::ticket) + " room " + room + " bearer t1"},
        {"a content type with parameters", Request{"POST", "/v1/auth/code", false, "Application/JSON; charset=utf-8", "", "", "", "{}"},
         endpoint(AccountEndpoint::code) + " body {}"},
        // Refusals, each before the accounts are asked.
        {"an unknown call", post("/v1/hosts/self"), "refuse 404 not-found"},
        {"a ticket without a room", post("/v1/hosts/ticket", "", "Bearer t1"), "refuse 404 not-found"},
        {"a known call by the wrong method", Request{"GET", "/v1/auth/code"}, "refuse 405 method"},
        {"a list by PUT", Request{"PUT", "/v1/hosts", false, "", "Bearer t1"}, "refuse 405 method"},
        {"the list without a bearer", Request{"GET", "/v1/hosts"}, "refuse 401 unauthorized"},
        {"a ticket with an empty bearer", post("/v1/hosts/" + room + "/ticket", "", "Bearer "), "refuse 401 unauthorized"},
        {"a registration by another scheme", post("/v1/hosts", "{}", "Basic dTpw"), "refuse 401 unauthorized"},
        {"a body that is not JSON by its type", Request{"POST", "/v1/auth/code", false, "text/plain", "", "", "", "{}"},
         "refuse 415 bad-request"},
        {"a body that does not parse", post("/v1/auth/code", "[1,"), "refuse 400 bad-request"},
        {"a body that is not an object", post("/v1/auth/code", "[1]"), "refuse 400 bad-request"},
        {"a body over the limit", post("/v1/auth/code", "{\"p\":\"" + std::string(16'384, 'x') + "\"}"),
         "refuse 413 bad-request"},
    };
    for (const auto& c : cases) EXPECT_EQ(decided(c.request), c.decision) << c.name;
    // The rows themselves: one per endpoint.
    for (const auto& row : accountEndpoints) EXPECT_EQ(ruleOf(row.endpoint).path, row.path);
}

TEST(RelayRoute, UpgradesGoToTheirRoomAndEverythingElseToThePage) {
    const auto upgrade = [](std::string target, std::string subprotocols = "morvane.v1", std::string hello = "") {
        return Request{"GET", std::move(target), true, "", "", std::move(subprotocols), std::move(hello), ""};
    };
    struct Case {
        const char* name;
        Request request;
        std::string decision;
    };
    const std::vector<Case> cases = {
        {"a host's link", upgrade("/relay/v1/host/" + room, "morvane.v1", "v1.1.n.s"), "host " + room + " hello v1.1.n.s"},
        {"a device with its ticket", upgrade("/relay/v1/device/" + room + "?x=1&ticket=t.1"),
         "device " + room + " ticket t.1"},
        {"a device without a ticket", upgrade("/relay/v1/device/" + room), "device " + room + " ticket "},
        {"one subprotocol among several", upgrade("/relay/v1/device/" + room + "?ticket=t", "other, morvane.v1 "),
         "device " + room + " ticket t"},
        {"no subprotocol of ours", upgrade("/relay/v1/host/" + room, "morvane.v10"), "refuse 400 subprotocol"},
        {"an upgrade elsewhere", upgrade("/v1/hosts"), "refuse 404 not-found"},
        {"the page", Request{"GET", "/"}, "page /"},
        {"the page's headers, its query left", Request{"HEAD", "/?from=qr"}, "page /"},
        {"its script", Request{"GET", "/app.js"}, "page /app.js"},
        // The page answers what it does not have (404) and other methods (405).
        {"a file it does not have", Request{"GET", "/../etc/passwd"}, "page /../etc/passwd"},
        {"a post to the page", Request{"POST", "/"}, "page /"},
        {"an account path's cousin", Request{"GET", "/v1"}, "page /v1"},
        // Another instance's question, its body whatever it is.
        {"another instance's question", Request{"POST", "/fleet/v1/ask", false, "text/plain", "", "", "", "mrq1 a"},
         "question mrq1 a"},
        {"a question asked another way", Request{"GET", "/fleet/v1/ask"}, "refuse 405 method"},
        {"an upgrade at the question's path", upgrade("/fleet/v1/ask"), "refuse 404 not-found"},
    };
    for (const auto& c : cases) EXPECT_EQ(decided(c.request), c.decision) << c.name;
}

TEST(RelayClient, XForwardedForIsBelievedOnlyAsFarAsTrustedProxiesVouch) {
    const auto trusted = std::get<TrustedProxies>(TrustedProxies::parse({"10.0.0.10", "192.168.1.0/24", "fd00::/8"}));
    struct Case {
        const char* name;
        std::string peer;
        std::string forwarded;
        std::string client;
    };
    const std::vector<Case> cases = {
        {"a peer that is no proxy", "203.0.113.5", "198.51.100.1", "203.0.113.5"},
        {"the address the proxy added", "10.0.0.10", "198.51.100.1", "198.51.100.1"},
        {"not what the client wrote before it", "10.0.0.10", "1.2.3.4, 198.51.100.1", "198.51.100.1"},
        {"through two trusted proxies", "10.0.0.10", "198.51.100.1, 192.168.1.7", "198.51.100.1"},
        {"a client that names a trusted proxy is still the client before it", "10.0.0.10",
         "10.0.0.10, 198.51.100.1, 192.168.1.7", "198.51.100.1"},
        {"a proxy with nothing to say", "10.0.0.10", "", "10.0.0.10"},
        {"what a proxy wrote is no address", "10.0.0.10", "198.51.100.1, unknown", "10.0.0.10"},
        {"blanks and brackets", "10.0.0.10", " [2001:db8::1] ", "2001:db8::1"},
        {"a proxy reached over IPv6", "fd00::3", "198.51.100.1", "198.51.100.1"},
        {"an IPv4 peer on a dual-stack socket", "::ffff:10.0.0.10", "198.51.100.1", "198.51.100.1"},
        {"an IPv4-mapped client reads as IPv4", "10.0.0.10", "::ffff:198.51.100.1", "198.51.100.1"},
        {"the proxy's neighbour is not trusted", "10.0.0.11", "198.51.100.1", "10.0.0.11"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(addressText(clientAddress(ip::make_address(c.peer), c.forwarded, trusted)), c.client) << c.name;
    EXPECT_EQ(addressText(clientAddress(ip::make_address("127.0.0.1"), "198.51.100.1", TrustedProxies::loopback())),
              "198.51.100.1");
    EXPECT_EQ(addressText(clientAddress(ip::make_address("::1"), "198.51.100.1", TrustedProxies::loopback())),
              "198.51.100.1");
    EXPECT_EQ(addressText(clientAddress(ip::make_address("127.0.0.1"), "198.51.100.1", TrustedProxies{})), "127.0.0.1");
}

TEST(RelayClient, RateKeysAreIpv4AddressesAndIpv6Slash64s) {
    struct Case {
        std::string address;
        std::string key;
    };
    const std::vector<Case> cases = {
        {"198.51.100.7", "198.51.100.7"},
        {"2001:db8:1:2:aaaa::1", "2001:db8:1:2::/64"},
        {"2001:db8:1:2:ffff:ffff:ffff:ffff", "2001:db8:1:2::/64"},
        {"2001:db8:1:3::1", "2001:db8:1:3::/64"},
        {"::ffff:198.51.100.7", "198.51.100.7"},
    };
    for (const auto& c : cases) EXPECT_EQ(rateKey(ip::make_address(c.address)), c.key) << c.address;
}

TEST(RelayClient, TrustedProxiesAndPrivateAddressesAreReadAsWritten) {
    struct Case {
        std::vector<std::string> entries;
        std::string error;  // "" when read
    };
    const std::vector<Case> cases = {
        {{"10.0.0.10", "10.1.0.0/16", "::1", "fd00::/8", "0.0.0.0/0"}, ""},
        {{"10.0.0.0/33"}, "trusted_proxies: 10.0.0.0/33 is not an address or a prefix such as 10.0.0.0/24"},
        {{"fd00::/129"}, "trusted_proxies: fd00::/129 is not an address or a prefix such as 10.0.0.0/24"},
        {{"proxy.example"}, "trusted_proxies: proxy.example is not an address or a prefix such as 10.0.0.0/24"},
        {{"10.0.0.0/"}, "trusted_proxies: 10.0.0.0/ is not an address or a prefix such as 10.0.0.0/24"},
        {{"10.0.0.0/8x"}, "trusted_proxies: 10.0.0.0/8x is not an address or a prefix such as 10.0.0.0/24"},
    };
    for (const auto& c : cases) {
        const auto parsed = TrustedProxies::parse(c.entries);
        EXPECT_EQ(std::holds_alternative<std::string>(parsed) ? std::get<std::string>(parsed) : "", c.error);
    }
    const auto prefixes = std::get<TrustedProxies>(TrustedProxies::parse({"10.1.0.0/16", "fd00::/8"}));
    for (const auto* inside : {"10.1.0.0", "10.1.255.255", "fd12::1", "::ffff:10.1.2.3"})
        EXPECT_TRUE(prefixes.contains(ip::make_address(inside))) << inside;
    for (const auto* outside : {"10.2.0.0", "10.0.255.255", "fe00::1", "::ffff:10.2.0.1"})
        EXPECT_FALSE(prefixes.contains(ip::make_address(outside))) << outside;

    for (const auto* address : {"10.0.0.1", "172.16.0.1", "172.31.255.254", "192.168.0.1", "100.64.0.1", "fd00::1", "fe80::1"})
        EXPECT_TRUE(isPrivateAddress(ip::make_address(address))) << address;
    for (const auto* address : {"0.0.0.0", "::", "8.8.8.8", "172.32.0.1", "192.0.2.1", "100.128.0.1", "2001:db8::1", "127.0.0.1"})
        EXPECT_FALSE(isPrivateAddress(ip::make_address(address))) << address;
}

}  // namespace
}  // namespace morvane::relay_service::testing
