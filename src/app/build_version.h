// The version and build number of this program, and the relay it offers,
// as the build gave them.
#pragma once

#include <string>
#include <string_view>

namespace morvane {

// "0.1 (142)": version, a blank and the build number in brackets; either
// one the build did not give reads "?".
std::string versionText(std::string_view version, std::string_view build);

// versionText of this build.
std::string programVersionText();

// The relay host this build offers by default (the cache value
// MORVANE_RELAY_HOST); empty when it names none.
std::string builtInRelayHost();

}  // namespace morvane
