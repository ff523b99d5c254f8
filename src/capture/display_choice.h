// Which displays there are, how they are named and ordered, which one is
// captured, how a pointer position lands on it, and the messages about them.
#pragma once

#include "core/interval_limiter.h"

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "capture/capture_settings.h"
#include "core/display.h"
#include "core/types.h"

namespace morvane {

namespace DisplayLimits {
inline constexpr std::size_t maxDisplays = 16;
inline constexpr std::size_t maxNameCharacters = 48;
inline constexpr std::int64_t minSwitchIntervalMillis = 1000;
inline constexpr int switchSettleSeconds = 5;
}  // namespace DisplayLimits

namespace DisplayChoice {
struct Resolved {
    DisplayInfo display;
    bool lost = false;
};
std::vector<DisplayInfo> ordered(std::vector<DisplayInfo> displays);
std::optional<Resolved> resolve(std::optional<std::uint32_t> wanted, const std::vector<DisplayInfo>& displays);
}  // namespace DisplayChoice

namespace DisplayNaming {
std::string name(const std::optional<std::string>& system, bool builtin, int ordinal);
}

struct Point {
    double x = 0, y = 0;
    bool operator==(const Point&) const = default;
};

namespace DisplayMapping {
Point globalPoint(double x, double y, const Rect& bounds);
}

namespace DisplaySwitchGate {
bool drops(const InputEvent& event);
}

struct DisplaySwitchLimiter : IntervalLimiter {
    DisplaySwitchLimiter() : IntervalLimiter(DisplayLimits::minSwitchIntervalMillis) {}
};

struct DisplayRequest {
    std::uint32_t id = 0;  // select(id)
    // Reads a "disp-select" message; nothing when "id" is not a whole JSON
    // number within 0...4294967295.
    static std::optional<DisplayRequest> parse(const nlohmann::json& message);
    bool operator==(const DisplayRequest&) const = default;
};

namespace DisplayMessage {
namespace Refusal {
inline constexpr const char* tooSoon = "too-soon";
inline constexpr const char* unknown = "unknown-display";
}  // namespace Refusal
nlohmann::json list(const DisplayListing& listing);
nlohmann::json result(std::uint32_t id, const std::optional<std::string>& error);
}  // namespace DisplayMessage

// One display as the platform reports it, before naming and ordering.
struct DisplayFacts {
    std::uint32_t id = 0;
    std::optional<std::string> systemName;
    bool builtin = false;
    int pixelWidth = 0, pixelHeight = 0;
    Rect bounds;

    // The mode's pixels, or the size in points (each at least 2) when the
    // mode gives none.
    PixelSize nativePixels() const;
};

namespace DisplayCatalog {
// Names and orders displays given in the platform's order; unnamed external
// displays are numbered in that order.
std::vector<DisplayInfo> describe(const std::vector<DisplayFacts>& facts, std::optional<std::uint32_t> mainDisplay);
}  // namespace DisplayCatalog

}  // namespace morvane
