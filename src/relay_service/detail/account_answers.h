// The few shapes of an account call's answer and of its body that the
// accounts (on the store queue) and their gate (on the network thread)
// both make or read: values only, no state.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include <nlohmann/json.hpp>

#include "relay/relay_words.h"
#include "relay_service/relay_accounts.h"

namespace morvane::relay_service::account_detail {

inline DeviceAdmission refusedDevice(RelayCloseWord close) {
    return DeviceAdmission{close.code, std::string(close.word), {}, {}, {}};
}

inline AccountAnswer answer(int status, nlohmann::json body) { return AccountAnswer{status, std::move(body), std::nullopt}; }

inline AccountAnswer refuse(int status, std::string_view word, std::optional<std::int64_t> retryAfter = std::nullopt) {
    nlohmann::json body{{"error", word}};
    if (retryAfter) body["retry_after"] = *retryAfter;
    return answer(status, std::move(body));
}

// A string member of a call's body; absent when missing or of another type.
inline std::optional<std::string> text(const nlohmann::json& body, const char* key) {
    const auto it = body.find(key);
    if (it == body.end() || !it->is_string()) return std::nullopt;
    return it->get<std::string>();
}

inline std::vector<std::string> split(const std::string& text, char at) {
    std::vector<std::string> parts;
    std::size_t from = 0;
    for (std::size_t found; (found = text.find(at, from)) != std::string::npos; from = found + 1)
        parts.push_back(text.substr(from, found - from));
    parts.push_back(text.substr(from));
    return parts;
}

}  // namespace morvane::relay_service::account_detail
