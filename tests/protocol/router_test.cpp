#include <gtest/gtest.h>

#include "protocol/router.h"
#include "protocol/ws_codec.h"
#include "../support/text_bytes.h"

namespace morvane {
namespace {

using route_decision::Refuse;

const std::string loopback = "127.0.0.1:8722";
const std::string origin = "http://127.0.0.1:8722";
const std::string key = "dGhlIHNhbXBsZSBub25jZQ==";

HTTPRequest upgrade() {
    return {"GET",
            "/ws",
            {{"host", loopback},
             {"origin", origin},
             {"upgrade", "websocket"},
             {"connection", "keep-alive, Upgrade"},
             {"sec-websocket-version", "13"},
             {"sec-websocket-key", key}},
            {}};
}

HTTPRequest pairing(std::string body = R"({"code":"123456","name":"Phone"})") {
    return {"POST",
            "/api/pair",
            {{"host", loopback}, {"origin", origin}, {"content-type", "application/json; charset=utf-8"}},
            bytes(body)};
}

HTTPRequest page(std::string path = "/") { return {"GET", std::move(path), {{"host", loopback}}, {}}; }

template <typename Change>
HTTPRequest with(HTTPRequest request, Change change) {
    change(request);
    return request;
}

struct Router : ::testing::Test {
    HostPolicy policy{8722, TailnetAccess::make("mac.example.ts.net", "owner@example.com")};
    StaticSite site;
    Router() {
        for (const auto& name : StaticSite::expectedNames()) site.files[name] = bytes("content of " + name);
    }
    Routed routed(const HTTPRequest& request, bool paused = false, const Bytes& leftover = {}) {
        return route(request, leftover, RouteContext{policy, site, paused});
    }
};

TEST_F(Router, EachRefusalHasItsStatusAndItsWord) {
    struct Case {
        const char* why;
        HTTPRequest request;
        Refuse refusal;
        bool paused = false;
        Bytes leftover = {};
    };
    auto noHeader = [](const char* name) { return [name](HTTPRequest& r) { r.headers.erase(name); }; };
    auto setHeader = [](const char* name, const char* value) {
        return [name, value](HTTPRequest& r) { r.headers[name] = value; };
    };
    std::vector<Case> cases = {
        {"an unknown host", with(page(), setHeader("host", "evil.example")), {421, {}, {}}},
        {"a loopback request through a proxy", with(page(), setHeader("x-forwarded-for", "1.2.3.4")), {403, {}, {}}},
        {"a funnel request", with(page(), setHeader("tailscale-funnel-request", "?1")), {403, {}, {}}},
        {"an unknown path", page("/secret"), {404, {}, {}}},
        {"a page posted to", with(page("/app.js"), [](HTTPRequest& r) { r.method = "POST"; }), {405, "GET", {}}},
        {"a page the site lacks", page("/icon.svg"), {404, {}, {}}},
        {"an upgrade by POST", with(upgrade(), [](HTTPRequest& r) { r.method = "POST"; }), {405, "GET", {}}},
        {"an upgrade from another origin", with(upgrade(), setHeader("origin", "http://evil.example")), {403, {}, {}}},
        {"an upgrade without an origin", with(upgrade(), noHeader("origin")), {403, {}, {}}},
        {"an upgrade to something else", with(upgrade(), setHeader("upgrade", "h2c")), {400, {}, {}}},
        {"an upgrade not listed in Connection", with(upgrade(), setHeader("connection", "keep-alive")), {400, {}, {}}},
        {"an upgrade of another version", with(upgrade(), setHeader("sec-websocket-version", "8")), {400, {}, {}}},
        {"an upgrade without a key", with(upgrade(), noHeader("sec-websocket-key")), {400, {}, {}}},
        {"an upgrade with a short key", with(upgrade(), setHeader("sec-websocket-key", "c2hvcnQ=")), {400, {}, {}}},
        {"an upgrade with a body", with(upgrade(), [](HTTPRequest& r) { r.body = bytes("x"); }), {400, {}, {}}},
        {"an upgrade with bytes behind it", upgrade(), {400, {}, {}}, false, bytes("x")},
        {"a pairing by GET", with(pairing(), [](HTTPRequest& r) { r.method = "GET"; }), {405, "POST", {}}},
        {"a pairing from another origin", with(pairing(), noHeader("origin")), {403, {}, "forbidden"}},
        {"a pairing while paused", pairing(), {403, {}, "paused"}, true},
        {"a pairing that is not JSON", with(pairing(), setHeader("content-type", "text/plain")), {415, {}, "bad-request"}},
        {"a pairing with bytes behind it", pairing(), {400, {}, "bad-request"}, false, bytes("x")},
        {"a pairing body that is not JSON", pairing("{"), {400, {}, "bad-request"}},
        {"a pairing body that is not an object", pairing("[]"), {400, {}, "bad-request"}},
        {"a pairing without a code", pairing(R"({"name":"Phone"})"), {400, {}, "bad-request"}},
        {"a pairing whose code is a number", pairing(R"({"code":123456})"), {400, {}, "bad-request"}},
    };
    site.files.erase("icon.svg");
    for (auto& c : cases) {
        auto got = routed(c.request, c.paused, c.leftover);
        auto refusal = std::get_if<Refuse>(&got.decision);
        ASSERT_TRUE(refusal) << c.why;
        EXPECT_EQ(*refusal, c.refusal) << c.why;
    }
}

TEST_F(Router, AcceptedRequestsAreServedUpgradedOrPaired) {
    auto file = routed(page("/app.js"));
    auto serve = std::get_if<route_decision::ServeFile>(&file.decision);
    ASSERT_TRUE(serve);
    EXPECT_EQ(serve->contentType, "text/javascript; charset=utf-8");
    EXPECT_EQ(*serve->body, bytes("content of app.js"));

    EXPECT_EQ(routed(upgrade()).decision, RouteDecision(route_decision::Upgrade{WSCodec::acceptKey(key)}));
    auto mixedCase = with(upgrade(), [](HTTPRequest& r) {
        r.headers["upgrade"] = "WebSocket";
        r.headers["connection"] = "UPGRADE";
        r.headers["origin"] = "HTTP://127.0.0.1:8722";
    });
    EXPECT_TRUE(std::holds_alternative<route_decision::Upgrade>(routed(mixedCase).decision));

    EXPECT_EQ(routed(pairing()).decision, RouteDecision(route_decision::Pair{"123456", "Phone"}));
    EXPECT_EQ(routed(pairing(R"({"code":"1","name":7})")).decision, RouteDecision(route_decision::Pair{"1", ""}))
        << "a name that is not text is no name";
    EXPECT_TRUE(std::holds_alternative<route_decision::ServeFile>(routed(page(), true).decision))
        << "pages are served while paused";
}

// A file goes gzipped to a browser that accepts it, and a browser that
// names the tag of the form it would get is told 304.
TEST_F(Router, AFileIsServedInTheFormTheBrowserTakesOrNotAgain) {
    site.gzipped["app.js"] = bytes("packed app.js");
    const auto plainTag = site.files.at("app.js").etag(), packedTag = site.gzipped.at("app.js").etag();
    const auto styleTag = site.files.at("style.css").etag();
    const struct Case {
        const char* path;
        const char* acceptEncoding;  // nullptr: no such header
        std::string ifNoneMatch;     // "": no such header
        bool packed;
        bool notModified;
        std::vector<std::pair<std::string, std::string>> headers;
    } cases[] = {
        {"/app.js", nullptr, "", false, false, {{"ETag", plainTag}, {"Vary", "Accept-Encoding"}}},
        {"/app.js", "gzip, deflate, br", "", true, false,
         {{"Content-Encoding", "gzip"}, {"ETag", packedTag}, {"Vary", "Accept-Encoding"}}},
        {"/app.js", "gzip;q=0", "", false, false, {{"ETag", plainTag}, {"Vary", "Accept-Encoding"}}},
        {"/app.js", "gzip", packedTag, true, true, {{"ETag", packedTag}, {"Vary", "Accept-Encoding"}}},
        {"/app.js", nullptr, "W/" + plainTag, false, true, {{"ETag", plainTag}, {"Vary", "Accept-Encoding"}}},
        // The tag of the other form is no match.
        {"/app.js", "gzip", plainTag, true, false,
         {{"Content-Encoding", "gzip"}, {"ETag", packedTag}, {"Vary", "Accept-Encoding"}}},
        {"/style.css", "gzip", "", false, false, {{"ETag", styleTag}}},
        {"/style.css", "gzip", "\"other\", " + styleTag, false, true, {{"ETag", styleTag}}},
    };
    for (const auto& c : cases) {
        auto request = page(c.path);
        if (c.acceptEncoding) request.headers["accept-encoding"] = c.acceptEncoding;
        if (!c.ifNoneMatch.empty()) request.headers["if-none-match"] = c.ifNoneMatch;
        const auto why = std::string(c.path) + " " + (c.acceptEncoding ? c.acceptEncoding : "-") + " " + c.ifNoneMatch;
        auto decision = routed(request).decision;
        auto serve = std::get_if<route_decision::ServeFile>(&decision);
        ASSERT_TRUE(serve) << why;
        const auto name = std::string(c.path).substr(1);
        EXPECT_EQ(serve->body, c.packed ? &site.gzipped.at(name) : &site.files.at(name)) << why;
        EXPECT_EQ(serve->notModified, c.notModified) << why;
        EXPECT_EQ(serve->headers, c.headers) << why;
    }
}

TEST_F(Router, TheRouteFollowsTheHostEvenWhenRefused) {
    auto tailnet = [](HTTPRequest r, bool owner) {
        r.headers["host"] = "mac.example.ts.net";
        r.headers["origin"] = "https://mac.example.ts.net";
        if (owner) r.headers["tailscale-user-login"] = "owner@example.com";
        return r;
    };
    EXPECT_EQ(routed(tailnet(upgrade(), true)).route, ConnectionRoute::tailnet);
    EXPECT_TRUE(std::holds_alternative<route_decision::Upgrade>(routed(tailnet(upgrade(), true)).decision));
    auto stranger = routed(tailnet(page(), false));
    EXPECT_EQ(stranger.route, ConnectionRoute::tailnet) << "so the refusal carries the tailnet's headers";
    EXPECT_EQ(stranger.decision, RouteDecision(Refuse{403, {}, {}}));
    EXPECT_EQ(routed(page()).route, ConnectionRoute::loopback);
    EXPECT_EQ(routed(with(page(), [](HTTPRequest& r) { r.headers["host"] = "x"; })).route, ConnectionRoute::loopback);
}

}  // namespace
}  // namespace morvane
