#include "app/build_version.h"

// Set for this file alone by src/app/CMakeLists.txt, so a new build number
// recompiles nothing else.
#ifndef MORVANE_VERSION
#define MORVANE_VERSION ""
#endif
#ifndef MORVANE_RELAY_HOST
#define MORVANE_RELAY_HOST ""
#endif

namespace morvane {

std::string programVersionText() {
    const std::string_view version = MORVANE_VERSION;
    return version.empty() ? std::string("?") : std::string(version);
}

std::string builtInRelayHost() { return MORVANE_RELAY_HOST; }

}  // namespace morvane
