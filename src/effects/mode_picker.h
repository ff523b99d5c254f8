// Chooses the display mode whose shape best fills a device's window, but only
// when that is clearly better than what the display shows without a match,
// and never a cramped, stretched, slow or pointlessly different mode.
#pragma once

#include <optional>
#include <string_view>
#include <variant>
#include <vector>

#include "core/types.h"

namespace morvane {

struct ModeChoice {
    // `noOtherMode`: the display lists no size but the one it shows, so
    // there is nothing to choose (not that what it shows fits).
    enum class Reason { noBetterMode, noFit, noOtherMode };
    struct Use {
        DisplayModeInfo mode;
        bool operator==(const Use&) const = default;
    };
    struct Keep {
        Reason reason = Reason::noFit;
        bool operator==(const Keep&) const = default;
    };
    std::variant<Use, Keep> value;

    static ModeChoice use(const DisplayModeInfo& mode) { return ModeChoice{Use{mode}}; }
    static ModeChoice keep(Reason reason) { return ModeChoice{Keep{reason}}; }
    const DisplayModeInfo* used() const {
        const auto* u = std::get_if<Use>(&value);
        return u ? &u->mode : nullptr;
    }
    std::optional<Reason> kept() const {
        const auto* k = std::get_if<Keep>(&value);
        return k ? std::optional<Reason>(k->reason) : std::nullopt;
    }
    bool operator==(const ModeChoice&) const = default;
};

std::string_view toString(ModeChoice::Reason r);
std::optional<ModeChoice::Reason> modeChoiceReasonFromString(std::string_view word);

namespace ModePicker {
inline constexpr int minWidth = 1024;
inline constexpr int minHeight = 640;
inline constexpr double worthIt = 0.02;
inline constexpr double maxLeftover = 0.25;
inline constexpr double softPenalty = 0.02;
inline constexpr double smallerShare = 0.9;

// The share of a window of aspect b that a picture of aspect a leaves empty.
double leftover(double a, double b);
bool isSmaller(const DisplayModeInfo& mode, const DisplayModeInfo& baseline);

struct Pick {
    ModeChoice choice;
    double before = 1.0;  // empty share of the window with the baseline
    double after = 1.0;   // empty share with the chosen mode
    bool operator==(const Pick&) const = default;
};
Pick pick(const std::vector<DisplayModeInfo>& modes, const DisplayModeInfo& baseline, int clientWidth,
          int clientHeight, int clientScale);
}  // namespace ModePicker

}  // namespace morvane
