#include "protocol/http_request.h"

#include <algorithm>
#include <array>
#include <string_view>
#include <vector>

namespace morvane {

namespace {

using http_parse::Failure;
using http_parse::NeedMore;

// Headers that a request may carry only once; a second one is refused
// rather than merged, so that no two readers can see different values.
bool singleOnly(std::string_view name) {
    static constexpr std::array<std::string_view, 9> names = {
        "host", "origin", "content-length", "content-type", "transfer-encoding",
        "upgrade", "sec-websocket-key", "sec-websocket-version", "tailscale-user-login"};
    return std::find(names.begin(), names.end(), name) != names.end();
}

bool isTokenChar(char c) {
    if ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9')) return true;
    return std::string_view("!#$%&'*+-.^_|~`").find(c) != std::string_view::npos;
}

bool allowedHeaderByte(std::uint8_t b) { return b == 0x09 || b == 0x0A || b == 0x0D || (b >= 0x20 && b <= 0x7E); }

std::string_view trimBlanks(std::string_view s) {
    while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
    while (!s.empty() && (s.back() == ' ' || s.back() == '\t')) s.remove_suffix(1);
    return s;
}

std::vector<std::string_view> split(std::string_view text, std::string_view separator) {
    std::vector<std::string_view> parts;
    std::size_t start = 0;
    for (;;) {
        auto at = text.find(separator, start);
        if (at == std::string_view::npos) {
            parts.push_back(text.substr(start));
            return parts;
        }
        parts.push_back(text.substr(start, at - start));
        start = at + separator.size();
    }
}

bool containsLineBreak(std::string_view line) { return line.find_first_of("\r\n") != std::string_view::npos; }

}  // namespace

HTTPParseResult HTTPParser::parse(std::span<const std::uint8_t> data) {
    // Only a terminator that starts within the first maxHeaderBytes - 4
    // bytes can end an acceptable block; one further on means 431 anyway.
    static constexpr std::uint8_t terminator[] = {'\r', '\n', '\r', '\n'};
    const std::size_t searchEnd = std::min(data.size(), HTTPLimits::maxHeaderBytes);
    auto window = data.first(searchEnd);
    auto found = std::search(window.begin(), window.end(), std::begin(terminator), std::end(terminator));
    if (found == window.end()) {
        if (data.size() > HTTPLimits::maxHeaderBytes) return Failure{431};
        return NeedMore{};
    }
    const std::size_t p = static_cast<std::size_t>(found - window.begin());
    const std::size_t blockEnd = p + 4;
    if (blockEnd > HTTPLimits::maxHeaderBytes) return Failure{431};

    for (std::size_t i = 0; i < p; ++i)
        if (!allowedHeaderByte(data[i])) return Failure{400};

    const std::string_view block(reinterpret_cast<const char*>(data.data()), p);
    const auto lines = split(block, "\r\n");

    // A lone CR or LF is refused in the request line as in a header line: a
    // path must never carry a line break into the router or a log line.
    const std::string_view requestLine = lines.front();
    if (containsLineBreak(requestLine)) return Failure{400};
    const auto pieces = split(requestLine, " ");
    if (pieces.size() != 3 || pieces[2] != "HTTP/1.1") return Failure{400};
    const std::string_view method = pieces[0];
    if (method.empty() || !std::all_of(method.begin(), method.end(), [](char c) { return c >= 'A' && c <= 'Z'; }))
        return Failure{400};
    const std::string_view target = pieces[1];
    if (target.empty() || target.front() != '/') return Failure{400};

    HTTPRequest request;
    request.method = std::string(method);
    request.path = std::string(target.substr(0, target.find('?')));

    for (std::size_t i = 1; i < lines.size(); ++i) {
        const std::string_view line = lines[i];
        if (containsLineBreak(line)) return Failure{400};
        const auto colon = line.find(':');
        if (colon == std::string_view::npos || colon == 0) return Failure{400};
        const std::string_view rawName = line.substr(0, colon);
        if (!std::all_of(rawName.begin(), rawName.end(), isTokenChar)) return Failure{400};
        std::string name(rawName);
        std::transform(name.begin(), name.end(), name.begin(),
                       [](char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; });
        const std::string_view value = trimBlanks(line.substr(colon + 1));
        auto [it, inserted] = request.headers.try_emplace(name, value);
        if (!inserted) {
            if (singleOnly(name)) return Failure{400};
            it->second.append(", ").append(value);
        }
    }

    if (request.headers.contains("transfer-encoding")) return Failure{400};

    std::size_t length = 0;
    if (auto it = request.headers.find("content-length"); it != request.headers.end()) {
        const std::string& text = it->second;
        if (text.empty() || text.size() > 9 ||
            !std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; }))
            return Failure{400};
        length = std::stoul(text);  // at most nine digits: cannot overflow
        if (length > HTTPLimits::maxBodyBytes) return Failure{413};
    }

    if (data.size() - blockEnd < length) return NeedMore{};
    request.body.assign(data.begin() + static_cast<std::ptrdiff_t>(blockEnd),
                        data.begin() + static_cast<std::ptrdiff_t>(blockEnd + length));
    Bytes leftover(data.begin() + static_cast<std::ptrdiff_t>(blockEnd + length), data.end());
    return http_parse::Request{std::move(request), std::move(leftover)};
}

}  // namespace morvane
