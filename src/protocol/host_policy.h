// Which way a request reached the server (a browser on this machine, or the
// tailnet proxy), whether it is acceptable, and which Origin its pages must
// carry. Decided from the headers alone, before any routing.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <variant>

#include "protocol/http_request.h"

namespace morvane {

// The tailnet name of this machine and the login that may use the tailnet
// route. Only `make` builds one from outside text.
struct TailnetAccess {
    std::string host;                       // lower-case, two or more labels, no final dot
    std::optional<std::string> ownerLogin;  // printable ASCII without spaces, 1-254 bytes

    // Lower-cases the host and drops one final dot; no value when the host
    // or a present login is unusable.
    static std::optional<TailnetAccess> make(std::string_view host, std::optional<std::string_view> ownerLogin);

    bool operator==(const TailnetAccess&) const = default;
};

struct HostPolicy {
    enum class Route { loopback, tailnet };

    // The request may proceed; `origin` is the only Origin the pairing and
    // WebSocket routes accept on it.
    struct Accept {
        Route route = Route::loopback;
        std::string origin;
        bool operator==(const Accept&) const = default;
    };
    // Answer with `status` and close. `tailnetHost` tells the caller to add
    // the Strict-Transport-Security header to the refusal.
    struct Refuse {
        int status = 421;
        bool tailnetHost = false;
        bool operator==(const Refuse&) const = default;
    };
    using Verdict = std::variant<Accept, Refuse>;

    static constexpr std::string_view funnelHeader = "tailscale-funnel-request";
    static constexpr std::string_view loginHeader = "tailscale-user-login";

    std::string loopbackHost;  // "127.0.0.1:" and the port
    std::optional<TailnetAccess> tailnet;

    explicit HostPolicy(std::uint16_t port, std::optional<TailnetAccess> tailnet = std::nullopt);

    // `headers` as the parser produced them (names in lower case).
    Verdict evaluate(const HTTPHeaders& headers) const;

    static bool isProxyHeader(std::string_view name);
    static bool originMatches(const std::optional<std::string>& origin, std::string_view expected);

    bool operator==(const HostPolicy&) const = default;
};

}  // namespace morvane
