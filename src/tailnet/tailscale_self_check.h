// The Tailscale lines of the command-line self-check: whether the tool is
// there and trusted (with the facts that were checked), and whether it
// still passed when it was started to print its version.
#pragma once

#include <string>
#include <vector>

#include "tailnet/trusted_cli.h"

namespace morvane {

std::vector<std::string> tailscaleSelfCheckLines(TrustedCLI::Tool& cli);

}  // namespace morvane
