#include "app/counting_input.h"

namespace morvane {

CountingInput::CountingInput(std::shared_ptr<InputSink> next) : next_(std::move(next)) {}

void CountingInput::handle(const InputEvent& event) {
    tally_.count(event);
    next_->handle(event);
}

void CountingInput::releaseEverything() { next_->releaseEverything(); }

void CountingInput::count(ClipboardDirection direction) { tally_.count(direction); }

std::string CountingInput::takeSummary() { return tally_.take(); }

}  // namespace morvane
