#include "secure/ik_handshake.h"

#include <gtest/gtest.h>

#include "fixtures.h"
#include "secure/transport.h"

namespace morvane {
namespace {

using namespace morvane::testing;
namespace SC = SecureChannel;
using Stage = IKResponder::Stage;

struct IKPair {
    P256PrivateKey mac = P256PrivateKey::generate();
    P256PrivateKey device = P256PrivateKey::generate();
    Bytes roomID = room();

    IKInitiator initiator(bool traced = false) const {
        return IKInitiator(device, mac.publicKeyBytes(), roomID, std::nullopt, traced);
    }
    IKResponder responder(bool traced = false) const { return IKResponder(mac, roomID, std::nullopt, traced); }
};

const auto anyone = [](ByteView) { return true; };

TEST(IKHandshake, BothHalvesAgreeOnKeysHashAndSteps) {
    IKPair pair;
    IKInitiator device = pair.initiator(true);
    IKResponder mac = pair.responder(true);

    const Bytes m1 = device.writeMessage1();
    ASSERT_EQ(m1.size(), SC::ik1Length);
    EXPECT_EQ(m1[0], SC::typeIK1);
    // The device's static key never travels in the clear.
    const Bytes deviceKey = pair.device.publicKeyBytes();
    EXPECT_EQ(std::search(m1.begin(), m1.end(), deviceKey.begin() + 1, deviceKey.begin() + 33), m1.end());

    Bytes looked;
    const Bytes reported = mac.readMessage1(m1, [&](ByteView key) {
        looked.assign(key.begin(), key.end());
        return true;
    });
    EXPECT_EQ(reported, deviceKey);
    EXPECT_EQ(looked, deviceKey);
    EXPECT_EQ(mac.stage(), Stage::read1);

    const auto m2 = mac.writeMessage2();
    ASSERT_EQ(m2.record.size(), SC::ik2Length);
    EXPECT_EQ(m2.record[0], SC::typeIK2);
    const auto done = device.readMessage2(m2.record);

    EXPECT_EQ(done.handshakeHash, m2.handshakeHash);
    EXPECT_EQ(done.handshakeHash.size(), 32u);
    EXPECT_EQ(done.keys.send, m2.keys.receive);
    EXPECT_EQ(done.keys.receive, m2.keys.send);
    EXPECT_NE(m2.keys.send, m2.keys.receive);

    const std::vector<std::string> steps{"init", "prologue", "rs", "e",  "es", "s",
                                         "ss",   "payload1", "e2", "ee", "se", "payload2"};
    EXPECT_EQ(stepNames(mac.finishedTrace), steps);
    EXPECT_EQ(stepNames(device.finishedTrace), steps);
    EXPECT_EQ(*mac.finishedTrace, *device.finishedTrace);
    EXPECT_EQ(mac.finishedTrace->back().h, m2.handshakeHash);
    EXPECT_FALSE(mac.trace().has_value());

    // The keys carry records both ways.
    TransportSender toMac(done.keys.send);
    TransportReceiver atMac(m2.keys.receive, TransportEnd::mac);
    EXPECT_EQ(atMac.open(toMac.seal(SC::flagText, bytesOf("hi"))).data, bytesOf("hi"));
    TransportSender toDevice(m2.keys.send);
    TransportReceiver atDevice(done.keys.receive, TransportEnd::device);
    EXPECT_EQ(atDevice.open(toDevice.seal(SC::flagBinary, bytesOf("yo"))).data, bytesOf("yo"));

    // A second attempt with fresh ephemeral keys yields different keys.
    IKInitiator again = pair.initiator();
    IKResponder mac2 = pair.responder();
    mac2.readMessage1(again.writeMessage1(), anyone);
    EXPECT_NE(mac2.writeMessage2().keys, m2.keys);
}

TEST(IKHandshake, ResponderRefusesMalformedFirstMessagesWithTheirWords) {
    IKPair pair;
    const Bytes m1 = pair.initiator().writeMessage1();
    auto word = [&](const Bytes& message) {
        IKResponder mac = pair.responder();
        const std::string w = wordOf([&] { mac.readMessage1(message, anyone); });
        EXPECT_TRUE(w.empty() || mac.stage() == Stage::failed) << w;
        return w;
    };
    ASSERT_EQ(word(m1), "");

    Bytes shorter(m1.begin(), m1.end() - 1), longer = m1;
    longer.push_back(0);
    EXPECT_EQ(word(shorter), "bad-length");
    EXPECT_EQ(word(longer), "bad-length");
    EXPECT_EQ(word({}), "bad-length");
    Bytes typed = m1;
    typed[0] = SC::typeIK2;
    EXPECT_EQ(word(typed), "bad-state");
    typed[0] = SC::typeXX1;
    EXPECT_EQ(word(typed), "bad-state");

    Bytes ephemeral = m1;
    ephemeral[1] = 0x02;
    EXPECT_EQ(word(ephemeral), "bad-key");
    ephemeral = m1;
    ephemeral[65] ^= 0x01;  // last byte of Y: no longer on the curve
    EXPECT_EQ(word(ephemeral), "bad-key");
}

TEST(IKHandshake, AnyChangedBitInTheSealedPartFailsTheTagBeforeOrAfterTheLookup) {
    IKPair pair;
    const Bytes m1 = pair.initiator().writeMessage1();
    for (std::size_t at = 66; at < SC::ik1Length; ++at) {
        Bytes changed = m1;
        changed[at] ^= static_cast<std::uint8_t>(1u << (at % 8));
        int lookups = 0;
        IKResponder mac = pair.responder();
        const std::string w = wordOf([&] {
            mac.readMessage1(changed, [&](ByteView) {
                ++lookups;
                return true;
            });
        });
        EXPECT_EQ(w, "bad-tag") << "byte " << at;
        // The static key's tag is checked before the device is looked up.
        EXPECT_EQ(lookups, at < 147 ? 0 : 1) << "byte " << at;
        EXPECT_EQ(mac.stage(), Stage::failed);
    }
}

TEST(IKHandshake, UnknownDeviceAndCallsOutOfOrderLeaveTheResponderFailed) {
    IKPair pair;
    const Bytes m1 = pair.initiator().writeMessage1();

    IKResponder refused = pair.responder();
    EXPECT_EQ(wordOf([&] { refused.readMessage1(m1, [](ByteView) { return false; }); }), "not-enrolled");
    EXPECT_EQ(refused.stage(), Stage::failed);
    EXPECT_EQ(wordOf([&] { refused.writeMessage2(); }), "bad-state");

    IKResponder early = pair.responder();
    EXPECT_EQ(wordOf([&] { early.writeMessage2(); }), "bad-state");
    EXPECT_EQ(early.stage(), Stage::failed);
    EXPECT_EQ(wordOf([&] { early.readMessage1(m1, anyone); }), "bad-state");

    IKResponder twice = pair.responder();
    twice.readMessage1(m1, anyone);
    EXPECT_EQ(wordOf([&] { twice.readMessage1(m1, anyone); }), "bad-state");
    EXPECT_EQ(twice.stage(), Stage::failed);
    EXPECT_EQ(wordOf([&] { twice.writeMessage2(); }), "bad-state");

    IKResponder finished = pair.responder();
    finished.readMessage1(m1, anyone);
    finished.writeMessage2();
    EXPECT_EQ(finished.stage(), Stage::done);
    EXPECT_EQ(wordOf([&] { finished.writeMessage2(); }), "bad-state");
    EXPECT_EQ(finished.stage(), Stage::failed);

    IKInitiator device = pair.initiator();
    EXPECT_EQ(wordOf([&] { device.readMessage2(Bytes(SC::ik2Length, 0)); }), "bad-state");
    EXPECT_EQ(wordOf([&] { device.writeMessage1(); }), "bad-state");
}

TEST(IKHandshake, WrongRoomOrWrongMacKeyFailsAtTheStaticKey) {
    IKPair pair;
    IKInitiator otherRoom(pair.device, pair.mac.publicKeyBytes(), room(0x01));
    IKResponder mac = pair.responder();
    EXPECT_EQ(wordOf([&] { mac.readMessage1(otherRoom.writeMessage1(), anyone); }), "bad-tag");

    IKInitiator otherMac(pair.device, P256PrivateKey::generate().publicKeyBytes(), pair.roomID);
    IKResponder mac2 = pair.responder();
    EXPECT_EQ(wordOf([&] { mac2.readMessage1(otherMac.writeMessage1(), anyone); }), "bad-tag");

    // A Mac key the device cannot parse stops it before it sends anything.
    Bytes broken = pair.mac.publicKeyBytes();
    broken[0] = 0x03;
    IKInitiator unusable(pair.device, broken, pair.roomID);
    EXPECT_EQ(wordOf([&] { unusable.writeMessage1(); }), "bad-key");
    EXPECT_EQ(unusable.stage(), IKInitiator::Stage::failed);
}

TEST(IKHandshake, InitiatorRefusesAlteredSecondMessages) {
    IKPair pair;
    auto run = [&](auto alter) {
        IKInitiator device = pair.initiator();
        IKResponder mac = pair.responder();
        mac.readMessage1(device.writeMessage1(), anyone);
        Bytes m2 = mac.writeMessage2().record;
        alter(m2);
        const std::string w = wordOf([&] { device.readMessage2(m2); });
        EXPECT_TRUE(w.empty() || device.stage() == IKInitiator::Stage::failed);
        return w;
    };
    EXPECT_EQ(run([](Bytes&) {}), "");
    EXPECT_EQ(run([](Bytes& m) { m.pop_back(); }), "bad-length");
    EXPECT_EQ(run([](Bytes& m) { m.push_back(0); }), "bad-length");
    EXPECT_EQ(run([](Bytes& m) { m[0] = SC::typeIK1; }), "bad-state");
    EXPECT_EQ(run([](Bytes& m) { m[1] = 0x02; }), "bad-key");
    EXPECT_EQ(run([](Bytes& m) { m[65] ^= 0x01; }), "bad-key");
    EXPECT_EQ(run([](Bytes& m) { m[66] ^= 0x01; }), "bad-tag");
    EXPECT_EQ(run([](Bytes& m) { m[81] ^= 0x01; }), "bad-tag");
}

}  // namespace
}  // namespace morvane
