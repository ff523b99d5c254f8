#include "platform/linux/capture_x11_source.h"

#include "platform/linux/capture_x11_backend.h"

namespace morvane {

std::unique_ptr<ScreenFrameSource> makeX11ScreenSource(std::shared_ptr<Executor> control,
                                                       std::shared_ptr<Executor> encode,
                                                       const std::string& display) {
    return std::make_unique<ScreenFrameSource>(makeX11CaptureBackend(display), std::move(control), std::move(encode));
}

}  // namespace morvane
