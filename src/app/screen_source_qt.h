// The X11 screen source as the shell and the server see it, made in a file
// of its own so the capture headers never meet the server's in one unit.
#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "app/shell_lines.h"
#include "core/display.h"
#include "core/executor.h"
#include "core/frame_source.h"

namespace morvane {

struct ScreenSourceParts {
    std::unique_ptr<FrameSource> source;
    std::function<std::optional<Rect>()> displayBounds;
    std::function<ShellLines::CaptureStats()> takeStats;
};

// The source captures on `control` and encodes on `encode`.
ScreenSourceParts makeScreenSource(Executor& main, std::shared_ptr<Executor> control, std::shared_ptr<Executor> encode,
                                   std::function<void(const std::string&)> report);

}  // namespace morvane
