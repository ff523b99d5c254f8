// The router over whatever requests the HTTP parser accepts, from either
// route, paused or not. Besides the sanitizers, it checks that each kind of
// decision only comes from the path and method that may give it, that
// refusals use the known statuses, that a file goes in the form its tag
// names (304 only when the browser named that tag), and that routing is a
// pure function.
#include <algorithm>
#include <set>
#include <span>

#include "fuzz_support.h"
#include "protocol/http_request.h"
#include "protocol/page_cache.h"
#include "protocol/router.h"

using namespace morvane;
using morvane::fuzz::require;

namespace {

const StaticSite& site() {
    static const StaticSite s = [] {
        StaticSite out;
        for (const auto& name : StaticSite::expectedNames()) out.files[name] = Bytes(name.begin(), name.end());
        out.gzipped["app.js"] = Bytes{'z'};
        return out;
    }();
    return s;
}
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0) return 0;
    const bool paused = data[0] & 1;
    const auto parsed = HTTPParser::parse(std::span<const std::uint8_t>(data + 1, size - 1));
    const auto* request = std::get_if<http_parse::Request>(&parsed);
    if (!request) return 0;

    static const HostPolicy policy(8722, TailnetAccess::make("mac.example.ts.net", "owner@example.com"));
    const RouteContext context{policy, site(), paused};
    const auto routed = route(request->request, request->leftover, context);
    require(routed == route(request->request, request->leftover, context));

    const auto& r = request->request;
    if (const auto* refuse = std::get_if<route_decision::Refuse>(&routed.decision)) {
        static const std::set<int> statuses = {400, 403, 404, 405, 415, 421};
        require(statuses.contains(refuse->status));
        require(!refuse->allow || refuse->status == 405);
        require(!refuse->errorWord || r.path == "/api/pair");
    } else if (const auto* upgrade = std::get_if<route_decision::Upgrade>(&routed.decision)) {
        require(r.path == "/ws" && r.method == "GET" && request->leftover.empty() && r.body.empty());
        require(upgradeKey(r).has_value() && upgrade->acceptKey.size() == 28);
    } else if (std::holds_alternative<route_decision::Pair>(routed.decision)) {
        require(r.path == "/api/pair" && r.method == "POST" && !paused && request->leftover.empty());
    } else {
        const auto& serve = std::get<route_decision::ServeFile>(routed.decision);
        require(r.method == "GET" && StaticFiles::table().contains(r.path));
        require(serve.body != nullptr && !serve.contentType.empty());
        // The form sent is the one whose tag goes with it, and 304 only when
        // the browser named that tag.
        const auto tag = std::find_if(serve.headers.begin(), serve.headers.end(),
                                      [](const auto& header) { return header.first == "ETag"; });
        require(tag != serve.headers.end() && tag->second == serve.body->etag());
        const auto named = r.headers.find("if-none-match");
        require(serve.notModified == (named != r.headers.end() && PageCache::namesTag(named->second, tag->second)));
    }
    return 0;
}
