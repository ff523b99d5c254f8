#include "protocol/http_response.h"

#include <cmath>
#include <nlohmann/json.hpp>

namespace morvane::HTTPResponse {

namespace {

void appendText(Bytes& out, std::string_view text) { out.insert(out.end(), text.begin(), text.end()); }

void appendLine(Bytes& out, std::string_view text) {
    appendText(out, text);
    appendText(out, "\r\n");
}

void appendHeaders(Bytes& out, const Headers& headers) {
    for (const auto& [name, value] : headers) {
        appendText(out, name);
        appendText(out, ": ");
        appendLine(out, value);
    }
}

// nlohmann writes a NaN or an infinity as null; the peer would read a value
// the host never meant, so such a document counts as unwritable.
bool allNumbersFinite(const nlohmann::json& value) {
    if (value.is_number_float()) return std::isfinite(value.get<double>());
    if (value.is_structured()) {
        for (const auto& item : value)
            if (!allNumbersFinite(item)) return false;
    }
    return true;
}

}  // namespace

const Headers& securityHeaders() {
    static const Headers headers = {
        {"Content-Security-Policy",
         "default-src 'none'; script-src 'self'; style-src 'self'; img-src 'self' blob: data:; "
         "connect-src 'self'; manifest-src 'self'; frame-ancestors 'none'; base-uri 'none'; form-action 'none'"},
        {"X-Content-Type-Options", "nosniff"},
        {"Referrer-Policy", "no-referrer"},
        {"Cache-Control", "no-store"},
        {"Cross-Origin-Opener-Policy", "same-origin"},
    };
    return headers;
}

const Headers& pageSecurityHeaders() {
    static const Headers headers = [] {
        Headers out = securityHeaders();
        for (auto& [name, value] : out)
            if (name == "Cache-Control") value = "no-cache";
        return out;
    }();
    return headers;
}

const Header& strictTransport() {
    static const Header header = {"Strict-Transport-Security", "max-age=31536000"};
    return header;
}

std::string reason(int status) {
    switch (status) {
    case 101: return "Switching Protocols";
    case 200: return "OK";
    case 304: return "Not Modified";
    case 400: return "Bad Request";
    case 403: return "Forbidden";
    case 404: return "Not Found";
    case 405: return "Method Not Allowed";
    case 413: return "Content Too Large";
    case 415: return "Unsupported Media Type";
    case 421: return "Misdirected Request";
    case 431: return "Request Header Fields Too Large";
    case 503: return "Service Unavailable";
    default: return "Error";
    }
}

// A 304 carries neither the body nor the headers that describe it.
Bytes assemble(int status, std::string_view contentType, std::span<const std::uint8_t> body,
               const Headers& security, const Headers& extraHeaders) {
    const bool withBody = status != 304;
    Bytes out;
    out.reserve(1024 + body.size());
    appendLine(out, "HTTP/1.1 " + std::to_string(status) + " " + reason(status));
    if (withBody) {
        appendText(out, "Content-Type: ");
        appendLine(out, contentType);
        appendLine(out, "Content-Length: " + std::to_string(body.size()));
    }
    appendLine(out, "Connection: close");
    appendHeaders(out, security);
    appendHeaders(out, extraHeaders);
    appendText(out, "\r\n");
    if (withBody) out.insert(out.end(), body.begin(), body.end());
    return out;
}

Bytes build(int status, std::string_view contentType, std::span<const std::uint8_t> body,
            const Headers& extraHeaders) {
    return assemble(status, contentType, body, securityHeaders(), extraHeaders);
}

Bytes pageFile(int status, std::string_view contentType, std::span<const std::uint8_t> body,
               const Headers& extraHeaders) {
    return assemble(status, contentType, body, pageSecurityHeaders(), extraHeaders);
}

Bytes upgrade(std::string_view acceptKey, const Headers& extraHeaders) {
    Bytes out;
    out.reserve(1024);
    appendLine(out, "HTTP/1.1 101 Switching Protocols");
    appendLine(out, "Upgrade: websocket");
    appendLine(out, "Connection: Upgrade");
    appendText(out, "Sec-WebSocket-Accept: ");
    appendLine(out, acceptKey);
    appendHeaders(out, securityHeaders());
    appendHeaders(out, extraHeaders);
    appendText(out, "\r\n");
    return out;
}

std::string jsonText(const nlohmann::json& object) {
    // The default object type is an ordered std::map, so keys come out in
    // ascending byte order at every depth.
    if (!object.is_object() || !allNumbersFinite(object)) return "{}";
    try {
        return object.dump();
    } catch (const nlohmann::json::exception&) {
        return "{}";  // text that is not valid UTF-8
    }
}

Bytes json(const nlohmann::json& object) {
    const std::string text = jsonText(object);
    return Bytes(text.begin(), text.end());
}

Bytes error(int status, const Headers& extraHeaders) {
    const std::string body = reason(status) + "\n";
    return build(status, plainTextType,
                 std::span(reinterpret_cast<const std::uint8_t*>(body.data()), body.size()), extraHeaders);
}

Bytes jsonResponse(int status, const nlohmann::json& object, const Headers& extraHeaders) {
    return build(status, jsonType, json(object), extraHeaders);
}

}  // namespace morvane::HTTPResponse
