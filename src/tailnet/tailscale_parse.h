// What the host reads from the Tailscale tool: the four argument lists it
// passes, and the fields it takes from the tool's "status --json" and
// "serve status --json" output. Pure: no I/O, any thread. Everything in the
// two documents that is not named here is ignored; the tool is outside the
// program, so its output is parsed as untrusted text.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace morvane {

namespace TailscaleCommand {
std::vector<std::string> status();
std::vector<std::string> serveStatus();
// Publishes the local server on port 443 of the tailnet name, in the
// background.
std::vector<std::string> serveOn(std::uint16_t port);
// Removes exactly that publication.
std::vector<std::string> serveOff(std::uint16_t port);
}  // namespace TailscaleCommand

struct TailscaleStatus {
    std::string backendState;
    std::optional<std::string> dnsName;     // lower-case, no final dot
    std::optional<std::string> ownerLogin;  // absent when tagged or unknown
    bool tagged = false;
    std::vector<std::string> certDomains;   // lower-case, in the tool's order

    bool running() const { return backendState == "Running"; }
    bool operator==(const TailscaleStatus&) const = default;
};

// What the serve configuration says about port 443 of this machine's
// tailnet name; every flag only ever turns on while reading.
struct TailscaleServeState {
    bool publishesMorvane = false;
    bool port443HasOtherUse = false;
    bool otherRouteToMorvane = false;
    bool otherEntries = false;
    bool funnelOn = false;
    bool operator==(const TailscaleServeState&) const = default;
};

namespace TailscaleParse {
std::optional<TailscaleStatus> status(std::string_view json);
// `dnsName` as status() gave it; `port` the local server's.
std::optional<TailscaleServeState> serve(std::string_view json, std::string_view dnsName, std::uint16_t port);
// The port of a proxy or forward target written as a URL or host:port.
std::optional<std::uint16_t> targetPort(std::string_view target);
// Only "http://127.0.0.1:" and the port (one final "/" allowed) counts.
bool isMorvaneTarget(std::string_view target, std::uint16_t port);
}  // namespace TailscaleParse

}  // namespace morvane
