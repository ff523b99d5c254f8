#include "tailnet/tailscale_self_check.h"

#include "core/overload.h"
#include "tailnet/tailscale_control.h"

namespace morvane {

std::vector<std::string> tailscaleSelfCheckLines(TrustedCLI::Tool& cli) {
    return std::visit(
        Overload{
            [](const cli_lookup::NotInstalled&) { return std::vector<std::string>{"Tailscale: not installed"}; },
            [](const cli_lookup::Untrusted& u) {
                return std::vector<std::string>{"Tailscale: found but NOT trusted - " + u.reason};
            },
            [&cli](const cli_lookup::Found& f) {
                std::vector<std::string> lines{"Tailscale: " + f.path + " passed the trust check (" + f.facts + ")"};
                const auto run = cli.run(f.path, {"version"}, 8.0, true);
                if (run.refused)
                    lines.push_back("Tailscale: the started process was REFUSED - " + *run.refused);
                else
                    lines.push_back("Tailscale: the started process passed the check; version " +
                                    TailscaleControl::firstLine(run.output));
                return lines;
            },
        },
        cli.find());
}

}  // namespace morvane
