#include <gtest/gtest.h>

#include "tailnet/tailnet_decision.h"

namespace morvane {
namespace {

using namespace tailnet_decision;

TailscaleStatus running() {
    TailscaleStatus s;
    s.backendState = "Running";
    s.dnsName = "studio.tail1234.ts.net";
    s.ownerLogin = "owner@example.com";
    s.certDomains = {"studio.tail1234.ts.net"};
    return s;
}

template <class F>
TailscaleStatus with(F change) {
    auto s = running();
    change(s);
    return s;
}

TailscaleServeState serve(bool published, bool port443 = false, bool route = false, bool entries = false,
                          bool funnel = false) {
    return TailscaleServeState{published, port443, route, entries, funnel};
}

TEST(TailnetDecision, EveryRuleGivesItsVerdictAndSentence) {
    struct Case {
        const char* name;
        std::optional<TailscaleStatus> status;
        std::optional<TailscaleServeState> serve;
        TailnetDecision expected;
    };
    const Case cases[] = {
        {"no status", std::nullopt, serve(true), Unreadable{"Tailscale status could not be read"}},
        {"not signed in", with([](auto& s) { s.backendState = "NeedsLogin"; }), serve(true),
         Unavailable{"Tailscale is not signed in"}},
        {"awaiting approval", with([](auto& s) { s.backendState = "NeedsMachineAuth"; }), serve(true),
         Unavailable{"This computer is waiting for approval in the Tailscale admin console"}},
        {"stopped", with([](auto& s) { s.backendState = "Stopped"; }), serve(true),
         Unavailable{"Tailscale is switched off"}},
        {"starting", with([](auto& s) { s.backendState = "Starting"; }), serve(true),
         Unavailable{"Tailscale is not running (Starting)"}},
        {"lower-case running is another word", with([](auto& s) { s.backendState = "running"; }), serve(true),
         Unavailable{"Tailscale is not running (running)"}},
        {"long state is cut", with([](auto& s) { s.backendState = std::string(40, 'x'); }), std::nullopt,
         Unavailable{"Tailscale is not running (" + std::string(24, 'x') + ")"}},
        {"line break in the state", with([](auto& s) { s.backendState = "Odd\nState"; }), std::nullopt,
         Unavailable{"Tailscale is not running (Odd State)"}},
        {"no name", with([](auto& s) { s.dnsName.reset(); }), serve(true),
         Unavailable{"This computer has no tailnet name yet"}},
        {"serve unreadable", running(), std::nullopt, Unreadable{"Tailscale serve status could not be read"}},
        {"funnel outranks a route", running(), serve(false, false, true, false, true), Funnel{}},
        {"route outranks the port", running(), serve(false, true, true, true), Conflict{ConflictKind::otherRoute}},
        {"port outranks other entries", running(), serve(false, true, false, true), Conflict{ConflictKind::port443}},
        {"other entries", running(), serve(true, false, false, true), Conflict{ConflictKind::otherEntries}},
        {"off, nothing blocks", running(), serve(false), Off{}},
        {"off without certificates", with([](auto& s) { s.certDomains = {"other.tail1234.ts.net"}; }), serve(false),
         Off{"HTTPS certificates are not enabled for this tailnet"}},
        {"off and tagged, even with certificates", with([](auto& s) {
             s.tagged = true;
             s.ownerLogin.reset();
         }),
         serve(false), Off{"This computer is a tagged Tailscale device, which has no owner to check"}},
        {"off, login unknown", with([](auto& s) { s.ownerLogin.reset(); }), serve(false),
         Off{"The Tailscale login of this computer's owner is not known"}},
        {"published and tagged", with([](auto& s) {
             s.tagged = true;
             s.ownerLogin.reset();
         }),
         serve(true), Unavailable{"This computer is a tagged Tailscale device, which has no owner to check"}},
        {"published, login unknown", with([](auto& s) { s.ownerLogin.reset(); }), serve(true),
         Unavailable{"The Tailscale login of this computer's owner is not known"}},
        {"published without certificates is still judged", with([](auto& s) { s.certDomains.clear(); }), serve(true),
         On{TailnetAccess{"studio.tail1234.ts.net", "owner@example.com"}}},
        {"name the server refuses", with([](auto& s) { s.dnsName = "localhost"; }), serve(true),
         Unavailable{"The tailnet name or login reported by Tailscale is not usable"}},
        {"login the server refuses", with([](auto& s) { s.ownerLogin = "two words"; }), serve(true),
         Unavailable{"The tailnet name or login reported by Tailscale is not usable"}},
        {"on", running(), serve(true), On{TailnetAccess{"studio.tail1234.ts.net", "owner@example.com"}}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(decide(c.status, c.serve), c.expected);
    }
}

}  // namespace
}  // namespace morvane
