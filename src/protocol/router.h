// What to do with one parsed HTTP request: serve a file, upgrade to a
// WebSocket, try a pairing code, or refuse with a status. Pure: the caller
// carries the decision out (and owns the device store the pairing needs).
#pragma once

#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <variant>

#include "core/types.h"
#include "protocol/host_policy.h"
#include "protocol/http_request.h"
#include "protocol/http_response.h"
#include "protocol/static_site.h"

namespace morvane {

namespace route_decision {
// A file of the page: whole, or 304 when the browser named the tag of the
// form it would get (protocol/page_cache.h).
struct ServeFile {
    std::string contentType;
    // Points into the site the request was routed against: the file, or
    // its gzipped form when the browser accepts gzip.
    const SiteFile* body = nullptr;
    bool notModified = false;
    // Content-Encoding, ETag and Vary, as they apply.
    HTTPResponse::Headers headers;
    bool operator==(const ServeFile&) const = default;
};
struct Upgrade {
    std::string acceptKey;
    bool operator==(const Upgrade&) const = default;
};
// A well-formed pairing request; the store judges the code.
struct Pair {
    std::string code;
    std::string name;
    bool operator==(const Pair&) const = default;
};
// Answer `status`: with a JSON body {"error": word} when `errorWord` is set,
// else with the status's plain reason; `allow` names the one method the
// path takes.
struct Refuse {
    int status = 400;
    std::optional<std::string> allow;
    std::optional<std::string> errorWord;
    bool operator==(const Refuse&) const = default;
};
}  // namespace route_decision

using RouteDecision =
    std::variant<route_decision::ServeFile, route_decision::Upgrade, route_decision::Pair, route_decision::Refuse>;

struct Routed {
    // The way the request came, as far as the host policy could tell; a
    // refused request from the tailnet proxy still counts as tailnet.
    ConnectionRoute route = ConnectionRoute::loopback;
    RouteDecision decision;
    // The origin of this host's page on that way ("https://name/"), which
    // marks files received from it; empty when the request was refused.
    std::string pageOrigin;
    bool operator==(const Routed&) const = default;
};

struct RouteContext {
    const HostPolicy& policy;
    const StaticSite& site;
    // Pairing is refused while the host is paused.
    bool paused = false;
};

// `leftover` is what followed the request on the connection: a WebSocket
// upgrade or a pairing request must stand alone.
Routed route(const HTTPRequest& request, std::span<const std::uint8_t> leftover, const RouteContext& context);

// The WebSocket handshake's own checks (method and origin aside): the key to
// answer with, or no value when the request is not a valid upgrade.
std::optional<std::string> upgradeKey(const HTTPRequest& request);

}  // namespace morvane
