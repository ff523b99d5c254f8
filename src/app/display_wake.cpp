#include "app/display_wake.h"

namespace morvane {

DisplayWake::DisplayWake(std::unique_ptr<DisplayWakeBackend> backend) : backend_(std::move(backend)) {}

DisplayWake::~DisplayWake() { release(); }

bool DisplayWake::hold(const std::string& why) {
    if (!backend_) return false;
    backend_->declareActivity(why);
    activity_ = true;
    if (held_) return true;
    held_ = backend_->inhibit(why);
    return held_;
}

void DisplayWake::release() {
    if (!backend_) return;
    if (activity_) {
        backend_->endActivity();
        activity_ = false;
    }
    if (held_) {
        backend_->uninhibit();
        held_ = false;
    }
}

}  // namespace morvane
