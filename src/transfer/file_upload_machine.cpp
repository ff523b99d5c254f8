#include "transfer/file_upload_machine.h"

#include "transfer/file_names.h"

namespace morvane {

namespace {
constexpr std::int64_t windowBytes = FileLimits::uploadChunkBytes * FileLimits::uploadWindowChunks;
}

FileUploadMachine::Effects FileUploadMachine::fail(std::string_view reason) {
    const Transfer t = *active_;
    active_.reset();
    return {Fail{t.id, std::string(reason), t.written, t.size}};
}

FileUploadMachine::Effects FileUploadMachine::begin(std::int64_t id, std::string_view name, std::int64_t size,
                                                    std::int64_t nowMillis) {
    const auto refuse = [id](std::string_view word) { return Effects{Refuse{id, std::string(word)}}; };
    if (active_) return refuse(FileReason::busy);
    if (id < 1 || id > FileLimits::maxTransferID || id <= lastID_) return refuse(FileReason::badID);
    if (size < 1) return refuse(FileReason::empty);
    if (size > FileLimits::maxBytes) return refuse(FileReason::tooLarge);
    auto cleaned = FileName::sanitise(name);
    if (!cleaned) return refuse(FileReason::badName);
    if (limiter_.last && nowMillis >= *limiter_.last && nowMillis - *limiter_.last < FileLimits::minIntervalMillis)
        return refuse(FileReason::tooSoon);
    limiter_.last = nowMillis;
    lastID_ = id;
    active_ = Transfer{id, size, Phase::opening, 0, 0, std::nullopt, nowMillis + FileLimits::stallMillis};
    return {Open{id, std::move(*cleaned), size}};
}

FileUploadMachine::Effects FileUploadMachine::opened(bool ok, std::int64_t nowMillis) {
    if (!active_ || active_->phase != Phase::opening) return {};
    if (!ok) return fail(FileReason::writeFailed);
    active_->phase = Phase::receiving;
    active_->deadline = nowMillis + FileLimits::stallMillis;
    return {Ready{active_->id}};
}

FileUploadMachine::Effects FileUploadMachine::chunk(std::int64_t id, std::int64_t offset, std::int64_t count,
                                                    std::int64_t nowMillis) {
    if (!active_ || active_->id != id) return {};
    Transfer& t = *active_;
    const bool fits = t.phase == Phase::receiving && !t.endHash && offset == t.received && count >= 1 &&
                      count <= FileLimits::uploadChunkBytes && offset + count <= t.size &&
                      (count == FileLimits::uploadChunkBytes || offset + count == t.size);
    if (!fits) return fail(FileReason::badChunk);
    if (offset - t.written + count > windowBytes) return fail(FileReason::flow);
    t.received = offset + count;
    t.deadline = nowMillis + FileLimits::stallMillis;
    return {Write{count}};
}

FileUploadMachine::Effects FileUploadMachine::wrote(std::int64_t count, bool ok, std::int64_t nowMillis) {
    if (!active_ || active_->phase != Phase::receiving) return {};
    Transfer& t = *active_;
    if (!ok || count < 0 || t.written + count > t.received) return fail(FileReason::writeFailed);
    t.written += count;
    t.deadline = nowMillis + FileLimits::stallMillis;
    if (t.written == t.size && t.endHash) {
        t.phase = Phase::verifying;
        return {Ack{t.id, t.written}, Verify{t.id, *t.endHash}};
    }
    return {Ack{t.id, t.written}};
}

FileUploadMachine::Effects FileUploadMachine::end(std::int64_t id, const std::string& sha256, std::int64_t nowMillis) {
    if (!active_ || active_->id != id) return {};
    Transfer& t = *active_;
    if (t.phase != Phase::receiving || t.endHash) return fail(FileReason::badChunk);
    if (t.received != t.size) return fail(FileReason::sizeMismatch);
    t.endHash = sha256;
    t.deadline = nowMillis + FileLimits::stallMillis;
    if (t.written == t.size) {
        t.phase = Phase::verifying;
        return {Verify{t.id, sha256}};
    }
    return {};
}

FileUploadMachine::Effects FileUploadMachine::verified(const Check& check) {
    if (!active_ || active_->phase != Phase::verifying) return {};
    if (const auto* saved = std::get_if<Saved>(&check)) {
        const Transfer t = *active_;
        active_.reset();
        return {Done{t.id, saved->name, t.size}};
    }
    if (std::holds_alternative<HashMismatch>(check)) return fail(FileReason::hashMismatch);
    return fail(FileReason::writeFailed);
}

FileUploadMachine::Effects FileUploadMachine::cancel(std::int64_t id) {
    if (!active_ || active_->id != id) return {};
    return fail(FileReason::cancelled);
}

FileUploadMachine::Effects FileUploadMachine::expire(std::int64_t nowMillis) {
    if (!active_ || nowMillis < active_->deadline) return {};
    return fail(FileReason::timeout);
}

FileUploadMachine::Effects FileUploadMachine::reset() {
    lastID_ = 0;
    if (!active_) return {};
    return fail(FileReason::sessionEnded);
}

}  // namespace morvane
