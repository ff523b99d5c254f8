// What the relay says on the host's link, in text and in binary frames, and
// the stored relay identity and relay address a program of the same user
// could plant. The first byte picks the reader: 0 a control text, 1 the
// identity item, 2 a binary frame, 3 the relay's address. Control texts over
// the limit are refused, a welcome names a room of 32 lower-case hex digits
// and at most the listed limit of devices, ids are never 0, an identity that
// reads back encodes to bytes that read as the same identity, a frame splits
// only from 5 bytes on and rebuilds to the same bytes, and an address that
// reads has a lower-case scheme and host free of blanks and reads the same
// when written again from its parts.
#include <algorithm>
#include <vector>

#include "fuzz_support.h"
#include "relay/relay_url.h"
#include "relay/relay_control.h"
#include "relay/relay_identity.h"

using namespace morvane;
using morvane::fuzz::require;

namespace {

void controlText(std::string_view text) {
    const auto message = RelayControl::parse(text);
    if (!message) return;
    require(text.size() <= RelayLinkLimits::maxControlBytes);
    if (const auto* challenge = std::get_if<RelayControl::Challenge>(&*message)) require(challenge->nonce.size() == 32);
    if (const auto* welcome = std::get_if<RelayControl::Welcome>(&*message)) {
        require(welcome->room.size() == 32 && std::all_of(welcome->room.begin(), welcome->room.end(), [](char c) {
                    return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f');
                }));
        require(welcome->devices.size() <= RelayLinkLimits::maxDevicesListed);
        for (auto id : welcome->devices) require(id != 0);
        std::vector<RelayConnectionID> sorted = welcome->devices;
        std::sort(sorted.begin(), sorted.end());
        require(std::adjacent_find(sorted.begin(), sorted.end()) == sorted.end());
    }
    if (const auto* joined = std::get_if<RelayControl::Joined>(&*message)) require(joined->id != 0);
    if (const auto* left = std::get_if<RelayControl::Left>(&*message)) require(left->id != 0);
}

void identityItem(std::span<const std::uint8_t> data) {
    const auto identity = RelayIdentityStore::decode(data);
    if (!identity) return;
    const auto again = RelayIdentityStore::decode(RelayIdentityStore::encode(*identity));
    require(again && *again == *identity);
}

void frame(std::span<const std::uint8_t> data) {
    const auto parsed = RelayFrame::split(data);
    require(parsed.has_value() == (data.size() >= 5));
    if (parsed) require(RelayFrame::make(parsed->id, parsed->record) == Bytes(data.begin(), data.end()));
}

void relayAddress(std::string_view text) {
    const auto url = parseRelayURL(text);
    if (!url) return;
    require(!url->scheme.empty() && !url->host.empty());
    for (char c : url->scheme + url->host) {
        require(static_cast<unsigned char>(c) > 0x20 && c != 0x7F);
        require(!(c >= 'A' && c <= 'Z'));
    }
    for (char c : url->path) require(static_cast<unsigned char>(c) > 0x20 && c != 0x7F);
    if (url->hasUser || url->hasQuery || url->hasFragment) return;
    require(parseRelayURL(url->scheme + "://" + url->hostHeader() + url->path) == url);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0) return 0;
    const std::span<const std::uint8_t> rest(data + 1, size - 1);
    const std::string_view text(reinterpret_cast<const char*>(rest.data()), rest.size());
    switch (data[0] % 4) {
        case 0: controlText(text); break;
        case 1: identityItem(rest); break;
        case 2: frame(rest); break;
        default: relayAddress(text); break;
    }
    return 0;
}
