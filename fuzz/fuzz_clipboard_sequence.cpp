// Clipboard writes from a device over a whole sequence of messages, as the
// session reads them and hands them to the reassembler. Each message's kind
// says what it is: 0 a text message read by the message catalogue, 1 time
// passing (its bytes as milliseconds), 2 the expiry check, 3 a reset. A
// finished text is exactly the chunks accepted for its transfer and as long
// as announced, what is held never passes the announced length or the
// limit, accepted transfers keep the one-per-second pace and rising ids, and
// every refusal is one of the reassembler's words.
#include <set>
#include <string_view>

#include "fuzz_support.h"
#include "server/client_message.h"
#include "transfer/clipboard_assembler.h"

using namespace morvane;
using morvane::fuzz::require;

namespace {

using Reason = ClipboardAssembler::Reason;

struct Model {
    struct Active {
        int id = 0, length = 0;
        std::string received;
    };
    std::optional<Active> active;
    std::optional<std::int64_t> lastAccepted;
    int lastID = 0;
};

void checkFailure(const ClipboardAssembler::Outcome& outcome) {
    static const std::set<std::string_view> words = {Reason::busy, Reason::tooSoon, Reason::badID, Reason::badSize,
                                                     Reason::tooLarge, Reason::unknownTransfer, Reason::outOfOrder,
                                                     Reason::duplicateChunk, Reason::lengthMismatch, Reason::timeout};
    if (const auto* failed = std::get_if<clipboard_outcome::Failed>(&outcome)) require(words.contains(failed->reason));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    ClipboardAssembler assembler;
    Model model;
    std::int64_t now = 1'000'000;
    fuzz::Messages messages({data, size});
    fuzz::Message m;
    while (messages.next(m)) {
        ClipboardAssembler::Outcome outcome = clipboard_outcome::None{};
        switch (m.kind % 4) {
            case 0: {
                const auto message = ClientMessage::parse(m.bytes);
                const auto* clipboard = message.get<ClientMessage::Clipboard>();
                if (!clipboard) continue;
                if (const auto* begin = std::get_if<clipboard_request::PutBegin>(&clipboard->request)) {
                    const bool busy = assembler.inProgress();
                    outcome = assembler.begin(begin->id, begin->chunks, begin->length, now);
                    if (std::holds_alternative<clipboard_outcome::None>(outcome)) {
                        require(!busy && begin->id > model.lastID);
                        require(!model.lastAccepted || now - *model.lastAccepted >= ClipboardLimits::minIntervalMillis);
                        require(begin->length <= ClipboardLimits::maxCharacters);
                        model.active = Model::Active{begin->id, begin->length, {}};
                        model.lastAccepted = now;
                        model.lastID = begin->id;
                    }
                } else if (const auto* chunk = std::get_if<clipboard_request::PutChunk>(&clipboard->request)) {
                    outcome = assembler.chunk(chunk->id, chunk->index, chunk->text);
                    if (const auto* whole = std::get_if<clipboard_outcome::Complete>(&outcome)) {
                        require(model.active && whole->id == model.active->id);
                        require(whole->text == model.active->received + chunk->text);
                        require(ClipboardText::length(whole->text) == model.active->length);
                    } else if (std::holds_alternative<clipboard_outcome::None>(outcome) && model.active &&
                               assembler.inProgress() && chunk->id == model.active->id) {
                        model.active->received += chunk->text;
                    }
                }
                break;
            }
            case 1: {
                std::int64_t step = 0;
                for (auto b : m.bytes.first(std::min<std::size_t>(m.bytes.size(), 4))) step = step * 256 + b;
                now += step;
                break;
            }
            case 2:
                outcome = assembler.expire(now);
                if (std::holds_alternative<clipboard_outcome::Failed>(outcome)) require(!assembler.inProgress());
                break;
            default:
                assembler.reset();
                model.lastID = 0;
                break;
        }
        checkFailure(outcome);
        if (!assembler.inProgress()) model.active.reset();
        require(assembler.heldCharacters() <= ClipboardLimits::maxCharacters);
        if (model.active) require(assembler.heldCharacters() <= model.active->length);
    }
    return 0;
}
