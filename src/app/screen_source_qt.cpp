#include "app/screen_source_qt.h"

#include "platform/linux/capture_x11_source.h"

namespace morvane {

ScreenSourceParts makeScreenSource(Executor& main, std::shared_ptr<Executor> control, std::shared_ptr<Executor> encode,
                                   std::function<void(const std::string&)> report) {
    std::unique_ptr<ScreenFrameSource> source = makeX11ScreenSource(std::move(control), std::move(encode));
    source->setMainQueue(&main);
    source->setOnReport(std::move(report));
    ScreenFrameSource* raw = source.get();
    ScreenSourceParts parts;
    parts.displayBounds = [raw] { return raw->displayBounds(); };
    parts.takeStats = [raw] {
        const auto s = raw->takeStats();
        return ShellLines::CaptureStats{s.state, s.callbacks, s.frames, s.bytes, s.width, s.height, s.video,
                                        s.keyframes};
    };
    parts.source = std::move(source);
    return parts;
}

}  // namespace morvane
