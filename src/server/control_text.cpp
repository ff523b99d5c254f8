#include "server/control_text.h"

#include <algorithm>
#include <cmath>
#include <string>

#include <nlohmann/json.hpp>

#include "protocol/http_response.h"

namespace morvane::ControlText {
namespace {

Bytes bytesOf(std::string_view text) { return Bytes(text.begin(), text.end()); }

// Printable ASCII other than the quote and the backslash needs no escaping.
bool plain(std::string_view text) {
    return std::all_of(text.begin(), text.end(), [](char c) { return c >= 0x20 && c < 0x7F && c != '"' && c != '\\'; });
}

}  // namespace

Bytes pong(const nlohmann::json& id) {
    // Anything but a finite number takes the general encoder's way.
    if (!id.is_number() || (id.is_number_float() && !std::isfinite(id.get<double>())))
        return HTTPResponse::json({{"t", "pong"}, {"id", id}});
    return bytesOf(R"({"id":)" + id.dump() + R"(,"t":"pong"})");
}

Bytes denied() { return bytesOf(R"({"t":"denied"})"); }

Bytes bye(std::string_view reason) {
    if (!plain(reason)) return HTTPResponse::json({{"t", "bye"}, {"reason", std::string(reason)}});
    std::string text = R"({"reason":")";
    text.append(reason);
    text.append(R"(","t":"bye"})");
    return bytesOf(text);
}

}  // namespace morvane::ControlText
