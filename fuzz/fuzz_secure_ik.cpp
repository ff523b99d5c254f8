// The first message of a known device's handshake, as the responder reads
// it. A refused message leaves the responder failed for good; an accepted
// one is answered with a second message of the fixed length.
#include "secure_keys.h"
#include "secure/ik_handshake.h"

using namespace morvane;
using namespace morvane::fuzz;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const ByteView message(data, size);
    IKResponder responder(macKey(), roomID(), ikEphemeral());
    if (refused([&] { responder.readMessage1(message, [](ByteView key) { return key[0] == 0x04; }); })) {
        require(responder.stage() == IKResponder::Stage::failed);
        require(refused([&] { responder.writeMessage2(); }));
        return 0;
    }
    require(responder.writeMessage2().record.size() == SecureChannel::ik2Length);
    return 0;
}
