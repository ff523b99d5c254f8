// The version and build number of this program, and the relay it offers,
// as the build gave them.
#pragma once

#include <string>
#include <string_view>

namespace morvane {

// This build's version in the one form the packages and the relay use too,
// "0.1+642.g1a2b3c4" (cmake/Version.cmake); "?" when the build gave none.
std::string programVersionText();

// The relay host this build offers by default (the cache value
// MORVANE_RELAY_HOST); empty when it names none.
std::string builtInRelayHost();

}  // namespace morvane
