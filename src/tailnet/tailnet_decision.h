// One verdict on the tailnet road from what the Tailscale tool reported:
// on (with the name and owner login the server enforces), off (perhaps
// with what blocks it), in conflict with other serve entries, exposed
// through Funnel, unavailable, or unreadable for now. Deny by default: only
// `On` carries access. Pure; runs on the tailnet control's queue.
#pragma once

#include <optional>
#include <string>
#include <variant>

#include "protocol/host_policy.h"
#include "tailnet/tailscale_parse.h"

namespace morvane {

namespace tailnet_decision {
// The state could not be read, or is still being read; temporary.
struct Unreadable {
    std::string text;
    bool operator==(const Unreadable&) const = default;
};
// The road cannot be used as things stand.
struct Unavailable {
    std::string text;
    bool operator==(const Unavailable&) const = default;
};
// Not published; could be switched on unless `blocker` names what stops it.
struct Off {
    std::optional<std::string> blocker;
    bool operator==(const Off&) const = default;
};
struct On {
    TailnetAccess access;
    bool operator==(const On&) const = default;
};
enum class ConflictKind { port443, otherRoute, otherEntries };
struct Conflict {
    ConflictKind kind = ConflictKind::port443;
    bool operator==(const Conflict&) const = default;
};
struct Funnel {
    bool operator==(const Funnel&) const = default;
};
}  // namespace tailnet_decision

using TailnetDecision = std::variant<tailnet_decision::Unreadable, tailnet_decision::Unavailable, tailnet_decision::Off,
                                     tailnet_decision::On, tailnet_decision::Conflict, tailnet_decision::Funnel>;

// The owner-facing sentences of the verdicts.
namespace TailnetTexts {
inline constexpr const char* statusUnreadable = "Tailscale status could not be read";
inline constexpr const char* serveUnreadable = "Tailscale serve status could not be read";
inline constexpr const char* notSignedIn = "Tailscale is not signed in";
inline constexpr const char* awaitingApproval = "This computer is waiting for approval in the Tailscale admin console";
inline constexpr const char* switchedOff = "Tailscale is switched off";
inline constexpr const char* noName = "This computer has no tailnet name yet";
inline constexpr const char* tagged = "This computer is a tagged Tailscale device, which has no owner to check";
inline constexpr const char* loginUnknown = "The Tailscale login of this computer's owner is not known";
inline constexpr const char* noCertificates = "HTTPS certificates are not enabled for this tailnet";
inline constexpr const char* notUsable = "The tailnet name or login reported by Tailscale is not usable";
inline constexpr const char* notTrusted = "The Tailscale app on this computer did not pass the trust check";
inline constexpr const char* notInstalled = "Tailscale is not installed";
inline constexpr const char* checking = "Checking Tailscale\u2026";
}  // namespace TailnetTexts

namespace tailnet_decision {
TailnetDecision decide(const std::optional<TailscaleStatus>& status, const std::optional<TailscaleServeState>& serve);
}  // namespace tailnet_decision

}  // namespace morvane
