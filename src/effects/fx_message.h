// The words, limits and "fx-" messages that the display effects share: what a
// device may ask for, how each answer and each ending is named on the wire,
// and the two messages the host sends back. Pure values and functions.
#pragma once

#include <nlohmann/json.hpp>

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "core/types.h"

namespace morvane {

// Both ends included.
struct ClosedRange {
    std::int64_t lower = 0;
    std::int64_t upper = 0;
    constexpr bool contains(std::int64_t v) const { return v >= lower && v <= upper; }
};

namespace FxLimits {
inline constexpr ClosedRange idRange{1, 2'147'483'647};
inline constexpr ClosedRange sizeRange{64, 16'384};
inline constexpr ClosedRange scaleRange{1, 4};
inline constexpr std::uint64_t matchIntervalMillis = 3'000;
inline constexpr std::uint64_t hideIntervalMillis = 1'000;
inline constexpr std::uint64_t probeIntervalMillis = 500;
inline constexpr int hideIdleSeconds = 600;
inline constexpr std::uint64_t gateMillis = 5'000;
inline constexpr double escapeHoldSeconds = 3.0;
inline constexpr double secureInputSeconds = 5.0;
inline constexpr double leaseSeconds = 8.0;
inline constexpr int captureErrorSeconds = 4;
}  // namespace FxLimits

namespace fx_request {
struct Probe {
    int id = 0;
    int width = 0, height = 0;  // the device window in CSS pixels
    int scale = 1;              // its device pixel ratio, rounded
    bool operator==(const Probe&) const = default;
};
struct Match {
    int id = 0;
    int width = 0, height = 0;
    int scale = 1;
    bool operator==(const Match&) const = default;
};
struct Restore {
    int id = 0;
    bool operator==(const Restore&) const = default;
};
struct Hide {
    int id = 0;
    bool on = false;
    bool operator==(const Hide&) const = default;
};
struct Hello {
    bool operator==(const Hello&) const = default;
};
}  // namespace fx_request
using FxRequest = std::variant<fx_request::Probe, fx_request::Match, fx_request::Restore, fx_request::Hide,
                               fx_request::Hello>;

enum class FxWhat { probe, match, restore, hide };
std::string_view toString(FxWhat w);
std::optional<FxWhat> fxWhatFromString(std::string_view word);

enum class FxError { notAllowed, unavailable, locked, tooSoon, busy, noBetterMode, noFit, failed, noKeyWatch, noOtherMode };
std::string_view toString(FxError e);
std::optional<FxError> fxErrorFromString(std::string_view word);

enum class FxWhy { displayChanged, changedOnMac, locked, asleep, turnedOff, escape, idle, secureInput, failed };
std::string_view toString(FxWhy w);
std::optional<FxWhy> fxWhyFromString(std::string_view word);

// A probe's answer: the best mode would fit, or why the display stays as it is.
enum class FxVerdict { fit, noBetterMode, noFit, noOtherMode };
std::string_view toString(FxVerdict v);

// An effect that ended by itself, told once in the next state message.
struct FxEnded {
    FxWhat what = FxWhat::match;
    FxWhy why = FxWhy::failed;
    bool operator==(const FxEnded&) const = default;
};

// The answer to one request; no error means success.
struct FxResult {
    int id = 0;
    FxWhat what = FxWhat::probe;
    std::optional<FxError> error;
    bool restored = false;
    std::optional<FxVerdict> verdict;  // probes only
    int before = 0;                      // empty share of the window, thousandths
    int after = 0;
    bool smaller = false;

    static FxResult ok(int id, FxWhat what) { return FxResult{id, what, std::nullopt, false, std::nullopt, 0, 0, false}; }
    static FxResult refused(int id, FxWhat what, FxError error, bool restored) {
        return FxResult{id, what, error, restored, std::nullopt, 0, 0, false};
    }
    bool operator==(const FxResult&) const = default;
};

// What the server knows of the captured display when it hands over a request.
struct FxFacts {
    std::optional<std::uint32_t> display;
    // Absent when they could not be read; empty when they were not asked for.
    std::optional<std::vector<DisplayModeInfo>> modes;
    std::optional<DisplayModeInfo> current;
    int others = 0;
    bool secureInput = false;
    bool operator==(const FxFacts&) const = default;
};

namespace FxMessage {

struct MatchSize {
    int width = 0, height = 0;
    bool smaller = false;
    bool operator==(const MatchSize&) const = default;
};

// The content of one "fx-state".
struct State {
    std::optional<std::uint32_t> display;
    bool matchAvailable = false;
    bool matchAllowed = false;
    std::optional<MatchSize> matchSize;
    bool hideAvailable = false;
    bool hideAllowed = false;
    bool hideActive = false;
    int idle = FxLimits::hideIdleSeconds;
    int others = 0;
    bool locks = false;
    bool operator==(const State&) const = default;
};

// Reads one device request of type `type`; nothing when the type is unknown
// or any field it needs is missing or out of range.
std::optional<FxRequest> parse(const std::string& type, const nlohmann::json& object);
nlohmann::json result(const FxResult& result);
nlohmann::json state(const State& state, const std::optional<FxEnded>& ended, std::optional<int> soon);

}  // namespace FxMessage

}  // namespace morvane
