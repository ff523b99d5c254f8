// Transport records after a handshake. The first byte picks the reader:
// 0 raw records at the computer's end, 1 at the device's, 2 records sealed
// with the right key from fuzzed flags and data (so the checks behind
// authentication are reached) then reassembled at the device, 3 a message
// cut into records that must come back whole. A receiver or reassembler
// that refused once refuses everything after; what is assembled stays in
// bounds. The rest is also read as a credit acknowledgement.
#include <algorithm>

#include "secure_keys.h"
#include "secure/transport.h"

using namespace morvane;
using namespace morvane::fuzz;

namespace {

SymmetricKey recordKey() {
    SymmetricKey k;
    k.bytes.fill(0x42);
    return k;
}

// Raw records, cut by a leading length byte each, at one end.
void rawRecords(ByteView data, TransportEnd end) {
    TransportReceiver receiver(recordKey(), end);
    bool failed = false;
    while (!data.empty()) {
        const std::size_t length = std::min<std::size_t>(data[0] * 8u, data.size() - 1);
        const auto record = data.subspan(1, length);
        data = data.subspan(1 + length);
        if (refused([&] { receiver.open(record); }))
            failed = true;
        else
            require(!failed);
    }
}

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

        if (refused([&] { atMac.open(record); }))
            macFailed = true;
        else
            require(!macFailed);

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
    const ByteView data(bytes + 1, size - 1);
    switch (bytes[0] % 4) {
        case 0: rawRecords(data, TransportEnd::mac); break;
        case 1: rawRecords(data, TransportEnd::device); break;
        case 2: sealedRecords(data); break;
        default: roundTrip(data); break;
    }
    try {
        Credit::decode(data);
        require(data.size() == 8);
    } catch (const SecureChannelError& e) {
        require(e.word == "bad-ack");
    }
    return 0;
}
