#include "core/types.h"

namespace morvane {

std::optional<FrameQuality> frameQualityFromString(std::string_view raw) {
    if (raw == "low") return FrameQuality::low;
    if (raw == "medium") return FrameQuality::medium;
    if (raw == "high") return FrameQuality::high;
    return std::nullopt;
}

std::string_view toString(FrameQuality q) {
    switch (q) {
        case FrameQuality::low: return "low";
        case FrameQuality::medium: return "medium";
        case FrameQuality::high: return "high";
    }
    return "medium";
}

std::string_view recordName(ConnectionRoute r) {
    switch (r) {
        case ConnectionRoute::loopback: return "local";
        case ConnectionRoute::tailnet: return "tailnet";
        case ConnectionRoute::relay: return "relay";
    }
    return "local";
}

std::optional<PauseCause> pauseCauseFromString(std::string_view raw) {
    if (raw == "menu") return PauseCause::menu;
    if (raw == "stop-sharing") return PauseCause::stopSharing;
    return std::nullopt;
}

std::string_view toString(PauseCause c) { return c == PauseCause::menu ? "menu" : "stop-sharing"; }

std::string_view byeReason(PauseCause c) { return c == PauseCause::menu ? "paused" : "stopped-on-mac"; }

CaptureStop::Action CaptureStop::action(std::string_view domain, int code) {
    return domain == streamErrorDomain && code == userStoppedCode ? Action::honourOwner : Action::retry;
}

}  // namespace morvane
