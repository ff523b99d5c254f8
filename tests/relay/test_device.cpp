#include "test_device.h"

#include "core/secure.h"

namespace morvane::testing {

using namespace SecureChannel;

namespace {
ByteView view(std::string_view text) { return {reinterpret_cast<const std::uint8_t*>(text.data()), text.size()}; }
}  // namespace

TestDevice::TestDevice(std::string name, Bytes roomID, std::optional<P256PrivateKey> staticKey)
    : name_(std::move(name)),
      roomID_(std::move(roomID)),
      staticKey_(staticKey ? *staticKey : P256PrivateKey::generate()),
      publicKey_(staticKey_.publicKeyBytes()) {}

Bytes TestDevice::enrolMessage1() {
    xx_.emplace(staticKey_, roomID_, view(name_), Secure::randomBytes(saltLength));
    code_.reset();
    return xx_->writeMessage1();
}

Bytes TestDevice::enrolMessage3(ByteView message2) {
    macKey_ = xx_->readMessage2(message2);
    auto result = xx_->writeMessage3();
    code_ = sas(result.handshakeHash);
    enrolKeys_ = result.keys;
    return result.record;
}

bool TestDevice::readEnrolled(ByteView record) {
    if (!enrolKeys_) return false;
    TransportReceiver receiver(enrolKeys_->receive, TransportEnd::device);
    auto opened = receiver.open(record);
    return opened.flags == flagText && opened.data == Bytes(enrolledMessage.begin(), enrolledMessage.end());
}

Bytes TestDevice::sessionMessage1(std::optional<Bytes> macKey) {
    if (macKey) macKey_ = std::move(macKey);
    ik_.emplace(staticKey_, *macKey_, roomID_);
    sender_.reset();
    receiver_.reset();
    return ik_->writeMessage1();
}

void TestDevice::sessionMessage2(ByteView message2) {
    auto result = ik_->readMessage2(message2);
    sender_.emplace(result.keys.send);
    receiver_.emplace(result.keys.receive, TransportEnd::device);
    reassembler_.emplace(messageFromHostMax);
    receivedBytes_ = 0;
}

Bytes TestDevice::raw(std::uint8_t flags, ByteView data) { return sender_->seal(flags, data); }
Bytes TestDevice::text(std::string_view message) { return raw(flagText, view(message)); }
Bytes TestDevice::binary(ByteView message) { return raw(flagBinary, message); }
Bytes TestDevice::close() { return raw(flagClose, {}); }
Bytes TestDevice::credit(std::uint64_t count) { return raw(flagCredit, Credit::encode(count)); }

std::optional<TestDevice::Received> TestDevice::receive(ByteView record) {
    auto opened = receiver_->open(record);
    if (opened.flags == flagClose) return Received{Received::Kind::close, {}};
    auto message = reassembler_->add(opened.flags, opened.data);
    if (!message) return std::nullopt;
    receivedBytes_ += message->message.size();
    return Received{message->kind == flagText ? Received::Kind::text : Received::Kind::binary,
                    std::move(message->message)};
}

}  // namespace morvane::testing
