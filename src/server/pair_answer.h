// A pairing request as the owner and the device each hear it: the store's
// outcome becomes the shell's note of the attempt and the HTTP answer. A
// wrong code and a closed window get the same answer, so a device learns
// nothing about the window from a refusal; only a device that gave the
// right code learns that the computer could not save it. Pure.
#pragma once

#include <string>
#include <string_view>
#include <variant>

#include <nlohmann/json.hpp>

#include "devices/device_store.h"

namespace morvane {

namespace pair_attempt {
struct Paired {
    std::string name;
    bool operator==(const Paired&) const = default;
};
struct WrongCode {
    bool operator==(const WrongCode&) const = default;
};
// No pairing window was open.
struct Closed {
    bool operator==(const Closed&) const = default;
};
// The code matched but the device list could not be saved.
struct NotSaved {
    std::string reason;
    bool operator==(const NotSaved&) const = default;
};
}  // namespace pair_attempt

using PairAttempt =
    std::variant<pair_attempt::Paired, pair_attempt::WrongCode, pair_attempt::Closed, pair_attempt::NotSaved>;

struct PairAnswer {
    static constexpr std::string_view refusal = "code-not-accepted";
    // The right code, refused because the computer cannot keep the device:
    // the page tells the person to look at the computer, not at the code.
    // The storage's own reason stays on the computer.
    static constexpr std::string_view notSaved = "cannot-save";

    PairAttempt attempt;
    int status = 403;
    nlohmann::json body;

    static PairAnswer of(const DeviceStore::PairOutcome& outcome);
};

}  // namespace morvane
