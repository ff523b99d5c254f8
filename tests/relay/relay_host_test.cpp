#include "relay/relay_host.h"

#include <gtest/gtest.h>

#include "relay_host_rig.h"

namespace morvane {
namespace {

using testing::HostRig;
using testing::TestDevice;
using Peer = RelayHost::Peer;
using namespace SecureChannel;

using Lines = std::vector<std::string>;

TEST(RelayHost, ConnectionTableHoldsAtMostFourDevices) {
    HostRig rig;
    rig.up({1, 2, 3, 4, 5, 6});
    EXPECT_EQ(rig.host->peerCount(), 4u);
    EXPECT_EQ(rig.link->dropped, (std::vector<std::uint32_t>{5, 6}));
    EXPECT_EQ(rig.log, (Lines{"device connection opened (1 of 4)", "device connection opened (2 of 4)",
                              "device connection opened (3 of 4)", "device connection opened (4 of 4)"}));

    rig.log.clear();
    rig.host->relayLinkJoined(7);
    EXPECT_TRUE(rig.dropped(7));
    EXPECT_TRUE(rig.log.empty());

    rig.host->relayLinkLeft(2);
    rig.host->relayLinkJoined(8);
    EXPECT_EQ(rig.log, (Lines{"device connection closed", "device connection opened (4 of 4)"}));
    EXPECT_EQ(rig.host->peerCount(), 4u);
}

TEST(RelayHost, HandshakeRecordsAreRateLimitedPerConnectionAndInTotal) {
    HostRig rig;
    rig.up({1});
    auto phone = rig.enrolled();
    for (int i = 0; i < 12; ++i) ASSERT_TRUE(rig.handshake(1, phone)) << i;
    // The thirteenth within the minute gets no reply and no log line.
    rig.log.clear();
    EXPECT_FALSE(rig.handshake(1, phone));
    EXPECT_TRUE(rig.log.empty());
    EXPECT_FALSE(rig.dropped(1));
    rig.advance(60);
    EXPECT_EQ(rig.log, Lines{"handshake records over the rate limit: 1 this minute"});
    // The window has slid past the first ones: handshakes pass again.
    EXPECT_TRUE(rig.handshake(1, phone));

    HostRig total;
    total.up({1, 2, 3, 4});
    auto tablet = total.enrolled("Tablet");
    for (std::uint32_t id : {1u, 2u, 3u})
        for (int i = 0; i < 10; ++i) ASSERT_TRUE(total.handshake(id, tablet));
    EXPECT_FALSE(total.handshake(4, tablet));
    total.advance(61);
    EXPECT_TRUE(total.handshake(4, tablet));
}

TEST(RelayHost, RefusedHandshakesAreLoggedThinly) {
    HostRig rig;
    rig.up({});
    for (std::uint32_t id = 1; id <= 30; ++id) {
        rig.host->relayLinkJoined(id);
        rig.receive(id, Bytes(ik1Length - 1, typeIK1));
        EXPECT_TRUE(rig.dropped(id));
    }
    Lines refusals;
    for (auto& line : rig.log)
        if (line.starts_with("handshake refused")) refusals.push_back(line);
    EXPECT_EQ(refusals, (Lines{"handshake refused: bad-length (1 this minute)",
                               "handshake refused: bad-length (2 this minute)",
                               "handshake refused: bad-length (3 this minute)",
                               "handshake refused: bad-length (10 this minute)",
                               "handshake refused: bad-length (20 this minute)",
                               "handshake refused: bad-length (30 this minute)"}));
}

TEST(RelayHost, BadFirstRecordsDropTheConnectionWithTheirWord) {
    struct Case {
        const char* name;
        std::function<Bytes(HostRig&)> record;
        std::string word;
    };
    const std::vector<Case> cases = {
        {"empty record", [](HostRig&) { return Bytes{}; }, "bad-state"},
        {"unknown type", [](HostRig&) { return Bytes{0x42, 1, 2}; }, "bad-state"},
        {"IK message one byte short", [](HostRig&) { return Bytes(ik1Length - 1, typeIK1); }, "bad-length"},
        {"IK message one byte long", [](HostRig&) { return Bytes(ik1Length + 1, typeIK1); }, "bad-length"},
        {"IK from a device not enrolled",
         [](HostRig& rig) {
             auto stranger = rig.device("Stranger");
             return stranger.sessionMessage1(rig.macKey.publicKeyBytes());
         },
         "not-enrolled"},
        {"IK for another Mac's key",
         [](HostRig& rig) {
             auto phone = rig.enrolled();
             return phone.sessionMessage1(P256PrivateKey::generate().publicKeyBytes());
         },
         "bad-tag"},
        {"XX message 3 out of turn", [](HostRig&) { return Bytes(200, typeXX3); }, "bad-state"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        HostRig rig;
        rig.up({1});
        rig.receive(1, c.record(rig));
        EXPECT_TRUE(rig.dropped(1));
        EXPECT_TRUE(rig.sentTo(1).empty());
        EXPECT_EQ(rig.host->peerCount(), 0u);
        EXPECT_TRUE(rig.logged("handshake refused: " + c.word + " (1 this minute)"));
        EXPECT_TRUE(rig.logged("device connection closed"));
    }
}

TEST(RelayHost, FirstRecordOpensTheSessionAndMessagesFlowBothWays) {
    HostRig rig;
    rig.up({1});
    auto phone = rig.enrolled();
    ASSERT_TRUE(rig.handshake(1, phone));
    EXPECT_TRUE(rig.in<Peer::IkWait>(1));
    rig.receive(1, phone.hello());
    EXPECT_TRUE(rig.in<Peer::Open>(1));
    const std::string id = rig.store->devices().at(0).id;
    const Lines expected = {"accept 1 " + id, R"(1 text {"t":"hello","v":1})"};
    EXPECT_EQ(rig.server->journal, expected);
    EXPECT_TRUE(rig.logged("secure channel ready for Phone"));

    rig.receive(1, phone.binary(Bytes{9, 8, 7}));
    EXPECT_EQ(rig.server->journal.back(), "1 binary \x09\x08\x07");

    auto wire = rig.server->wires.at(1);
    std::optional<bool> written;
    wire->write(wire->encode(WSOpcode::text, Bytes{'o', 'k'}), [&](bool ok) { written = ok; });
    rig.queue.runAll();
    EXPECT_EQ(written, true);
    auto records = rig.sentTo(1);
    ASSERT_EQ(records.size(), 1u);
    EXPECT_EQ(phone.receive(records[0])->text(), "ok");
    rig.receive(1, phone.creditAll());
    EXPECT_TRUE(rig.in<Peer::Open>(1));
}

TEST(RelayHost, QuietDeviceFallsBackToIdleAndKeepsItsConnection) {
    HostRig rig;
    rig.up({1});
    auto phone = rig.enrolled();
    ASSERT_TRUE(rig.handshake(1, phone));
    rig.advance(9.999);
    EXPECT_TRUE(rig.in<Peer::IkWait>(1));
    rig.advance(0.001);
    EXPECT_TRUE(rig.in<Peer::Idle>(1));
    EXPECT_FALSE(rig.dropped(1));

    const auto logLines = rig.log.size();
    rig.receive(1, phone.hello());
    EXPECT_TRUE(rig.server->journal.empty());
    EXPECT_TRUE(rig.sentTo(1).empty());
    EXPECT_EQ(rig.log.size(), logLines);
    EXPECT_FALSE(rig.dropped(1));
}

TEST(RelayHost, SessionsFirstRecordDecidesWhetherItOpens) {
    struct Case {
        const char* name;
        std::function<Bytes(TestDevice&)> first;
        bool dropped;
        std::optional<std::string> refusal;
    };
    const std::vector<Case> cases = {
        {"credit first", [](TestDevice& d) { return d.credit(1); }, true, "bad-ack"},
        {"close first", [](TestDevice& d) { return d.close(); }, false, std::nullopt},
        {"fragment flags", [](TestDevice& d) { return d.raw(0x81, Bytes(10, 'a')); }, true, "bad-flags"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        HostRig rig;
        rig.up({1});
        auto phone = rig.enrolled();
        ASSERT_TRUE(rig.handshake(1, phone));
        rig.receive(1, c.first(phone));
        EXPECT_TRUE(rig.server->journal.empty());
        EXPECT_EQ(rig.dropped(1), c.dropped);
        if (c.refusal) {
            EXPECT_TRUE(rig.logged("handshake refused: " + *c.refusal + " (1 this minute)"));
        }
        if (!c.dropped) {
            EXPECT_TRUE(rig.in<Peer::Idle>(1));
        }
    }
}

TEST(RelayHost, ServerThatRefusesTheSessionLeavesTheConnectionForAnotherTry) {
    HostRig rig;
    rig.up({1});
    auto phone = rig.enrolled();
    rig.server->refuse = true;
    rig.session(1, phone);
    auto records = rig.sentTo(1);
    ASSERT_EQ(records.size(), 1u);
    EXPECT_EQ(phone.receive(records[0])->kind, TestDevice::Received::Kind::close);
    EXPECT_TRUE(rig.in<Peer::Idle>(1));
    EXPECT_FALSE(rig.dropped(1));
    EXPECT_FALSE(rig.logged("secure channel ready for Phone"));

    rig.server->refuse = false;
    rig.session(1, phone);
    EXPECT_TRUE(rig.in<Peer::Open>(1));
}

TEST(RelayHost, EverySessionEndIsLoggedWithItsWordAndToldToTheServer) {
    struct Case {
        const char* name;
        std::function<void(HostRig&, TestDevice&)> end;
        std::string word;
        std::optional<std::string> told;
        bool dropped;
    };
    auto tamper = [](Bytes record) {
        record.back() ^= 1;
        return record;
    };
    const std::vector<Case> cases = {
        {"device closes", [](HostRig& r, TestDevice& d) { r.receive(1, d.close()); }, "closed", "peerClosed", false},
        {"server drops the wire", [](HostRig& r, TestDevice&) { r.server->wires.at(1)->cancel(); }, "closed",
         std::nullopt, false},
        {"server writes its close", [](HostRig& r, TestDevice&) { r.server->close(1); }, "closed", std::nullopt,
         false},
        {"device leaves the relay", [](HostRig& r, TestDevice&) { r.host->relayLinkLeft(1); }, "link",
         "transportLost", false},
        {"link goes down", [](HostRig& r, TestDevice&) { r.host->relayLinkDown(); }, "link", "transportLost", false},
        {"record fails to open", [&](HostRig& r, TestDevice& d) { r.receive(1, tamper(d.text("x"))); }, "bad-tag",
         "transportLost", true},
        {"credit for more than was sent", [](HostRig& r, TestDevice& d) { r.receive(1, d.credit(1)); }, "bad-ack",
         "transportLost", true},
        {"a new handshake on the connection",
         [](HostRig& r, TestDevice& d) { ASSERT_TRUE(r.handshake(1, d)); }, "replaced-by-new-handshake",
         "peerClosed", false},
        {"held write stalls",
         [](HostRig& r, TestDevice&) {
             auto wire = r.server->wires.at(1);
             wire->write(wire->encode(WSOpcode::binary, Bytes(1'100'000, 1)), [&r](bool ok) {
                 r.server->journal.push_back(std::string("held write ") + (ok ? "true" : "false"));
             });
             r.queue.runAll();
             r.advance(15);
         },
         "stalled", "transportLost", false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        HostRig rig;
        rig.up({1});
        auto phone = rig.enrolled();
        rig.session(1, phone);
        ASSERT_TRUE(rig.in<Peer::Open>(1));
        rig.server->journal.clear();
        c.end(rig, phone);
        rig.queue.runAll();
        EXPECT_TRUE(rig.logged("secure channel closed for Phone: " + c.word));
        Lines told;
        for (auto& line : rig.server->journal)
            if (line == "1 peerClosed" || line == "1 transportLost") told.push_back(line.substr(2));
        EXPECT_EQ(told, c.told ? Lines{*c.told} : Lines{});
        EXPECT_EQ(rig.dropped(1), c.dropped);
        EXPECT_FALSE(rig.in<Peer::Open>(1));
        EXPECT_FALSE(static_cast<RelayWire&>(*rig.server->wires.at(1)).attached());
        if (std::string(c.name) == "held write stalls") {
            EXPECT_EQ(rig.server->journal.back(), "held write false");
        }
    }
}

TEST(RelayHost, OldOrWornSessionsAreRenewedOnce) {
    struct Case {
        const char* name;
        RelayHostLimits limits;
        std::function<void(HostRig&, TestDevice&)> wear;
    };
    RelayHostLimits few;
    few.maxRecords = 10;  // renewed with fewer than 5 left
    const std::vector<Case> cases = {
        {"a day old", {}, [](HostRig& r, TestDevice&) { r.advance(86'400); }},
        {"device's counter running out", few,
         [](HostRig& r, TestDevice& d) {
             for (int i = 0; i < 5; ++i) r.receive(1, d.text("{\"t\":\"ping\"}"));
             r.advance(1);
         }},
        {"host's counter running out", few,
         [](HostRig& r, TestDevice&) {
             auto wire = r.server->wires.at(1);
             for (int i = 0; i < 6; ++i) wire->write(wire->encode(WSOpcode::text, Bytes{'a'}), [](bool) {});
             r.advance(1);
         }},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        HostRig rig(c.limits);
        rig.server->closeOnBye = true;
        rig.up({1});
        auto phone = rig.enrolled();
        rig.session(1, phone);
        rig.advance(0.5);
        EXPECT_EQ(rig.server->journal.size(), 2u);
        c.wear(rig, phone);
        EXPECT_EQ(std::count(rig.server->journal.begin(), rig.server->journal.end(), "1 bye renew"), 1);
        EXPECT_TRUE(rig.logged("secure channel closed for Phone: renew"));
        EXPECT_TRUE(rig.in<Peer::Idle>(1));
        auto records = rig.sentTo(1);
        ASSERT_FALSE(records.empty());
        std::optional<TestDevice::Received> last;
        for (auto& record : records) last = phone.receive(record);
        EXPECT_EQ(last->kind, TestDevice::Received::Kind::close);
        // The device starts over with fresh keys on the same connection.
        rig.session(1, phone);
        EXPECT_TRUE(rig.in<Peer::Open>(1));
    }
}

TEST(RelayHost, QuotaReachedSaysGoodbyeAndLogsClosed) {
    HostRig rig;
    rig.up({1, 2});
    auto phone = rig.enrolled();
    auto tablet = rig.enrolled("Tablet");
    rig.session(1, phone);
    rig.session(2, tablet);
    rig.host->relayLinkQuotaReached();
    EXPECT_TRUE(std::count(rig.server->journal.begin(), rig.server->journal.end(), "1 bye relay-quota"));
    EXPECT_TRUE(std::count(rig.server->journal.begin(), rig.server->journal.end(), "2 bye relay-quota"));
    rig.host->relayLinkDown();
    EXPECT_TRUE(rig.logged("secure channel closed for Phone: closed"));
    EXPECT_TRUE(rig.logged("secure channel closed for Tablet: closed"));
    EXPECT_FALSE(rig.logged("secure channel closed for Phone: link"));
}

TEST(RelayHost, ShutDownSaysGoodbyeThenIgnoresEverything) {
    HostRig rig;
    rig.up({1});
    auto phone = rig.enrolled();
    ASSERT_TRUE(rig.server->observer);
    bool after = false;
    rig.host->shutDown([&] { after = true; });
    rig.queue.runAll();
    EXPECT_EQ(rig.server->journal, Lines{"closeRelayed mac-offline"});
    EXPECT_FALSE(rig.server->observer);
    EXPECT_FALSE(after);
    rig.advance(0.25);
    EXPECT_TRUE(after);

    rig.receive(1, phone.sessionMessage1(rig.macKey.publicKeyBytes()));
    rig.receive(1, Bytes{0x42});
    EXPECT_TRUE(rig.sentTo(1).empty());
    EXPECT_FALSE(rig.dropped(1));
    EXPECT_FALSE(rig.host->openEnrolmentWindow());
}

TEST(RelayHost, ShutDownLogsTheEndOfEachSecureChannelAfterItsOwnerLetGo) {
    HostRig rig;
    rig.server->closeOnCloseRelayed = true;
    rig.up({1});
    auto phone = rig.enrolled();
    rig.session(1, phone);
    ASSERT_TRUE(rig.in<Peer::Open>(1));
    rig.sentTo(1);
    bool after = false;
    // Its owner keeps nothing of the host once it asked it to shut down.
    std::exchange(rig.host, nullptr)->shutDown([&] { after = true; });
    rig.queue.runAll();
    EXPECT_TRUE(rig.logged("secure channel closed for Phone: closed"));
    // The device hears the session's end, sealed.
    const auto sent = rig.sentTo(1);
    ASSERT_EQ(sent.size(), 1u);
    const auto heard = phone.receive(sent[0]);
    ASSERT_TRUE(heard);
    EXPECT_EQ(heard->kind, TestDevice::Received::Kind::close);
    rig.advance(0.25);
    EXPECT_TRUE(after);
}

}  // namespace
}  // namespace morvane
