// The screen source that the server drives. Operations are called on the
// main queue; the observer's picture calls may arrive on capture threads.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "core/display.h"
#include "core/executor.h"
#include "core/types.h"

namespace morvane {

// What a screen source hands its user. onFrame and onVideoFrame may be
// called on capture threads, the others on any thread of the source's.
class FrameObserver {
public:
    virtual ~FrameObserver() = default;
    virtual void onFrame(const Bytes& jpeg, int width, int height) = 0;
    virtual void onVideoFrame(const EncodedVideoFrame&) {}
    virtual void onVideoFailure() {}
    virtual void onStoppedByOwner() {}
    virtual void onDisplaysChanged(const DisplayListing&) {}
};

class FrameSource {
public:
    using Signal = std::function<void()>;

    virtual ~FrameSource() = default;

    // "starting", "ok", "no-permission", "no-display", "stopped-on-mac" or
    // "error: …".
    virtual std::string state() const = 0;
    // The source holds the observer weakly, so a user that goes away simply
    // stops hearing from it; a later start replaces it.
    virtual void start(const std::shared_ptr<FrameObserver>& observer) = 0;
    virtual void stop() = 0;
    virtual void setQuality(FrameQuality quality) = 0;
    virtual void requestFrame() = 0;

    // A source without video reports that video cannot start.
    virtual bool startVideo(int /*maxWidth*/, int /*maxHeight*/) { return false; }
    virtual void requestKeyframe() {}
    virtual void stopVideo() {}

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
