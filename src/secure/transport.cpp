#include "secure/transport.h"

#include <algorithm>

namespace morvane {

using namespace SecureChannel;

std::size_t dataMax(TransportEnd end) { return end == TransportEnd::mac ? deviceDataMax : fragmentDataMax; }

namespace {
constexpr std::size_t headerLength = 9;

std::uint64_t readBigEndian(ByteView bytes) {
    std::uint64_t value = 0;
    for (auto b : bytes) value = (value << 8) | b;
    return value;
}
}  // namespace

// ---- sender ----

TransportSender::TransportSender(const SymmetricKey& key, std::uint64_t maxRecords)
    : key_(key), maxRecords_(maxRecords) {}

std::uint64_t TransportSender::remaining() const {
    // `count` can be set from outside; past the limit nothing remains rather
    // than the difference wrapping round to a huge number.
    if (!key_ || count >= maxRecords_) return 0;
    return maxRecords_ - count;
}

Bytes TransportSender::seal(std::uint8_t flags, ByteView data) {
    if (!key_) throw SecureChannelError::badState;
    if (count >= maxRecords_) throw SecureChannelError::counter;
    Bytes record;
    record.reserve(transportOverhead + data.size());
    record.push_back(typeTransport);
    const Bytes counter = bigEndian(count);
    record.insert(record.end(), counter.begin(), counter.end());

    Bytes plaintext;
    plaintext.reserve(1 + data.size());
    plaintext.push_back(flags);
    plaintext.insert(plaintext.end(), data.begin(), data.end());
    const Bytes sealed = encrypt(*key_, count, ByteView(record).first(headerLength), plaintext);

    count += 1;
    record.insert(record.end(), sealed.begin(), sealed.end());
    return record;
}

std::vector<Bytes> TransportSender::records(ByteView message) {
    if (!key_) throw SecureChannelError::badState;
    if (message.empty()) throw SecureChannelError::badFlags;
    const std::uint8_t kind = message[0];
    const ByteView body = message.subspan(1);
    if (kind == flagText || kind == flagBinary) {
        if (body.size() > messageFromHostMax) throw SecureChannelError::tooLarge;
    } else if (kind == flagClose) {
        if (!body.empty()) throw SecureChannelError::badFlags;
    } else {
        throw SecureChannelError::badFlags;
    }

    const std::size_t n = body.empty() ? 1 : (body.size() + fragmentDataMax - 1) / fragmentDataMax;
    if (remaining() < n) throw SecureChannelError::counter;

    std::vector<Bytes> out;
    out.reserve(n);
    for (std::size_t i = 0; i < n; ++i) {
        const std::size_t from = i * fragmentDataMax;
        const std::size_t to = std::min(from + fragmentDataMax, body.size());
        const bool last = i + 1 == n;
        const auto flags = static_cast<std::uint8_t>(last ? kind : (kind | flagMore));
        out.push_back(seal(flags, body.subspan(from, to - from)));
    }
    return out;
}

// ---- receiver ----

TransportReceiver::TransportReceiver(const SymmetricKey& key, TransportEnd end, std::uint64_t maxRecords)
    : key_(key), end_(end), maxRecords_(maxRecords) {}

TransportReceiver::Opened TransportReceiver::open(ByteView record) {
    try {
        return openChecked(record);
    } catch (...) {
        key_.reset();
        throw;
    }
}

TransportReceiver::Opened TransportReceiver::openChecked(ByteView record) {
    if (!key_) throw SecureChannelError::badState;
    // The size is judged before anything else so an oversized record costs
    // nothing more than its length.
    if (record.size() > dataMax(end_) + transportOverhead) throw SecureChannelError::tooLarge;
    if (record.empty() || record[0] != typeTransport) throw SecureChannelError::badState;
    if (record.size() < transportOverhead) throw SecureChannelError::badTag;

    const std::uint64_t counter = readBigEndian(record.subspan(1, 8));
    if (counter != expected || counter >= maxRecords_) throw SecureChannelError::counter;

    Bytes plaintext = decrypt(*key_, counter, record.first(headerLength), record.subspan(headerLength));
    const std::uint8_t flags = plaintext[0];
    Bytes data(plaintext.begin() + 1, plaintext.end());

    switch (flags) {
    case flagText:
    case flagBinary:
        break;
    case flagText | flagMore:
    case flagBinary | flagMore:
        if (end_ != TransportEnd::device) throw SecureChannelError::badFlags;
        break;
    case flagClose:
        if (!data.empty()) throw SecureChannelError::badFlags;
        break;
    case flagCredit:
        if (end_ != TransportEnd::mac) throw SecureChannelError::badFlags;
        if (data.size() != 8) throw SecureChannelError::badAck;
        break;
    default:
        throw SecureChannelError::badFlags;
    }

    expected = counter + 1;
    return Opened{flags, std::move(data)};
}

// ---- reassembler ----

Reassembler::Reassembler(std::size_t limit, std::size_t fragmentSize) : limit_(limit), fragmentSize_(fragmentSize) {}

std::optional<Reassembler::Message> Reassembler::add(std::uint8_t flags, ByteView data) {
    try {
        return addChecked(flags, data);
    } catch (...) {
        failed_ = true;
        kind_.reset();
        Bytes().swap(buffer_);
        throw;
    }
}

std::optional<Reassembler::Message> Reassembler::addChecked(std::uint8_t flags, ByteView data) {
    if (failed_) throw SecureChannelError::badState;
    const auto k = static_cast<std::uint8_t>(flags & ~flagMore);
    const bool more = (flags & flagMore) != 0;
    if (k != flagText && k != flagBinary) throw SecureChannelError::badFlags;
    if (kind_ && *kind_ != k) throw SecureChannelError::badFlags;
    if (more && data.size() != fragmentSize_) throw SecureChannelError::badLength;
    if (!more && kind_ && data.empty()) throw SecureChannelError::badLength;
    if (data.size() > fragmentSize_) throw SecureChannelError::tooLarge;
    if (buffer_.size() + data.size() > limit_) throw SecureChannelError::tooLarge;

    if (more) {
        kind_ = k;
        buffer_.insert(buffer_.end(), data.begin(), data.end());
        return std::nullopt;
    }
    if (kind_) {
        buffer_.insert(buffer_.end(), data.begin(), data.end());
        Message out{k, std::move(buffer_)};
        buffer_ = Bytes();
        kind_.reset();
        return out;
    }
    return Message{k, Bytes(data.begin(), data.end())};
}

// ---- credit ----

namespace Credit {

Bytes encode(std::uint64_t count) { return bigEndian(count); }

std::uint64_t decode(ByteView body) {
    if (body.size() != 8) throw SecureChannelError::badAck;
    return readBigEndian(body);
}

}  // namespace Credit

}  // namespace morvane
