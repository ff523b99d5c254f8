// Quit and reopen: a small shell line that waits for this process to end and
// then starts the program again. It inherits none of our descriptors, so a
// listening socket of this host can never keep the new one from listening.
#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <sys/types.h>

namespace morvane {

// The script, with the program as $0 and the waited-for process as $1.
inline constexpr const char* reopenScript =
    "while /bin/kill -0 \"$1\" 2>/dev/null; do /bin/sleep 0.2; done; exec \"$0\"";

// Starts the waiting child in a session of its own. None on success, else
// the failure's description.
std::optional<std::string> startReopen(const std::filesystem::path& program, pid_t waitFor);

}  // namespace morvane
