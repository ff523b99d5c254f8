#include "transfer/clipboard_assembler.h"

#include "transfer/clipboard_text.h"

namespace morvane {

ClipboardAssembler::Outcome ClipboardAssembler::fail(int id, std::string_view reason) {
    answeredID_ = id;
    return clipboard_outcome::Failed{id, std::string(reason)};
}

ClipboardAssembler::Outcome ClipboardAssembler::begin(int id, int chunks, int length, std::int64_t nowMillis) {
    if (active_) return fail(id, Reason::busy);
    if (id < 1 || id > ClipboardLimits::maxTransferID || id <= lastID_) return fail(id, Reason::badID);
    if (length > ClipboardLimits::maxCharacters) return fail(id, Reason::tooLarge);
    if (length < 1 || chunks < 1 || chunks > ClipboardLimits::maxChunks || length < chunks ||
        static_cast<std::int64_t>(length) > static_cast<std::int64_t>(chunks) * ClipboardLimits::maxChunkCharacters)
        return fail(id, Reason::badSize);
    if (!limiter_.allow(nowMillis)) return fail(id, Reason::tooSoon);
    lastID_ = id;
    answeredID_.reset();
    active_ = Transfer{id, chunks, length, 0, 0, {}, nowMillis + ClipboardLimits::transferMillis};
    return clipboard_outcome::None{};
}

ClipboardAssembler::Outcome ClipboardAssembler::chunk(int id, int index, const std::string& text) {
    if (active_ && active_->id == id) {
        Transfer& t = *active_;
        if (index != t.next) {
            const bool duplicate = index < t.next;
            active_.reset();
            return fail(id, duplicate ? Reason::duplicateChunk : Reason::outOfOrder);
        }
        const int units = ClipboardText::length(text);
        if (units == 0 || units > ClipboardLimits::maxChunkCharacters || t.received + units > t.length) {
            active_.reset();
            return fail(id, Reason::lengthMismatch);
        }
        t.parts.push_back(text);
        t.next += 1;
        t.received += units;
        if (t.next < t.chunks) return clipboard_outcome::None{};
        if (t.received != t.length) {
            active_.reset();
            return fail(id, Reason::lengthMismatch);
        }
        std::string whole;
        for (const auto& part : t.parts) whole += part;
        active_.reset();
        answeredID_.reset();
        return clipboard_outcome::Complete{id, std::move(whole)};
    }
    if (answeredID_ == id) return clipboard_outcome::None{};
    return fail(id, Reason::unknownTransfer);
}

ClipboardAssembler::Outcome ClipboardAssembler::expire(std::int64_t nowMillis) {
    if (active_ && nowMillis >= active_->deadline) {
        const int id = active_->id;
        active_.reset();
        return fail(id, Reason::timeout);
    }
    return clipboard_outcome::None{};
}

void ClipboardAssembler::reset() {
    active_.reset();
    lastID_ = 0;
    answeredID_.reset();
}

}  // namespace morvane
