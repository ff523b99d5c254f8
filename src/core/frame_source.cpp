#include "core/frame_source.h"

namespace morvane {

void FrameSource::setExcludedWindow(std::optional<int>, std::function<void(bool)> done) {
    if (!done) return;
    if (mainQueue_) mainQueue_->post([done = std::move(done)] { done(false); });
}

}  // namespace morvane
