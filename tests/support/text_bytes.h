#pragma once

#include <string_view>

#include "core/types.h"

namespace morvane {

// A text's bytes as they travel, for the protocol tests that write their
// requests and frames as text.
inline Bytes bytes(std::string_view text) { return Bytes(text.begin(), text.end()); }

}  // namespace morvane
