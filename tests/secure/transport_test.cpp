#include "secure/transport.h"

#include <gtest/gtest.h>

#include "fixtures.h"

namespace morvane {
namespace {

using namespace morvane::testing;
namespace SC = SecureChannel;

SymmetricKey key(std::uint8_t fill) {
    SymmetricKey k;
    k.bytes.fill(fill);
    return k;
}

Bytes message(std::uint8_t kind, std::size_t bodyLength) {
    Bytes m(1 + bodyLength);
    m[0] = kind;
    for (std::size_t i = 1; i < m.size(); ++i) m[i] = static_cast<std::uint8_t>(i * 7);
    return m;
}

// Opens records at the device and puts the fragments back together.
std::vector<Reassembler::Message> deliver(const std::vector<Bytes>& records, const SymmetricKey& k) {
    TransportReceiver atDevice(k, TransportEnd::device);
    Reassembler reassembler(SC::messageFromHostMax);
    std::vector<Reassembler::Message> out;
    for (const auto& r : records) {
        const auto opened = atDevice.open(r);
        if (auto whole = reassembler.add(opened.flags, opened.data)) out.push_back(std::move(*whole));
    }
    EXPECT_FALSE(reassembler.inProgress());
    return out;
}

TEST(TransportRecords, CountersStartAtZeroAndHeadersAreAuthenticated) {
    TransportSender sender(key(1));
    const auto records = sender.records(Bytes{SC::flagText});
    ASSERT_EQ(records.size(), 1u);
    const Bytes& first = records[0];
    ASSERT_EQ(first.size(), SC::transportOverhead);
    EXPECT_EQ(Bytes(first.begin(), first.begin() + 9), fromHex("200000000000000000"));
    EXPECT_EQ(sender.count, 1u);

    TransportReceiver receiver(key(1), TransportEnd::mac);
    EXPECT_EQ(receiver.open(first), (TransportReceiver::Opened{SC::flagText, {}}));
    EXPECT_EQ(receiver.expected, 1u);

    const Bytes second = sender.seal(SC::flagBinary, bytesOf("abc"));
    EXPECT_EQ(Bytes(second.begin(), second.begin() + 9), fromHex("200000000000000001"));
    EXPECT_EQ(second.size(), 3 + SC::transportOverhead);
    EXPECT_EQ(receiver.open(second), (TransportReceiver::Opened{SC::flagBinary, bytesOf("abc")}));

    // Every byte of a record is covered: header, flags, data and tag.
    const Bytes third = sender.seal(SC::flagText, bytesOf("hello"));
    for (std::size_t at = 0; at < third.size(); ++at) {
        Bytes changed = third;
        changed[at] ^= 0x04;
        TransportReceiver fresh(key(1), TransportEnd::mac);
        fresh.expected = 2;
        const std::string w = wordOf([&] { fresh.open(changed); });
        const char* want = at == 0 ? "bad-state" : at < 9 ? "counter" : "bad-tag";
        EXPECT_EQ(w, want) << "byte " << at;
    }
    TransportReceiver wrongKey(key(2), TransportEnd::mac);
    EXPECT_EQ(wordOf([&] { wrongKey.open(first); }), "bad-tag");
}

TEST(TransportRecords, MessagesAreCutIntoFragmentsAtTheLimit) {
    const SymmetricKey k = key(3);
    for (std::uint8_t kind : {SC::flagText, SC::flagBinary}) {
        TransportSender sender(k);
        const Bytes exact = message(kind, SC::fragmentDataMax);
        const auto one = sender.records(exact);
        ASSERT_EQ(one.size(), 1u);
        EXPECT_EQ(one[0].size(), SC::fragmentDataMax + SC::transportOverhead);

        TransportSender sender2(k);
        const Bytes over = message(kind, SC::fragmentDataMax + 1);
        const auto two = sender2.records(over);
        ASSERT_EQ(two.size(), 2u);
        EXPECT_EQ(two[1].size(), 1 + SC::transportOverhead);
        TransportReceiver peek(k, TransportEnd::device);
        EXPECT_EQ(peek.open(two[0]).flags, kind | SC::flagMore);
        EXPECT_EQ(peek.open(two[1]).flags, kind);

        const auto delivered = deliver(two, k);
        ASSERT_EQ(delivered.size(), 1u);
        EXPECT_EQ(delivered[0].kind, kind);
        EXPECT_EQ(delivered[0].message, Bytes(over.begin() + 1, over.end()));
    }

    // The largest message the host may send, and one byte more.
    TransportSender sender(k);
    const Bytes largest = message(SC::flagBinary, SC::messageFromHostMax);
    const auto records = sender.records(largest);
    ASSERT_EQ(records.size(), 70u);
    EXPECT_EQ(records.back().size(), 217'216 + SC::transportOverhead);
    EXPECT_EQ(sender.count, 70u);
    const auto delivered = deliver(records, k);
    ASSERT_EQ(delivered.size(), 1u);
    EXPECT_TRUE(std::equal(delivered[0].message.begin(), delivered[0].message.end(), largest.begin() + 1,
                           largest.end()));
    EXPECT_EQ(wordOf([&] { sender.records(message(SC::flagBinary, SC::messageFromHostMax + 1)); }), "too-large");
    EXPECT_EQ(sender.count, 70u);
}

TEST(TransportRecords, OnlyTextBinaryAndEmptyCloseBecomeRecords) {
    TransportSender sender(key(4));
    const auto close = sender.records(Bytes{SC::flagClose});
    ASSERT_EQ(close.size(), 1u);
    TransportReceiver receiver(key(4), TransportEnd::mac);
    EXPECT_EQ(receiver.open(close[0]), (TransportReceiver::Opened{SC::flagClose, {}}));

    for (const Bytes& bad : {Bytes{}, Bytes{0x00}, Bytes{SC::flagClose, 0x00}, Bytes{SC::flagCredit, 0, 0, 0, 0, 0, 0, 0, 1},
                             Bytes{0x05}, Bytes{0x81, 'x'}}) {
        EXPECT_EQ(wordOf([&] { sender.records(bad); }), "bad-flags") << int(bad.empty() ? -1 : bad[0]);
    }
    EXPECT_EQ(sender.count, 1u);
}

TEST(TransportRecords, RecordBudgetIsNeverOverrun) {
    TransportSender sender(key(5), 10);
    sender.count = 9;
    EXPECT_EQ(sender.remaining(), 1u);
    EXPECT_EQ(wordOf([&] { sender.records(message(SC::flagText, SC::fragmentDataMax + 1)); }), "counter");
    EXPECT_EQ(sender.count, 9u);
    EXPECT_EQ(sender.records(message(SC::flagText, 4)).size(), 1u);
    EXPECT_EQ(sender.remaining(), 0u);
    EXPECT_EQ(wordOf([&] { sender.seal(SC::flagText, {}); }), "counter");
    EXPECT_EQ(sender.count, 10u);

    // A counter set past the limit leaves nothing, rather than wrapping round.
    sender.count = 11;
    EXPECT_EQ(sender.remaining(), 0u);
    EXPECT_EQ(wordOf([&] { sender.records(Bytes{SC::flagText}); }), "counter");

    TransportSender full(key(5));
    full.count = SC::maxRecords;
    EXPECT_EQ(wordOf([&] { full.seal(SC::flagText, {}); }), "counter");
    full.count = SC::maxRecords - 1;
    const Bytes last = full.seal(SC::flagText, {});
    TransportReceiver receiver(key(5), TransportEnd::mac);
    receiver.expected = SC::maxRecords - 1;
    EXPECT_EQ(receiver.open(last).flags, SC::flagText);

    // A receiver with a lower limit refuses counters at or above it.
    TransportSender sender2(key(6));
    sender2.count = 3;
    const Bytes r3 = sender2.seal(SC::flagText, {});
    TransportReceiver limited(key(6), TransportEnd::mac, 3);
    limited.expected = 3;
    EXPECT_EQ(wordOf([&] { limited.open(r3); }), "counter");

    sender2.discard();
    EXPECT_EQ(sender2.remaining(), 0u);
    EXPECT_EQ(wordOf([&] { sender2.seal(SC::flagText, {}); }), "bad-state");
    EXPECT_EQ(wordOf([&] { sender2.records(Bytes{SC::flagText}); }), "bad-state");
}

TEST(TransportRecords, ReplayedReorderedOrOversizedRecordsEndTheDirection) {
    TransportSender sender(key(7));
    const Bytes r0 = sender.seal(SC::flagText, bytesOf("a"));
    const Bytes r1 = sender.seal(SC::flagText, bytesOf("b"));
    const Bytes r2 = sender.seal(SC::flagText, bytesOf("c"));

    TransportReceiver replay(key(7), TransportEnd::mac);
    replay.open(r0);
    EXPECT_EQ(wordOf([&] { replay.open(r0); }), "counter");
    EXPECT_EQ(replay.expected, 1u);
    EXPECT_EQ(wordOf([&] { replay.open(r1); }), "bad-state");

    TransportReceiver skip(key(7), TransportEnd::mac);
    skip.open(r0);
    EXPECT_EQ(wordOf([&] { skip.open(r2); }), "counter");
    EXPECT_EQ(wordOf([&] { skip.open(r1); }), "bad-state");

    // Size is judged first, whatever else is wrong with the record.
    TransportReceiver big(key(7), TransportEnd::mac);
    EXPECT_EQ(wordOf([&] { big.open(Bytes(SC::deviceDataMax + SC::transportOverhead + 1, 0xee)); }), "too-large");
    TransportReceiver atLimit(key(7), TransportEnd::mac);
    Bytes limitRecord(SC::deviceDataMax + SC::transportOverhead, 0);
    limitRecord[0] = SC::typeTransport;
    EXPECT_EQ(wordOf([&] { atLimit.open(limitRecord); }), "bad-tag");

    TransportReceiver shortOne(key(7), TransportEnd::mac);
    Bytes tiny(25, 0);
    tiny[0] = SC::typeTransport;
    EXPECT_EQ(wordOf([&] { shortOne.open(tiny); }), "bad-tag");
    TransportReceiver empty(key(7), TransportEnd::mac);
    EXPECT_EQ(wordOf([&] { empty.open({}); }), "bad-state");

    TransportReceiver device(key(7), TransportEnd::device);
    TransportSender hostSender(key(7));
    const Bytes fullRecord = hostSender.seal(SC::flagBinary, Bytes(SC::fragmentDataMax, 1));
    EXPECT_EQ(device.open(fullRecord).data.size(), SC::fragmentDataMax);
    Bytes tooBig = hostSender.seal(SC::flagBinary, Bytes(SC::fragmentDataMax + 1, 1));
    EXPECT_EQ(wordOf([&] { device.open(tooBig); }), "too-large");

    TransportReceiver discarded(key(7), TransportEnd::mac);
    discarded.discard();
    EXPECT_EQ(wordOf([&] { discarded.open(r0); }), "bad-state");
}

TEST(TransportRecords, EachEndAcceptsOnlyItsFlags) {
    // Seals one record with the given flags and data and opens it at `end`.
    auto word = [](TransportEnd end, std::uint8_t flags, const Bytes& data) {
        TransportSender sender(key(8));
        TransportReceiver receiver(key(8), end);
        const Bytes record = sender.seal(flags, data);
        return wordOf([&] { receiver.open(record); });
    };
    const Bytes eight(8, 0);
    for (auto end : {TransportEnd::mac, TransportEnd::device}) {
        EXPECT_EQ(word(end, SC::flagText, bytesOf("t")), "");
        EXPECT_EQ(word(end, SC::flagBinary, {}), "");
        EXPECT_EQ(word(end, SC::flagClose, {}), "");
        EXPECT_EQ(word(end, SC::flagClose, Bytes{0}), "bad-flags");
        for (std::uint8_t f : {0x00, 0x05, 0x83, 0x84, 0x80, 0xff}) EXPECT_EQ(word(end, f, {}), "bad-flags") << int(f);
    }
    EXPECT_EQ(word(TransportEnd::mac, 0x81, bytesOf("x")), "bad-flags");
    EXPECT_EQ(word(TransportEnd::mac, 0x82, bytesOf("x")), "bad-flags");
    EXPECT_EQ(word(TransportEnd::device, 0x81, bytesOf("x")), "");
    EXPECT_EQ(word(TransportEnd::device, 0x82, bytesOf("x")), "");

    EXPECT_EQ(word(TransportEnd::mac, SC::flagCredit, eight), "");
    EXPECT_EQ(word(TransportEnd::mac, SC::flagCredit, Bytes(7, 0)), "bad-ack");
    EXPECT_EQ(word(TransportEnd::mac, SC::flagCredit, Bytes(9, 0)), "bad-ack");
    EXPECT_EQ(word(TransportEnd::device, SC::flagCredit, eight), "bad-flags");

    // A refused flag still ends the direction, and the counter stays put.
    TransportSender sender(key(8));
    TransportReceiver receiver(key(8), TransportEnd::mac);
    const Bytes bad = sender.seal(0x81, bytesOf("x"));
    const Bytes good = sender.seal(SC::flagText, bytesOf("y"));
    EXPECT_EQ(wordOf([&] { receiver.open(bad); }), "bad-flags");
    EXPECT_EQ(receiver.expected, 0u);
    EXPECT_EQ(wordOf([&] { receiver.open(good); }), "bad-state");
}

TEST(TransportRecords, CreditBodyIsEightBigEndianBytes) {
    EXPECT_EQ(Credit::encode(262144), fromHex("0000000000040000"));
    EXPECT_EQ(Credit::decode(Bytes(8, 0)), 0u);
    EXPECT_EQ(Credit::decode(fromHex("0102030405060708")), 0x0102030405060708ull);
    EXPECT_EQ(Credit::decode(Credit::encode(~0ull)), ~0ull);
    EXPECT_EQ(wordOf([] { Credit::decode(Bytes(7, 0)); }), "bad-ack");
    EXPECT_EQ(wordOf([] { Credit::decode(Bytes(9, 0)); }), "bad-ack");
    EXPECT_EQ(wordOf([] { Credit::decode({}); }), "bad-ack");
}

TEST(TransportRecords, ReassemblerKeepsFragmentsWholeAndFailsForGood) {
    const std::size_t frag = SC::fragmentDataMax;
    const Bytes fragment(frag, 9);
    {
        Reassembler r(frag + 5);
        EXPECT_EQ(r.add(SC::flagText, bytesOf("at once")), (Reassembler::Message{SC::flagText, bytesOf("at once")}));
        EXPECT_FALSE(r.inProgress());
        EXPECT_EQ(r.add(0x81, fragment), std::nullopt);
        EXPECT_TRUE(r.inProgress());
        const auto whole = r.add(SC::flagText, Bytes(5, 1));
        ASSERT_TRUE(whole.has_value());
        EXPECT_EQ(whole->kind, SC::flagText);
        EXPECT_EQ(whole->message.size(), frag + 5);
        EXPECT_FALSE(r.inProgress());
        // Idle again: an empty final message is fine on its own.
        EXPECT_EQ(r.add(SC::flagBinary, {}), (Reassembler::Message{SC::flagBinary, {}}));
    }
    auto failsWith = [&](const std::vector<std::pair<std::uint8_t, Bytes>>& steps, std::size_t limit) {
        Reassembler r(limit);
        std::string w;
        for (const auto& step : steps) {
            w = wordOf([&] { r.add(step.first, step.second); });
            if (!w.empty()) break;
        }
        EXPECT_TRUE(r.failed());
        EXPECT_FALSE(r.inProgress());
        EXPECT_EQ(wordOf([&] { r.add(SC::flagText, bytesOf("x")); }), "bad-state");
        return w;
    };
    const std::size_t roomy = 3 * frag;
    EXPECT_EQ(failsWith({{0x81, Bytes(frag - 1, 0)}}, roomy), "bad-length");
    EXPECT_EQ(failsWith({{0x81, fragment}, {SC::flagBinary, bytesOf("x")}}, roomy), "bad-flags");
    EXPECT_EQ(failsWith({{0x81, fragment}, {SC::flagText, {}}}, roomy), "bad-length");
    EXPECT_EQ(failsWith({{0x03, {}}}, roomy), "bad-flags");
    EXPECT_EQ(failsWith({{0x84, fragment}}, roomy), "bad-flags");
    EXPECT_EQ(failsWith({{SC::flagText, Bytes(frag + 1, 0)}}, roomy * 2), "too-large");
    EXPECT_EQ(failsWith({{0x81, fragment}, {0x81, fragment}, {SC::flagText, bytesOf("x")}}, 2 * frag), "too-large");
    EXPECT_EQ(failsWith({{SC::flagText, Bytes(11, 0)}}, 10), "too-large");

    // A smaller fragment size is honoured exactly.
    Reassembler small(100, 4);
    EXPECT_EQ(small.add(0x82, Bytes{1, 2, 3, 4}), std::nullopt);
    EXPECT_EQ(small.add(0x02, Bytes{5}), (Reassembler::Message{SC::flagBinary, {1, 2, 3, 4, 5}}));
}

}  // namespace
}  // namespace morvane
