#include "secure/ik_handshake.h"

#include "secure/handshake_util.h"

namespace morvane {

using namespace SecureChannel;
using detail::field;
using detail::guarded;

IKResponder::IKResponder(P256PrivateKey staticKey, ByteView roomID, std::optional<P256PrivateKey> ephemeral,
                         bool traced)
    : staticKey_(std::move(staticKey)), ephemeral_(ephemeral ? std::move(*ephemeral) : P256PrivateKey::generate()) {
    symmetric_.emplace(ikName, prologue(ikPattern, roomID), traced);
    symmetric_->mixHash(staticKey_.publicKeyBytes(), "rs");
}

std::optional<HandshakeTrace> IKResponder::trace() const {
    if (!symmetric_) return std::nullopt;
    return symmetric_->trace();
}

void IKResponder::fail() {
    stage_ = Stage::failed;
    symmetric_.reset();
    ephemeral_.reset();
    deviceEphemeral_.reset();
    deviceStatic_.reset();
}

Bytes IKResponder::readMessage1(ByteView message, const std::function<bool(ByteView)>& lookup) {
    return guarded([this] { fail(); }, [&] {
        if (stage_ != Stage::start || !symmetric_) throw SecureChannelError::badState;
        if (message.size() != ik1Length) throw SecureChannelError::badLength;
        if (message[0] != typeIK1) throw SecureChannelError::badState;
        SymmetricState& s = *symmetric_;

        const Bytes e = field(message, 1, publicKeyLength);
        P256PublicKey deviceEphemeral = publicKey(e);
        s.mixHash(e, "e");
        s.mixKey(dh(staticKey_, deviceEphemeral), "es");

        const Bytes staticBytes = s.decryptAndHash(field(message, 66, publicKeyLength + tagLength), "s");
        P256PublicKey deviceStatic = publicKey(staticBytes);
        if (!lookup || !lookup(staticBytes)) throw SecureChannelError::notEnrolled;
        s.mixKey(dh(staticKey_, deviceStatic), "ss");

        const Bytes payload = s.decryptAndHash(field(message, 147, tagLength), "payload1");
        if (!payload.empty()) throw SecureChannelError::badLength;

        deviceEphemeral_ = std::move(deviceEphemeral);
        deviceStatic_ = std::move(deviceStatic);
        stage_ = Stage::read1;
        return staticBytes;
    });
}

IKResponder::Message2 IKResponder::writeMessage2() {
    return guarded([this] { fail(); }, [&] {
        if (stage_ != Stage::read1 || !symmetric_ || !ephemeral_ || !deviceEphemeral_ || !deviceStatic_)
            throw SecureChannelError::badState;
        SymmetricState& s = *symmetric_;

        const Bytes e = ephemeral_->publicKeyBytes();
        s.mixHash(e, "e2");
        s.mixKey(dh(*ephemeral_, *deviceEphemeral_), "ee");
        s.mixKey(dh(*ephemeral_, *deviceStatic_), "se");
        const Bytes c = s.encryptAndHash({}, "payload2");

        Message2 out;
        out.record.reserve(ik2Length);
        out.record.push_back(typeIK2);
        out.record.insert(out.record.end(), e.begin(), e.end());
        out.record.insert(out.record.end(), c.begin(), c.end());
        auto [d2m, m2d] = s.split();
        out.keys = TransportKeys{m2d, d2m};
        out.handshakeHash = s.h();

        finishedTrace = s.trace();
        symmetric_.reset();
        ephemeral_.reset();
        deviceEphemeral_.reset();
        deviceStatic_.reset();
        stage_ = Stage::done;
        return out;
    });
}

IKInitiator::IKInitiator(P256PrivateKey staticKey, ByteView remoteStatic, ByteView roomID,
                         std::optional<P256PrivateKey> ephemeral, bool traced)
    : staticKey_(std::move(staticKey)),
      remoteStatic_(remoteStatic.begin(), remoteStatic.end()),
      ephemeral_(ephemeral ? std::move(*ephemeral) : P256PrivateKey::generate()) {
    symmetric_.emplace(ikName, prologue(ikPattern, roomID), traced);
    // Mixed as the device knows it; it is parsed only when first used.
    symmetric_->mixHash(remoteStatic_, "rs");
}

void IKInitiator::fail() {
    stage_ = Stage::failed;
    symmetric_.reset();
    staticKey_.reset();
    ephemeral_.reset();
}

Bytes IKInitiator::writeMessage1() {
    return guarded([this] { fail(); }, [&] {
        if (stage_ != Stage::start || !symmetric_ || !staticKey_ || !ephemeral_) throw SecureChannelError::badState;
        SymmetricState& s = *symmetric_;
        const P256PublicKey macStatic = publicKey(remoteStatic_);

        const Bytes e = ephemeral_->publicKeyBytes();
        s.mixHash(e, "e");
        s.mixKey(dh(*ephemeral_, macStatic), "es");
        const Bytes c1 = s.encryptAndHash(staticKey_->publicKeyBytes(), "s");
        s.mixKey(dh(*staticKey_, macStatic), "ss");
        const Bytes c2 = s.encryptAndHash({}, "payload1");

        Bytes record;
        record.reserve(ik1Length);
        record.push_back(typeIK1);
        record.insert(record.end(), e.begin(), e.end());
        record.insert(record.end(), c1.begin(), c1.end());
        record.insert(record.end(), c2.begin(), c2.end());
        stage_ = Stage::wrote1;
        return record;
    });
}

IKInitiator::Result IKInitiator::readMessage2(ByteView message) {
    return guarded([this] { fail(); }, [&] {
        if (stage_ != Stage::wrote1 || !symmetric_ || !staticKey_ || !ephemeral_) throw SecureChannelError::badState;
        if (message.size() != ik2Length) throw SecureChannelError::badLength;
        if (message[0] != typeIK2) throw SecureChannelError::badState;
        SymmetricState& s = *symmetric_;

        const Bytes e = field(message, 1, publicKeyLength);
        const P256PublicKey macEphemeral = publicKey(e);
        s.mixHash(e, "e2");
        s.mixKey(dh(*ephemeral_, macEphemeral), "ee");
        s.mixKey(dh(*staticKey_, macEphemeral), "se");
        const Bytes payload = s.decryptAndHash(field(message, 66, tagLength), "payload2");
        if (!payload.empty()) throw SecureChannelError::badLength;

        auto [d2m, m2d] = s.split();
        Result out{TransportKeys{d2m, m2d}, s.h()};
        finishedTrace = s.trace();
        symmetric_.reset();
        staticKey_.reset();
        ephemeral_.reset();
        stage_ = Stage::done;
        return out;
    });
}

}  // namespace morvane
