#include "relay/relayed_wire.h"

#include <gtest/gtest.h>

#include "relay_fakes.h"

namespace morvane {
namespace {

using testing::FakeLink;
using testing::ManualExecutor;
using namespace SecureChannel;

SymmetricKey key(std::uint8_t fill) {
    SymmetricKey k;
    k.bytes.fill(fill);
    return k;
}

Bytes frame(std::uint8_t kind, std::size_t length, std::uint8_t fill = 'x') {
    Bytes out{kind, static_cast<std::uint8_t>(length >> 24), static_cast<std::uint8_t>(length >> 16),
              static_cast<std::uint8_t>(length >> 8), static_cast<std::uint8_t>(length)};
    out.insert(out.end(), length, fill);
    return out;
}

Bytes join(std::initializer_list<Bytes> parts) {
    Bytes out;
    for (auto& p : parts) out.insert(out.end(), p.begin(), p.end());
    return out;
}

class Owner final : public RelayWireOwner {
public:
    void wireClosed(RelayWire& wire) override {
        journal.push_back("closed");
        wire.detach();
    }
    void wireStalled(RelayWire& wire) override {
        journal.push_back("stalled");
        wire.detach();
    }
    std::vector<std::string> journal;
};

// A wire on a manual queue, with the device's receiving end for its records.
struct Rig {
    explicit Rig(RelayHostLimits limits = {}) : link(std::make_shared<FakeLink>(queue)), owner(std::make_shared<Owner>()) {
        RelayWire::Setup setup;
        setup.id = 7;
        setup.deviceID = "device-1";
        setup.deviceName = "Phone";
        setup.host = owner;
        setup.link = link;
        setup.queue = &queue;
        setup.limits = limits;
        setup.sendKey = key(0x42);
        setup.receiver.emplace(key(0x24), TransportEnd::mac, limits.maxRecords);
        wire = RelayWire::create(std::move(setup));
    }

    // The completion's answer once the queue has run; none while held.
    std::optional<bool> write(Bytes data) {
        std::optional<bool> result;
        wire->write(std::move(data), [&result](bool ok) { result = ok; });
        queue.runAll();
        return result;
    }
    std::vector<TransportReceiver::Opened> opened() {
        std::vector<TransportReceiver::Opened> out;
        for (auto& record : link->take(7)) out.push_back(device.open(record));
        return out;
    }

