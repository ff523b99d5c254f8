// The one HTTP/1.1 request a connection carries, and the parser that turns
// the bytes received so far into that request or a verdict. The parser keeps
// nothing between calls: the connection hands it its whole receive buffer
// every time bytes arrive.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <span>
#include <string>
#include <variant>

#include "core/types.h"

namespace morvane {

namespace HTTPLimits {
// The request line, the header lines and the blank line that ends them.
inline constexpr std::size_t maxHeaderBytes = 8192;
// The largest Content-Length accepted.
inline constexpr std::size_t maxBodyBytes = 4096;
// A connection whose request has not arrived within this time is closed.
inline constexpr double requestSeconds = 5.0;
inline constexpr int maxConnections = 16;
// The largest file of the built-in site.
inline constexpr std::size_t maxStaticFileBytes = 4'194'304;
}  // namespace HTTPLimits

// Header names in lower case; values trimmed of spaces and tabs. A header
// that may repeat holds its values joined by ", ".
using HTTPHeaders = std::map<std::string, std::string>;

struct HTTPRequest {
    std::string method;  // one or more of A-Z
    std::string path;    // the target up to its first "?"; begins with "/"
    HTTPHeaders headers;
    Bytes body;  // exactly Content-Length bytes
    bool operator==(const HTTPRequest&) const = default;
};

namespace http_parse {
// Malformed (400), body too large (413) or header block too large (431).
struct Failure {
    int status = 400;
    bool operator==(const Failure&) const = default;
};
// A complete request and every byte that followed its body.
struct Request {
    HTTPRequest request;
    Bytes leftover;
    bool operator==(const Request&) const = default;
};
// The start of a request that is still within the limits.
struct NeedMore {
    bool operator==(const NeedMore&) const = default;
};
}  // namespace http_parse

using HTTPParseResult = std::variant<http_parse::Failure, http_parse::Request, http_parse::NeedMore>;

namespace HTTPParser {
// `data` is the connection's whole receive buffer from its first byte.
// Never throws on what a peer sends.
HTTPParseResult parse(std::span<const std::uint8_t> data);
}  // namespace HTTPParser

}  // namespace morvane
