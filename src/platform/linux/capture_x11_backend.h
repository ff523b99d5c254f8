// The screen capture layer on X11: displays and their modes from XRandR
// monitors, pictures with MIT-SHM (plain GetImage when the server can't
// share memory), the pointer composited from XFixes, and layout changes from
// RandR notify events.
#pragma once

#include <memory>
#include <string>

#include "capture/capture_backend.h"

namespace morvane {

// display: an X display name such as ":1"; empty means $DISPLAY.
std::shared_ptr<CaptureBackend> makeX11CaptureBackend(const std::string& display = {});

}  // namespace morvane
