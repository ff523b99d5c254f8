// JSON read from a file or a tool, taken in only once its nesting is known
// to be small. A document built first and checked after can cost gigabytes
// before the check runs (millions of nested values), and writing a deep one
// back indented grows with the square of its depth; so the depth is measured
// by a walk that builds nothing and stops at the first level too deep.
#pragma once

#include <span>
#include <string>
#include <string_view>
#include <variant>

#include <nlohmann/json.hpp>

namespace morvane {

namespace BoundedJson {

// Deeper than any file the host writes for itself (settings, the device
// list, the relay identity, the session history, the display record are
// two levels at most): anything past it was not written by the host.
inline constexpr int storedFileDepth = 16;

enum class Problem { notJSON, tooDeep };

// An object or an array at the top is level 1; a scalar alone is level 0.
// Linear in the length of the text; memory is bounded by `maxDepth` until
// the walk has accepted the text, and only then is the document built.
std::variant<nlohmann::json, Problem> parse(std::string_view text, int maxDepth);
std::variant<nlohmann::json, Problem> parse(std::span<const std::uint8_t> bytes, int maxDepth);

// "not valid JSON", "nested deeper than 16 levels".
std::string describe(Problem problem, int maxDepth);

}  // namespace BoundedJson

}  // namespace morvane
