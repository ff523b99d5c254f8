#include "capture/capture_backend.h"

#include <algorithm>

#include "core/types.h"

namespace morvane {

const DisplayFacts* DisplaySnapshot::find(std::uint32_t id) const {
    for (const auto& d : displays)
        if (d.id == id) return &d;
    return nullptr;
}

PixelSize DisplaySnapshot::nativePixels(std::uint32_t id) const {
    const DisplayFacts* d = find(id);
    return d ? d->nativePixels() : PixelSize{2, 2};
}

DisplaySignature DisplaySnapshot::signature(std::uint32_t id) const {
    DisplaySignature s;
    s.mainDisplay = mainDisplay.value_or(0);
    s.displayCount = static_cast<std::uint32_t>(displays.size());
    if (const DisplayFacts* d = find(id)) {
        s.bounds = d->bounds;
        const PixelSize native = nativePixels(id);
        s.pixelWidth = native.width;
        s.pixelHeight = native.height;
    }
    for (const auto& d : displays) s.layout.push_back({d.id, d.bounds});
    return s;
}

std::string describe(const CaptureError& error) {
    if (error.domain == CaptureStop::streamErrorDomain && error.code == -3801) return "no-permission";
    const std::string domain = error.domain == CaptureStop::streamErrorDomain ? "capture" : error.domain;
    return "error: " + domain + " " + std::to_string(error.code);
}

}  // namespace morvane
