// Keys, typed text and pointer events from a device over a whole sequence,
// read by the message catalogue and carried out by the input layer on a
// backend that writes down every call, on a queue that runs when told. A
// message of kind 0 is a text message, 1 lets go of everything, 2 is raw
// bytes typed as they are (the catalogue only passes well-formed UTF-8; the
// typing plan must not rely on that), 3 lets the queue run what waits, so
// input may pile up between turns as on a busy machine. Typing plans give
// back the very text they were made from (line breaks as Enter, tabs as Tab,
// ill-formed UTF-8 as U+FFFD), only Unicode scalars are typed, the pointer
// stays on the display, and once everything is let go nothing is left held
// down.
#include <unicode/unistr.h>

#include <set>
#include <sstream>

#include "fuzz_support.h"
#include "input/event_input.h"
#include "input/text_typing.h"
#include "server/client_message.h"
#include "../tests/app/manual_executor.h"
#include "../tests/input/fake_backend.h"

using namespace morvane;
using morvane::fuzz::require;

namespace {

void checkPlan(const std::string& text) {
    std::string lines;
    for (std::size_t i = 0; i < text.size(); ++i) {
        lines += text[i] == '\r' ? '\n' : text[i];
        if (text[i] == '\r' && i + 1 < text.size() && text[i + 1] == '\n') ++i;
    }
    std::string expected, planned;
    icu::UnicodeString::fromUTF8(lines).toUTF8String(expected);
    icu::UnicodeString typed;
    for (const auto& step : TextTyping::plan(text)) {
        if (const auto* named = std::get_if<text_step::Named>(&step)) {
            require(named->code == "Enter" || named->code == "Tab");
            typed.append(static_cast<UChar32>(named->code == "Enter" ? '\n' : '\t'));
            continue;
        }
        const auto& scalars = std::get<text_step::Characters>(step).scalars;
        require(!scalars.empty());
        for (char32_t c : scalars) {
            require(c <= 0x10FFFF && (c < 0xD800 || c > 0xDFFF));
            typed.append(static_cast<UChar32>(c));
        }
    }
    typed.toUTF8String(planned);
    require(planned == expected);
}

// Replays the journal: what is down at the end, and every call in range.
void checkJournal(const std::vector<std::string>& calls) {
    std::set<std::string> keys, buttons;
    for (const auto& call : calls) {
        std::istringstream words(call);
        std::string verb, what, where;
        words >> verb >> what >> where;
        if (verb == "key") {
            if (where == "down")
                keys.insert(what);
            else
                keys.erase(what);
        } else if (verb == "down" || verb == "up") {
            if (verb == "down")
                buttons.insert(what);
            else
                buttons.erase(what);
        }
        if (verb == "move" || verb == "down" || verb == "up") {
            const std::string& point = verb == "move" ? what : where;
            const auto comma = point.find(',');
            const int x = std::stoi(point.substr(0, comma)), y = std::stoi(point.substr(comma + 1));
            require(x >= 0 && x <= 1000 && y >= 0 && y <= 500);
        }
    }
    require(keys.empty() && buttons.empty());
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    testing::BackendLog log;
    {
        testing::ManualExecutor queue;
        EventInput input(queue, std::make_unique<testing::FakeBackend>(log), [] { return std::optional<Rect>(); });
        fuzz::Messages messages({data, size});
        fuzz::Message m;
        while (messages.next(m)) {
            if (m.kind % 4 == 1) {
                input.releaseEverything();
                continue;
            }
            if (m.kind % 4 == 3) {
                queue.runAll();
                continue;
            }
            if (m.kind % 4 == 2) {
                checkPlan(m.text());
                input.handle(input::Text{m.text()});
                continue;
            }
            const auto message = ClientMessage::parse(m.bytes);
            const auto* event = message.get<ClientMessage::Input>();
            if (!event) continue;
            if (const auto* text = std::get_if<input::Text>(&event->event)) checkPlan(text->text);
            input.handle(event->event);
        }
        input.releaseEverything();
    }
    checkJournal(log.take());
    return 0;
}
