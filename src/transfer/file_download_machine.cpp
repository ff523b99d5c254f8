#include "transfer/file_download_machine.h"

#include <algorithm>

#include "transfer/file_names.h"

namespace morvane {

FileDownloadMachine::Effects FileDownloadMachine::fail(std::string_view reason) {
    const Transfer t = *active_;
    active_.reset();
    return {Fail{t.id, std::string(reason), t.sent, t.size}};
}

FileDownloadMachine::Effects FileDownloadMachine::begin(std::int64_t id, std::string_view name,
                                                        std::int64_t nowMillis) {
    const auto refuse = [id](std::string_view word) { return Effects{Refuse{id, std::string(word)}}; };
    if (active_) return refuse(FileReason::busy);
    if (id < 1 || id > FileLimits::maxTransferID || id <= lastID_) return refuse(FileReason::badID);
    // Offered names are already plain; one that is not is never cleaned
    // into something else.
    if (!FileName::isPlain(name)) return refuse(FileReason::badName);
    if (limiter_.last && nowMillis >= *limiter_.last && nowMillis - *limiter_.last < FileLimits::minIntervalMillis)
        return refuse(FileReason::tooSoon);
    limiter_.last = nowMillis;
    lastID_ = id;
    active_ = Transfer{id, 0, Phase::opening, 0, 0, nowMillis + FileLimits::stallMillis};
    return {Open{id, std::string(name)}};
}

FileDownloadMachine::Effects FileDownloadMachine::opened(std::optional<std::int64_t> size, std::int64_t nowMillis) {
    if (!active_ || active_->phase != Phase::opening) return {};
    if (!size) return fail(FileReason::notFound);
    if (*size < 1) return fail(FileReason::empty);
    if (*size > FileLimits::maxBytes) return fail(FileReason::tooLarge);
    Transfer& t = *active_;
    t.size = *size;
    t.phase = Phase::sending;
    t.pending = std::min(*size, FileLimits::downloadChunkBytes);
    t.deadline = nowMillis + FileLimits::stallMillis;
    return {Ready{t.id, t.size}, Read{t.pending}};
}

FileDownloadMachine::Effects FileDownloadMachine::readDone(std::optional<std::int64_t> count) {
    if (!active_ || active_->phase != Phase::sending) return {};
    if (!count || *count != active_->pending) return fail(FileReason::readFailed);
    return {Offer{active_->id, active_->sent}};
}

FileDownloadMachine::Effects FileDownloadMachine::chunkSent(std::int64_t nowMillis) {
    if (!active_ || active_->phase != Phase::sending || active_->pending < 1) return {};
    Transfer& t = *active_;
    t.sent += t.pending;
    t.deadline = nowMillis + FileLimits::stallMillis;
    if (t.sent < t.size) {
        t.pending = std::min(t.size - t.sent, FileLimits::downloadChunkBytes);
        return {Read{t.pending}};
    }
    t.phase = Phase::finishing;
    t.sent = t.size;
    t.pending = 0;
    return {Finish{t.id, t.size}};
}

FileDownloadMachine::Effects FileDownloadMachine::finished() {
    if (active_ && active_->phase == Phase::finishing) active_.reset();
    return {};
}

FileDownloadMachine::Effects FileDownloadMachine::cancel(std::int64_t id) {
    if (!active_ || active_->id != id) return {};
    return fail(FileReason::cancelled);
}

FileDownloadMachine::Effects FileDownloadMachine::expire(std::int64_t nowMillis) {
    if (!active_ || nowMillis < active_->deadline) return {};
    return fail(FileReason::timeout);
}

FileDownloadMachine::Effects FileDownloadMachine::reset() {
    lastID_ = 0;
    if (!active_) return {};
    return fail(FileReason::sessionEnded);
}

}  // namespace morvane
