#include "protocol/router.h"

#include <algorithm>
#include <cctype>

#include <nlohmann/json.hpp>

#include "core/types.h"
#include "protocol/http_base64.h"
#include "protocol/page_cache.h"
#include "protocol/ws_codec.h"

namespace morvane {
namespace {

std::string lower(std::string s) {
    std::transform(s.begin(), s.end(), s.begin(), [](unsigned char c) { return std::tolower(c); });
    return s;
}

std::string trim(std::string_view s) {
    auto isSpace = [](char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; };
    while (!s.empty() && isSpace(s.front())) s.remove_prefix(1);
    while (!s.empty() && isSpace(s.back())) s.remove_suffix(1);
    return std::string(s);
}

const std::string* header(const HTTPRequest& request, const char* name) {
    auto it = request.headers.find(name);
    return it == request.headers.end() ? nullptr : &it->second;
}

bool connectionListsUpgrade(const std::string& value) {
    std::string all = lower(value);
    std::size_t start = 0;
    while (start <= all.size()) {
        std::size_t comma = all.find(',', start);
        std::string part =
            trim(std::string_view(all).substr(start, comma == std::string::npos ? std::string::npos : comma - start));
        if (part == "upgrade") return true;
        if (comma == std::string::npos) break;
        start = comma + 1;
    }
    return false;
}

route_decision::Refuse plain(int status, std::optional<std::string> allow = std::nullopt) {
    return {status, std::move(allow), std::nullopt};
}

route_decision::Refuse json(int status, std::string word) { return {status, std::nullopt, std::move(word)}; }

RouteDecision routeWebSocket(const HTTPRequest& request, std::span<const std::uint8_t> leftover, bool originOK) {
    if (request.method != "GET") return plain(405, "GET");
    if (!originOK) return plain(403);
    auto key = upgradeKey(request);
    if (!key) return plain(400);
    if (!request.body.empty() || !leftover.empty()) return plain(400);
    return route_decision::Upgrade{WSCodec::acceptKey(*key)};
}

RouteDecision routePair(const HTTPRequest& request, std::span<const std::uint8_t> leftover, bool originOK,
                        bool paused) {
    if (request.method != "POST") return plain(405, "POST");
    if (!originOK) return json(403, "forbidden");
    if (paused) return json(403, std::string(PauseCauseWords::refusal));
    auto contentType = header(request, "content-type");
    if (!contentType ||
        lower(trim(std::string_view(*contentType).substr(0, contentType->find(';')))) != "application/json")
        return json(415, "bad-request");
    if (!leftover.empty()) return json(400, "bad-request");
    auto body = nlohmann::json::parse(request.body.begin(), request.body.end(), nullptr, false);
    if (body.is_discarded() || !body.is_object()) return json(400, "bad-request");
    auto code = body.find("code");
    if (code == body.end() || !code->is_string()) return json(400, "bad-request");
    std::string name;
    if (auto n = body.find("name"); n != body.end() && n->is_string()) name = n->get<std::string>();
    return route_decision::Pair{code->get<std::string>(), std::move(name)};
}

RouteDecision routeFile(const HTTPRequest& request, const StaticSite& site) {
    const auto& table = StaticFiles::table();
    auto entry = table.find(request.path);
    if (entry == table.end()) return plain(404);
    if (request.method != "GET") return plain(405, "GET");
    auto file = site.files.find(entry->second.file);
    if (file == site.files.end()) return plain(404);
    auto packed = site.gzipped.find(entry->second.file);
    const bool hasPacked = packed != site.gzipped.end();
    const auto valueOf = [&](const char* name) {
        const auto* value = header(request, name);
        return value ? std::string_view(*value) : std::string_view();
    };
    auto choice = PageCache::choose(file->second.etag(),
                                    hasPacked ? std::optional<std::string_view>(packed->second.etag()) : std::nullopt,
                                    valueOf("accept-encoding"), valueOf("if-none-match"));
    return route_decision::ServeFile{entry->second.type, choice.gzip ? &packed->second : &file->second,
                                     choice.notModified, std::move(choice.headers)};
}

}  // namespace

std::optional<std::string> upgradeKey(const HTTPRequest& request) {
    auto upgrade = header(request, "upgrade");
    if (!upgrade || lower(*upgrade) != "websocket") return std::nullopt;
    auto connection = header(request, "connection");
    if (!connection || !connectionListsUpgrade(*connection)) return std::nullopt;
    auto version = header(request, "sec-websocket-version");
    if (!version || *version != "13") return std::nullopt;
    auto key = header(request, "sec-websocket-key");
    if (!key) return std::nullopt;
    auto decoded = Base64::decode(*key);
    if (!decoded || decoded->size() != 16) return std::nullopt;
    return *key;
}

Routed route(const HTTPRequest& request, std::span<const std::uint8_t> leftover, const RouteContext& context) {
    auto verdict = context.policy.evaluate(request.headers);
    if (auto refuse = std::get_if<HostPolicy::Refuse>(&verdict))
        return {refuse->tailnetHost ? ConnectionRoute::tailnet : ConnectionRoute::loopback, plain(refuse->status), {}};
    const auto& accept = std::get<HostPolicy::Accept>(verdict);
    Routed routed;
    routed.route = accept.route == HostPolicy::Route::tailnet ? ConnectionRoute::tailnet : ConnectionRoute::loopback;
    routed.pageOrigin = accept.origin + "/";
    std::optional<std::string> origin;
    if (auto o = header(request, "origin")) origin = *o;
    bool originOK = HostPolicy::originMatches(origin, accept.origin);
    if (request.path == "/ws")
        routed.decision = routeWebSocket(request, leftover, originOK);
    else if (request.path == "/api/pair")
        routed.decision = routePair(request, leftover, originOK, context.paused);
    else
        routed.decision = routeFile(request, context.site);
    return routed;
}

}  // namespace morvane
