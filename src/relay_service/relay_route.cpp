#include "relay_service/relay_route.h"

#include <algorithm>
#include <cctype>

#include "relay/relay_control.h"
#include "relay/relay_words.h"
#include "relay_service/relay_limits.h"

namespace morvane::relay_service {

namespace {

using namespace relay_route;

Refusal refusal(int status, std::string_view word) { return Refusal{status, std::string(word)}; }

// The path matches the row's; a ticket's room comes out of it.
bool matches(std::string_view pattern, std::string_view path, std::string& room) {
    const auto star = pattern.find('*');
    if (star == std::string_view::npos) return pattern == path;
    const auto before = pattern.substr(0, star), after = pattern.substr(star + 1);
    if (path.size() < before.size() + after.size() || !path.starts_with(before) || !path.ends_with(after)) return false;
    room = std::string(path.substr(before.size(), path.size() - before.size() - after.size()));
    return true;
}

bool isJson(std::string_view contentType) {
    auto type = contentType.substr(0, contentType.find(';'));
    while (!type.empty() && (type.back() == ' ' || type.back() == '\t')) type.remove_suffix(1);
    static constexpr std::string_view json = "application/json";
    return type.size() == json.size() && std::equal(type.begin(), type.end(), json.begin(), [](char a, char b) {
               return std::tolower(static_cast<unsigned char>(a)) == b;
           });
}

RelayRoute account(const RelayRequest& request, std::string_view path) {
    const EndpointRule* rule = nullptr;
    bool known = false;
    std::string room;
    for (const auto& row : accountEndpoints) {
        std::string found;
        if (!matches(row.path, path, found)) continue;
        known = true;
        if (row.method != request.method) continue;
        rule = &row;
        room = std::move(found);
        break;
    }
    if (!known) return refusal(404, RelayError::notFound);
    if (!rule) return refusal(405, RelayError::method);
    AccountCall call;
    call.endpoint = rule->endpoint;
    call.room = std::move(room);
    if (rule->bearer) {
        static constexpr std::string_view scheme = "Bearer ";
        if (!request.authorization.starts_with(scheme) || request.authorization.size() == scheme.size())
            return refusal(401, RelayError::unauthorized);
        call.bearer = std::string(request.authorization.substr(scheme.size()));
    }
    if (rule->body) {
        if (!isJson(request.contentType)) return refusal(415, RelayError::badRequest);
        if (request.body.size() > RelayLimits::maxRequestBodyBytes) return refusal(413, RelayError::badRequest);
        call.body = nlohmann::json::parse(request.body, nullptr, false);
        if (!call.body.is_object()) return refusal(400, RelayError::badRequest);
    }
    return Account{std::move(call)};
}

RelayRoute upgrade(const RelayRequest& request, std::string_view path) {
    static constexpr std::string_view hostPrefix = "/relay/v1/host/", devicePrefix = "/relay/v1/device/";
    const bool host = path.starts_with(hostPrefix);
    if (!host && !path.starts_with(devicePrefix)) return refusal(404, RelayError::notFound);
    if (!offers(request.subprotocols, RelayLinkLimits::subprotocol)) return refusal(400, RelayError::subprotocol);
    std::string room(path.substr(host ? hostPrefix.size() : devicePrefix.size()));
    if (host) return HostLink{std::move(room), std::string(request.hostAuth)};
    return DeviceSocket{std::move(room), queryValue(request.target, "ticket")};
}

}  // namespace

const EndpointRule& ruleOf(AccountEndpoint endpoint) {
    return *std::find_if(accountEndpoints.begin(), accountEndpoints.end(),
                         [&](const EndpointRule& row) { return row.endpoint == endpoint; });
}

RelayRoute routeRelay(const RelayRequest& request) {
    const auto path = request.target.substr(0, request.target.find('?'));
    if (request.upgrade) return upgrade(request, path);
    if (path.starts_with("/v1/")) return account(request, path);
    if (path == FleetQuestion::path) {
        if (request.method != "POST") return refusal(405, RelayError::method);
        return FleetQuestion{std::string(request.body)};
    }
    return Page{std::string(path)};
}

bool offers(std::string_view list, std::string_view wanted) {
    std::size_t from = 0;
    while (from <= list.size()) {
        auto comma = list.find(',', from);
        if (comma == std::string_view::npos) comma = list.size();
        auto item = list.substr(from, comma - from);
        while (!item.empty() && (item.front() == ' ' || item.front() == '\t')) item.remove_prefix(1);
        while (!item.empty() && (item.back() == ' ' || item.back() == '\t')) item.remove_suffix(1);
        if (item == wanted) return true;
        from = comma + 1;
    }
    return false;
}

std::string queryValue(std::string_view target, std::string_view name) {
    const auto mark = target.find('?');
    if (mark == std::string_view::npos) return "";
    auto query = target.substr(mark + 1);
    while (!query.empty()) {
        const auto amp = query.find('&');
        const auto pair = query.substr(0, amp);
        const auto eq = pair.find('=');
        if (eq != std::string_view::npos && pair.substr(0, eq) == name) return std::string(pair.substr(eq + 1));
        if (amp == std::string_view::npos) break;
        query.remove_prefix(amp + 1);
    }
    return "";
}

}  // namespace morvane::relay_service
