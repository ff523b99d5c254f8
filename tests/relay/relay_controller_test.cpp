#include "relay/relay_controller.h"

#include <gtest/gtest.h>

#include <map>

#include "relay_controller_rig.h"
#include "test_device.h"

namespace morvane {
namespace {

using testing::ManualExecutor;
using testing::MemoryStorage;
using testing::TestDevice;
using Kind = HostRelayLink::State::Kind;
using Item = RelayMenuItem;
using Lines = std::vector<std::string>;
using Items = std::vector<RelayMenuItem>;

constexpr std::int64_t noon = testing::ControllerRig::noon;
using testing::ControllerRig;
using testing::MemorySettings;

TEST(RelayController, SettingsOfTheRelayBeforeAccountsAreClearedOnce) {
    struct Case {
        const char* name;
        std::function<void(MemorySettings&)> stored;
        bool cleared;
    };
    const std::vector<Case> cases = {
        {"on with an address and no account",
         [](MemorySettings& s) {
             s.setBool(RelayController::enabledKey, true);
             s.setString(RelayController::hostKey, "relay.example.org");
         },
         true},
        {"an address alone", [](MemorySettings& s) { s.setString(RelayController::hostKey, "relay.example.org"); },
         true},
        {"an account e-mail",
         [](MemorySettings& s) {
             s.setString(RelayController::hostKey, "relay.example.org");
             s.setString(RelayController::emailKey, "owner@example.com");
         },
         false},
        {"nothing stored", [](MemorySettings&) {}, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        ControllerRig rig;
        c.stored(rig.settings);
        rig.controller->start();
        EXPECT_EQ(rig.settings.intValue(RelayController::versionKey), 2);
        EXPECT_EQ(rig.logged("the relay now uses accounts: set it up again"), c.cleared);
        if (c.cleared) {
            EXPECT_FALSE(rig.settings.stringValue(RelayController::hostKey));
            EXPECT_EQ(rig.settings.boolValue(RelayController::enabledKey), false);
        }
        const auto before = rig.settings.values;
        ControllerRig again;
        again.settings.values = before;
        again.controller->start();
        EXPECT_EQ(again.settings.values, before);
        EXPECT_TRUE(again.log.empty());
    }
}

TEST(RelayController, AddressesAreTrimmedLowerCasedAndCheckedAsHostNames) {
    const std::vector<std::pair<std::string, std::optional<std::string>>> cases = {
        {"  Relay.Example.COM \n", "relay.example.com"},
        {"relay.example.com.", "relay.example.com"},
        {"-relay.example.com", std::nullopt},
        {"relay", std::nullopt},
        // The address a browser shows for the relay names it; more does not.
        {"https://relay.example.com/", "relay.example.com"},
        {"https://relay.example.com/relay", std::nullopt},
        {"https://relay/", std::nullopt},
        {"relay.example.123", std::nullopt},
        {"", std::nullopt},
    };
    for (const auto& [text, expected] : cases) EXPECT_EQ(RelayController::usableAddress(text), expected) << text;

    EXPECT_EQ(ControllerRig(true, " Mine.Example.NET ").controller->defaultAddress(), "mine.example.net");
    EXPECT_EQ(ControllerRig(true, "-mine.example.net").controller->defaultAddress(), "relay.example.com");

    // A stored address that is not usable falls back to the default.
    ControllerRig rig(true, "mine.example.net");
    rig.setUpBefore(false);
    rig.settings.setString(RelayController::hostKey, "not an address");
    rig.controller->start();
    EXPECT_EQ(rig.controller->relayAddress(), "mine.example.net");
    auto section = rig.titles();
    EXPECT_EQ(std::count(section.begin(), section.end(), Item::detail("Relay address: mine.example.net")), 0);
    rig.settings.setString(RelayController::hostKey, "Other.Example.org");
    rig.controller->start();
    section = rig.titles();
    EXPECT_EQ(std::count(section.begin(), section.end(), Item::detail("Relay address: other.example.org")), 1);
}

TEST(RelayController, StoredOnWithoutAnIdentityTurnsOffUnlessTheKeysAreUnreadable) {
    ControllerRig missing;
    missing.setUpBefore();
    missing.identityItem->stored.reset();
    missing.controller->start();
    EXPECT_FALSE(missing.controller->enabled());
    EXPECT_FALSE(missing.controller->link());
    EXPECT_EQ(missing.settings.boolValue(RelayController::enabledKey), false);
    EXPECT_TRUE(missing.logged("was on but is not set up: turned off"));

    ControllerRig unreadable;
    unreadable.setUpBefore();
    unreadable.identityItem->loadError = "item locked";
    unreadable.controller->start();
    EXPECT_FALSE(unreadable.controller->enabled());
    EXPECT_EQ(unreadable.settings.boolValue(RelayController::enabledKey), true);
    EXPECT_TRUE(unreadable.logged("identity could not be read: item locked"));
    EXPECT_EQ(unreadable.titles(), (Items{Item::warning("Relay keys could not be read"),
                                          Item::label("Relay stays off until you start fresh"),
                                          Item::command("Start Fresh With New Relay Keys\u2026", "resetKeys", true)}));

    // Not hardened: the identity is never read and the setting only ignored.
    ControllerRig plain(false);
    plain.setUpBefore();
    plain.controller->start();
    EXPECT_FALSE(plain.controller->enabled());
    EXPECT_EQ(plain.settings.boolValue(RelayController::enabledKey), true);
    EXPECT_TRUE(plain.log.empty());
}

TEST(RelayController, StatusLinesFollowTheLinkState) {
    using State = HostRelayLink::State;
    struct Case {
        State state;
        Items lines;
    };
    const std::vector<Case> cases = {
        {State::backingOffUntil(noon + 200), {Item::label("Relay: trying again in 1 s")}},
        {State::backingOffUntil(noon + 61'500), {Item::label("Relay: trying again in 62 s")}},
        {State::backingOffUntil(noon - 5'000), {Item::label("Relay: trying again in 1 s")}},
        {{Kind::off}, {Item::label("Relay: connecting\u2026")}},
        {{Kind::proving}, {Item::label("Relay: connecting\u2026")}},
        {{Kind::suspended}, {Item::label("Relay: connecting\u2026")}},
        {{Kind::waitingForNetwork}, {Item::label("Relay: waiting for the network")}},
        {{Kind::up}, {Item::label("Relay: connected")}},
        {{Kind::refused},
         {Item::label("Relay: the relay refused this computer"), Item::label("Check this computer's date and time"),
          Item::label("Trying again every 30 minutes"), Item::command("Try Now", "tryNow", true)}},
        {{Kind::notOnAccount},
         {Item::label("Relay: this computer is not on your account"),
          Item::label("It was removed, or set up with another account"),
          Item::command("Set Up Relay\u2026", "setUp", false), Item::command("Try Now", "tryNow", true)}},
        {{Kind::exhausted},
         {Item::label("Relay: stopped for today to protect the daily allowance"),
          Item::command("Allow More Relay Use Today\u2026", "allowMore", false)}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.state.word()));
        // Held: only Try Now stays enabled.
        EXPECT_EQ(RelayController::linkLines(c.state, noon, true, false), c.lines);
    }
}

TEST(RelayController, ARelayThatNeverAnswersIsNamedInTheSectionWithWhy) {
    ControllerRig rig;
    rig.setUpBefore();
    rig.controller->start();
    rig.queue.runAll();
    const auto reason = [&]() -> std::string {
        for (const auto& item : rig.titles())
            if (item.title.rfind("The relay did not answer", 0) == 0) return item.title;
        return {};
    };
    EXPECT_EQ(reason(), "") << "nothing failed yet";
    // Each attempt waits 15 s for an answer, then backs off; three go unanswered.
    for (int second = 0; second < 600 && reason().find("last 3 tries") == std::string::npos; ++second)
        rig.queue.advance(1'000);
    const std::string line = reason();
    EXPECT_EQ(line.rfind("The relay did not answer the last 3 tries: ", 0), 0u) << line;
    EXPECT_NE(line.find(": no answer within 15 s"), std::string::npos) << line;
    // Said while it dials again too, until the relay answers.
    for (int second = 0; second < 600 && rig.titles()[0].title != "Relay: connecting\u2026"; ++second)
        rig.queue.advance(1'000);
    EXPECT_EQ(reason(), line);
    rig.bringUp();
    EXPECT_EQ(reason(), "") << "the relay answered";
}

TEST(RelayController, MenuSectionOffersWhatTheSetUpAllows) {
    ControllerRig fresh;
    fresh.controller->start();
    EXPECT_EQ(fresh.titles(), (Items{Item::label("Relay: off"), Item::command("Set Up Relay\u2026", "setUp", true),
                                     Item::command("Set Up Relay With Another Address\u2026", "setUpElsewhere", true)}));
    EXPECT_EQ(fresh.titles(true)[1].enabled, false);

    ControllerRig off;
    off.setUpBefore(false);
    off.controller->start();
    const Items offItems = {Item::label("Relay: off"), Item::detail("Relay account: owner@example.com"),
                            Item::command("Turn On Relay\u2026", "turnOn", true),
                            Item::command("Change Relay Address\u2026", "changeAddress", true),
                            Item::command("Remove This Computer From Your Account\u2026", "removeFromAccount", true)};
    EXPECT_EQ(off.titles(), offItems);
    off.paused = true;
    EXPECT_FALSE(off.titles()[2].enabled);

    ControllerRig on;
    on.setUpBefore();
    on.controller->start();
    ASSERT_TRUE(on.controller->link());
    on.queue.runAll();
    auto connecting = on.titles();
    EXPECT_EQ(connecting[0], Item::label("Relay: connecting\u2026"));
    EXPECT_EQ(connecting[2], Item::detail("Connection attempts today: 0 of 200"));  // counted once answered
    EXPECT_EQ(connecting[3], Item::detail("Relay use today: about 0% of this computer's daily allowance"));
    // The relay is the owner's own: the share is of the day's use at which
    // this computer stops the link, not of a provider's free allowance.
    ControllerRig used;
    used.setUpBefore();
    used.counters->set(RelayDay::name(noon), RelayUsage::dayKey);
    used.counters->set(std::int64_t{20 * (RelayUsage::requestCeiling / 2)}, RelayUsage::recordsKey);
    used.controller->start();
    used.queue.runAll();
    EXPECT_EQ(used.titles()[2], Item::detail("Connection attempts today: 0 of 200"));
    EXPECT_EQ(used.titles()[3], Item::detail("Relay use today: about 50% of this computer's daily allowance"));
    // Adding a device needs the link up.
    EXPECT_EQ(connecting[4], Item::command("Add Device Over Relay\u2026", "addDevice", false));
    on.bringUp();
    auto up = on.titles();
    EXPECT_EQ(up[0], Item::label("Relay: connected"));
    EXPECT_EQ(up[2], Item::detail("Connection attempts today: 1 of 200"));
    EXPECT_EQ(up[4], Item::command("Add Device Over Relay\u2026", "addDevice", true));
    // A device added while the device list is not being saved would be lost
    // at the next restart.
    on.storage->fillDisk();
    on.store.revoke("no-such-device");
    EXPECT_FALSE(on.titles()[4].enabled);
    on.storage->freeDisk();
    on.store.retrySave();
    EXPECT_TRUE(on.titles()[4].enabled);
    // While a device controls the machine only Turn Off stays enabled here.
    for (const auto& item : on.titles(true)) {
        if (item.kind == Item::Kind::action) {
            EXPECT_EQ(item.enabled, item.action == "turnOff") << item.title;
        }
    }
}

TEST(RelayController, TurningOnAsksTheOwnerAndTurningOffDoesNot) {
    ControllerRig rig;
    rig.setUpBefore(false);
    rig.controller->start();
    rig.ownerAgrees = false;
    rig.controller->perform("turnOn");
    EXPECT_EQ(rig.asked, Lines{"turn on the relay"});
    EXPECT_FALSE(rig.controller->enabled());

    rig.ownerAgrees = true;
    rig.controller->perform("turnOn");
    EXPECT_TRUE(rig.controller->enabled());
    EXPECT_TRUE(rig.controller->link());
    EXPECT_EQ(rig.settings.boolValue(RelayController::enabledKey), true);
    EXPECT_TRUE(rig.logged("turned on (owner authenticated)"));

    rig.log.clear();
    rig.controller->perform("turnOff");
    EXPECT_EQ(rig.log, Lines{"turned off in the menu"});
    EXPECT_FALSE(rig.controller->link());
    EXPECT_EQ(rig.settings.boolValue(RelayController::enabledKey), false);
    rig.queue.runAll();
    EXPECT_EQ(rig.server->journal, Lines{"closeRelayed mac-offline"});
    // The link goes down only after the goodbyes had time to leave.
    EXPECT_FALSE(rig.sockets->last().cancelled);
    rig.queue.advance(250);
    EXPECT_TRUE(rig.sockets->last().cancelled);
    rig.log.clear();
    rig.controller->perform("turnOff");
    EXPECT_TRUE(rig.log.empty());
    EXPECT_EQ(rig.asked.size(), 2u);

    // Paused or blocked: the owner is not even asked.
    for (auto which : {0, 1}) {
        ControllerRig held;
        held.setUpBefore(false);
        held.controller->start();
        (which == 0 ? held.paused : held.blocked) = true;
        held.controller->perform("turnOn");
        EXPECT_TRUE(held.asked.empty());
    }
}

TEST(RelayController, PauseClosesRelayedSessionsAndTheWindowButKeepsTheLink) {
    ControllerRig rig;
    rig.setUpBefore();
    rig.controller->start();
    rig.bringUp();
    ASSERT_TRUE(rig.controller->host()->openEnrolmentWindow());
    rig.controller->morvanePaused();
    rig.queue.runAll();
    EXPECT_EQ(rig.server->journal, Lines{"closeRelayed disconnected-by-host"});
    EXPECT_FALSE(rig.controller->host()->window());
    EXPECT_EQ(rig.controller->link()->snapshot().state.kind, Kind::up);
}

TEST(RelayController, StartFreshForgetsTheAccountAndRemovesTheKeys) {
    ControllerRig rig;
    rig.setUpBefore();
    rig.controller->start();
    rig.controller->startFresh();
    EXPECT_FALSE(rig.controller->enabled());
    EXPECT_FALSE(rig.controller->link());
    EXPECT_FALSE(rig.controller->identity());
    EXPECT_FALSE(rig.controller->accountEmail());
    EXPECT_FALSE(rig.settings.stringValue(RelayController::emailKey));
    EXPECT_EQ(rig.settings.boolValue(RelayController::enabledKey), false);
    EXPECT_TRUE(rig.logged("start fresh: memory removed"));

    ControllerRig failing;
    failing.setUpBefore();
    failing.controller->start();
    failing.identityItem->removeError = "item locked";
    failing.controller->startFresh();
    EXPECT_TRUE(failing.logged("error: the relay identity could not be removed: item locked"));
    EXPECT_TRUE(failing.controller->identity());
}

TEST(RelayController, AddingADeviceShowsTheDevicesCodeAndApprovesIt) {
    ControllerRig rig;
    rig.setUpBefore();
    rig.controller->start();
    rig.bringUp("[5]");
    TestDevice phone("Phone", rig.controller->identity()->roomID());
    std::string shownCode;
    rig.answer = [&](const RelayAlert& alert, std::function<bool()> closeWhen) {
        if (alert.message == "Waiting for the new device") {
            EXPECT_FALSE(closeWhen());
            rig.fromDevice(5, phone.enrolMessage1());
            auto message2 = rig.toDevice();
            EXPECT_EQ(message2.size(), 1u);
            rig.fromDevice(5, phone.enrolMessage3(message2.at(0)));
            EXPECT_TRUE(closeWhen());
            return RelayResponse::abort;
        }
        shownCode = alert.message;
        EXPECT_EQ(alert.buttons, (Lines{"Approve", "Cancel"}));
        EXPECT_FALSE(alert.firstIsDefault) << "Return must not approve";
        EXPECT_EQ(alert.informative, "\u201CPhone\u201D wants to control this computer. It must show the same code.\n\n"
                                     "If the codes differ, or you did not start this, choose Cancel.");
        return RelayResponse::first;
    };
    rig.controller->perform("addDevice");
    EXPECT_EQ(rig.asked, Lines{"add a device over the relay"});
    ASSERT_TRUE(phone.code());
    EXPECT_EQ(shownCode, "Code: " + phone.code()->substr(0, 3) + " " + phone.code()->substr(3));
    rig.queue.runAll();
    rig.main.runAll();
    auto enrolled = rig.toDevice();
    ASSERT_EQ(enrolled.size(), 1u);
    EXPECT_TRUE(phone.readEnrolled(enrolled[0]));
    EXPECT_EQ(rig.store.relayDevice(phone.publicKey())->name, "Phone");
    EXPECT_EQ(rig.controller->recentlyAdded(), "Phone");
    EXPECT_EQ(rig.titles()[0], Item::label("Added \u201CPhone\u201D just now. Revoke it under Devices"));
    rig.queue.advance(59'000);
    EXPECT_EQ(rig.controller->recentlyAdded(), "Phone");
    rig.queue.advance(1'000);
    EXPECT_EQ(rig.controller->recentlyAdded(), std::nullopt);
}

TEST(RelayController, AnEnrolmentNotApprovedIsCancelledAtTheHost) {
    struct Case {
        const char* name;
        int waiting;
        std::optional<int> code;
    };
    const std::vector<Case> cases = {
        {"owner cancels the waiting dialog", RelayResponse::first, std::nullopt},
        {"owner cancels the code", RelayResponse::abort, RelayResponse::second},
        {"code dialog ends by itself", RelayResponse::abort, RelayResponse::abort},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        ControllerRig rig;
        rig.setUpBefore();
        rig.controller->start();
        rig.bringUp("[5]");
        TestDevice phone("Phone", rig.controller->identity()->roomID());
        rig.answer = [&](const RelayAlert& alert, std::function<bool()>) {
            if (alert.message != "Waiting for the new device") return *c.code;
            if (c.code) {
                rig.fromDevice(5, phone.enrolMessage1());
                rig.fromDevice(5, phone.enrolMessage3(rig.toDevice().at(0)));
            }
            return c.waiting;
        };
        rig.controller->perform("addDevice");
        rig.queue.runAll();
        rig.main.runAll();
        EXPECT_TRUE(rig.controller->enrolEnded());
        EXPECT_TRUE(rig.logged("enrolment: cancelled at the computer"));
        EXPECT_TRUE(rig.logged("enrolment: window closed, nothing added"));
        EXPECT_TRUE(rig.store.devices().empty());
    }
}

}  // namespace
}  // namespace morvane
