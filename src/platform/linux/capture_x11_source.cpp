#include "platform/linux/capture_x11_source.h"

#include "core/loop_executor.h"
#include "platform/linux/capture_x11_backend.h"

namespace morvane {

std::unique_ptr<ScreenFrameSource> makeX11ScreenSource(const std::string& display) {
    return std::make_unique<ScreenFrameSource>(makeX11CaptureBackend(display),
                                               std::make_shared<LoopExecutor>("morvane.capture.control"),
                                               std::make_shared<LoopExecutor>("morvane.capture.encode"));
}

}  // namespace morvane
