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

struct SourceInbox {
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

    void attach(ScreenFrameSource& source) {
        source.setOnFrame([this](const Bytes& b, int w, int h) { add([&] { pictures.push_back({b, w, h}); }); });
        source.setOnVideoFrame([this](const EncodedVideoFrame& f) { add([&] { video.push_back(f); }); });
        source.setOnVideoFailure([this] { add([&] { ++failures; }); });
        source.setOnReport([this](const std::string& line) { add([&] { lines.push_back(line); }); });
        source.setOnDisplaysChanged([this](const DisplayListing& l) { add([&] { pushed.push_back(l); }); });
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
