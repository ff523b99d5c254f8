#include "protocol/host_policy.h"

#include <algorithm>
#include <array>
#include <vector>

namespace morvane {

namespace {

std::string lowered(std::string_view text) {
    std::string out(text);
    std::transform(out.begin(), out.end(), out.begin(),
                   [](char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; });
    return out;
}

bool validLabel(std::string_view label) {
    if (label.empty() || label.size() > 63) return false;
    if (label.front() == '-' || label.back() == '-') return false;
    return std::all_of(label.begin(), label.end(),
                       [](char c) { return (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-'; });
}

}  // namespace

std::optional<TailnetAccess> TailnetAccess::make(std::string_view rawHost, std::optional<std::string_view> ownerLogin) {
    std::string host = lowered(rawHost);
    if (!host.empty() && host.back() == '.') host.pop_back();
    if (host.size() > 253) return std::nullopt;

    std::vector<std::string_view> labels;
    std::string_view rest = host;
    for (;;) {
        const auto dot = rest.find('.');
        labels.push_back(rest.substr(0, dot));
        if (dot == std::string_view::npos) break;
        rest.remove_prefix(dot + 1);
    }
    if (labels.size() < 2) return std::nullopt;
    if (!std::all_of(labels.begin(), labels.end(), validLabel)) return std::nullopt;
    const auto last = labels.back();
    if (std::all_of(last.begin(), last.end(), [](char c) { return c >= '0' && c <= '9'; })) return std::nullopt;

    if (ownerLogin) {
        const auto login = *ownerLogin;
        if (login.empty() || login.size() > 254) return std::nullopt;
        if (!std::all_of(login.begin(), login.end(), [](char c) {
                const auto b = static_cast<unsigned char>(c);
                return b >= 0x21 && b <= 0x7E;
            }))
            return std::nullopt;
    }
    TailnetAccess access;
    access.host = std::move(host);
    if (ownerLogin) access.ownerLogin = std::string(*ownerLogin);
    return access;
}

HostPolicy::HostPolicy(std::uint16_t port, std::optional<TailnetAccess> tailnetAccess)
    : loopbackHost("127.0.0.1:" + std::to_string(port)), tailnet(std::move(tailnetAccess)) {}

HostPolicy::Verdict HostPolicy::evaluate(const HTTPHeaders& headers) const {
    std::optional<std::string> host;
    if (auto it = headers.find("host"); it != headers.end()) host = lowered(it->second);

    const bool tailnetHost = tailnet && host && (*host == tailnet->host || *host == tailnet->host + ":443");

    if (headers.contains(std::string(funnelHeader))) return Refuse{403, tailnetHost};

    if (host && *host == loopbackHost) {
        // A proxy in front of the loopback address would make a remote
        // browser look local.
        for (const auto& [name, value] : headers)
            if (isProxyHeader(name)) return Refuse{403, false};
        return Accept{Route::loopback, "http://" + loopbackHost};
    }

    if (!tailnetHost) return Refuse{421, false};

    const auto login = headers.find(std::string(loginHeader));
    const bool ownerMatches = login != headers.end() && !login->second.empty() &&
                              (!tailnet->ownerLogin || login->second == *tailnet->ownerLogin);
    if (!ownerMatches) return Refuse{403, true};
    return Accept{Route::tailnet, "https://" + tailnet->host};
}

bool HostPolicy::isProxyHeader(std::string_view rawName) {
    std::string name(rawName);
    std::replace(name.begin(), name.end(), '_', '-');
    const std::string_view n = name;
    return n.starts_with("tailscale-") || n.starts_with("x-forwarded-") || n == "forwarded" || n == "x-real-ip" ||
           n == "via";
}

bool HostPolicy::originMatches(const std::optional<std::string>& origin, std::string_view expected) {
    return origin && lowered(*origin) == expected;
}

}  // namespace morvane
