// What to do with one parsed request to the relay: hand it to the page
// (which answers its files, 404 and 405 itself), take an account call,
// upgrade to a host's link or a device's socket, take another instance's
// question, or refuse with a status and a word. Pure: no I/O, no store; the connection carries the decision
// out. Every account call is one row of `accountEndpoints`, with the rules
// the route checks before the call reaches the accounts.
#pragma once

#include <array>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include <nlohmann/json.hpp>


namespace morvane::relay_service {

enum class AccountEndpoint { code, verify, refresh, signOut, listHosts, registerHost, removeHost, ticket };

struct EndpointRule {
    AccountEndpoint endpoint;
    std::string_view method;
    // The path; for a ticket, "/v1/hosts/" and "/ticket" around the room.
    std::string_view path;
    bool bearer;  // needs "Authorization: Bearer <access token>"
    bool body;    // reads a JSON object (Content-Type application/json)
    // Counted against the calls one client address may make a minute;
    // codes and sign-ins have tighter limits of their own.
    bool countedPerMinute;
};

inline constexpr std::array<EndpointRule, 8> accountEndpoints{{
    {AccountEndpoint::code, "POST", "/v1/auth/code", false, true, false},
    {AccountEndpoint::verify, "POST", "/v1/auth/verify", false, true, false},
    {AccountEndpoint::refresh, "POST", "/v1/auth/refresh", false, true, true},
    {AccountEndpoint::signOut, "POST", "/v1/auth/signout", false, true, true},
    {AccountEndpoint::listHosts, "GET", "/v1/hosts", true, false, true},
    {AccountEndpoint::registerHost, "POST", "/v1/hosts", true, true, true},
    {AccountEndpoint::removeHost, "POST", "/v1/hosts/self/delete", false, true, true},
    // A ticket needs nothing but the bearer: its body is not read.
    {AccountEndpoint::ticket, "POST", "/v1/hosts/*/ticket", true, false, true},
}};

const EndpointRule& ruleOf(AccountEndpoint endpoint);

// One account call as the accounts take it.
struct AccountCall {
    AccountEndpoint endpoint = AccountEndpoint::code;
    std::string room;     // a ticket's
    std::string bearer;   // the token after "Bearer ", where the row needs one
    nlohmann::json body;  // the JSON object, where the row reads one
    std::string client;   // the caller's rate key, set by the connection
    // The networks the caller is counted under (clientNetworks), set by the
    // connection; none for a trusted proxy that named no client.
    std::vector<std::string> networks = {};
};

// What the route reads of a request.
struct RelayRequest {
    std::string_view method;
    std::string_view target;  // path and query as sent
    bool upgrade = false;     // a WebSocket upgrade, as Beast judges it
    std::string_view contentType;
    std::string_view authorization;
    std::string_view subprotocols;  // Sec-WebSocket-Protocol
    std::string_view hostAuth;      // X-Morvane-Host-Auth
    std::string_view body;
};

namespace relay_route {
struct Page {
    std::string path;  // without its query
};
struct Account {
    AccountCall call;
};
struct HostLink {
    std::string room;
    std::string hello;  // the signed hello header
};
struct DeviceSocket {
    std::string room;
    std::string ticket;
};
// A question of another instance sharing the database (PeerLine): the
// body of a POST to `path`, answered without the store.
struct FleetQuestion {
    static constexpr std::string_view path = "/fleet/v1/ask";
    std::string text;
};
// Answer `status` with {"error": word}.
struct Refusal {
    int status = 400;
    std::string word;
};
}  // namespace relay_route

using RelayRoute = std::variant<relay_route::Page, relay_route::Account, relay_route::HostLink,
                                relay_route::DeviceSocket, relay_route::FleetQuestion, relay_route::Refusal>;

RelayRoute routeRelay(const RelayRequest& request);

// The names in a Sec-WebSocket-Protocol list.
bool offers(std::string_view list, std::string_view wanted);
// A query parameter's value as sent, or "".
std::string queryValue(std::string_view target, std::string_view name);

}  // namespace morvane::relay_service
