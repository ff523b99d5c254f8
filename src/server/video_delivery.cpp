#include "server/video_delivery.h"

namespace morvane {

VideoGate::Action VideoGate::offer(bool keyframe, bool busy) {
    if (busy) {
        needKeyframe = true;
        return Action::drop(false);
    }
    if (needKeyframe && !keyframe) return Action::drop(true);
    needKeyframe = false;
    return Action::send();
}

std::int64_t VideoStartLimiter::waitMillis(std::int64_t nowMillis) {
    if (last && nowMillis >= *last && nowMillis - *last < interval) return interval - (nowMillis - *last);
    last = nowMillis;
    return 0;
}

}  // namespace morvane
