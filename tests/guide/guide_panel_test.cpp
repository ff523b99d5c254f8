#include "guide/guide_panel.h"

#include <gtest/gtest.h>

#include "../app/manual_executor.h"

namespace morvane {
namespace {

using testing::ManualExecutor;

// A window that records what the panel asked of it; closing it takes the
// panel's close road like the real one.
class FakeWindow final : public GuideWindow {
public:
    explicit FakeWindow(GuidePanel* panel) : panel_(panel) {}
    bool isVisible() const override { return visible; }
    void centre() override { ++centred; }
    void bringToFront() override {
        ++fronted;
        visible = true;
    }
    void closeNow() override { userClosed(); }
    void performClose() override { userClosed(); }
    void userClosed() {
        visible = false;
        panel_->windowWillClose();
    }
    bool visible = false;
    int centred = 0;
    int fronted = 0;

private:
    GuidePanel* panel_;
};

struct Rig {
    ManualExecutor main;
    GuideSnapshot current;
    int reads = 0;
    std::vector<GuideAction> performed;
    std::shared_ptr<GuidePanel> panel;
    std::unique_ptr<FakeWindow> window;
    int published = 0;
    int refreshed = 0;
    int closed = 0;

    Rig() {
        panel = GuidePanel::create(
            "Connect a Device",
            [this] {
                ++reads;
                return current;
            },
            [this](const GuideAction& a) { performed.push_back(a); }, &main);
        window = std::make_unique<FakeWindow>(panel.get());
        panel->attach(window.get());
        panel->state().onPublish = [this] { ++published; };
        panel->onRefresh = [this](const GuideSnapshot&) { ++refreshed; };
        panel->onClose = [this] { ++closed; };
    }
};

TEST(GuidePanel, ShownPanelRefreshesEverySecondAndPublishesOnlyChanges) {
    Rig rig;
    EXPECT_EQ(rig.reads, 1);  // read once when made
    rig.panel->show();
    EXPECT_EQ(rig.reads, 2);
    EXPECT_EQ(rig.published, 0);
    EXPECT_EQ(rig.refreshed, 1);

    rig.main.advance(1000);
    EXPECT_EQ(rig.reads, 3);
    EXPECT_EQ(rig.refreshed, 2);  // onRefresh runs even when nothing changed
    EXPECT_EQ(rig.published, 0);

    rig.current.addedName = "Pat's phone";  // a change in one field only
    rig.main.advance(999);
    EXPECT_EQ(rig.published, 0);
    rig.main.advance(1);
    EXPECT_EQ(rig.published, 1);
    EXPECT_EQ(rig.panel->state().snapshot().addedName, "Pat's phone");

    rig.current.devices = 2;
    rig.panel->applicationActivated();
    EXPECT_EQ(rig.panel->state().snapshot().devices, 2);
}

TEST(GuidePanel, ShowingTwiceKeepsOneTimerAndClosingStopsIt) {
    Rig rig;
    rig.panel->show();
    rig.panel->show();
    EXPECT_EQ(rig.main.pendingTimers(), 1u);
    EXPECT_EQ(rig.window->centred, 1);  // only when shown from hidden
    EXPECT_EQ(rig.window->fronted, 2);
    const int reads = rig.reads;
    rig.main.advance(1000);
    EXPECT_EQ(rig.reads, reads + 1);  // one timer, one read a second

    rig.window->userClosed();
    EXPECT_EQ(rig.closed, 1);
    EXPECT_FALSE(rig.panel->timerRunning());
    EXPECT_FALSE(rig.panel->observing());
    rig.main.advance(5000);
    rig.panel->applicationActivated();
    EXPECT_EQ(rig.reads, reads + 1);

    rig.panel->show();
    EXPECT_TRUE(rig.panel->timerRunning());
    EXPECT_TRUE(rig.panel->observing());
    EXPECT_EQ(rig.window->centred, 2);
    rig.main.advance(1000);
    EXPECT_EQ(rig.reads, reads + 3);
}

TEST(GuidePanel, ShowingAHiddenWindowFoldsTheAdvancedSectionButAVisibleOneKeepsIt) {
    Rig rig;
    rig.panel->show();
    rig.panel->state().setAdvancedOpen(true);
    rig.panel->show();
    EXPECT_TRUE(rig.panel->state().advancedOpen());
    rig.panel->state().close();  // the Done button's road
    EXPECT_EQ(rig.closed, 1);
    EXPECT_FALSE(rig.window->visible);
    rig.panel->show();
    EXPECT_FALSE(rig.panel->state().advancedOpen());
    rig.panel->close();
    EXPECT_EQ(rig.closed, 2);
}

TEST(GuideState, CopiedMarkClearsTwoSecondsAfterTheLastCopy) {
    Rig rig;
    auto& state = rig.panel->state();
    state.markCopied("https://relay.example");
    EXPECT_EQ(state.copiedText(), "https://relay.example");
    rig.main.advance(1500);
    state.markCopied("https://box.ts.net");
    EXPECT_EQ(state.copiedText(), "https://box.ts.net");
    rig.main.advance(1999);  // the first copy's clearing is void
    EXPECT_EQ(state.copiedText(), "https://box.ts.net");
    rig.main.advance(1);
    EXPECT_EQ(state.copiedText(), std::nullopt);
    EXPECT_EQ(rig.published, 3);

    state.perform(GuideAction::copy("x"));
    EXPECT_EQ(rig.performed, std::vector<GuideAction>{GuideAction::copy("x")});
}

TEST(GuideState, ClearingAfterTheStateIsGoneDoesNothing) {
    ManualExecutor main;
    {
        GuideState state({}, nullptr, &main);
        state.markCopied("a");
    }
    main.advance(3000);  // must not touch the destroyed state
    SUCCEED();
}

TEST(GuideKeys, OnlyEscapeAndPlainCtrlWClose) {
    struct Case {
        GuideKey key;
        bool closes;
    };
    const std::vector<Case> cases = {
        {{.escape = true, .text = ""}, true},
        {{.control = true, .text = "w"}, true},
        {{.control = true, .text = "W"}, true},
        {{.control = true, .shift = true, .text = "w"}, false},
        {{.control = true, .alt = true, .text = "w"}, false},
        {{.control = true, .meta = true, .text = "w"}, false},
        {{.control = true, .capsLock = true, .text = "w"}, false},
        {{.text = "w"}, false},
        {{.control = true, .text = "q"}, false},
    };
    for (std::size_t i = 0; i < cases.size(); ++i) EXPECT_EQ(closesGuideWindow(cases[i].key), cases[i].closes) << i;
}

}  // namespace
}  // namespace morvane
