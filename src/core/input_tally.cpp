#include "core/input_tally.h"

namespace morvane {

namespace {
struct KindOf {
    std::string_view operator()(const input::Move&) const { return "move"; }
    std::string_view operator()(const input::Button&) const { return "button"; }
    std::string_view operator()(const input::Scroll&) const { return "scroll"; }
    std::string_view operator()(const input::Key&) const { return "key"; }
    std::string_view operator()(const input::Text&) const { return "text"; }
    std::string_view operator()(const input::Lock&) const { return "lock"; }
};
}  // namespace

std::string_view InputTally::kind(const InputEvent& event) { return std::visit(KindOf{}, event); }

void InputTally::count(const InputEvent& event) { ++counts[std::string(kind(event))]; }

void InputTally::count(ClipboardDirection direction) { ++counts[std::string(toString(direction))]; }

std::int64_t InputTally::total() const {
    std::int64_t sum = 0;
    for (const auto& [word, n] : counts) sum += n;
    return sum;
}

std::string InputTally::summary() const {
    std::string out;
    for (auto word : kinds) {
        auto it = counts.find(std::string(word));
        if (it == counts.end()) continue;
        if (!out.empty()) out += ' ';
        out += word;
        out += '=';
        out += std::to_string(it->second);
    }
    return out;
}

std::string InputTally::take() {
    auto text = summary();
    counts.clear();
    return text;
}

}  // namespace morvane
