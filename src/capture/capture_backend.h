// The platform half of the screen source: which displays can be captured,
// and a stream of pictures of one of them. The X11 layer implements it; tests
// use a scripted one.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <variant>
#include <vector>

#include "capture/capture_settings.h"
#include "capture/display_choice.h"
#include "capture/picture.h"
#include "core/display.h"

namespace morvane {

// What a stream delivers: its size, its picture rate and whether pictures
// come in the video format (planar 4:2:0) or as BGRA for JPEG.
struct StreamConfig {
    int width = 0;
    int height = 0;
    int framesPerSecond = 0;
    bool video = false;
    bool showCursor = true;
    // A window (the platform's number) to leave out of the pictures.
    std::optional<std::int64_t> excludedWindow;
    bool operator==(const StreamConfig&) const = default;
};

struct CaptureError {
    std::string domain;
    int code = 0;
    bool operator==(const CaptureError&) const = default;
};

struct LayoutEntry {
    std::uint32_t id = 0;
    Rect bounds;
    bool operator==(const LayoutEntry&) const = default;
};

// The screen layout a stream was built for; any difference means rebuild.
struct DisplaySignature {
    std::uint32_t mainDisplay = 0;
    std::uint32_t displayCount = 0;
    Rect bounds;
    int pixelWidth = 0;
    int pixelHeight = 0;
    std::vector<LayoutEntry> layout;
    bool operator==(const DisplaySignature&) const = default;
};

struct DisplaySnapshot {
    std::vector<DisplayFacts> displays;  // in the platform's order
    std::optional<std::uint32_t> mainDisplay;

    const DisplayFacts* find(std::uint32_t id) const;
    // The display's pixels, or its size in points (at least 2) without a mode.
    PixelSize nativePixels(std::uint32_t id) const;
    DisplaySignature signature(std::uint32_t id) const;
};

class CaptureStream {
public:
    virtual ~CaptureStream() = default;
    // Applies a new configuration; done is called once, on any thread, when
    // pictures follow it (no error) or when it could not be applied.
    virtual void update(const StreamConfig& config, std::function<void(std::optional<CaptureError>)> done) = 0;
    // Synchronous: no picture is delivered after it returns.
    virtual void stop() = 0;
};

struct StreamHandlers {
    // Called on the stream's own thread for every sample; an empty picture is
    // a sample that carries nothing new (a still screen).
    std::function<void(PicturePtr)> onSample;
    // The stream stopped by itself.
    std::function<void(CaptureError)> onStopped;
    // The screen layout may have changed.
    std::function<void()> onLayoutChanged;
    // The excluded window can no longer be left out; until the exclusion is
    // taken back the stream delivers nothing new.
    std::function<void()> onExclusionLost;
};

class CaptureBackend {
public:
    virtual ~CaptureBackend() = default;
    virtual bool permitted() = 0;
    // Any thread.
    virtual std::variant<DisplaySnapshot, CaptureError> displays() = 0;
    // Whether streams can leave a window out of their pictures.
    virtual bool canExcludeWindows() { return false; }
    virtual std::variant<std::shared_ptr<CaptureStream>, CaptureError> startStream(std::uint32_t display,
                                                                                   const StreamConfig& config,
                                                                                   StreamHandlers handlers) = 0;
};

// The state word or error text for a capture error.
std::string describe(const CaptureError& error);

}  // namespace morvane
