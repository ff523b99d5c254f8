#include "relay/relay_url.h"

#include <algorithm>
#include <cctype>

namespace morvane {

namespace {
std::string lower(std::string_view text) {
    std::string out(text);
    std::transform(out.begin(), out.end(), out.begin(), [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return out;
}
std::uint16_t defaultPort(const std::string& scheme) {
    return (scheme == "wss" || scheme == "https") ? 443 : 80;
}
}  // namespace

std::string RelayURL::hostHeader() const {
    std::string out = host.find(':') != std::string::npos ? "[" + host + "]" : host;
    if (portGiven) out += ":" + std::to_string(port);
    return out;
}

std::optional<RelayURL> parseRelayURL(std::string_view text) {
    for (unsigned char c : text)
        if (c <= 0x20 || c >= 0x7f) return std::nullopt;
    const auto colon = text.find("://");
    if (colon == std::string_view::npos || colon == 0) return std::nullopt;
    RelayURL url;
    url.scheme = lower(text.substr(0, colon));
    if (!std::isalpha(static_cast<unsigned char>(url.scheme[0])) ||
        !std::all_of(url.scheme.begin(), url.scheme.end(),
                     [](unsigned char c) { return std::isalnum(c) || c == '+' || c == '-' || c == '.'; }))
        return std::nullopt;
    std::string_view rest = text.substr(colon + 3);
    if (const auto hash = rest.find('#'); hash != std::string_view::npos) {
        url.hasFragment = true;
        rest = rest.substr(0, hash);
    }
    if (const auto q = rest.find('?'); q != std::string_view::npos) {
        url.hasQuery = true;
        rest = rest.substr(0, q);
    }
    const auto slash = rest.find('/');
    std::string_view authority = rest.substr(0, slash);
    if (slash != std::string_view::npos) url.path = std::string(rest.substr(slash));
    if (const auto at = authority.rfind('@'); at != std::string_view::npos) {
        url.hasUser = true;
        authority = authority.substr(at + 1);
    }
    std::string_view host, port;
    if (!authority.empty() && authority.front() == '[') {
        const auto close = authority.find(']');
        if (close == std::string_view::npos) return std::nullopt;
        host = authority.substr(1, close - 1);
        const auto after = authority.substr(close + 1);
        if (!after.empty()) {
            if (after.front() != ':') return std::nullopt;
            port = after.substr(1);
            url.portGiven = true;
        }
        if (host.empty() || !std::all_of(host.begin(), host.end(), [](unsigned char c) {
                return std::isxdigit(c) || c == ':' || c == '.';
            }))
            return std::nullopt;
    } else {
        const auto portColon = authority.find(':');
        host = authority.substr(0, portColon);
        if (portColon != std::string_view::npos) {
            port = authority.substr(portColon + 1);
            url.portGiven = true;
        }
        if (host.empty() || !std::all_of(host.begin(), host.end(), [](unsigned char c) {
                return std::isalnum(c) || c == '-' || c == '.' || c == '_';
            }))
            return std::nullopt;
    }
    url.host = lower(host);
    if (url.portGiven) {
        if (port.empty() || port.size() > 5 ||
            !std::all_of(port.begin(), port.end(), [](unsigned char c) { return std::isdigit(c); }))
            return std::nullopt;
        const int value = std::stoi(std::string(port));
        if (value < 1 || value > 65'535) return std::nullopt;
        url.port = static_cast<std::uint16_t>(value);
    } else {
        url.port = defaultPort(url.scheme);
    }
    return url;
}

std::optional<RelayEndpoints> relayEndpointsAt(std::string_view origin) {
    const auto url = parseRelayURL(origin);
    if (!url || (url->scheme != "http" && url->scheme != "https")) return std::nullopt;
    if ((!url->path.empty() && url->path != "/") || url->hasQuery || url->hasFragment || url->hasUser)
        return std::nullopt;
    const std::string rest = "://" + url->hostHeader();
    return RelayEndpoints{url->scheme + rest, (url->secure() ? "wss" : "ws") + rest};
}

std::optional<std::string> relayNameIn(std::string_view typed) {
    const auto blank = [](unsigned char c) { return std::isspace(c) != 0; };
    while (!typed.empty() && blank(typed.front())) typed.remove_prefix(1);
    while (!typed.empty() && blank(typed.back())) typed.remove_suffix(1);
    // A bare name reads as the https address it stands for, so both forms
    // meet the same refusals.
    const std::string text =
        typed.find("://") == std::string_view::npos ? "https://" + std::string(typed) : std::string(typed);
    const auto url = parseRelayURL(text);
    if (!url || url->scheme != "https" || url->port != 443) return std::nullopt;
    if ((!url->path.empty() && url->path != "/") || url->hasQuery || url->hasFragment || url->hasUser)
        return std::nullopt;
    return url->host;
}

}  // namespace morvane
