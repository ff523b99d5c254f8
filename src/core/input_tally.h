// Counts of input kinds and clipboard transfers in one controlled session,
// turned into a one-line summary such as "move=120 button=4 key=31".
#pragma once

#include <array>
#include <cstdint>
#include <map>
#include <string>
#include <string_view>

#include "core/types.h"

namespace morvane {

struct InputTally {
    // The summary's order.
    static constexpr std::array<std::string_view, 8> kinds = {
        "move", "button", "scroll", "key", "text", "lock", "clip-to-mac", "clip-from-mac"};
    static std::string_view kind(const InputEvent& event);

    // A kind never counted has no entry.
    std::map<std::string, std::int64_t> counts;

    InputTally() = default;
    explicit InputTally(std::map<std::string, std::int64_t> initial) : counts(std::move(initial)) {}

    void count(const InputEvent& event);
    void count(ClipboardDirection direction);
    std::int64_t total() const;
    // "word=n" for each counted kind in `kinds` order, joined by one blank;
    // empty when nothing was counted.
    std::string summary() const;
    // The summary, after which the tally is empty.
    std::string take();

    bool operator==(const InputTally&) const = default;
};

}  // namespace morvane
