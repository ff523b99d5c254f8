// The screen source that the server drives. Operations are called on the
// main queue; picture callbacks may arrive on capture threads.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>

#include "core/display.h"
#include "core/executor.h"
#include "core/types.h"

namespace morvane {

class FrameSource {
public:
    using FrameHandler = std::function<void(const Bytes& jpeg, int width, int height)>;
    using VideoHandler = std::function<void(const EncodedVideoFrame&)>;
    using Signal = std::function<void()>;
    using DisplaysHandler = std::function<void(const DisplayListing&)>;

    virtual ~FrameSource() = default;

    virtual FrameHandler onFrame() const = 0;
    virtual void setOnFrame(FrameHandler handler) = 0;
    // "starting", "ok", "no-permission", "no-display", "stopped-on-mac" or
    // "error: …".
    virtual std::string state() const = 0;
    virtual void start() = 0;
    virtual void stop() = 0;
    virtual void setQuality(FrameQuality quality) = 0;
    virtual void requestFrame() = 0;

    // A source without video reports that video cannot start.
    virtual VideoHandler onVideoFrame() const { return {}; }
    virtual void setOnVideoFrame(VideoHandler) {}
    virtual Signal onVideoFailure() const { return {}; }
    virtual void setOnVideoFailure(Signal) {}
    virtual bool startVideo(int /*maxWidth*/, int /*maxHeight*/) { return false; }
    virtual void requestKeyframe() {}
    virtual void stopVideo() {}

    virtual Signal onStoppedByOwner() const { return {}; }
    virtual void setOnStoppedByOwner(Signal) {}
    virtual DisplaysHandler onDisplaysChanged() const { return {}; }
    virtual void setOnDisplaysChanged(DisplaysHandler) {}
    virtual DisplayListing displayListing() const { return {}; }
    virtual bool selectDisplay(std::optional<std::uint32_t> /*id*/) { return false; }
    virtual void displayModeChanged() {}

    // Answers later, never before it returns. The default can leave no
    // window out, so it answers false on the main queue.
    virtual void setExcludedWindow(std::optional<int> window, std::function<void(bool)> done);
    virtual Signal onExclusionLost() const { return {}; }
    virtual void setOnExclusionLost(Signal) {}

    // Where default answers are delivered; the application sets its main
    // queue here before handing the source to the server.
    void setMainQueue(Executor* main) { mainQueue_ = main; }

protected:
    Executor* mainQueue_ = nullptr;
};

}  // namespace morvane
