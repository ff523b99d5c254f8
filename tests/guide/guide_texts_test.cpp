#include "guide/guide_texts.h"

#include <gtest/gtest.h>

namespace morvane {
namespace {

using namespace relay_status;
using K = GuideAction::Kind;

ConnectRelayFacts goodFacts(std::optional<RelayLinkState> link = RelayLinkState::up, bool enabled = true) {
    std::optional<HostRelayLink::State> state;
    if (link) state = HostRelayLink::State{*link, 0};
    return {true, true, true, std::string("owner@example.com"), enabled, state};
}

TEST(ConnectGuide, RelayStatusTakesTheFirstRuleThatMatches) {
    struct Case {
        const char* name;
        ConnectRelayFacts facts;
        ConnectRelayStatus want;
    };
    const std::string mail = "owner@example.com";
    auto unhardened = goodFacts();
    unhardened.hardened = false;
    unhardened.storageReadable = false;
    auto storage = goodFacts();
    storage.storageReadable = false;
    storage.keysReadable = false;
    auto keys = goodFacts();
    keys.keysReadable = false;
    keys.email.reset();
    auto backingOffLater = goodFacts();
    backingOffLater.linkState = HostRelayLink::State::backingOffUntil(1'780'000'000'000);
    auto noEmail = goodFacts();
    noEmail.email.reset();
    const std::vector<Case> cases = {
        {"not hardened wins over everything", unhardened, Unavailable{GuideTexts::cannotRelay}},
        {"unreadable storage wins over unreadable keys", storage, Unavailable{GuideTexts::devicesUnreadable}},
        {"unreadable keys", keys, KeysUnreadable{}},
        {"no identity", noEmail, NotSetUp{}},
        {"not on account wins over switched off", goodFacts(RelayLinkState::notOnAccount, false), NotOnAccount{mail}},
        {"switched off", goodFacts(RelayLinkState::up, false), Off{mail}},
        {"enabled without a link", goodFacts(std::nullopt), Off{mail}},
        {"up", goodFacts(RelayLinkState::up), Ready{mail}},
        {"backing off", goodFacts(RelayLinkState::backingOff), Working{mail, GuideTexts::backingOff}},
        {"backing off until a later time", backingOffLater, Working{mail, GuideTexts::backingOff}},
        {"plain off link", goodFacts(RelayLinkState::off), Working{mail, GuideTexts::connecting}},
        {"suspended", goodFacts(RelayLinkState::suspended), Working{mail, GuideTexts::connecting}},
        {"connecting", goodFacts(RelayLinkState::connecting), Working{mail, GuideTexts::connecting}},
        {"proving", goodFacts(RelayLinkState::proving), Working{mail, GuideTexts::connecting}},
        {"network", goodFacts(RelayLinkState::waitingForNetwork), Working{mail, GuideTexts::waitingForNetwork}},
        {"refused", goodFacts(RelayLinkState::refused), Working{mail, GuideTexts::refused}},
        {"exhausted", goodFacts(RelayLinkState::exhausted), Working{mail, GuideTexts::exhausted}},
    };
    for (const auto& c : cases) EXPECT_EQ(ConnectGuide::relayStatus(c.facts), c.want) << c.name;
}

TEST(ConnectGuide, StatusesCompareWithTheirPayloads) {
    EXPECT_NE(ConnectRelayStatus(Working{"a@b.c", "one"}), ConnectRelayStatus(Working{"a@b.c", "two"}));
    EXPECT_NE(ConnectRelayStatus(KeysUnreadable{}), ConnectRelayStatus(NotSetUp{}));
    EXPECT_FALSE(PermissionRow{}.second.has_value());
    EXPECT_FALSE(ConnectRelayFacts{}.linkState.has_value());
}

TEST(ConnectGuide, GateRulesEnableEachButtonOnlyWhenItsFlagsAreClear) {
    struct Case {
        GuideGate gate;
        bool setUp, turnOn, pair;
        std::optional<std::string> note;
    };
    const std::vector<Case> cases = {
        {{}, true, true, true, std::nullopt},
        {{.paused = true}, true, false, false, GuideTexts::gatePaused},
        {{.controlled = true}, false, false, false, GuideTexts::gateControlled},
        {{.paused = true, .controlled = true}, false, false, false, GuideTexts::gateControlled},
        {{.paused = true, .recentlyControlled = true}, false, false, false, GuideTexts::gateRecent},
        {{.busy = true}, false, false, false, std::nullopt},
        {{.pairBlocked = true}, true, true, false, std::nullopt},
    };
    for (std::size_t i = 0; i < cases.size(); ++i) {
        const auto& c = cases[i];
        EXPECT_EQ(ConnectGuide::setUpEnabled(c.gate), c.setUp) << i;
        EXPECT_EQ(ConnectGuide::turnOnEnabled(c.gate), c.turnOn) << i;
        EXPECT_EQ(ConnectGuide::pairEnabled(c.gate), c.pair) << i;
        EXPECT_EQ(ConnectGuide::gateNote(c.gate), c.note) << i;
        EXPECT_EQ(ConnectGuide::addDeviceEnabled(Ready{"x@y.z"}, c.gate), c.turnOn) << i;
        EXPECT_FALSE(ConnectGuide::addDeviceEnabled(Off{"x@y.z"}, c.gate)) << i;
    }
}

TEST(ConnectGuide, RelayPanelAndPrimaryButtonFollowTheStatus) {
    const GuideGate open{};
    const GuideGate paused{.paused = true};
    const std::string mail = "owner@example.com";
    const GuideButton setUp{GuideTexts::setUpRelay, GuideAction::of(K::setUpRelay), true};
    const GuideButton turnOn{GuideTexts::turnOnRelay, GuideAction::of(K::turnOnRelay), true};
    const GuideButton add{GuideTexts::addDevice, GuideAction::of(K::addDevice), true};
    struct Case {
        ConnectRelayStatus status;
        GuideGate gate;
        std::vector<std::string> lines;
        std::optional<GuideButton> button;
        GuideButton primary;
        bool relayFirst;
    };
    auto disabled = [](GuideButton b) {
        b.enabled = false;
        return b;
    };
    const std::vector<Case> cases = {
        {Unavailable{"why"}, open, {"why"}, std::nullopt, disabled(add), true},
        {NotOnAccount{mail}, open, {GuideTexts::notOnAccount}, setUp, setUp, true},
        {Off{mail}, open, {"Signed in as owner@example.com.", GuideTexts::relayOff}, turnOn, turnOn, true},
        {Off{mail}, paused, {"Signed in as owner@example.com.", GuideTexts::relayOff}, disabled(turnOn),
         disabled(turnOn), true},
        {Working{mail, "line"}, open, {"Signed in as owner@example.com.", "line"}, std::nullopt, disabled(add), false},
        {Ready{mail}, open, {"Signed in as owner@example.com.", GuideTexts::relayReady}, std::nullopt, add, false},
        {Ready{mail}, paused, {"Signed in as owner@example.com.", GuideTexts::relayReady}, std::nullopt, disabled(add),
         false},
        {KeysUnreadable{}, open, {GuideTexts::keysUnreadable}, std::nullopt, disabled(add), true},
        {NotSetUp{}, open, {GuideTexts::notSetUp}, setUp, setUp, true},
        {NotSetUp{}, {.busy = true}, {GuideTexts::notSetUp}, disabled(setUp), disabled(setUp), true},
    };
    for (std::size_t i = 0; i < cases.size(); ++i) {
        const auto& c = cases[i];
        const auto panel = ConnectGuide::relayPanel(c.status, c.gate);
        EXPECT_EQ(panel.lines, c.lines) << i;
        EXPECT_EQ(panel.button, c.button) << i;
        EXPECT_EQ(ConnectGuide::primaryButton(c.status, c.gate), c.primary) << i;
        EXPECT_EQ(ConnectGuide::relayFirst(c.status), c.relayFirst) << i;
    }
}

TEST(ConnectGuide, TailscalePanelOffersPairingOnlyWhenPublished) {
    const auto on = ConnectGuide::tailscalePanel(tailscale_facts::On{"box.tail1.ts.net"}, {});
    EXPECT_EQ(on.line, GuideTexts::tailscaleOn);
    EXPECT_EQ(on.address, "https://box.tail1.ts.net");
    ASSERT_TRUE(on.button);
    EXPECT_EQ(on.button->action, GuideAction::of(K::pairDevice));
    EXPECT_TRUE(on.button->enabled);
    EXPECT_FALSE(ConnectGuide::tailscalePanel(tailscale_facts::On{"h.ts.net"}, {.pairBlocked = true}).button->enabled);
    const std::vector<std::pair<TailscaleFacts, std::string>> others = {
        {tailscale_facts::NotInstalled{}, GuideTexts::tailscaleMissing},
        {tailscale_facts::Off{}, GuideTexts::tailscaleOff},
        {tailscale_facts::Unavailable{}, GuideTexts::tailscaleUnavailable},
    };
    for (const auto& [facts, line] : others)
        EXPECT_EQ(ConnectGuide::tailscalePanel(facts, {}), (TailscalePanel{line, std::nullopt, std::nullopt}));
}

TEST(ConnectGuide, SetUpStepsNameTheAccountOnceThereIsOne) {
    EXPECT_EQ(ConnectGuide::setUpSteps(Ready{"me@x.org"}, "relay.example"),
              (std::vector<std::string>{"On the device, scan the code or open relay.example.", "Sign in with me@x.org.",
                                        GuideTexts::chooseAddDevice}));
    for (const ConnectRelayStatus& s : {ConnectRelayStatus(NotSetUp{}), ConnectRelayStatus(NotOnAccount{"me@x.org"}),
                                        ConnectRelayStatus(KeysUnreadable{})})
        EXPECT_EQ(ConnectGuide::setUpSteps(s, "r")[1], GuideTexts::signInGeneric);
    EXPECT_EQ(ConnectGuide::setUpSteps(Off{"a@b.c"}, "r")[1], "Sign in with a@b.c.");
    // The last step sends the owner to the add-device button "below" only
    // where the window shows it there, once the relay is on; before, the
    // relay box above offers setting up or turning on in its place.
    const std::pair<ConnectRelayStatus, bool> lastSteps[] = {
        {Ready{"a@b.c"}, true},
        {Working{"a@b.c", GuideTexts::connecting}, true},
        {NotSetUp{}, false},
        {NotOnAccount{"a@b.c"}, false},
        {Off{"a@b.c"}, false},
        {KeysUnreadable{}, false},
        {Unavailable{GuideTexts::cannotRelay}, false},
    };
    for (const auto& [status, below] : lastSteps)
        for (const std::string address : {"", "r"}) {
            const std::string last = ConnectGuide::setUpSteps(status, address)[2];
            EXPECT_NE(last.find("Add Device Over Relay\u2026"), std::string::npos) << last;
            EXPECT_EQ(last.find("Add Device Over Relay\u2026 below") != std::string::npos, below) << last;
        }
    EXPECT_EQ(ConnectGuide::waitingText("r.example", "a@b.c"),
              "On the new device, open https://r.example in a browser, and sign in as a@b.c. Then choose Continue.");
    EXPECT_EQ(ConnectGuide::relayPageURL("r.example"), "https://r.example");
}

// With no relay chosen the windows name none: the set-up asks for the
// address, the steps say how to choose one, and the other roads are offered.
TEST(ConnectGuide, WithNoRelayChosenNothingNamesARelayAndTheSetUpAsksForOne) {
    const GuideButton setUp{GuideTexts::setUpRelay, GuideAction::of(K::setUpRelay), true};
    EXPECT_EQ(ConnectGuide::relayPanel(NotSetUp{}, {}, false), (RelayPanel{{GuideTexts::noRelayChosen}, setUp}));
    EXPECT_EQ(ConnectGuide::primaryButton(NotSetUp{}, {}, false), setUp);
    EXPECT_EQ(ConnectGuide::setUpSteps(NotSetUp{}, ""),
              (std::vector<std::string>{GuideTexts::noRelayStepOne, GuideTexts::signInGeneric,
                                        GuideTexts::chooseAddDeviceOnceOn}));
    EXPECT_EQ(ConnectGuide::thisComputerLine("http://127.0.0.1:8722"),
              "On this computer, open http://127.0.0.1:8722 in a browser.");

    GuideSnapshot s;
    s.relay = NotSetUp{};
    s.screen = ScreenRecordingPermission::allowed;
    s.accessibility = true;
    const auto steps = WelcomeGuide::steps(s);
    EXPECT_EQ(steps[1].detail, (std::vector<std::string>{GuideTexts::stepTwoDetail, GuideTexts::stepTwoNoRelay}));
    EXPECT_EQ(steps[1].button, setUp);
    EXPECT_EQ(steps[2].detail, std::vector<std::string>{GuideTexts::stepThreeNoRelay});
    // Return on the Welcome window presses the set-up, which asks first.
    EXPECT_EQ(WelcomeGuide::current(steps), 2);
}

TEST(GuideTexts, BuildersJoinTheirPartsExactly) {
    EXPECT_EQ(GuideTexts::tip(true, true), std::string(GuideTexts::tipBase) + GuideTexts::tipPellmoor);
    EXPECT_EQ(GuideTexts::tip(true, false), GuideTexts::tipBase);
    EXPECT_EQ(GuideTexts::tip(false, true), GuideTexts::tipBase);
    EXPECT_EQ(GuideTexts::tipSpoken(false, false), std::string("Tip: ") + GuideTexts::tipBase);
    EXPECT_EQ(GuideTexts::added("Pat's phone"), "\u201CPat's phone\u201D was added. You can close this window.");
    EXPECT_EQ(GuideTexts::signedIn("a@b.c"), "Signed in as a@b.c.");
}

// Every line either window can show, over every relay status, with and
// without a relay chosen and a device: none speaks of another platform's
// devices or store, or promises an app that does not exist.
TEST(GuideTexts, NoShownTextNamesAnotherPlatformOrAnApp) {
    std::vector<std::string> shown = {
        GuideTexts::welcomeLede,     GuideTexts::connectLede,  GuideTexts::tipBase,          GuideTexts::tipPellmoor,
        GuideTexts::menuBarNote,     GuideTexts::setUpFirst,   GuideTexts::otherRoads,       GuideTexts::advanced,
        GuideTexts::openOnThisComputer, GuideTexts::pairOnThisComputer,
        ConnectGuide::waitingText("relay.example", "a@b.c"),
    };
    const std::vector<ConnectRelayStatus> statuses = {
        NotSetUp{},         NotOnAccount{"a@b.c"}, Off{"a@b.c"}, Working{"a@b.c", GuideTexts::refused},
        Ready{"a@b.c"},     KeysUnreadable{},      Unavailable{GuideTexts::devicesUnreadable},
    };
    const std::vector<TailscaleFacts> tailnets = {tailscale_facts::On{"h.ts.net"}, tailscale_facts::NotInstalled{},
                                                  tailscale_facts::Off{}, tailscale_facts::Unavailable{}};
    for (const auto& status : statuses)
        for (const std::string address : {"", "relay.example"})
            for (int devices : {0, 1}) {
                GuideSnapshot s;
                s.relay = status;
                s.address = address;
                s.devices = devices;
                s.gate.paused = devices == 1;
                for (const auto& step : WelcomeGuide::steps(s)) {
                    shown.push_back(step.title);
                    shown.insert(shown.end(), step.detail.begin(), step.detail.end());
                    for (const auto& row : step.rows) {
                        shown.push_back(row.name);
                        if (row.note) shown.push_back(*row.note);
                    }
                }
                const auto panel = ConnectGuide::relayPanel(status, s.gate, !address.empty());
                shown.insert(shown.end(), panel.lines.begin(), panel.lines.end());
                const auto steps = ConnectGuide::setUpSteps(status, address);
                shown.insert(shown.end(), steps.begin(), steps.end());
            }
    for (const auto& facts : tailnets) shown.push_back(ConnectGuide::tailscalePanel(facts, {}).line);
    const std::vector<std::string> foreign = {"Mac",   "menu bar",  "Touch ID", "iPhone", "iPad",
                                              "App Store", "Morvane app", "relay.morvane.app"};
    EXPECT_GT(shown.size(), 100u);
    for (const auto& text : shown)
        for (const auto& word : foreign) EXPECT_EQ(text.find(word), std::string::npos) << word << " in: " << text;
}

GuideSnapshot snapshotWith(ConnectRelayStatus relay) {
    GuideSnapshot s;
    s.relay = std::move(relay);
    s.screen = ScreenRecordingPermission::allowed;
    s.accessibility = true;
    s.locker = true;
    s.address = "relay.example";
    return s;
}

TEST(WelcomeGuide, LaunchRulesShowTheWindowOnlyOnAFreshInstall) {
    const std::vector<ConnectRelayStatus> onAccount = {Off{"a@b.c"}, Working{"a@b.c", "l"}, Ready{"a@b.c"}};
    const std::vector<ConnectRelayStatus> notOnAccount = {NotSetUp{}, NotOnAccount{"a@b.c"}, KeysUnreadable{},
                                                          Unavailable{"x"}};
    for (const auto& s : onAccount) {
        EXPECT_TRUE(WelcomeGuide::stepTwoDone(s));
        EXPECT_FALSE(WelcomeGuide::showAtLaunch(false, s, false));
    }
    for (const auto& s : notOnAccount) {
        EXPECT_FALSE(WelcomeGuide::stepTwoDone(s));
        EXPECT_TRUE(WelcomeGuide::showAtLaunch(false, s, false));
        EXPECT_FALSE(WelcomeGuide::showAtLaunch(true, s, false));
        EXPECT_FALSE(WelcomeGuide::showAtLaunch(false, s, true));
    }
    struct Install {
        bool asked, offered;
        int devices;
        bool existing;
    };
    for (const auto& c : std::vector<Install>{{false, false, 1, true},
                                              {true, true, 3, true},
                                              {true, false, 0, true},
                                              {true, true, 0, false},
                                              {false, false, 0, false},
                                              {false, true, 0, false}})
        EXPECT_EQ(WelcomeGuide::existingInstall(c.asked, c.offered, c.devices), c.existing)
            << c.asked << c.offered << c.devices;
    EXPECT_TRUE(WelcomeGuide::hideWhenClosed(false));
    EXPECT_FALSE(WelcomeGuide::hideWhenClosed(true));
}

TEST(WelcomeGuide, StepOneRowsShowWhatThisDisplayLacksWithoutSettingsButtons) {
    auto s = snapshotWith(NotSetUp{});
    auto steps = WelcomeGuide::steps(s);
    ASSERT_EQ(steps.size(), 3u);
    EXPECT_TRUE(steps[0].done);
    ASSERT_EQ(steps[0].rows.size(), 3u);
    for (const auto& row : steps[0].rows) {
        EXPECT_TRUE(row.done) << row.name;
        EXPECT_FALSE(row.button) << row.name;
    }

    s.screen = ScreenRecordingPermission::missing;
    s.accessibility = false;
    s.locker = false;
    steps = WelcomeGuide::steps(s);
    EXPECT_FALSE(steps[0].done);
    EXPECT_EQ(steps[0].rows[0], (PermissionRow{GuideTexts::screenRecording, false, GuideTexts::screenMissing,
                                               std::nullopt, std::nullopt}));
    EXPECT_EQ(steps[0].rows[1],
              (PermissionRow{GuideTexts::accessibility, false, GuideTexts::xtestMissing, std::nullopt, std::nullopt}));
    EXPECT_EQ(steps[0].rows[2],
              (PermissionRow{GuideTexts::screenLocker, false, GuideTexts::lockerMissing, std::nullopt, std::nullopt}));
    // Nothing in step 1 can be pressed, so the current step is the relay.
    EXPECT_EQ(WelcomeGuide::current(steps), 2);
    EXPECT_EQ(WelcomeGuide::currentRow(steps[0]), std::nullopt);

    s.screen = ScreenRecordingPermission::needsRelaunch;
    steps = WelcomeGuide::steps(s);
    const GuideButton reopen{GuideTexts::quitAndReopen, GuideAction::of(K::quitAndReopen), true};
    EXPECT_EQ(steps[0].rows[0],
              (PermissionRow{GuideTexts::screenRecording, false, GuideTexts::reopenToFinish, reopen, std::nullopt}));
    EXPECT_EQ(WelcomeGuide::current(steps), 1);
    EXPECT_EQ(WelcomeGuide::currentRow(steps[0]), GuideTexts::screenRecording);

    s.screen = ScreenRecordingPermission::missing;
    s.openedScreenSettings = true;
    EXPECT_EQ(WelcomeGuide::steps(s)[0].rows[0],
              (PermissionRow{GuideTexts::screenRecording, false, GuideTexts::reopenAfterSwitch, reopen, std::nullopt}));
}

TEST(WelcomeGuide, StepTwoFollowsTheRelayAndAddsTheGateNote) {
    const GuideButton setUp{GuideTexts::setUpRelay, GuideAction::of(K::setUpRelay), true};
    const GuideButton turnOn{GuideTexts::turnOnRelay, GuideAction::of(K::turnOnRelay), true};
    struct Case {
        ConnectRelayStatus relay;
        GuideGate gate;
        std::vector<std::string> detail;
        std::optional<GuideButton> button;
        bool done;
    };
    auto off = [](GuideButton b) {
        b.enabled = false;
        return b;
    };
    const std::vector<Case> cases = {
        {NotSetUp{}, {}, {GuideTexts::stepTwoDetail}, setUp, false},
        {NotSetUp{}, {.controlled = true}, {GuideTexts::stepTwoDetail, GuideTexts::gateControlled}, off(setUp), false},
        {NotOnAccount{"a@b.c"}, {}, {GuideTexts::stepTwoAgain}, setUp, false},
        {Off{"a@b.c"}, {}, {"Signed in as a@b.c.", GuideTexts::relayOff}, turnOn, true},
        {Off{"a@b.c"}, {.paused = true}, {"Signed in as a@b.c.", GuideTexts::relayOff, GuideTexts::gatePaused},
         off(turnOn), true},
        {Working{"a@b.c", "line"}, {}, {"Signed in as a@b.c.", "line"}, std::nullopt, true},
        {Ready{"a@b.c"}, {}, {"Signed in as a@b.c."}, std::nullopt, true},
        {Ready{"a@b.c"}, {.recentlyControlled = true}, {"Signed in as a@b.c.", GuideTexts::gateRecent}, std::nullopt,
         true},
        {KeysUnreadable{}, {}, {GuideTexts::keysUnreadable}, std::nullopt, false},
        {Unavailable{"why"}, {.busy = true}, {"why"}, std::nullopt, false},
    };
    for (std::size_t i = 0; i < cases.size(); ++i) {
        auto s = snapshotWith(cases[i].relay);
        s.gate = cases[i].gate;
        const auto two = WelcomeGuide::steps(s)[1];
        EXPECT_EQ(two.number, 2) << i;
        EXPECT_EQ(two.title, GuideTexts::stepTwoTitle) << i;
        EXPECT_EQ(two.detail, cases[i].detail) << i;
        EXPECT_EQ(two.button, cases[i].button) << i;
        EXPECT_EQ(two.done, cases[i].done) << i;
        EXPECT_TRUE(two.rows.empty()) << i;
    }
}

TEST(WelcomeGuide, StepThreeCountsDevicesAndAlwaysOffersTheConnectWindow) {
    auto s = snapshotWith(Ready{"a@b.c"});
    const std::vector<std::tuple<int, std::string, std::string>> cases = {
        {0, "relay.example",
         "Choose Connect a Device\u2026 below and follow it: on the device, open relay.example in a browser and sign "
         "in with the same e-mail. Then choose Add Device Over Relay\u2026 in that window and approve the code."},
        {0, "", GuideTexts::stepThreeNoRelay},
        {1, "relay.example", "1 device can connect. Add another any time."},
        {12, "", "12 devices can connect. Add another any time."},
    };
    for (const auto& [devices, address, line] : cases) {
        s.devices = devices;
        s.address = address;
        const auto three = WelcomeGuide::steps(s)[2];
        EXPECT_EQ(three.detail, std::vector<std::string>{line});
        EXPECT_EQ(three.done, devices >= 1);
        EXPECT_EQ(three.button,
                  (GuideButton{GuideTexts::connectDevice, GuideAction::of(K::openConnectWindow), true}));
    }
}

TEST(WelcomeGuide, CurrentStepIsTheFirstUnfinishedOneWithSomethingToPress) {
    auto s = snapshotWith(NotSetUp{});
    EXPECT_EQ(WelcomeGuide::current(WelcomeGuide::steps(s)), 2);
    s.relay = Ready{"a@b.c"};
    EXPECT_EQ(WelcomeGuide::current(WelcomeGuide::steps(s)), 3);
    s.devices = 1;
    EXPECT_EQ(WelcomeGuide::current(WelcomeGuide::steps(s)), std::nullopt);

    WelcomeStep rowsOnly{1, "t", {}, false, {{"a", true, std::nullopt, GuideButton{}, std::nullopt},
                                             {"b", false, std::nullopt, std::nullopt, std::nullopt},
                                             {"c", false, std::nullopt, GuideButton{}, std::nullopt}},
                         std::nullopt};
    EXPECT_EQ(WelcomeGuide::current({rowsOnly}), 1);
    EXPECT_EQ(WelcomeGuide::currentRow(rowsOnly), "c");

    const auto done = WelcomeGuide::steps(s)[1];
    EXPECT_EQ(WelcomeGuide::stepSpoken(done), "Step 2 of 3: Sign in to put this computer on your account. Done.");
    EXPECT_EQ(WelcomeGuide::stepSpoken(WelcomeGuide::steps(snapshotWith(NotSetUp{}))[1]),
              "Step 2 of 3: Sign in to put this computer on your account. Not done yet.");
}

}  // namespace
}  // namespace morvane
