// An input backend that writes down every call, for checking the injector's
// rules without a display.
#pragma once

#include <chrono>
#include <condition_variable>
#include <algorithm>
#include <functional>
#include <utility>
#include <mutex>
#include <string>
#include <vector>

#include "input/input_backend.h"

namespace morvane::testing {

struct BackendLog {
    std::mutex m;
    std::condition_variable cv;
    std::vector<std::string> calls;
    std::function<void(int)> onPause;  // with the milliseconds asked for
    // What each give-back says is left to give back later, in turn: the
    // milliseconds to wait (none: nothing is left).
    std::vector<int> giveBackWaits;
    // What the display tells of its windows at the next look.
    std::vector<LockScreenView::WindowNews> windowNews;

    void add(std::string call) {
        {
            std::lock_guard lock(m);
            calls.push_back(std::move(call));
        }
        cv.notify_all();
    }
    std::vector<std::string> take() {
        std::lock_guard lock(m);
        return std::exchange(calls, {});
    }
    bool waitFor(const std::string& call, std::chrono::milliseconds limit = std::chrono::seconds(10)) {
        std::unique_lock lock(m);
        return cv.wait_for(lock, limit, [&] { return std::find(calls.begin(), calls.end(), call) != calls.end(); });
    }
};

class FakeBackend final : public InputBackend {
public:
    explicit FakeBackend(BackendLog& log) : log_(log) {}
    Rect mainDisplayBounds() override { return {0, 0, 1000, 500}; }
    std::optional<GlobalPoint> cursor() override { return GlobalPoint{7, 8}; }
    void move(GlobalPoint at, std::optional<int> dragged) override {
        log_.add("move " + point(at) + (dragged ? " drag" + std::to_string(*dragged) : ""));
    }
    void button(int button, bool down, GlobalPoint at, int clicks) override {
        log_.add(std::string(down ? "down " : "up ") + std::to_string(button) + " " + point(at) + " x" +
                 std::to_string(clicks));
    }
    void wheel(int vertical, int horizontal) override {
        log_.add("wheel " + std::to_string(vertical) + " " + std::to_string(horizontal));
    }
    void key(std::string_view code, bool down, bool repeat) override {
        log_.add("key " + std::string(code) + (down ? " down" : " up") + (repeat ? " repeat" : ""));
    }
    void expectText(std::u32string_view, bool) override {}
    void type(char32_t scalar) override { log_.add("type " + std::to_string(static_cast<std::uint32_t>(scalar))); }
    void tap(std::string_view code) override { log_.add("tap " + std::string(code)); }
    void endText() override { log_.add("end text"); }
    int giveBackKeys() override {
        log_.add("give back");
        std::lock_guard lock(log_.m);
        if (log_.giveBackWaits.empty()) return 0;
        const int wait = log_.giveBackWaits.front();
        log_.giveBackWaits.erase(log_.giveBackWaits.begin());
        return wait;
    }
    void nudgePointer() override { log_.add("nudge"); }
    void watchWindows(bool on) override { log_.add(on ? "watch windows" : "watch no windows"); }
    std::vector<WindowNews> windowNews() override {
        std::lock_guard lock(log_.m);
        return std::exchange(log_.windowNews, {});
    }
    void pause(int millis) override {
        if (log_.onPause) log_.onPause(millis);
    }

private:
    static std::string point(GlobalPoint p) {
        return std::to_string(static_cast<int>(p.x)) + "," + std::to_string(static_cast<int>(p.y));
    }
    BackendLog& log_;
};

}  // namespace morvane::testing