    ManualExecutor queue;
    std::shared_ptr<FakeLink> link;
    std::shared_ptr<Owner> owner;
    std::shared_ptr<RelayWire> wire;
    TransportReceiver device{key(0x42), TransportEnd::device};
    TransportSender deviceSender{key(0x24)};
};

TEST(RelayWire, FramedWritesAreSealedWholeOrRefusedWithNothingSent) {
    struct Case {
        const char* name;
        Bytes data;
        bool ok;
        std::vector<std::uint8_t> flags;
        std::vector<std::size_t> sizes;
        std::uint64_t sent;
        std::optional<std::string> word;
    };
    const std::vector<Case> cases = {
        {"empty write", {}, true, {}, {}, 0, std::nullopt},
        {"one text frame", frame(1, 5), true, {1}, {5}, 5, std::nullopt},
        {"two frames in one write", join({frame(1, 5), frame(2, 3)}), true, {1, 2}, {5, 3}, 8, std::nullopt},
        {"binary over one fragment", frame(2, 600'000), true, {0x82, 0x82, 0x02}, {240'000, 240'000, 120'000},
         600'000, std::nullopt},
        {"header cut short", Bytes{1, 0, 0, 0}, false, {}, {}, 0, "bad-length"},
        {"single byte other than close", Bytes{7}, false, {}, {}, 0, "bad-length"},
        {"length beyond the bytes", Bytes{1, 0, 0, 0, 9, 'a'}, false, {}, {}, 0, "bad-length"},
        {"good frame then a cut one", join({frame(1, 5), Bytes{1, 0, 0}}), false, {}, {}, 0, "bad-length"},
        {"kind 4", frame(4, 2), false, {}, {}, 0, "bad-flags"},
        {"kind 0", frame(0, 2), false, {}, {}, 0, "bad-flags"},
        {"close with a payload", frame(3, 1), false, {}, {}, 0, "bad-flags"},
        {"message over the host's limit", frame(2, messageFromHostMax + 1), false, {}, {}, 0, "too-large"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Rig rig;
        EXPECT_EQ(rig.write(c.data), c.ok);
        auto records = rig.opened();
        ASSERT_EQ(records.size(), c.flags.size());
        for (std::size_t i = 0; i < records.size(); ++i) {
            EXPECT_EQ(records[i].flags, c.flags[i]);
            EXPECT_EQ(records[i].data.size(), c.sizes[i]);
        }
        EXPECT_EQ(rig.wire->sent(), c.sent);
        EXPECT_EQ(rig.wire->closeWord, c.word);
        // The next record carries the very next counter: a refused write
        // neither burns counters nor leaves one to be sealed twice.
        EXPECT_EQ(rig.write(frame(1, 2)), true);
        auto next = rig.opened();
        ASSERT_EQ(next.size(), 1u);
        EXPECT_EQ(rig.device.expected, c.flags.size() + 1);
    }
}

TEST(RelayWire, CloseFrameSealsOneCloseRecordAndDetaches) {
    Rig rig;
    EXPECT_EQ(rig.wire->encodeClose(1000), Bytes{3});
    EXPECT_EQ(rig.wire->encodeClose(1009), Bytes{3});
    EXPECT_EQ(rig.wire->encode(WSOpcode::text, Bytes{'h', 'i'}), (Bytes{1, 0, 0, 0, 2, 'h', 'i'}));
    EXPECT_EQ(rig.wire->encode(WSOpcode::pong, Bytes{}), (Bytes{2, 0, 0, 0, 0}));

    EXPECT_EQ(rig.write(Bytes{3}), true);
    EXPECT_EQ(rig.owner->journal, std::vector<std::string>{"closed"});
    auto records = rig.opened();
    ASSERT_EQ(records.size(), 1u);
    EXPECT_EQ(records[0].flags, flagClose);
    EXPECT_FALSE(rig.wire->attached());

    EXPECT_EQ(rig.write(Bytes{3}), false);
    EXPECT_EQ(rig.write(frame(1, 2)), false);
    EXPECT_TRUE(rig.link->sent.empty());
}

TEST(RelayWire, CompletionIsHeldOnlyPastTheCreditWindow) {
    const std::size_t window = SecureChannel::creditWindow;
    struct Case {
        std::size_t payload;
        bool held;
    };
    for (const auto& c : std::vector<Case>{{window, false}, {window + 1, true}}) {
        SCOPED_TRACE(c.payload);
        Rig rig;
        EXPECT_EQ(rig.write(frame(2, c.payload)), c.held ? std::nullopt : std::optional<bool>(true));
        EXPECT_EQ(rig.wire->holding(), c.held);
    }
}

TEST(RelayWire, CreditReleasesTheHoldOrRestartsTheStallTime) {
    Rig rig;
    std::optional<bool> result;
    rig.wire->write(frame(2, 1'500'000), [&](bool ok) { result = ok; });
    rig.queue.runAll();
    ASSERT_TRUE(rig.wire->holding());

    rig.queue.advance(10'000);
    // Still more than the window unacknowledged: the 15 s start over.
    rig.wire->acknowledge(Credit::encode(100'000));
    rig.queue.advance(14'000);
    EXPECT_EQ(result, std::nullopt);
    EXPECT_TRUE(rig.owner->journal.empty());

    rig.wire->acknowledge(Credit::encode(1'500'000));
    EXPECT_EQ(result, true);
    EXPECT_FALSE(rig.wire->holding());
    rig.queue.advance(20'000);
    EXPECT_TRUE(rig.owner->journal.empty());
}

TEST(RelayWire, CreditThatAcknowledgesNothingNewOrTooMuchIsRefused) {
    struct Case {
        const char* name;
        Bytes body;
    };
    const std::vector<Case> cases = {
        {"equal to the last count", Credit::encode(10)},
        {"lower than the last count", Credit::encode(9)},
        {"more than was sent", Credit::encode(21)},
        {"seven bytes", Bytes(7, 0)},
        {"nine bytes", Bytes(9, 0)},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Rig rig;
        rig.write(frame(1, 20));
        rig.wire->acknowledge(Credit::encode(10));
        try {
            rig.wire->acknowledge(c.body);
            ADD_FAILURE() << "accepted";
        } catch (const SecureChannelError& error) {
            EXPECT_EQ(error.word, "bad-ack");
        }
        EXPECT_EQ(rig.wire->acked(), 10u);
    }
    Rig rig;
    rig.write(frame(1, 20));
    EXPECT_NO_THROW(rig.wire->acknowledge(Credit::encode(20)));
}

TEST(RelayWire, HeldWriteWithoutCreditStallsAfterFifteenSecondsAndFails) {
    Rig rig;
    std::optional<bool> result;
    rig.wire->write(frame(2, 1'100'000), [&](bool ok) { result = ok; });
    rig.queue.runAll();
    rig.queue.advance(14'999);
    EXPECT_TRUE(rig.owner->journal.empty());
    rig.queue.advance(1);
    EXPECT_EQ(rig.owner->journal, std::vector<std::string>{"stalled"});
    EXPECT_EQ(result, false);
}

TEST(RelayWire, ReleasedHoldNeverHoldsAgain) {
    Rig rig;
    rig.wire->releaseHold();
    EXPECT_EQ(rig.write(frame(2, 1'100'000)), true);
    EXPECT_EQ(rig.write(frame(2, 1'100'000)), true);

    Rig held;
    std::optional<bool> result;
    held.wire->write(frame(2, 1'100'000), [&](bool ok) { result = ok; });
    held.queue.runAll();
    held.wire->releaseHold();
    EXPECT_EQ(result, true);
    held.queue.advance(20'000);
    EXPECT_TRUE(held.owner->journal.empty());
}

TEST(RelayWire, AnyRecordTheLinkCannotSendFailsTheWrite) {
    for (int failing : {1, 2, 3}) {
        SCOPED_TRACE(failing);
        Rig rig;
        rig.link->failSends = failing;
        EXPECT_EQ(rig.write(frame(2, 600'000)), false);
    }
}

TEST(RelayWire, CancelSendsOneCloseRecordAndTellsTheOwner) {
    Rig rig;
    rig.write(frame(1, 4));
    rig.wire->cancel();
    rig.wire->cancel();
    EXPECT_EQ(rig.owner->journal, std::vector<std::string>{"closed"});
    auto records = rig.opened();
    ASSERT_EQ(records.size(), 2u);
    EXPECT_EQ(records[1].flags, flagClose);
    EXPECT_FALSE(rig.wire->attached());

    Rig refused;
    refused.wire->closeUnaccepted();
    EXPECT_TRUE(refused.owner->journal.empty());
    auto sent = refused.opened();
    ASSERT_EQ(sent.size(), 1u);
    EXPECT_EQ(sent[0].flags, flagClose);
}

TEST(RelayWire, DetachAnswersAHeldWriteWithFalse) {
    Rig rig;
    std::optional<bool> result;
    rig.wire->write(frame(2, 1'100'000), [&](bool ok) { result = ok; });
    rig.queue.runAll();
    rig.wire->detach();
    EXPECT_EQ(result, std::nullopt);  // asynchronously
    rig.queue.runAll();
    EXPECT_EQ(result, false);
}

TEST(RelayWire, ARecordThatFailsToOpenEndsTheReceivingDirection) {
    Rig rig;
    Bytes good = rig.deviceSender.seal(flagText, Bytes{'a'});
    Bytes bad = good;
    bad.back() ^= 1;
    EXPECT_THROW(rig.wire->open(bad), SecureChannelError);
    try {
        rig.wire->open(good);
        ADD_FAILURE() << "opened";
    } catch (const SecureChannelError& error) {
        EXPECT_EQ(error.word, "bad-state");
    }
}

TEST(RelayWire, NearRecordLimitWhenEitherDirectionRunsLow) {
    RelayHostLimits limits;
    limits.maxRecords = 10;  // margin 5
    Rig rig(limits);
    EXPECT_FALSE(rig.wire->nearRecordLimit());
    for (int i = 0; i < 5; ++i) rig.write(frame(1, 1));
    EXPECT_FALSE(rig.wire->nearRecordLimit());
    rig.write(frame(1, 1));
    EXPECT_TRUE(rig.wire->nearRecordLimit());

    Rig receiving(limits);
    for (int i = 0; i < 6; ++i) receiving.wire->open(receiving.deviceSender.seal(flagText, Bytes{'a'}));
    EXPECT_TRUE(receiving.wire->nearRecordLimit());
    receiving.wire->detach();
    EXPECT_FALSE(receiving.wire->nearRecordLimit());
}

}  // namespace
}  // namespace morvane
