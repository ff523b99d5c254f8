// The secure channel's readers over arbitrary bytes: handshake messages as
// the responders see them, transport records at both ends, and the device's
// reassembly of fragments. The first byte picks the reader. Nothing may
// escape but the channel's own error, a receiver or reassembler that failed
// once must refuse everything after, and what is assembled stays in bounds.
#include <cstdlib>
#include <span>

#include "secure/ik_handshake.h"
#include "secure/secure_channel.h"
#include "secure/transport.h"
#include "secure/xx_handshake.h"

using namespace morvane;

namespace {

void require(bool condition) {
    if (!condition) std::abort();
}

// Fixed keys so that seeds built against them get past the first checks.
const P256PrivateKey& macKey() {
    static const P256PrivateKey key = P256PrivateKey::fromRawBytes(Bytes(32, 0x11));
    return key;
}
const Bytes roomID(16, 0x5a);
SymmetricKey recordKey() {
    SymmetricKey k;
    k.bytes.fill(0x42);
    return k;
}

template <typename F>
bool refused(F&& f) {
    try {
        f();
        return false;
    } catch (const SecureChannelError&) {
        return true;
    }
}

void ikMessage(ByteView data) {
    IKResponder responder(macKey(), roomID, P256PrivateKey::fromRawBytes(Bytes(32, 0x22)));
    if (refused([&] { responder.readMessage1(data, [](ByteView key) { return key[0] == 0x04; }); })) {
        require(responder.stage() == IKResponder::Stage::failed);
        require(refused([&] { responder.writeMessage2(); }));
        return;
    }
    require(responder.writeMessage2().record.size() == SecureChannel::ik2Length);
}

void xxMessages(ByteView data) {
    XXResponder responder(macKey(), roomID, P256PrivateKey::fromRawBytes(Bytes(32, 0x33)));
    const auto first = data.first(std::min(data.size(), SecureChannel::xx1Length));
    if (refused([&] { responder.readMessage1(first); })) return;
    responder.writeMessage2();
    const auto third = data.subspan(first.size());
    XXResponder::Enrolment enrolment;
    if (refused([&] { enrolment = responder.readMessage3(third); })) {
        require(responder.stage() == XXResponder::Stage::failed);
        return;
    }
    require(!enrolment.name.empty() && enrolment.name.size() <= SecureChannel::nameMaxBytes);
    require(enrolment.deviceKey.size() == SecureChannel::publicKeyLength);
}

// Raw records, cut by a leading length byte each, at one end.
void rawRecords(ByteView data, TransportEnd end) {
    TransportReceiver receiver(recordKey(), end);
    bool failed = false;
    while (!data.empty()) {
        const std::size_t length = std::min<std::size_t>(data[0] * 8u, data.size() - 1);
        const auto record = data.subspan(1, length);
        data = data.subspan(1 + length);
        if (refused([&] { receiver.open(record); })) {
            failed = true;
        } else {
            require(!failed);
        }
    }
}

// Records sealed with the right key from fuzzed flags and data, so the
// checks behind authentication are reached; then the device reassembles.
void sealedRecords(ByteView data) {
    TransportSender sender(recordKey());
    TransportReceiver atMac(recordKey(), TransportEnd::mac);
    TransportReceiver atDevice(recordKey(), TransportEnd::device);
    constexpr std::size_t limit = 3 * 16;
    Reassembler reassembler(limit, 16);
    bool macFailed = false, deviceFailed = false, reassemblerFailed = false;
    while (data.size() >= 2) {
        const std::uint8_t flags = data[0];
        const std::size_t length = std::min<std::size_t>(data[1], data.size() - 2);
        const auto body = data.subspan(2, length);
        data = data.subspan(2 + length);
        const Bytes record = sender.seal(flags, body);

        if (refused([&] { atMac.open(record); })) macFailed = true;
        else require(!macFailed);

        TransportReceiver::Opened opened;
        if (refused([&] { opened = atDevice.open(record); })) {
            deviceFailed = true;
            continue;
        }
        require(!deviceFailed);
        std::optional<Reassembler::Message> whole;
        if (refused([&] { whole = reassembler.add(opened.flags, opened.data); })) {
            reassemblerFailed = true;
            require(!reassembler.inProgress());
        } else {
            require(!reassemblerFailed);
            if (whole) require(whole->message.size() <= limit);
        }
    }
}

// A message cut into records must come back whole and unchanged.
void roundTrip(ByteView data) {
    TransportSender sender(recordKey());
    std::vector<Bytes> records;
    if (refused([&] { records = sender.records(data); })) return;
    TransportReceiver atDevice(recordKey(), TransportEnd::device);
    for (const auto& record : records) {
        const auto opened = atDevice.open(record);
        require(opened.flags == data[0]);
        require(opened.data.size() + 1 == data.size());
        require(std::equal(opened.data.begin(), opened.data.end(), data.begin() + 1));
    }
    require(records.size() == 1);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* bytes, std::size_t size) {
    if (size == 0) return 0;
    const auto data = std::span<const std::uint8_t>(bytes + 1, size - 1);
    switch (bytes[0] % 6) {
    case 0: ikMessage(data); break;
    case 1: xxMessages(data); break;
    case 2: rawRecords(data, TransportEnd::mac); break;
    case 3: rawRecords(data, TransportEnd::device); break;
    case 4: sealedRecords(data); break;
    case 5: roundTrip(data); break;
    }
    try {
        Credit::decode(data);
        require(data.size() == 8);
    } catch (const SecureChannelError& e) {
        require(e.word == "bad-ack");
    }
    return 0;
}
