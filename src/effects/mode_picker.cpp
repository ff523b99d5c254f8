#include "effects/mode_picker.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <map>
#include <tuple>

namespace morvane {

std::string_view toString(ModeChoice::Reason r) {
    switch (r) {
        case ModeChoice::Reason::noBetterMode: return "no-better-mode";
        case ModeChoice::Reason::noOtherMode: return "no-other-mode";
        case ModeChoice::Reason::noFit: break;
    }
    return "no-fit";
}

std::optional<ModeChoice::Reason> modeChoiceReasonFromString(std::string_view word) {
    if (word == "no-better-mode") return ModeChoice::Reason::noBetterMode;
    if (word == "no-fit") return ModeChoice::Reason::noFit;
    if (word == "no-other-mode") return ModeChoice::Reason::noOtherMode;
    return std::nullopt;
}

namespace ModePicker {

namespace {

// Point and pixel sizes: modes that agree on all four are one candidate.
using Size = std::tuple<int, int, int, int>;
Size sizeOf(const DisplayModeInfo& m) { return {m.width, m.height, m.pixelWidth, m.pixelHeight}; }

bool filtered(const DisplayModeInfo& m, const DisplayModeInfo& baseline) {
    if (m.id == baseline.id || !m.usable || m.stretched) return true;
    if (m.width < minWidth || m.height < minHeight) return true;
    if (m.pixelWidth <= 0 || m.pixelHeight <= 0) return true;
    if (m.refresh != 0 && baseline.refresh != 0 && m.refresh < std::min(baseline.refresh, 60.0) - 0.5) return true;
    return false;
}

// Of two modes of one size: the one not above the baseline's rate when only
// one is, else the faster, else the lower id.
const DisplayModeInfo& preferred(const DisplayModeInfo& held, const DisplayModeInfo& next, double ceiling) {
    const bool heldUnder = held.refresh <= ceiling;
    const bool nextUnder = next.refresh <= ceiling;
    if (heldUnder != nextUnder) return heldUnder ? held : next;
    if (held.refresh != next.refresh) return held.refresh > next.refresh ? held : next;
    return held.id <= next.id ? held : next;
}

double closeness(const DisplayModeInfo& m, double baselineArea) {
    if (baselineArea <= 0 || m.area() <= 0) return std::numeric_limits<double>::max();
    return std::fabs(std::log(m.area() / baselineArea));
}

}  // namespace

double leftover(double a, double b) {
    if (!(a > 0) || !(b > 0) || !std::isfinite(a) || !std::isfinite(b)) return 1.0;
    return 1.0 - std::min(a / b, b / a);
}

bool isSmaller(const DisplayModeInfo& mode, const DisplayModeInfo& baseline) {
    if (!(baseline.area() > 0)) return false;
    return mode.area() < smallerShare * baseline.area();
}

Pick pick(const std::vector<DisplayModeInfo>& modes, const DisplayModeInfo& baseline, int clientWidth,
          int clientHeight, int clientScale) {
    if (clientWidth < 1 || clientHeight < 1 || baseline.width < 1 || baseline.height < 1)
        return {ModeChoice::keep(ModeChoice::Reason::noFit), 1.0, 1.0};

    const double target = static_cast<double>(clientWidth) / static_cast<double>(clientHeight);
    const bool otherSize = std::any_of(modes.begin(), modes.end(), [&](const DisplayModeInfo& m) {
        return m.width != baseline.width || m.height != baseline.height;
    });
    auto empty = [target](const DisplayModeInfo& m) {
        if (m.height < 1) return 1.0;
        return leftover(static_cast<double>(m.width) / static_cast<double>(m.height), target);
    };

    std::map<Size, DisplayModeInfo> candidates;
    const double ceiling = baseline.refresh + 0.5;
    for (const auto& m : modes) {
        if (filtered(m, baseline)) continue;
        auto [it, inserted] = candidates.try_emplace(sizeOf(m), m);
        if (!inserted) it->second = preferred(it->second, m, ceiling);
    }
    candidates[sizeOf(baseline)] = baseline;

    const bool baselineHiDPI = baseline.isHiDPI();
    auto score = [&](const DisplayModeInfo& m) { return empty(m) + (baselineHiDPI && !m.isHiDPI() ? softPenalty : 0.0); };
    double best = std::numeric_limits<double>::infinity();
    for (const auto& [size, m] : candidates) best = std::min(best, score(m));

    const bool preferHiDPI = baselineHiDPI || clientScale > 1;
    const double baselineArea = baseline.area();
    auto before = [&](const DisplayModeInfo& a, const DisplayModeInfo& b) {
        const bool aBase = a.id == baseline.id, bBase = b.id == baseline.id;
        if (aBase != bBase) return aBase;
        const bool aWidth = a.width == baseline.width, bWidth = b.width == baseline.width;
        if (aWidth != bWidth) return aWidth;
        if (a.isHiDPI() != b.isHiDPI()) return a.isHiDPI() == preferHiDPI;
        const double ca = closeness(a, baselineArea), cb = closeness(b, baselineArea);
        if (ca != cb) return ca < cb;
        if (a.refresh != b.refresh) return a.refresh > b.refresh;
        return a.id < b.id;
    };

    const DisplayModeInfo* chosen = nullptr;
    for (const auto& [size, m] : candidates) {
        if (score(m) > best + softPenalty) continue;  // near enough to the best to compete on the tie rules
        if (!chosen || before(m, *chosen)) chosen = &m;
    }

    const double was = empty(baseline), would = empty(*chosen);
    auto choice = [&] {
        if (!otherSize) return ModeChoice::keep(ModeChoice::Reason::noOtherMode);
        if (would > maxLeftover) return ModeChoice::keep(ModeChoice::Reason::noFit);
        if (chosen->id == baseline.id || was - would < worthIt) return ModeChoice::keep(ModeChoice::Reason::noBetterMode);
        return ModeChoice::use(*chosen);
    };
    return Pick{choice(), was, would};
}

}  // namespace ModePicker

}  // namespace morvane
