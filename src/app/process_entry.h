// The program's top level: the two diagnostic modes, or the application.
#pragma once

#include <functional>
#include <ostream>
#include <span>
#include <string>
#include <vector>

#include "web/embedded_web.h"

namespace morvane::ProcessEntry {

enum class Mode { webHashes, selfCheck, application };

// Exactly one argument naming a mode selects it; anything else (no
// argument, two, or one not spelled exactly) starts the application.
Mode mode(const std::vector<std::string>& arguments);

// What the self-check asks of the rest of the program; tests replace it.
struct SelfCheckProbes {
    std::function<bool()> hardenedRuntime;
    std::function<std::string()> describeCode;
    std::function<bool()> childProcessPlumbing;
    // The Tailscale line or lines.
    std::function<std::vector<std::string>()> tailscaleLines;
    static SelfCheckProbes system();
};

// "--web-hashes": the hash lines on `out`, or the damage on `err`. Returns
// the exit status.
int webHashes(std::span<const EmbeddedFile> rows, std::ostream& out, std::ostream& err);
// "--self-check": the diagnostic lines on `out`. Returns the exit status.
int selfCheck(std::span<const EmbeddedFile> rows, const SelfCheckProbes& probes, std::ostream& out);

// Until the menu-bar shell exists, the application is the server alone on
// 127.0.0.1:8722, running until SIGINT or SIGTERM.
int runApplication(std::span<const EmbeddedFile> rows);

// Everything above, as main() does it. `application` starts the
// application; without one it is runApplication(rows).
int main(int argc, char** argv, std::span<const EmbeddedFile> rows, std::function<int()> application = nullptr);

}  // namespace morvane::ProcessEntry
