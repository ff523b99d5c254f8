// The HTTP request parser over arbitrary bytes, and the host policy over
// whatever headers it accepts. Besides the sanitizers, it checks that a
// request is only reported once all of its bytes are there.
#include <cstdlib>
#include <span>

#include "fuzz_support.h"
#include "protocol/host_policy.h"
#include "protocol/http_request.h"

using namespace morvane;
using morvane::fuzz::require;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::span<const std::uint8_t> input(data, size);
    const auto result = HTTPParser::parse(input);

    if (const auto* failure = std::get_if<http_parse::Failure>(&result)) {
        require(failure->status == 400 || failure->status == 413 || failure->status == 431);
        return 0;
    }
    const auto* parsed = std::get_if<http_parse::Request>(&result);
    if (!parsed) return 0;

    const auto& request = parsed->request;
    require(!request.method.empty() && !request.path.empty() && request.path.front() == '/');
    require(request.path.find('?') == std::string::npos);
    require(request.body.size() <= HTTPLimits::maxBodyBytes);
    require(parsed->leftover.size() <= size);
    for (const auto& [name, value] : request.headers) require(!name.empty());

    // The request's own bytes alone give the same request; one byte fewer
    // is still incomplete.
    const std::size_t consumed = size - parsed->leftover.size();
    const auto exact = HTTPParser::parse(input.first(consumed));
    const auto* same = std::get_if<http_parse::Request>(&exact);
    require(same && same->request == request && same->leftover.empty());
    require(std::holds_alternative<http_parse::NeedMore>(HTTPParser::parse(input.first(consumed - 1))));

    static const HostPolicy policy(8722, TailnetAccess::make("mac.example.ts.net", "owner@example.com"));
    const auto verdict = policy.evaluate(request.headers);
    if (const auto* accept = std::get_if<HostPolicy::Accept>(&verdict)) {
        require(!accept->origin.empty());
        HostPolicy::originMatches(request.headers.contains("origin")
                                      ? std::optional<std::string>(request.headers.at("origin"))
                                      : std::nullopt,
                                  accept->origin);
    }
    return 0;
}
