// The bytes the server writes back: ordinary answers, the WebSocket upgrade
// answer, and the one JSON writer used for every JSON body and every control
// message sent over a session.
#pragma once

#include <cstdint>
#include <nlohmann/json_fwd.hpp>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "core/types.h"

namespace morvane {

namespace HTTPResponse {

using Header = std::pair<std::string, std::string>;
using Headers = std::vector<Header>;

inline constexpr std::string_view plainTextType = "text/plain; charset=utf-8";
inline constexpr std::string_view jsonType = "application/json";

// Sent with every response, in this order.
const Headers& securityHeaders();
// The same for a file of a built-in page, which the browser may keep but
// asks about each time (protocol/page_cache.h): "Cache-Control: no-cache"
// in place of "no-store".
const Headers& pageSecurityHeaders();
// Added by callers to what they send on the tailnet route.
const Header& strictTransport();

// The reason phrase of a status; "Error" for any status not listed.
std::string reason(int status);

// A complete response: status line, Content-Type, Content-Length,
// "Connection: close", the security headers, the extra headers, the body.
Bytes build(int status, std::string_view contentType, std::span<const std::uint8_t> body,
            const Headers& extraHeaders = {});

// A file of a built-in page: as `build`, with the page's security headers;
// a 304 carries no Content-Type, Content-Length or body.
Bytes pageFile(int status, std::string_view contentType, std::span<const std::uint8_t> body,
               const Headers& extraHeaders = {});

// The 101 answer to a WebSocket upgrade; no body and no Content-Length.
Bytes upgrade(std::string_view acceptKey, const Headers& extraHeaders = {});

// Compact JSON with the keys of every object in ascending byte order. A value
// that is not an object or cannot be written (text that is not UTF-8, a
// number that is not finite) gives "{}".
Bytes json(const nlohmann::json& object);
std::string jsonText(const nlohmann::json& object);

// The plain-text error answer: the reason phrase and a line feed.
Bytes error(int status, const Headers& extraHeaders = {});
// A JSON answer with the content type "application/json".
Bytes jsonResponse(int status, const nlohmann::json& object, const Headers& extraHeaders = {});

}  // namespace HTTPResponse

}  // namespace morvane
