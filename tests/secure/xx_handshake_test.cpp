#include "secure/xx_handshake.h"

#include <gtest/gtest.h>

#include "fixtures.h"
#include "secure/transport.h"

namespace morvane {
namespace {

using namespace morvane::testing;
namespace SC = SecureChannel;
using XXStage = XXResponder::Stage;

struct XXPair {
    P256PrivateKey mac = P256PrivateKey::generate();
    P256PrivateKey device = P256PrivateKey::generate();
    Bytes roomID = room();
    Bytes salt = Bytes(SC::saltLength, 0x33);

    XXInitiator initiator(const Bytes& name, std::optional<Bytes> commit = std::nullopt, bool traced = false) const {
        return XXInitiator(device, roomID, name, salt, std::nullopt, std::move(commit), traced);
    }
    XXResponder responder(bool traced = false) const { return XXResponder(mac, roomID, std::nullopt, traced); }
};

// Runs messages 1 and 2 and returns message 3 as the device built it.
Bytes firstTwo(XXInitiator& device, XXResponder& mac) {
    mac.readMessage1(device.writeMessage1());
    device.readMessage2(mac.writeMessage2());
    return device.writeMessage3().record;
}

TEST(XXEnrolment, BothHalvesAgreeAndShowTheSameCode) {
    XXPair pair;
    const Bytes name = bytesOf("Ada's phone");
    XXInitiator device = pair.initiator(name, std::nullopt, true);
    XXResponder mac = pair.responder(true);

    const Bytes m1 = device.writeMessage1();
    ASSERT_EQ(m1.size(), SC::xx1Length);
    EXPECT_EQ(m1[0], SC::typeXX1);
    EXPECT_EQ(Bytes(m1.begin() + 66, m1.end()), SC::enrolCommit(pair.device.publicKeyBytes(), pair.salt, name));
    // Only the commitment travels: neither the salt nor the name is visible.
    EXPECT_EQ(std::search(m1.begin(), m1.end(), name.begin(), name.end()), m1.end());
    EXPECT_EQ(std::search(m1.begin(), m1.end(), pair.salt.begin(), pair.salt.begin() + 8), m1.end());
    mac.readMessage1(m1);

    const Bytes m2 = mac.writeMessage2();
    ASSERT_EQ(m2.size(), SC::xx2Length);
    EXPECT_EQ(m2[0], SC::typeXX2);
    EXPECT_EQ(device.readMessage2(m2), pair.mac.publicKeyBytes());

    const auto sent = device.writeMessage3();
    EXPECT_EQ(sent.record.size(), SC::xx3BaseLength + name.size());
    EXPECT_EQ(std::search(sent.record.begin(), sent.record.end(), name.begin(), name.end()), sent.record.end());
    const auto got = mac.readMessage3(sent.record);

    EXPECT_EQ(got.deviceKey, pair.device.publicKeyBytes());
    EXPECT_EQ(got.name, name);
    EXPECT_EQ(got.handshakeHash, sent.handshakeHash);
    EXPECT_EQ(got.keys.send, sent.keys.receive);
    EXPECT_EQ(got.keys.receive, sent.keys.send);
    EXPECT_EQ(SC::sas(got.handshakeHash), SC::sas(sent.handshakeHash));
    EXPECT_EQ(SC::sas(got.handshakeHash).size(), 6u);
    EXPECT_EQ(mac.stage(), XXStage::done);

    const std::vector<std::string> steps{"init", "prologue", "e",  "commit", "e2", "ee",
                                         "s2",   "es",       "payload2", "s3", "se", "payload3"};
    EXPECT_EQ(stepNames(mac.finishedTrace), steps);
    EXPECT_EQ(stepNames(device.finishedTrace), steps);
    EXPECT_EQ(*mac.finishedTrace, *device.finishedTrace);

    // The Mac's confirmation record opens on the device.
    TransportSender confirm(got.keys.send);
    TransportReceiver atDevice(sent.keys.receive, TransportEnd::device);
    const Bytes enrolled(SC::enrolledMessage.begin(), SC::enrolledMessage.end());
    const auto opened = atDevice.open(confirm.seal(SC::flagText, enrolled));
    EXPECT_EQ(opened.flags, SC::flagText);
    EXPECT_EQ(opened.data, enrolled);
}

TEST(XXEnrolment, NameLengthsAreBoundedBeforeAnyDecryption) {
    XXPair pair;
    for (std::size_t n : {std::size_t{1}, SC::nameMaxBytes}) {
        XXInitiator device = pair.initiator(Bytes(n, 'a'));
        XXResponder mac = pair.responder();
        const Bytes m3 = firstTwo(device, mac);
        EXPECT_EQ(m3.size(), SC::xx3BaseLength + n);
        EXPECT_EQ(mac.readMessage3(m3).name, Bytes(n, 'a'));
    }
    // A 160-byte name of multi-byte characters is still fine.
    std::string wide;
    while (wide.size() < SC::nameMaxBytes) wide += "\xc3\xa9";  // é
    XXInitiator accented = pair.initiator(bytesOf(wide));
    XXResponder mac = pair.responder();
    EXPECT_EQ(mac.readMessage3(firstTwo(accented, mac)).name, bytesOf(wide));

    for (std::size_t n : {std::size_t{0}, SC::nameMaxBytes + 1}) {
        XXInitiator device = pair.initiator(Bytes(n, 'a'));
        XXResponder mac2 = pair.responder();
        const Bytes m3 = firstTwo(device, mac2);
        EXPECT_EQ(wordOf([&] { mac2.readMessage3(m3); }), "bad-length") << n;
        EXPECT_EQ(mac2.stage(), XXStage::failed);
    }
}

TEST(XXEnrolment, PayloadThatDisagreesWithItsLengthIsRefusedAfterTheTags) {
    XXPair pair;
    const Bytes name = bytesOf("tablet");
    XXInitiator device = pair.initiator(name);
    Bytes lying = pair.salt;
    lying.push_back(static_cast<std::uint8_t>(name.size() + 1));
    lying.insert(lying.end(), name.begin(), name.end());
    device.payload3Override = lying;
    XXResponder mac = pair.responder();
    const Bytes m3 = firstTwo(device, mac);
    EXPECT_EQ(wordOf([&] { mac.readMessage3(m3); }), "bad-length");
    EXPECT_EQ(mac.stage(), XXStage::failed);
}

TEST(XXEnrolment, CommitmentMustMatchKeySaltAndName) {
    XXPair pair;
    // A commitment to another name: the device completes, the Mac refuses.
    const Bytes foreign = SC::enrolCommit(pair.device.publicKeyBytes(), pair.salt, bytesOf("other"));
    XXInitiator device = pair.initiator(bytesOf("laptop"), foreign);
    XXResponder mac = pair.responder();
    const Bytes m3 = firstTwo(device, mac);
    EXPECT_EQ(device.stage(), XXInitiator::Stage::done);
    EXPECT_EQ(wordOf([&] { mac.readMessage3(m3); }), "commit");
    EXPECT_EQ(mac.stage(), XXStage::failed);

    // A commitment altered on the way changes the transcript: the device
    // cannot open the Mac's reply.
    XXInitiator honest = pair.initiator(bytesOf("laptop"));
    XXResponder mac2 = pair.responder();
    Bytes m1 = honest.writeMessage1();
    m1[80] ^= 0x01;
    mac2.readMessage1(m1);
    EXPECT_EQ(wordOf([&] { honest.readMessage2(mac2.writeMessage2()); }), "bad-tag");
}

TEST(XXEnrolment, NameMustBeUtf8EvenWhenTheCommitmentMatches) {
    XXPair pair;
    for (const Bytes& name : {Bytes{0xff}, Bytes{'a', 0xc3}, Bytes{0xed, 0xa0, 0x80}, Bytes{0xc0, 0xaf}}) {
        XXInitiator device = pair.initiator(name);
        XXResponder mac = pair.responder();
        const Bytes m3 = firstTwo(device, mac);
        EXPECT_EQ(wordOf([&] { mac.readMessage3(m3); }), "bad-name");
        EXPECT_EQ(mac.stage(), XXStage::failed);
    }
}

TEST(XXEnrolment, AlteredMessagesFailWithTheirWords) {
    XXPair pair;
    const Bytes name = bytesOf("watch");
    auto message1 = [&](auto alter) {
        Bytes m1 = pair.initiator(name).writeMessage1();
        alter(m1);
        XXResponder mac = pair.responder();
        return wordOf([&] { mac.readMessage1(m1); });
    };
    EXPECT_EQ(message1([](Bytes& m) { m.pop_back(); }), "bad-length");
    EXPECT_EQ(message1([](Bytes& m) { m.push_back(0); }), "bad-length");
    EXPECT_EQ(message1([](Bytes& m) { m[0] = SC::typeIK1; }), "bad-state");
    EXPECT_EQ(message1([](Bytes& m) { m[1] = 0x03; }), "bad-key");
    EXPECT_EQ(message1([](Bytes& m) { m[65] ^= 0x01; }), "bad-key");

    auto message2 = [&](auto alter) {
        XXInitiator device = pair.initiator(name);
        XXResponder mac = pair.responder();
        mac.readMessage1(device.writeMessage1());
        Bytes m2 = mac.writeMessage2();
        alter(m2);
        const std::string w = wordOf([&] { device.readMessage2(m2); });
        EXPECT_TRUE(w.empty() || device.stage() == XXInitiator::Stage::failed);
        return w;
    };
    EXPECT_EQ(message2([](Bytes&) {}), "");
    EXPECT_EQ(message2([](Bytes& m) { m.pop_back(); }), "bad-length");
    EXPECT_EQ(message2([](Bytes& m) { m[0] = SC::typeXX3; }), "bad-state");
    EXPECT_EQ(message2([](Bytes& m) { m[65] ^= 0x01; }), "bad-key");
    EXPECT_EQ(message2([](Bytes& m) { m[66] ^= 0x01; }), "bad-tag");
    EXPECT_EQ(message2([](Bytes& m) { m[146] ^= 0x01; }), "bad-tag");
    EXPECT_EQ(message2([](Bytes& m) { m[162] ^= 0x01; }), "bad-tag");

    auto message3 = [&](auto alter) {
        XXInitiator device = pair.initiator(name);
        XXResponder mac = pair.responder();
        Bytes m3 = firstTwo(device, mac);
        alter(m3);
        const std::string w = wordOf([&] { mac.readMessage3(m3); });
        EXPECT_TRUE(w.empty() || mac.stage() == XXStage::failed);
        return w;
    };
    EXPECT_EQ(message3([](Bytes&) {}), "");
    EXPECT_EQ(message3([](Bytes& m) { m[0] = SC::typeXX1; }), "bad-state");
    EXPECT_EQ(message3([](Bytes& m) { m[1] ^= 0x01; }), "bad-tag");
    EXPECT_EQ(message3([](Bytes& m) { m[81] ^= 0x01; }), "bad-tag");
    EXPECT_EQ(message3([](Bytes& m) { m[82] ^= 0x01; }), "bad-tag");
    EXPECT_EQ(message3([](Bytes& m) { m.back() ^= 0x01; }), "bad-tag");
    // One byte more: the length is still allowed but the payload tag breaks.
    EXPECT_EQ(message3([](Bytes& m) { m.push_back(0); }), "bad-tag");
}

TEST(XXEnrolment, StepsOutOfOrderLeaveTheHalvesFailed) {
    XXPair pair;
    XXInitiator device = pair.initiator(bytesOf("pad"));
    XXResponder mac = pair.responder();
    mac.readMessage1(device.writeMessage1());
    EXPECT_EQ(wordOf([&] { mac.readMessage3(Bytes(140, SC::typeXX3)); }), "bad-state");
    EXPECT_EQ(mac.stage(), XXStage::failed);
    EXPECT_EQ(wordOf([&] { mac.writeMessage2(); }), "bad-state");

    XXInitiator device2 = pair.initiator(bytesOf("pad"));
    XXResponder mac2 = pair.responder();
    const Bytes m3 = firstTwo(device2, mac2);
    mac2.readMessage3(m3);
    EXPECT_EQ(wordOf([&] { mac2.readMessage3(m3); }), "bad-state");
    EXPECT_EQ(mac2.stage(), XXStage::failed);
}

}  // namespace
}  // namespace morvane
