// The Tailscale command-line tool as the tailnet control sees it: look for
// it and say whether it can be trusted, and run it with a fixed argument
// list under a time limit and an output limit. The host changes the
// owner's network exposure through this tool, so it runs nothing it has not
// checked. The Linux implementation is in platform/linux/tailscale_cli.h;
// tests give the control a fake. `find` and `run` block, so callers use
// them off the main queue (the control's own queue), except the command
// line self-check.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

namespace morvane {

namespace cli_lookup {
// A tool was found but no candidate passed; names the first failing one
// and why.
struct Untrusted {
    std::string reason;
    bool operator==(const Untrusted&) const = default;
};
// The path of a tool that passed, with the facts that were checked.
struct Found {
    std::string path;
    std::string facts;
    bool operator==(const Found&) const = default;
};
struct NotInstalled {
    bool operator==(const NotInstalled&) const = default;
};
}  // namespace cli_lookup

// What the tailnet control needs of the tool: how a lookup ended, what a run
// gave back and the limits on both. The keychain storage adds `describe`
// (the readable text of a status) beside them.
namespace TrustedCLI {

using Lookup = std::variant<cli_lookup::Untrusted, cli_lookup::Found, cli_lookup::NotInstalled>;

struct RunResult {
    int status = -1;     // the exit code; -1 after a signal, a time-out, or when never run
    std::string output;  // standard output (and error when merged), UTF-8 repaired
    bool timedOut = false;
    // Present when the tool was not run, and why; then status is -1,
    // output empty and timedOut false.
    std::optional<std::string> refused;
    bool operator==(const RunResult&) const = default;
};

inline constexpr std::size_t maxOutputBytes = 16'777'216;
inline constexpr std::size_t readBlockBytes = 65'536;

class Tool {
public:
    using Lookup = TrustedCLI::Lookup;
    using RunResult = TrustedCLI::RunResult;
    virtual ~Tool() = default;
    virtual Lookup find() = 0;
    // Checks the file at `path` again and runs exactly what was checked.
    virtual RunResult run(const std::string& path, const std::vector<std::string>& arguments, double timeoutSeconds,
                          bool mergeErrors) = 0;
};

// The child's whole environment; nothing is inherited from the host's.
std::vector<std::string> environment();
// Bytes as text, every ill-formed UTF-8 sequence replaced by U+FFFD.
std::string decodeOutput(std::string_view bytes);

}  // namespace TrustedCLI

}  // namespace morvane
