// The Tailscale tool on Linux. There is no code signature to check here, so
// a tool is trusted when it is a regular executable owned by root and not
// writable by group or others, reached through folders that are all the
// same from the trust root down (no symbolic links on the way), and, when
// it belongs to a Debian package, has exactly the content whose checksum
// the package manager recorded. The opened file is checked and that very
// descriptor is executed, so nothing can swap the file in between.
#pragma once

#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <string_view>
#include <string>
#include <vector>

#include "tailnet/trusted_cli.h"

namespace morvane {

struct TailscaleToolPlaces {
    // Looked at in order.
    std::vector<std::filesystem::path> candidates{"/usr/bin/tailscale", "/usr/local/bin/tailscale"};
    // Folders are checked from here down; a candidate must lie below it.
    std::filesystem::path trustRoot = "/";
    // Where dpkg keeps its "<package>.md5sums" lists.
    std::filesystem::path packageInfo = "/var/lib/dpkg/info";
};

std::unique_ptr<TrustedCLI::Tool> makeLinuxTrustedCLI(TailscaleToolPlaces places = {});

// Runs /bin/echo without any trust check and tells whether child processes
// work at all: exit status 0, exactly "plumbing-ok\n", in time.
bool selfCheckPlumbing();

// The checksum that a "<package>.md5sums" text records for `path` (absolute;
// the list names it without the first "/"), as 32 lower-case hex digits.
std::optional<std::string> recordedChecksum(std::string_view md5sums, std::string_view path);

}  // namespace morvane
