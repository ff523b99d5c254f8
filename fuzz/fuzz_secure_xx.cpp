// An enrolling device's handshake as the responder reads it: the input's
// first bytes are the first message, the rest the third. Whatever is
// enrolled has a name within bounds and a whole public key; a refused third
// message leaves the responder failed.
#include "secure_keys.h"
#include "secure/xx_handshake.h"

using namespace morvane;
using namespace morvane::fuzz;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const ByteView input(data, size);
    XXResponder responder(macKey(), roomID(), xxEphemeral());
    const auto first = input.first(std::min(input.size(), SecureChannel::xx1Length));
    if (refused([&] { responder.readMessage1(first); })) return 0;
    responder.writeMessage2();
    XXResponder::Enrolment enrolment;
    if (refused([&] { enrolment = responder.readMessage3(input.subspan(first.size())); })) {
        require(responder.stage() == XXResponder::Stage::failed);
        return 0;
    }
    require(!enrolment.name.empty() && enrolment.name.size() <= SecureChannel::nameMaxBytes);
    require(enrolment.deviceKey.size() == SecureChannel::publicKeyLength);
    return 0;
}
