#include "capture/display_choice.h"

#include <algorithm>
#include <cmath>
#include <memory>

#include <unicode/brkiter.h>
#include <unicode/uchar.h>
#include <unicode/unistr.h>

namespace morvane {

std::vector<DisplayInfo> DisplayChoice::ordered(std::vector<DisplayInfo> displays) {
    std::stable_sort(displays.begin(), displays.end(), [](const DisplayInfo& a, const DisplayInfo& b) {
        if (a.isMain != b.isMain) return a.isMain;
        if (a.bounds.x != b.bounds.x) return a.bounds.x < b.bounds.x;
        if (a.bounds.y != b.bounds.y) return a.bounds.y < b.bounds.y;
        return a.id < b.id;
    });
    return displays;
}

std::optional<DisplayChoice::Resolved> DisplayChoice::resolve(std::optional<std::uint32_t> wanted,
                                                             const std::vector<DisplayInfo>& displays) {
    if (wanted)
        for (const auto& d : displays)
            if (d.id == *wanted) return Resolved{d, false};
    if (displays.empty()) return std::nullopt;
    for (const auto& d : displays)
        if (d.isMain) return Resolved{d, wanted.has_value()};
    return Resolved{displays.front(), wanted.has_value()};
}

std::string DisplayNaming::name(const std::optional<std::string>& system, bool builtin, int ordinal) {
    icu::UnicodeString text = icu::UnicodeString::fromUTF8(system.value_or(""));
    icu::UnicodeString kept;
    for (int32_t i = 0; i < text.length();) {
        UChar32 c = text.char32At(i);
        i += U16_LENGTH(c);
        const bool newline = c == 0x2028 || c == 0x2029 || c == 0x85;
        if (u_charType(c) == U_CONTROL_CHAR || newline) continue;
        kept.append(c);
    }
    int32_t start = 0, end = kept.length();
    while (start < end && u_isUWhiteSpace(kept.char32At(start))) start += U16_LENGTH(kept.char32At(start));
    while (end > start && u_isUWhiteSpace(kept.char32At(end - 1))) {
        int32_t at = kept.getChar32Start(end - 1);
        end = at;
    }
    kept = icu::UnicodeString(kept, start, end - start);
    if (!kept.isEmpty()) {
        UErrorCode status = U_ZERO_ERROR;
        std::unique_ptr<icu::BreakIterator> it(icu::BreakIterator::createCharacterInstance(icu::Locale::getRoot(), status));
        if (U_SUCCESS(status)) {
            it->setText(kept);
            std::size_t count = 0;
            int32_t cut = it->first();
            for (int32_t next = it->next(); next != icu::BreakIterator::DONE; next = it->next()) {
                if (++count > DisplayLimits::maxNameCharacters) break;
                cut = next;
            }
            kept = icu::UnicodeString(kept, 0, cut);
        }
        std::string out;
        kept.toUTF8String(out);
        return out;
    }
    if (builtin) return "Built-in Display";
    return "Display " + std::to_string(std::max(ordinal, 1));
}

Point DisplayMapping::globalPoint(double x, double y, const Rect& bounds) {
    auto unit = [](double v) {
        if (!std::isfinite(v) || v <= 0) return 0.0;
        return v > 1 ? 1.0 : v;
    };
    const double gx = bounds.x + unit(x) * bounds.width;
    const double gy = bounds.y + unit(y) * bounds.height;
    auto limit = [](double v, double lo, double hi) { return std::max(lo, std::min(v, hi)); };
    return {limit(gx, bounds.x, bounds.x + bounds.width - 1), limit(gy, bounds.y, bounds.y + bounds.height - 1)};
}

bool DisplaySwitchGate::drops(const InputEvent& event) {
    if (std::holds_alternative<input::Move>(event)) return true;
    if (auto* button = std::get_if<input::Button>(&event)) return button->down;
    return false;
}

std::optional<DisplayRequest> DisplayRequest::parse(const nlohmann::json& message) {
    if (!message.is_object()) return std::nullopt;
    auto it = message.find("id");
    if (it == message.end() || !it->is_number()) return std::nullopt;
    if (it->is_number_unsigned()) {
        auto v = it->get<std::uint64_t>();
        if (v > 0xFFFFFFFFull) return std::nullopt;
        return DisplayRequest{static_cast<std::uint32_t>(v)};
    }
    if (it->is_number_integer()) {
        auto v = it->get<std::int64_t>();
        if (v < 0 || v > 0xFFFFFFFFll) return std::nullopt;
        return DisplayRequest{static_cast<std::uint32_t>(v)};
    }
    const double v = it->get<double>();
    if (!std::isfinite(v) || v != std::floor(v) || v < 0 || v > 4294967295.0) return std::nullopt;
    return DisplayRequest{static_cast<std::uint32_t>(v)};
}

namespace {
std::int64_t roundHalfAway(double v) {
    if (!std::isfinite(v)) return 0;
    return static_cast<std::int64_t>(std::round(std::clamp(v, -1e15, 1e15)));
}
}  // namespace

nlohmann::json DisplayMessage::list(const DisplayListing& listing) {
    nlohmann::json displays = nlohmann::json::array();
    for (std::size_t i = 0; i < listing.displays.size() && i < DisplayLimits::maxDisplays; ++i) {
        const auto& d = listing.displays[i];
        displays.push_back({{"id", d.id},
                            {"name", d.name},
                            {"w", d.pixelWidth},
                            {"h", d.pixelHeight},
                            {"x", roundHalfAway(d.bounds.x)},
                            {"y", roundHalfAway(d.bounds.y)},
                            {"pw", roundHalfAway(d.bounds.width)},
                            {"ph", roundHalfAway(d.bounds.height)},
                            {"builtin", d.isBuiltin},
                            {"main", d.isMain}});
    }
    nlohmann::json out = {{"t", "disp-list"}, {"displays", std::move(displays)}};
    out["current"] = listing.current ? nlohmann::json(*listing.current) : nlohmann::json(nullptr);
    if (listing.selectionLost) out["lost"] = true;
    return out;
}

nlohmann::json DisplayMessage::result(std::uint32_t id, const std::optional<std::string>& error) {
    nlohmann::json out = {{"t", "disp-result"}, {"id", id}, {"ok", !error.has_value()}};
    if (error) out["error"] = *error;
    return out;
}

PixelSize DisplayFacts::nativePixels() const {
    if (pixelWidth >= 1 && pixelHeight >= 1) return {pixelWidth, pixelHeight};
    auto points = [](double side) {
        return std::isfinite(side) ? static_cast<int>(std::clamp(side, 2.0, 1e9)) : 2;
    };
    return {points(bounds.width), points(bounds.height)};
}

std::vector<DisplayInfo> DisplayCatalog::describe(const std::vector<DisplayFacts>& facts,
                                                  std::optional<std::uint32_t> mainDisplay) {
    std::vector<DisplayInfo> out;
    int ordinal = 0;
    for (const auto& f : facts) {
        if (!f.systemName && !f.builtin) ++ordinal;
        DisplayInfo d;
        d.id = f.id;
        d.name = DisplayNaming::name(f.systemName, f.builtin, ordinal);
        const PixelSize native = f.nativePixels();
        d.pixelWidth = native.width;
        d.pixelHeight = native.height;
        d.bounds = f.bounds;
        d.isBuiltin = f.builtin;
        d.isMain = mainDisplay && *mainDisplay == f.id;
        out.push_back(std::move(d));
    }
    return DisplayChoice::ordered(std::move(out));
}

}  // namespace morvane
