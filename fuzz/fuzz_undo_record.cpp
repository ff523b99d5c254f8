// The display-change undo record another program of the same user could
// plant, read at launch as the display-effects driver reads it, over two
// displays with known modes (display 1 shows the mode the last run set).
// Whatever the record says, the driver only ever applies a mode the display
// lists, a record of another boot changes nothing, the record is gone once
// read unless a change is still owed, and a second quit puts nothing back
// that the first did not.
#include <limits>
#include <map>
#include <memory>

#include "fuzz_support.h"
#include "scratch_folder.h"
#include "platform/linux/display_effects_x11.h"
#include "../tests/app/manual_executor.h"

using namespace morvane;
using morvane::fuzz::require;
using morvane::fuzz::ScratchFolder;

namespace {

constexpr const char* thisBoot = "0f1e2d3c-4b5a-6978-8796-a5b4c3d2e1f0";

DisplayModeInfo mode(std::int32_t id, int width, int height) {
    DisplayModeInfo m;
    m.id = id;
    m.width = m.pixelWidth = width;
    m.height = m.pixelHeight = height;
    m.refresh = 60;
    m.usable = true;
    return m;
}

// Two displays; every mode applied is written down.
struct Screens {
    std::map<std::uint32_t, std::vector<DisplayModeInfo>> modes{
        {1, {mode(1, 1920, 1080), mode(2, 1440, 900), mode(3, 1280, 720)}},
        {2, {mode(11, 2560, 1440), mode(12, 1920, 1080)}},
    };
    std::map<std::uint32_t, std::int32_t> current{{1, 2}, {2, 11}};
    std::vector<std::pair<std::uint32_t, std::int32_t>> applied;
};

class Backend final : public DisplayModeBackend {
public:
    explicit Backend(Screens& s) : s_(s) {}
    ReconfigClassifier::Topology topology() override { return {{1, 2}, 1, {}}; }
    std::optional<std::vector<DisplayModeInfo>> allModes(std::uint32_t display) override {
        auto it = s_.modes.find(display);
        if (it == s_.modes.end()) return std::nullopt;
        return it->second;
    }
    std::optional<DisplayModeInfo> currentMode(std::uint32_t display) override {
        auto all = allModes(display);
        if (!all) return std::nullopt;
        for (const auto& m : *all)
            if (m.id == s_.current[display]) return m;
        return std::nullopt;
    }
    bool apply(std::uint32_t display, const DisplayModeInfo& m) override {
        s_.applied.emplace_back(display, m.id);
        s_.current[display] = m.id;
        return true;
    }
    std::optional<Rect> bounds(std::uint32_t display) override {
        if (!s_.modes.count(display)) return std::nullopt;
        return Rect{0, 0, 1920, 1080};
    }

private:
    Screens& s_;
};

class Keys final : public EscapeKeyWatch {
public:
    EscapeArm start(std::function<void(bool, bool)>) override { return EscapeArm::armed; }
    void stop() override {}
    bool alive() const override { return true; }
};

class Lease final : public LeaseTimer {
public:
    void start(std::function<void()>) override {}
    void stop() override {}
};

bool listed(const Screens& s, std::uint32_t display, std::int32_t id) {
    auto it = s.modes.find(display);
    if (it == s.modes.end()) return false;
    for (const auto& m : it->second)
        if (m.id == id) return true;
    return false;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const auto marker = ScratchFolder::write("display-change.json", {data, size});
    const std::string text(reinterpret_cast<const char*>(data), size);
    Screens screens;
    testing::ManualExecutor main;
    {
        DisplayEffectsSetup setup;
        setup.markerPath = marker;
        setup.log = [](const std::string&) {};
        setup.main = &main;
        setup.backend = std::make_unique<Backend>(screens);
        setup.makeCover = [](const Rect&, const std::string&) { return std::unique_ptr<CoverWindow>(); };
        setup.keys = std::make_unique<Keys>();
        setup.leaseTimer = std::make_unique<Lease>();
        setup.uptime = [&main] { return static_cast<double>(main.now()) / 1000.0; };
        setup.bootId = [] { return std::string(thisBoot); };
        setup.leaseExpired = [](const std::vector<ModeToRestore>&) {};
        auto driver = SystemDisplayEffects::create(std::move(setup));
        driver->recoverAtLaunch();
        main.runAll();
        if (text.find(thisBoot) == std::string::npos) require(screens.applied.empty());
        // Both displays are here: nothing can be owed to one that is away.
        require(!std::filesystem::exists(marker) || driver->restoreOwed());
        driver->restoreAll(std::numeric_limits<std::int64_t>::max());
        main.runAll();
        // What the first quit put back stays put back.
        const auto appliedAtQuit = screens.applied.size();
        driver->restoreAll(std::numeric_limits<std::int64_t>::max());
        main.runAll();
        require(screens.applied.size() == appliedAtQuit);
        for (const auto& [display, id] : screens.applied) require(listed(screens, display, id));
    }
    std::error_code ec;
    std::filesystem::remove(marker, ec);
    return 0;
}
