#include "effects/fx_message.h"

#include <cmath>

namespace morvane {

namespace {

using nlohmann::json;

template <typename E, std::size_t N>
std::optional<E> fromWord(std::string_view word, const E (&all)[N]) {
    for (E e : all)
        if (toString(e) == word) return e;
    return std::nullopt;
}

// A whole number inside the range. JSON booleans, strings and fractions are
// refused; 3.0 reads as 3.
std::optional<int> integer(const json& object, const char* key, ClosedRange range) {
    const auto it = object.find(key);
    if (it == object.end()) return std::nullopt;
    const json& v = *it;
    if (v.is_number_unsigned()) {
        const auto n = v.get<std::uint64_t>();
        if (n > static_cast<std::uint64_t>(range.upper) || !range.contains(static_cast<std::int64_t>(n)))
            return std::nullopt;
        return static_cast<int>(n);
    }
    if (v.is_number_integer()) {
        const auto n = v.get<std::int64_t>();
        if (!range.contains(n)) return std::nullopt;
        return static_cast<int>(n);
    }
    if (v.is_number_float()) {
        const double d = v.get<double>();
        if (!std::isfinite(d) || d != std::round(d)) return std::nullopt;
        if (d < static_cast<double>(range.lower) || d > static_cast<double>(range.upper)) return std::nullopt;
        return static_cast<int>(d);
    }
    return std::nullopt;
}

// Only a JSON boolean; 0 and 1 are not booleans here.
std::optional<bool> boolean(const json& object, const char* key) {
    const auto it = object.find(key);
    if (it == object.end() || !it->is_boolean()) return std::nullopt;
    return it->get<bool>();
}

struct Window {
    int id, width, height, scale;
};

std::optional<Window> window(const json& object) {
    const auto id = integer(object, "id", FxLimits::idRange);
    if (!id) return std::nullopt;
    const auto w = integer(object, "w", FxLimits::sizeRange);
    if (!w) return std::nullopt;
    const auto h = integer(object, "h", FxLimits::sizeRange);
    if (!h) return std::nullopt;
    const auto scale = integer(object, "scale", FxLimits::scaleRange);
    if (!scale) return std::nullopt;
    return Window{*id, *w, *h, *scale};
}

}  // namespace

std::string_view toString(FxWhat w) {
    switch (w) {
        case FxWhat::probe: return "probe";
        case FxWhat::match: return "match";
        case FxWhat::restore: return "restore";
        case FxWhat::hide: return "hide";
    }
    return "match";
}

std::optional<FxWhat> fxWhatFromString(std::string_view word) {
    static constexpr FxWhat all[] = {FxWhat::probe, FxWhat::match, FxWhat::restore, FxWhat::hide};
    return fromWord(word, all);
}

std::string_view toString(FxError e) {
    switch (e) {
        case FxError::notAllowed: return "not-allowed";
        case FxError::unavailable: return "unavailable";
        case FxError::locked: return "locked";
        case FxError::tooSoon: return "too-soon";
        case FxError::busy: return "busy";
        case FxError::noBetterMode: return "no-better-mode";
        case FxError::noFit: return "no-fit";
        case FxError::failed: return "failed";
        case FxError::noKeyWatch: return "no-key-watch";
        case FxError::noOtherMode: return "no-other-mode";
    }
    return "failed";
}

std::optional<FxError> fxErrorFromString(std::string_view word) {
    static constexpr FxError all[] = {FxError::notAllowed, FxError::unavailable,  FxError::locked,
                                      FxError::tooSoon,    FxError::busy,         FxError::noBetterMode,
                                      FxError::noFit,      FxError::failed,       FxError::noKeyWatch,
                                      FxError::noOtherMode};
    return fromWord(word, all);
}

std::string_view toString(FxWhy w) {
    switch (w) {
        case FxWhy::displayChanged: return "display-changed";
        case FxWhy::changedOnMac: return "changed-on-mac";
        case FxWhy::locked: return "locked";
        case FxWhy::asleep: return "asleep";
        case FxWhy::turnedOff: return "turned-off";
        case FxWhy::escape: return "escape";
        case FxWhy::idle: return "idle";
        case FxWhy::secureInput: return "secure-input";
        case FxWhy::failed: return "failed";
    }
    return "failed";
}

std::string_view toString(FxVerdict v) {
    switch (v) {
        case FxVerdict::fit: return "fit";
        case FxVerdict::noBetterMode: return "no-better-mode";
        case FxVerdict::noFit: return "no-fit";
        case FxVerdict::noOtherMode: return "no-other-mode";
    }
    return "no-fit";
}

std::optional<FxWhy> fxWhyFromString(std::string_view word) {
    static constexpr FxWhy all[] = {FxWhy::displayChanged, FxWhy::changedOnMac, FxWhy::locked,
                                    FxWhy::asleep,         FxWhy::turnedOff,    FxWhy::escape,
                                    FxWhy::idle,           FxWhy::secureInput,  FxWhy::failed};
    return fromWord(word, all);
}

namespace FxMessage {

std::optional<FxRequest> parse(const std::string& type, const json& object) {
    if (!object.is_object()) return std::nullopt;
    if (type == "fx-hello") {
        if (!integer(object, "v", ClosedRange{1, 1'000'000})) return std::nullopt;
        return fx_request::Hello{};
    }
    if (type == "fx-probe") {
        const auto w = window(object);
        if (!w) return std::nullopt;
        return fx_request::Probe{w->id, w->width, w->height, w->scale};
    }
    if (type == "fx-match") {
        const auto w = window(object);
        if (!w) return std::nullopt;
        return fx_request::Match{w->id, w->width, w->height, w->scale};
    }
    if (type == "fx-restore") {
        const auto id = integer(object, "id", FxLimits::idRange);
        if (!id) return std::nullopt;
        return fx_request::Restore{*id};
    }
    if (type == "fx-hide") {
        const auto id = integer(object, "id", FxLimits::idRange);
        if (!id) return std::nullopt;
        const auto on = boolean(object, "on");
        if (!on) return std::nullopt;
        return fx_request::Hide{*id, *on};
    }
    return std::nullopt;
}

json result(const FxResult& r) {
    json message = {{"t", "fx-result"}, {"id", r.id}, {"what", toString(r.what)}, {"ok", !r.error.has_value()}};
    if (r.error) message["error"] = toString(*r.error);
    if (r.restored) message["restored"] = true;
    if (r.verdict) {
        message["verdict"] = toString(*r.verdict);
        message["before"] = r.before;
        message["after"] = r.after;
        message["smaller"] = r.smaller;
    }
    return message;
}

json state(const State& s, const std::optional<FxEnded>& ended, std::optional<int> soon) {
    json match = {{"available", s.matchAvailable}, {"allowed", s.matchAllowed}, {"active", s.matchSize.has_value()}};
    if (s.matchSize) {
        match["w"] = s.matchSize->width;
        match["h"] = s.matchSize->height;
        match["smaller"] = s.matchSize->smaller;
    }
    json message = {{"t", "fx-state"},
                    {"v", 1},
                    {"display", s.display.value_or(0)},
                    {"match", std::move(match)},
                    {"hide",
                     {{"available", s.hideAvailable},
                      {"allowed", s.hideAllowed},
                      {"active", s.hideActive},
                      {"idle", s.idle},
                      {"others", s.others},
                      {"locks", s.locks}}}};
    if (ended) message["ended"] = {{"what", toString(ended->what)}, {"why", toString(ended->why)}};
    if (soon) message["soon"] = {{"what", "hide"}, {"in", *soon}};
    return message;
}

}  // namespace FxMessage

}  // namespace morvane
