#include "tailnet/tailscale_parse.h"

#include <algorithm>
#include <utility>

#include <nlohmann/json.hpp>

#include "core/bounded_json.h"

namespace morvane {

using nlohmann::json;

namespace TailscaleCommand {
std::vector<std::string> status() { return {"status", "--json"}; }
std::vector<std::string> serveStatus() { return {"serve", "status", "--json"}; }
std::vector<std::string> serveOn(std::uint16_t port) {
    return {"serve", "--bg", "--https=443", "http://127.0.0.1:" + std::to_string(port)};
}
std::vector<std::string> serveOff(std::uint16_t port) {
    return {"serve", "--https=443", "http://127.0.0.1:" + std::to_string(port), "off"};
}
}  // namespace TailscaleCommand

namespace {

// Deeper than any document the tool writes; a deeper one is refused before
// it can build millions of nested values.
constexpr int maxDepth = 64;

std::string lowered(std::string_view text) {
    std::string out(text);
    std::transform(out.begin(), out.end(), out.begin(),
                   [](char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; });
    return out;
}

std::optional<json> object(std::string_view text) {
    auto parsed = BoundedJson::parse(text, maxDepth);
    auto* value = std::get_if<json>(&parsed);
    if (!value || !value->is_object()) return std::nullopt;
    return std::move(*value);
}

// A member that is absent or of another type counts as empty.
const json& member(const json& parent, const char* name, const json& empty) {
    if (!parent.is_object()) return empty;
    const auto it = parent.find(name);
    if (it == parent.end() || it->type() != empty.type()) return empty;
    return *it;
}

std::optional<std::string> stringMember(const json& parent, const char* name) {
    if (!parent.is_object()) return std::nullopt;
    const auto it = parent.find(name);
    if (it == parent.end() || !it->is_string()) return std::nullopt;
    return it->get<std::string>();
}

bool isTrue(const json& parent, const char* name) {
    if (!parent.is_object()) return false;
    const auto it = parent.find(name);
    return it != parent.end() && it->is_boolean() && it->get<bool>();
}

std::string trimmed(std::string_view text, std::string_view blanks) {
    const auto first = text.find_first_not_of(blanks);
    if (first == std::string_view::npos) return {};
    const auto last = text.find_last_not_of(blanks);
    return std::string(text.substr(first, last - first + 1));
}

}  // namespace

namespace TailscaleParse {

std::optional<TailscaleStatus> status(std::string_view text) {
    const auto root = object(text);
    if (!root) return std::nullopt;
    const auto backend = stringMember(*root, "BackendState");
    if (!backend) return std::nullopt;
    TailscaleStatus status;
    status.backendState = *backend;

    const auto self = root->find("Self");
    if (self != root->end() && self->is_object()) {
        if (auto name = stringMember(*self, "DNSName")) {
            std::string dns = lowered(*name);
            if (!dns.empty() && dns.back() == '.') dns.pop_back();
            if (!dns.empty()) status.dnsName = std::move(dns);
        }
        const json emptyArray = json::array();
        status.tagged = !member(*self, "Tags", emptyArray).empty();
        const auto userID = self->find("UserID");
        if (!status.tagged && userID != self->end() && userID->is_number()) {
            const json emptyObject = json::object();
            const json& users = member(*root, "User", emptyObject);
            const json& user = member(users, userID->dump().c_str(), emptyObject);
            if (auto login = stringMember(user, "LoginName"); login && !login->empty())
                status.ownerLogin = std::move(*login);
        }
    }
    if (const auto domains = root->find("CertDomains"); domains != root->end() && domains->is_array())
        for (const auto& domain : *domains)
            if (domain.is_string()) status.certDomains.push_back(lowered(domain.get<std::string>()));
    return status;
}

std::optional<TailscaleServeState> serve(std::string_view text, std::string_view dnsName, std::uint16_t port) {
    if (trimmed(text, " \t\r\n\v\f") == "null") return TailscaleServeState{};
    const auto root = object(text);
    if (!root) return std::nullopt;

    std::vector<std::pair<const json*, bool>> configs{{&*root, true}};
    for (const auto& [name, main] : {std::pair{"Foreground", true}, std::pair{"Services", false}}) {
        const auto it = root->find(name);
        if (it == root->end() || it->is_null()) continue;
        if (!it->is_object()) return std::nullopt;
        for (const auto& config : *it) {
            if (!config.is_object()) return std::nullopt;
            configs.emplace_back(&config, main);
        }
    }

    const std::string hostKey = lowered(dnsName) + ":443";
    const json emptyObject = json::object();
    int matches = 0;
    bool other443 = false, otherRoute = false, otherEntries = false, funnel = false;
    const auto routeCheck = [&](const std::optional<std::string>& target) {
        if (target && targetPort(*target) == port) otherRoute = true;
    };

    for (const auto& [config, main] : configs) {
        const json& web = member(*config, "Web", emptyObject);
        const json& allowFunnel = member(*config, "AllowFunnel", emptyObject);
        const json& tcp = member(*config, "TCP", emptyObject);

        for (const auto& value : allowFunnel)
            if (!(value.is_boolean() && !value.get<bool>())) funnel = true;

        for (const auto& [key, value] : tcp.items()) {
            const json& entry = value.is_object() ? value : emptyObject;
            const std::string forward = stringMember(entry, "TCPForward").value_or("");
            if (!forward.empty() && targetPort(forward) == port) otherRoute = true;
            if (key != "443") {
                otherEntries = true;
                continue;
            }
            if (!main) {
                otherEntries = true;
                continue;
            }
            bool site = false;
            for (const auto& [name, ignored] : web.items())
                if (lowered(name) == hostKey) site = true;
            if (!(site && forward.empty() && isTrue(entry, "HTTPS"))) other443 = true;
        }

        for (const auto& [key, siteValue] : web.items()) {
            const json& handlers = member(siteValue, "Handlers", emptyObject);
            std::vector<std::pair<std::string, std::optional<std::string>>> targets;
            for (const auto& [path, handler] : handlers.items()) targets.emplace_back(path, stringMember(handler, "Proxy"));

            if (main && lowered(key) == hostKey) {
                const auto tcp443 = tcp.find("443");
                const bool https443 = tcp443 != tcp.end() && tcp443->is_object() && isTrue(*tcp443, "HTTPS");
                if (targets.size() == 1 && targets[0].first == "/" && targets[0].second &&
                    isMorvaneTarget(*targets[0].second, port) && https443) {
                    ++matches;
                    continue;
                }
                other443 = true;
                for (const auto& [path, target] : targets) {
                    if (path == "/" && target && isMorvaneTarget(*target, port)) continue;
                    routeCheck(target);
                }
                continue;
            }
            otherEntries = true;
            for (const auto& [path, target] : targets) routeCheck(target);
        }
    }

    TailscaleServeState state;
    state.publishesMorvane = matches == 1 && !other443;
    state.port443HasOtherUse = other443 || matches > 1;
    state.otherRouteToMorvane = otherRoute;
    state.otherEntries = otherEntries;
    state.funnelOn = funnel;
    return state;
}

std::optional<std::uint16_t> targetPort(std::string_view target) {
    std::string text = trimmed(lowered(target), " \t");
    if (const auto scheme = text.find("://"); scheme != std::string::npos) text.erase(0, scheme + 3);
    if (const auto end = text.find_first_of("/?#"); end != std::string::npos) text.resize(end);
    if (const auto at = text.rfind('@'); at != std::string::npos) text.erase(0, at + 1);
    if (const auto colon = text.rfind(':'); colon != std::string::npos) {
        if (text.find(']', colon) == std::string::npos) text.erase(0, colon + 1);
    }
    if (text.empty()) return std::nullopt;
    long value = 0;
    for (const char c : text) {
        if (c < '0' || c > '9') return std::nullopt;
        value = value * 10 + (c - '0');
        if (value > 65'535) return std::nullopt;
    }
    return static_cast<std::uint16_t>(value);
}

bool isMorvaneTarget(std::string_view target, std::uint16_t port) {
    std::string text = lowered(target);
    if (!text.empty() && text.back() == '/') text.pop_back();
    return text == "http://127.0.0.1:" + std::to_string(port);
}

}  // namespace TailscaleParse
}  // namespace morvane
