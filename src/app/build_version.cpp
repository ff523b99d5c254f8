#include "app/build_version.h"

// Set for this file alone by src/app/CMakeLists.txt, so a new build number
// recompiles nothing else.
#ifndef MORVANE_VERSION
#define MORVANE_VERSION ""
#endif
#ifndef MORVANE_BUILD_NUMBER
#define MORVANE_BUILD_NUMBER ""
#endif
#ifndef MORVANE_RELAY_HOST
#define MORVANE_RELAY_HOST ""
#endif

namespace morvane {

std::string versionText(std::string_view version, std::string_view build) {
    const auto orUnknown = [](std::string_view text) { return text.empty() ? std::string("?") : std::string(text); };
    return orUnknown(version) + " (" + orUnknown(build) + ")";
}

std::string programVersionText() { return versionText(MORVANE_VERSION, MORVANE_BUILD_NUMBER); }

std::string builtInRelayHost() { return MORVANE_RELAY_HOST; }

}  // namespace morvane
