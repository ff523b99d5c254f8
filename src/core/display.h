// The description of displays that the screen source publishes and the
// server, input injection and display effects read.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace morvane {

// A rectangle in the global display space: origin at the top left of the
// main display, y downwards.
struct Rect {
    double x = 0, y = 0, width = 0, height = 0;
    bool operator==(const Rect&) const = default;
};

struct DisplayInfo {
    std::uint32_t id = 0;
    std::string name;
    int pixelWidth = 0;
    int pixelHeight = 0;
    Rect bounds;
    bool isBuiltin = false;
    bool isMain = false;
    bool operator==(const DisplayInfo&) const = default;
};

struct DisplayListing {
    std::vector<DisplayInfo> displays;
    std::optional<std::uint32_t> current;
    bool selectionLost = false;
    bool operator==(const DisplayListing&) const = default;
};

}  // namespace morvane
