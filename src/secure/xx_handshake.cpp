#include "secure/xx_handshake.h"

#include <unicode/utf8.h>

#include "secure/handshake_util.h"

namespace morvane {

using namespace SecureChannel;
using detail::field;
using detail::guarded;

namespace {

bool validUtf8(ByteView bytes) {
    const auto length = static_cast<std::int32_t>(bytes.size());
    std::int32_t at = 0;
    while (at < length) {
        UChar32 c;
        U8_NEXT(bytes.data(), at, length, c);
        if (c < 0) return false;
    }
    return true;
}

void append(Bytes& out, ByteView part) { out.insert(out.end(), part.begin(), part.end()); }

}  // namespace

XXResponder::XXResponder(P256PrivateKey staticKey, ByteView roomID, std::optional<P256PrivateKey> ephemeral,
                         bool traced)
    : staticKey_(std::move(staticKey)), ephemeral_(ephemeral ? std::move(*ephemeral) : P256PrivateKey::generate()) {
    symmetric_.emplace(xxName, prologue(xxPattern, roomID), traced);
}

void XXResponder::fail() {
    stage_ = Stage::failed;
    symmetric_.reset();
    staticKey_.reset();
    ephemeral_.reset();
    deviceEphemeral_.reset();
    commit_.reset();
}

void XXResponder::readMessage1(ByteView message) {
    guarded([this] { fail(); }, [&] {
        if (stage_ != Stage::start || !symmetric_) throw SecureChannelError::badState;
        if (message.size() != xx1Length) throw SecureChannelError::badLength;
        if (message[0] != typeXX1) throw SecureChannelError::badState;
        SymmetricState& s = *symmetric_;

        const Bytes e = field(message, 1, publicKeyLength);
        P256PublicKey deviceEphemeral = publicKey(e);
        s.mixHash(e, "e");
        // No key yet: the commitment is taken as it is and mixed into h.
        Bytes commitment = s.decryptAndHash(field(message, 66, 32), "commit");

        deviceEphemeral_ = std::move(deviceEphemeral);
        commit_ = std::move(commitment);
        stage_ = Stage::read1;
    });
}

Bytes XXResponder::writeMessage2() {
    return guarded([this] { fail(); }, [&] {
        if (stage_ != Stage::read1 || !symmetric_ || !staticKey_ || !ephemeral_ || !deviceEphemeral_)
            throw SecureChannelError::badState;
        SymmetricState& s = *symmetric_;

        const Bytes e = ephemeral_->publicKeyBytes();
        s.mixHash(e, "e2");
        s.mixKey(dh(*ephemeral_, *deviceEphemeral_), "ee");
        const Bytes c1 = s.encryptAndHash(staticKey_->publicKeyBytes(), "s2");
        s.mixKey(dh(*staticKey_, *deviceEphemeral_), "es");
        const Bytes c2 = s.encryptAndHash({}, "payload2");

        Bytes record;
        record.reserve(xx2Length);
        record.push_back(typeXX2);
        append(record, e);
        append(record, c1);
        append(record, c2);
        stage_ = Stage::wrote2;
        return record;
    });
}

XXResponder::Enrolment XXResponder::readMessage3(ByteView message) {
    return guarded([this] { fail(); }, [&] {
        if (stage_ != Stage::wrote2 || !symmetric_ || !ephemeral_ || !commit_) throw SecureChannelError::badState;
        const std::size_t length = message.size();
        if (length < xx3BaseLength + 1 || length > xx3BaseLength + nameMaxBytes) throw SecureChannelError::badLength;
        if (message[0] != typeXX3) throw SecureChannelError::badState;
        SymmetricState& s = *symmetric_;

        Bytes deviceKey = s.decryptAndHash(field(message, 1, publicKeyLength + tagLength), "s3");
        const P256PublicKey deviceStatic = publicKey(deviceKey);
        s.mixKey(dh(*ephemeral_, deviceStatic), "se");
        const Bytes payload = s.decryptAndHash(field(message, 82, length - 82), "payload3");

        const std::size_t nameLength = length - xx3BaseLength;
        if (payload.size() != length - 98 || payload[saltLength] != nameLength) throw SecureChannelError::badLength;
        const ByteView plain(payload);
        const auto salt = plain.subspan(0, saltLength);
        const auto name = plain.subspan(saltLength + 1, nameLength);

        if (!constantTimeEqual(enrolCommit(deviceKey, salt, name), *commit_)) throw SecureChannelError::commit;
        if (!validUtf8(name)) throw SecureChannelError::badName;

        auto [d2m, m2d] = s.split();
        Enrolment out{std::move(deviceKey), Bytes(name.begin(), name.end()), TransportKeys{m2d, d2m}, s.h()};
        finishedTrace = s.trace();
        symmetric_.reset();
        staticKey_.reset();
        ephemeral_.reset();
        deviceEphemeral_.reset();
        commit_.reset();
        stage_ = Stage::done;
        return out;
    });
}

XXInitiator::XXInitiator(P256PrivateKey staticKey, ByteView roomID, ByteView name, ByteView salt,
                         std::optional<P256PrivateKey> ephemeral, std::optional<Bytes> commit, bool traced)
    : staticKey_(std::move(staticKey)),
      ephemeral_(ephemeral ? std::move(*ephemeral) : P256PrivateKey::generate()),
      name_(name.begin(), name.end()),
      salt_(salt.begin(), salt.end()) {
    commit_ = commit ? std::move(*commit) : enrolCommit(staticKey_->publicKeyBytes(), salt_, name_);
    symmetric_.emplace(xxName, prologue(xxPattern, roomID), traced);
}

void XXInitiator::fail() {
    stage_ = Stage::failed;
    symmetric_.reset();
    staticKey_.reset();
    ephemeral_.reset();
    macEphemeral_.reset();
}

Bytes XXInitiator::writeMessage1() {
    return guarded([this] { fail(); }, [&] {
        if (stage_ != Stage::start || !symmetric_ || !ephemeral_) throw SecureChannelError::badState;
        SymmetricState& s = *symmetric_;
        const Bytes e = ephemeral_->publicKeyBytes();
        s.mixHash(e, "e");
        const Bytes c = s.encryptAndHash(commit_, "commit");

        Bytes record;
        record.reserve(1 + e.size() + c.size());
        record.push_back(typeXX1);
        append(record, e);
        append(record, c);
        stage_ = Stage::wrote1;
        return record;
    });
}

Bytes XXInitiator::readMessage2(ByteView message) {
    return guarded([this] { fail(); }, [&] {
        if (stage_ != Stage::wrote1 || !symmetric_ || !ephemeral_) throw SecureChannelError::badState;
        if (message.size() != xx2Length) throw SecureChannelError::badLength;
        if (message[0] != typeXX2) throw SecureChannelError::badState;
        SymmetricState& s = *symmetric_;

        const Bytes e = field(message, 1, publicKeyLength);
        P256PublicKey macEphemeral = publicKey(e);
        s.mixHash(e, "e2");
        s.mixKey(dh(*ephemeral_, macEphemeral), "ee");
        Bytes macStaticBytes = s.decryptAndHash(field(message, 66, publicKeyLength + tagLength), "s2");
        const P256PublicKey macStatic = publicKey(macStaticBytes);
        s.mixKey(dh(*ephemeral_, macStatic), "es");
        const Bytes payload = s.decryptAndHash(field(message, 147, tagLength), "payload2");
        if (!payload.empty()) throw SecureChannelError::badLength;

        macEphemeral_ = std::move(macEphemeral);
        stage_ = Stage::read2;
        return macStaticBytes;
    });
}

XXInitiator::Result XXInitiator::writeMessage3() {
    return guarded([this] { fail(); }, [&] {
        if (stage_ != Stage::read2 || !symmetric_ || !staticKey_ || !macEphemeral_)
            throw SecureChannelError::badState;
        SymmetricState& s = *symmetric_;

        const Bytes c1 = s.encryptAndHash(staticKey_->publicKeyBytes(), "s3");
        s.mixKey(dh(*staticKey_, *macEphemeral_), "se");
        Bytes plain;
        if (payload3Override) {
            plain = *payload3Override;
        } else {
            plain = salt_;
            plain.push_back(static_cast<std::uint8_t>(name_.size() & 0xff));
            append(plain, name_);
        }
        const Bytes c2 = s.encryptAndHash(plain, "payload3");

        Result out;
        out.record.reserve(1 + c1.size() + c2.size());
        out.record.push_back(typeXX3);
        append(out.record, c1);
        append(out.record, c2);
        auto [d2m, m2d] = s.split();
        out.keys = TransportKeys{d2m, m2d};
        out.handshakeHash = s.h();
        finishedTrace = s.trace();
        symmetric_.reset();
        staticKey_.reset();
        ephemeral_.reset();
        macEphemeral_.reset();
        stage_ = Stage::done;
        return out;
    });
}

}  // namespace morvane
