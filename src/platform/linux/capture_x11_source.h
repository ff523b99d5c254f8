// The screen source of the host on X11, with its own control and encode
// queues.
#pragma once

#include <memory>
#include <string>

#include "capture/screen_frame_source.h"

namespace morvane {

// display: an X display name such as ":1"; empty means $DISPLAY.
std::unique_ptr<ScreenFrameSource> makeX11ScreenSource(const std::string& display = {});

}  // namespace morvane
