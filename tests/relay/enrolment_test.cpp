#include <gtest/gtest.h>

#include "relay/relay_host.h"
#include "relay_host_rig.h"

namespace morvane {
namespace {

using testing::HostRig;
using testing::TestDevice;
using Peer = RelayHost::Peer;
using namespace SecureChannel;

using Lines = std::vector<std::string>;

const std::string nothingAdded = "enrolment: window closed, nothing added";

TEST(Enrolment, WindowOpensOnlyWhenTheHostCanTrustWhatItWouldAdd) {
    struct Case {
        const char* name;
        std::function<void(HostRig&)> setUp;
    };
    const std::vector<Case> cases = {
        {"host stopped",
         [](HostRig& r) {
             r.host->shutDown(nullptr);
             r.queue.runAll();
         }},
        {"window already open", [](HostRig& r) { r.host->openEnrolmentWindow(); }},
        {"link not up", [](HostRig& r) { r.link->up = false; }},
        {"sharing paused", [](HostRig& r) { r.server->paused = true; }},
        {"a device controls the machine", [](HostRig& r) { r.server->controller = "Laptop"; }},
        {"device storage failing",
         [](HostRig& r) {
             r.storage->loadError = "unreadable";
             r.store->reload();
         }},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        HostRig rig;
        rig.up({1});
        c.setUp(rig);
        const auto lines = rig.log.size();
        const auto window = rig.host->window();
        EXPECT_FALSE(rig.host->openEnrolmentWindow());
        EXPECT_EQ(rig.log.size(), lines);
        EXPECT_EQ(rig.host->window(), window);
    }
    // The first window keeps its own time.
    HostRig rig;
    ASSERT_TRUE(rig.host->openEnrolmentWindow());
    rig.advance(60);
    EXPECT_FALSE(rig.host->openEnrolmentWindow());
    rig.advance(60);
    EXPECT_FALSE(rig.host->window());
    EXPECT_EQ(rig.count(nothingAdded), 1);
}

TEST(Enrolment, UnansweredWindowClosesAfterTwoMinutes) {
    HostRig rig;
    rig.up({1});
    ASSERT_TRUE(rig.host->openEnrolmentWindow());
    EXPECT_TRUE(rig.logged("enrolment: window opened"));
    rig.advance(119.999);
    EXPECT_TRUE(rig.host->window());
    rig.advance(0.001);
    EXPECT_FALSE(rig.host->window());
    EXPECT_TRUE(rig.logged(nothingAdded));
    EXPECT_EQ(rig.hooks, Lines{"finished none"});
}

TEST(Enrolment, DeviceAnsweringNoWindowIsRefused) {
    struct Case {
        const char* name;
        std::function<void(HostRig&)> setUp;
    };
    const std::vector<Case> cases = {
        {"no window", [](HostRig&) {}},
        {"paused after opening", [](HostRig& r) {
             r.host->openEnrolmentWindow();
             r.server->paused = true;
         }},
        {"controlled after opening", [](HostRig& r) {
             r.host->openEnrolmentWindow();
             r.server->controller = "Laptop";
         }},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        HostRig rig;
        rig.up({1});
        c.setUp(rig);
        auto phone = rig.device();
        rig.receive(1, phone.enrolMessage1());
        EXPECT_TRUE(rig.dropped(1));
        EXPECT_TRUE(rig.sentTo(1).empty());
        EXPECT_TRUE(rig.logged("handshake refused: no-window (1 this minute)"));
    }
}

TEST(Enrolment, SecondDeviceIsRefusedAndTheFirstGoesOn) {
    HostRig rig;
    rig.up({1, 2});
    ASSERT_TRUE(rig.host->openEnrolmentWindow());
    auto phone = rig.device("Phone");
    auto intruder = rig.device("Intruder");
    rig.receive(1, phone.enrolMessage1());
    auto message2 = rig.sentTo(1);
    ASSERT_EQ(message2.size(), 1u);
    rig.receive(2, intruder.enrolMessage1());
    EXPECT_TRUE(rig.dropped(2));
    rig.receive(1, phone.enrolMessage3(message2[0]));
    EXPECT_TRUE(rig.in<Peer::XxShown>(1));
    EXPECT_EQ(rig.hooks, Lines{"request Phone " + *phone.code()});
}

TEST(Enrolment, RejectedFirstMessageLeavesTheWindowForAnotherDevice) {
    HostRig rig;
    rig.up({1, 2});
    ASSERT_TRUE(rig.host->openEnrolmentWindow());
    rig.receive(1, Bytes(xx1Length - 1, typeXX1));
    EXPECT_TRUE(rig.dropped(1));
    EXPECT_TRUE(rig.logged("handshake refused: bad-length (1 this minute)"));
    EXPECT_EQ(rig.host->window(), RelayHost::Window{});
    auto phone = rig.device();
    EXPECT_TRUE(rig.enrolTo(2, phone));
}

TEST(Enrolment, CandidateTimeOutsCloseTheWindowAndDropTheDevice) {
    struct Case {
        const char* name;
        std::function<void(HostRig&, TestDevice&)> act;
    };
    const std::vector<Case> cases = {
        {"message 3 eleven seconds after message 2",
         [](HostRig& r, TestDevice& d) {
             r.receive(1, d.enrolMessage1());
             auto m2 = r.sentTo(1);
             r.advance(10);
             EXPECT_TRUE(r.dropped(1));
             r.advance(1);
             r.receive(1, d.enrolMessage3(m2.at(0)));
         }},
        {"approval sixty-one seconds after the code",
         [](HostRig& r, TestDevice& d) {
             r.enrolTo(1, d);
             r.advance(61);
             r.host->approveEnrolment();
             r.queue.runAll();
         }},
        {"window answered at 100 s closes at 120 s",
         [](HostRig& r, TestDevice& d) {
             r.advance(100);
             r.enrolTo(1, d);
             r.advance(20);
             EXPECT_TRUE(r.dropped(1));
             r.host->approveEnrolment();
             r.queue.runAll();
         }},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        HostRig rig;
        rig.up({1});
        ASSERT_TRUE(rig.host->openEnrolmentWindow());
        auto phone = rig.device();
        c.act(rig, phone);
        rig.main.runAll();
        EXPECT_FALSE(rig.host->window());
        EXPECT_TRUE(rig.dropped(1));
        EXPECT_TRUE(rig.store->devices().empty());
        EXPECT_EQ(rig.count(nothingAdded), 1);
        EXPECT_EQ(rig.hooks.back(), "finished none");
        EXPECT_TRUE(rig.sentTo(1).empty());
    }
}

TEST(Enrolment, OwnerOrServerEndsTheEnrolmentAndDropsTheCandidate) {
    struct Case {
        const char* name;
        std::function<void(HostRig&)> end;
        Lines lines;
    };
    const std::vector<Case> cases = {
        {"owner cancels", [](HostRig& r) { r.host->cancelEnrolment(); },
         {"enrolment: cancelled at the computer", "device connection closed", nothingAdded}},
        {"owner closes", [](HostRig& r) { r.host->closeEnrolmentWindow(); },
         {"device connection closed", nothingAdded}},
        {"a device takes control", [](HostRig& r) { r.server->observer(RelayServerEvent::controllerConnected); },
         {"device connection closed", nothingAdded}},
        {"sharing pauses", [](HostRig& r) { r.server->observer(RelayServerEvent::paused); },
         {"device connection closed", nothingAdded}},
        {"approval while paused",
         [](HostRig& r) {
             r.server->paused = true;
             r.host->approveEnrolment();
         },
         {"device connection closed", nothingAdded}},
        {"approval with the link down",
         [](HostRig& r) {
             r.link->up = false;
             r.host->approveEnrolment();
         },
         {"device connection closed", nothingAdded}},
        {"device store refuses",
         [](HostRig& r) {
             r.storage->loadError = "unreadable";
             r.store->reload();
             r.host->approveEnrolment();
         },
         {"enrolment: cancelled at the computer", "device connection closed", nothingAdded}},
        {"the device list cannot be saved",
         [](HostRig& r) {
             r.storage->fillDisk();
             r.host->approveEnrolment();
         },
         {std::string("enrolment: refused, the device list could not be saved: ") + testing::MemoryStorage::noSpaceText,
          "device connection closed", nothingAdded}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        HostRig rig;
        rig.up({1});
        ASSERT_TRUE(rig.host->openEnrolmentWindow());
        auto phone = rig.device();
        ASSERT_TRUE(rig.enrolTo(1, phone));
        rig.log.clear();
        c.end(rig);
        rig.queue.runAll();
        rig.main.runAll();
        EXPECT_EQ(rig.log, c.lines);
        EXPECT_TRUE(rig.dropped(1));
        EXPECT_EQ(rig.hooks.back(), "finished none");
        EXPECT_TRUE(rig.sentTo(1).empty());
    }
    HostRig idle;
    idle.host->cancelEnrolment();
    idle.queue.runAll();
    idle.main.runAll();
    EXPECT_TRUE(idle.log.empty());
    EXPECT_TRUE(idle.hooks.empty());
}

TEST(Enrolment, CandidateLeavingFailingOrStartingASessionClosesTheWindowWithoutADrop) {
    struct Case {
        const char* name;
        std::function<void(HostRig&, TestDevice&)> act;
        bool dropped;
    };
    const std::vector<Case> cases = {
        {"leaves the relay", [](HostRig& r, TestDevice&) { r.host->relayLinkLeft(1); }, false},
        {"link goes down", [](HostRig& r, TestDevice&) { r.host->relayLinkDown(); }, false},
        {"sends a transport record", [](HostRig& r, TestDevice&) { r.receive(1, Bytes(40, typeTransport)); }, true},
        {"starts IK",
         [](HostRig& r, TestDevice& d) {
             r.store->enrolRelayDevice(d.publicKey(), "Phone");
             r.receive(1, d.sessionMessage1(r.macKey.publicKeyBytes()));
         },
         false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        HostRig rig;
        rig.up({1});
        ASSERT_TRUE(rig.host->openEnrolmentWindow());
        auto phone = rig.device();
        ASSERT_TRUE(rig.enrolTo(1, phone));
        c.act(rig, phone);
        rig.main.runAll();
        EXPECT_FALSE(rig.host->window());
        EXPECT_EQ(rig.dropped(1), c.dropped);
        EXPECT_EQ(rig.count(nothingAdded), 1);
        EXPECT_EQ(rig.hooks.back(), "finished none");
    }
}

TEST(Enrolment, ApprovalStoresTheDeviceAndSendsTheEnrolledRecord) {
    HostRig rig;
    rig.up({1});
    ASSERT_TRUE(rig.host->openEnrolmentWindow());
    auto phone = rig.device("Phone");
    auto code = rig.enrolTo(1, phone);
    ASSERT_TRUE(code);
    EXPECT_EQ(code->size(), 6u);
    EXPECT_EQ(rig.hooks, Lines{"request Phone " + *code});
    EXPECT_TRUE(rig.logged("enrolment: request from \u201CPhone\u201D, code shown"));

    rig.host->approveEnrolment();
    rig.queue.runAll();
    rig.main.runAll();
    auto records = rig.sentTo(1);
    ASSERT_EQ(records.size(), 1u);
    EXPECT_EQ(records[0].size(), 42u);
    EXPECT_EQ(Bytes(records[0].begin(), records[0].begin() + 9), (Bytes{0x20, 0, 0, 0, 0, 0, 0, 0, 0}));
    EXPECT_TRUE(phone.readEnrolled(records[0]));
    ASSERT_EQ(rig.store->devices().size(), 1u);
    EXPECT_EQ(rig.store->relayDevice(phone.publicKey())->name, "Phone");
    EXPECT_EQ(rig.hooks.back(), "finished Phone");
    EXPECT_TRUE(rig.logged("enrolment: approved, Phone added"));
    EXPECT_FALSE(rig.logged(nothingAdded));
    EXPECT_FALSE(rig.host->window());
    EXPECT_FALSE(rig.dropped(1));

    // The same connection now opens a session.
    rig.session(1, phone);
    EXPECT_TRUE(rig.in<Peer::Open>(1));

    // Enrolling the same key again renames the device; nothing is duplicated.
    ASSERT_TRUE(rig.host->openEnrolmentWindow());
    rig.host->relayLinkJoined(2);
    auto workPhone = phone.renamed("Work Phone");
    ASSERT_TRUE(rig.enrolTo(2, workPhone));
    rig.host->approveEnrolment();
    rig.queue.runAll();
    ASSERT_EQ(rig.store->devices().size(), 1u);
    EXPECT_EQ(rig.store->devices()[0].name, "Work Phone");
}

// Names are cleaned; and a name another listed device already has is
// numbered: a phone whose page forgot its keys is added again as a new
// device while its old entry stays, and the owner must tell them apart.
TEST(Enrolment, NamesAreCleanedAndNumberedPastOtherDevicesBeforeTheyAreShownAndStored) {
    const std::string forty(40, 'n');
    struct Case {
        std::vector<std::string> listed;
        std::string sent;
        std::string stored;
    };
    const std::vector<Case> cases = {
        {{}, std::string(100, 'n'), forty},
        {{}, "   ", "Device"},
        {{}, "  Tablet \n", "Tablet"},
        {{"Phone"}, "Phone", "Phone (2)"},
        {{"Phone", "Phone (2)"}, "Phone", "Phone (3)"},
        {{"Phone", "Phone (3)"}, "Phone", "Phone (2)"},
        {{"Phone (2)"}, "Phone", "Phone"},
        {{"Tablet", "phone"}, "Phone", "Phone"},
        {{"Phone (2)"}, "Phone (2)", "Phone (2) (2)"},
        {{forty}, std::string(100, 'n'), std::string(36, 'n') + " (2)"},
        {{std::string(35, 'n') + " wxyz"}, std::string(35, 'n') + " wxyz", std::string(35, 'n') + " (2)"},
        {{"Grüße und Küsse vom Telefon aus Kölnäöüß"}, "Grüße und Küsse vom Telefon aus Kölnäöüß",
         "Grüße und Küsse vom Telefon aus Köln (2)"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.sent + " beside " + ::testing::PrintToString(c.listed));
        HostRig rig;
        rig.up({1});
        for (const auto& name : c.listed) rig.enrolled(name);
        ASSERT_TRUE(rig.host->openEnrolmentWindow());
        auto device = rig.device(c.sent);
        auto code = rig.enrolTo(1, device);
        ASSERT_TRUE(code);
        EXPECT_EQ(rig.hooks, Lines{"request " + c.stored + " " + *code});
        rig.host->approveEnrolment();
        rig.queue.runAll();
        ASSERT_TRUE(rig.store->relayDevice(device.publicKey()));
        EXPECT_EQ(rig.store->relayDevice(device.publicKey())->name, c.stored);
        EXPECT_EQ(rig.store->devices().size(), c.listed.size() + 1);
    }
    // The same phone enrolling again with its own key keeps its name.
    HostRig rig;
    rig.up({1});
    auto phone = rig.enrolled("Phone");
    ASSERT_TRUE(rig.host->openEnrolmentWindow());
    ASSERT_TRUE(rig.enrolTo(1, phone));
    rig.host->approveEnrolment();
    rig.queue.runAll();
    ASSERT_EQ(rig.store->devices().size(), 1u);
    EXPECT_EQ(rig.store->devices()[0].name, "Phone");
}

}  // namespace
}  // namespace morvane
