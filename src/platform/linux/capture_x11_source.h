// The screen source of the host on X11, on the control and encode queues
// its maker gives it.
#pragma once

#include <memory>
#include <string>

#include "capture/screen_frame_source.h"
#include "core/executor.h"

namespace morvane {

// display: an X display name such as ":1"; empty means $DISPLAY.
std::unique_ptr<ScreenFrameSource> makeX11ScreenSource(std::shared_ptr<Executor> control,
                                                       std::shared_ptr<Executor> encode,
                                                       const std::string& display = {});

}  // namespace morvane
