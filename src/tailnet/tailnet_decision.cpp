#include "tailnet/tailnet_decision.h"

#include <algorithm>

#include "core/session_log.h"

namespace morvane::tailnet_decision {

TailnetDecision decide(const std::optional<TailscaleStatus>& status, const std::optional<TailscaleServeState>& serve) {
    if (!status) return Unreadable{TailnetTexts::statusUnreadable};
    const std::string& backend = status->backendState;
    if (backend == "NeedsLogin") return Unavailable{TailnetTexts::notSignedIn};
    if (backend == "NeedsMachineAuth") return Unavailable{TailnetTexts::awaitingApproval};
    if (backend == "Stopped") return Unavailable{TailnetTexts::switchedOff};
    if (!status->running()) return Unavailable{"Tailscale is not running (" + SessionLog::clean(backend, 24) + ")"};
    if (!status->dnsName) return Unavailable{TailnetTexts::noName};
    if (!serve) return Unreadable{TailnetTexts::serveUnreadable};
    // Public exposure outranks everything; a route around the login check
    // outranks the two conflicts that merely take the port.
    if (serve->funnelOn) return Funnel{};
    if (serve->otherRouteToMorvane) return Conflict{ConflictKind::otherRoute};
    if (serve->port443HasOtherUse) return Conflict{ConflictKind::port443};
    if (serve->otherEntries) return Conflict{ConflictKind::otherEntries};
    if (!serve->publishesMorvane) {
        if (status->tagged) return Off{TailnetTexts::tagged};
        if (!status->ownerLogin) return Off{TailnetTexts::loginUnknown};
        const auto& domains = status->certDomains;
        if (std::find(domains.begin(), domains.end(), *status->dnsName) == domains.end())
            return Off{TailnetTexts::noCertificates};
        return Off{};
    }
    if (!status->ownerLogin) return Unavailable{status->tagged ? TailnetTexts::tagged : TailnetTexts::loginUnknown};
    auto access = TailnetAccess::make(*status->dnsName, std::string_view(*status->ownerLogin));
    if (!access) return Unavailable{TailnetTexts::notUsable};
    return On{std::move(*access)};
}

}  // namespace morvane::tailnet_decision
