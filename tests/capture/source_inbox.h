// What a screen source hands out, collected for a test: pictures, access
// units, failures, report lines and display lists, with bounded waits for
// sources that deliver from threads of their own.
#pragma once

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>
#include <vector>

#include "capture/screen_frame_source.h"

namespace morvane::testing {

struct SourceInbox : FrameObserver {
    // What start() is given; the inbox itself lives as long as the test.
    std::shared_ptr<FrameObserver> handle{this, [](FrameObserver*) {}};
    std::mutex m;
    std::condition_variable cv;
    struct Jpeg {
        Bytes data;
        int width, height;
    };
    std::vector<Jpeg> pictures;
    std::vector<EncodedVideoFrame> video;
    int failures = 0;
    std::vector<std::string> lines;
    std::vector<DisplayListing> pushed;
    int ownerStops = 0;

    void onFrame(const Bytes& b, int w, int h) override { add([&] { pictures.push_back({b, w, h}); }); }
    void onVideoFrame(const EncodedVideoFrame& f) override { add([&] { video.push_back(f); }); }
    void onVideoFailure() override { add([&] { ++failures; }); }
    void onDisplaysChanged(const DisplayListing& l) override { add([&] { pushed.push_back(l); }); }
    void onStoppedByOwner() override { add([&] { ++ownerStops; }); }
    void attach(ScreenFrameSource& source) {
        source.setOnReport([this](const std::string& line) { add([&] { lines.push_back(line); }); });
    }
    template <typename P>
    bool waitFor(P predicate, std::chrono::seconds limit = std::chrono::seconds(30)) {
        std::unique_lock l(m);
        return cv.wait_for(l, limit, [&] { return predicate(); });
    }
    bool saw(const std::string& line) {
        std::lock_guard l(m);
        return std::find(lines.begin(), lines.end(), line) != lines.end();
    }

private:
    template <typename F>
    void add(F change) {
        {
            std::lock_guard l(m);
            change();
        }
        cv.notify_all();
    }
};

}  // namespace morvane::testing
