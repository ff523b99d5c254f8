// Writes transcripts of the secure channel made by the host's own code from
// fixed keys and fixed randomness: an IK session, an XX enrolment and the
// records that follow each, as JSON of hex strings. The browser's channel
// (tests/web/relay) must produce and open the same bytes, so a changed byte
// on either side fails there.
//
//   morvane-channel-transcripts OUTPUT.json
#include <cstdio>
#include <fstream>
#include <iostream>
#include <string>

#include <nlohmann/json.hpp>

#include "secure/ik_handshake.h"
#include "secure/secure_channel.h"
#include "secure/transport.h"
#include "secure/xx_handshake.h"

using namespace morvane;
using nlohmann::json;

namespace {

std::string hex(ByteView bytes) {
    static const char* digits = "0123456789abcdef";
    std::string out;
    for (auto b : bytes) {
        out.push_back(digits[b >> 4]);
        out.push_back(digits[b & 15]);
    }
    return out;
}

Bytes text(std::string_view s) { return Bytes(s.begin(), s.end()); }

// A fixed private scalar (every byte the same, well inside the group order).
P256PrivateKey fixedKey(std::uint8_t fill) { return P256PrivateKey::fromRawBytes(Bytes(32, fill)); }

json keyJson(const P256PrivateKey& key) {
    return {{"private", hex(key.rawBytes())}, {"public", hex(key.publicKeyBytes())}};
}

Bytes pattern(std::size_t size, std::uint8_t seed) {
    Bytes out(size);
    for (std::size_t i = 0; i < size; ++i) out[i] = static_cast<std::uint8_t>((i * 7 + seed) % 251);
    return out;
}

json recordsJson(const std::vector<Bytes>& records) {
    json out = json::array();
    for (const auto& r : records) out.push_back(hex(r));
    return out;
}

json ikSession(const Bytes& room) {
    const auto deviceStatic = fixedKey(0x11), deviceEphemeral = fixedKey(0x22);
    const auto macStatic = fixedKey(0x33), macEphemeral = fixedKey(0x44);
    IKInitiator device(deviceStatic, macStatic.publicKeyBytes(), room, deviceEphemeral);
    IKResponder mac(macStatic, room, macEphemeral);
    const Bytes message1 = device.writeMessage1();
    mac.readMessage1(message1, [](ByteView) { return true; });
    const auto message2 = mac.writeMessage2();
    const auto deviceSide = device.readMessage2(message2.record);

    // What the device sends: the greeting, a binary message, a credit and
    // the close, sealed in this order.
    TransportSender deviceSender(deviceSide.keys.send);
    const Bytes binary = pattern(SecureChannel::deviceDataMax, 3);
    json toMac = {
        {"hello", hex(deviceSender.seal(SecureChannel::flagText, text(SecureChannel::helloMessage)))},
        {"binary", hex(deviceSender.seal(SecureChannel::flagBinary, binary))},
        {"binaryBody", hex(binary)},
        {"credit", hex(deviceSender.seal(SecureChannel::flagCredit, Credit::encode(SecureChannel::creditAckBytes)))},
        {"creditCount", SecureChannel::creditAckBytes},
        {"close", hex(deviceSender.seal(SecureChannel::flagClose, {}))},
    };

    // What the computer sends: a text, a binary message one byte over a
    // record (a fragment and a last record), an empty text and the close.
    TransportSender macSender(message2.keys.send);
    Bytes ready = text(R"({"t":"ready"})");
    ready.insert(ready.begin(), SecureChannel::flagText);
    Bytes big = pattern(SecureChannel::fragmentDataMax + 1, 5);
    Bytes bigMessage = big;
    bigMessage.insert(bigMessage.begin(), SecureChannel::flagBinary);
    std::vector<Bytes> records = macSender.records(ready);
    for (auto& r : macSender.records(bigMessage)) records.push_back(std::move(r));
    for (auto& r : macSender.records(Bytes{SecureChannel::flagText})) records.push_back(std::move(r));
    for (auto& r : macSender.records(Bytes{SecureChannel::flagClose})) records.push_back(std::move(r));

    return {
        {"deviceStatic", keyJson(deviceStatic)},
        {"deviceEphemeral", keyJson(deviceEphemeral)},
        {"macStatic", keyJson(macStatic)},
        {"macEphemeral", keyJson(macEphemeral)},
        {"message1", hex(message1)},
        {"message2", hex(message2.record)},
        {"handshakeHash", hex(message2.handshakeHash)},
        {"toMac", toMac},
        {"toDevice", {{"records", recordsJson(records)}, {"readyText", R"({"t":"ready"})"}, {"bigSize", big.size()},
                      {"bigSeed", 5}}},
    };
}

json xxEnrolment(const Bytes& room) {
    const auto deviceStatic = fixedKey(0x55), deviceEphemeral = fixedKey(0x66);
    const auto macStatic = fixedKey(0x33), macEphemeral = fixedKey(0x77);
    const Bytes salt = pattern(SecureChannel::saltLength, 9);
    const Bytes name = text("Ada\xE2\x80\x99s phone");
    XXInitiator device(deviceStatic, room, name, salt, deviceEphemeral);
    XXResponder mac(macStatic, room, macEphemeral);
    const Bytes message1 = device.writeMessage1();
    mac.readMessage1(message1);
    const Bytes message2 = mac.writeMessage2();
    device.readMessage2(message2);
    const auto message3 = device.writeMessage3();
    const auto enrolment = mac.readMessage3(message3.record);
    TransportSender confirm(enrolment.keys.send);
    const Bytes enrolled =
        confirm.seal(SecureChannel::flagText, text(SecureChannel::enrolledMessage));
    return {
        {"deviceStatic", keyJson(deviceStatic)},
        {"deviceEphemeral", keyJson(deviceEphemeral)},
        {"macStatic", keyJson(macStatic)},
        {"macEphemeral", keyJson(macEphemeral)},
        {"salt", hex(salt)},
        {"name", hex(name)},
        {"message1", hex(message1)},
        {"message2", hex(message2)},
        {"message3", hex(message3.record)},
        {"handshakeHash", hex(enrolment.handshakeHash)},
        {"code", SecureChannel::sas(enrolment.handshakeHash)},
        {"enrolled", hex(enrolled)},
    };
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::cerr << "usage: morvane-channel-transcripts OUTPUT.json\n";
        return 2;
    }
    try {
        const Bytes room = pattern(SecureChannel::roomIDLength, 1);
        const json out = {{"room", hex(room)}, {"ik", ikSession(room)}, {"xx", xxEnrolment(room)}};
        const std::string path = argv[1], temporary = path + ".tmp";
        {
            std::ofstream file(temporary, std::ios::binary | std::ios::trunc);
            file << out.dump(1) << '\n';
            if (!file.flush()) throw std::runtime_error("cannot write " + temporary);
        }
        if (std::rename(temporary.c_str(), path.c_str()) != 0) throw std::runtime_error("cannot write " + path);
    } catch (const std::exception& e) {
        std::cerr << "morvane-channel-transcripts: " << e.what() << '\n';
        return 1;
    }
    return 0;
}
