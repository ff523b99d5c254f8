// Stand-ins for the display-effects driver's platform parts. The displays
// live in a FakeDisplays that the test owns: its destructor fails the test
// when a display is left in a mode other than its own, unless the test said
// that is what it wants.
#pragma once

#include <gtest/gtest.h>

#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "platform/linux/display_effects_x11.h"

namespace morvane::testing {

struct FakeDisplay {
    std::vector<DisplayModeInfo> modes;
    std::int32_t current = 0;
    std::int32_t own = 0;  // the mode it had before the test
    bool online = true;
    Rect bounds{0, 0, 1920, 1080};
};

inline DisplayModeInfo fakeMode(std::int32_t id, int w, int h) { return DisplayModeInfo{id, w, h, w, h, 60, true, false}; }

struct FakeDisplays {
    std::map<std::uint32_t, FakeDisplay> displays;
    std::map<std::uint32_t, std::uint32_t> mirrors;
    std::uint32_t main = 0;
    int refuseApplies = 0;  // the next n applies fail
    std::vector<std::string> applied;  // "display:mode"
    bool awake = true;
    bool coverOnTop = true;
    std::function<void()> reconfigured;
    std::set<std::uint32_t> mayStayChanged;
    int queries = 0;  // questions asked about the displays, each a round trip to a real X server

    ~FakeDisplays() {
        for (const auto& [id, d] : displays)
            if (d.current != d.own && !mayStayChanged.contains(id))
                ADD_FAILURE() << "display " << id << " was left in mode " << d.current << " instead of " << d.own;
    }
    void add(std::uint32_t id, std::vector<DisplayModeInfo> modes, std::int32_t current) {
        displays[id] = FakeDisplay{std::move(modes), current, current, true, {}};
        if (main == 0) main = id;
    }
};

class FakeBackend final : public DisplayModeBackend {
public:
    explicit FakeBackend(FakeDisplays& d) : d_(d) {}
    ReconfigClassifier::Topology topology() override {
        ++d_.queries;
        ReconfigClassifier::Topology t;
        for (const auto& [id, d] : d_.displays)
            if (d.online) t.online.insert(id);
        t.main = d_.main;
        t.mirrors = d_.mirrors;
        return t;
    }
    std::optional<std::vector<DisplayModeInfo>> allModes(std::uint32_t display) override {
        ++d_.queries;
        auto it = d_.displays.find(display);
        if (it == d_.displays.end() || !it->second.online) return std::nullopt;
        return it->second.modes;
    }
    std::optional<DisplayModeInfo> currentMode(std::uint32_t display) override {
        ++d_.queries;
        auto it = d_.displays.find(display);
        if (it == d_.displays.end() || !it->second.online) return std::nullopt;
        for (const auto& m : it->second.modes)
            if (m.id == it->second.current) return m;
        return std::nullopt;
    }
    bool apply(std::uint32_t display, const DisplayModeInfo& mode) override {
        d_.applied.push_back(std::to_string(display) + ":" + std::to_string(mode.id));
        if (d_.refuseApplies > 0) {
            --d_.refuseApplies;
            return false;
        }
        auto it = d_.displays.find(display);
        if (it == d_.displays.end() || !it->second.online) return false;
        it->second.current = mode.id;
        return true;
    }
    std::optional<Rect> bounds(std::uint32_t display) override {
        auto it = d_.displays.find(display);
        if (it == d_.displays.end() || !it->second.online) return std::nullopt;
        return it->second.bounds;
    }
    std::string name(std::uint32_t display) override {
        ++d_.queries;
        return DisplayModeBackend::name(display);
    }
    bool screensAwake() override { return d_.awake; }
    bool onTop(unsigned long) override { return d_.coverOnTop; }
    void setOnReconfigured(std::function<void()> handler) override { d_.reconfigured = std::move(handler); }

private:
    FakeDisplays& d_;
};

struct FakeCovers {
    int made = 0;
    int open = 0;
    int raised = 0;
    bool opaque = false;
    std::optional<Rect> frame;
    bool refuse = false;
};

class FakeCover final : public CoverWindow {
public:
    FakeCover(FakeCovers& c, Rect frame, unsigned long number) : c_(c), number_(number) {
        ++c_.open;
        c_.opaque = false;
        c_.frame = frame;
    }
    ~FakeCover() override {
        --c_.open;
        c_.opaque = false;
    }
    unsigned long windowNumber() const override { return number_; }
    void makeOpaque() override { c_.opaque = true; }
    Rect frame() const override { return *c_.frame; }
    void setFrame(const Rect& frame) override { c_.frame = frame; }
    void raise() override { ++c_.raised; }

private:
    FakeCovers& c_;
    unsigned long number_;
};

struct FakeKeys {
    std::function<void(bool, bool)> key;
    int starts = 0;
    bool running = false;
    bool alive = true;
    EscapeArm answer = EscapeArm::armed;
};

class FakeKeyWatch final : public EscapeKeyWatch {
public:
    explicit FakeKeyWatch(FakeKeys& k) : k_(k) {}
    EscapeArm start(std::function<void(bool, bool)> key) override {
        ++k_.starts;
        if (k_.answer != EscapeArm::armed) return k_.answer;
        k_.key = std::move(key);
        k_.running = true;
        k_.alive = true;
        return EscapeArm::armed;
    }
    void stop() override {
        k_.running = false;
        k_.key = nullptr;
    }
    bool alive() const override { return k_.alive; }

private:
    FakeKeys& k_;
};

struct FakeLease {
    std::function<void()> fire;
    int starts = 0;
};

class FakeLeaseTimer final : public LeaseTimer {
public:
    explicit FakeLeaseTimer(FakeLease& l) : l_(l) {}
    void start(std::function<void()> fire) override {
        ++l_.starts;
        l_.fire = std::move(fire);
    }
    void stop() override { l_.fire = nullptr; }

private:
    FakeLease& l_;
};

}  // namespace morvane::testing
