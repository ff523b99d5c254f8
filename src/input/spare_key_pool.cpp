#include "input/spare_key_pool.h"

#include <algorithm>
#include <tuple>
#include <utility>

namespace morvane {

SpareKeyPool::SpareKeyPool() : tuning_(Tuning{}) {}

void SpareKeyPool::refresh(std::vector<int> emptyKeys, const std::function<bool(int, char32_t)>& holds) {
    std::erase_if(slots_, [&](const Slot& slot) { return !holds(slot.key, slot.character); });
    std::erase_if(emptyKeys, [&](int key) { return owns(key); });
    std::sort(emptyKeys.begin(), emptyKeys.end());
    emptyKeys.erase(std::unique(emptyKeys.begin(), emptyKeys.end()), emptyKeys.end());
    empty_ = std::move(emptyKeys);
}

bool SpareKeyPool::owns(int key) const {
    return std::any_of(slots_.begin(), slots_.end(), [&](const Slot& slot) { return slot.key == key; });
}

std::optional<int> SpareKeyPool::keyOf(char32_t character) const {
    for (const auto& slot : slots_)
        if (slot.character == character) return slot.key;
    return std::nullopt;
}

std::int64_t SpareKeyPool::readyAt(char32_t character) const {
    for (const auto& slot : slots_)
        if (slot.character == character) return slot.boundAt + tuning_.settleMillis;
    return 0;
}

void SpareKeyPool::pressed(char32_t character, std::int64_t now) {
    for (auto& slot : slots_)
        if (slot.character == character) slot.pressedAt = now;
}

// A key never pressed since its binding has no event an application may
// still have to read.
std::int64_t SpareKeyPool::freeAt(const Slot& slot) const {
    return slot.pressedAt ? *slot.pressedAt + tuning_.idleMillis : slot.boundAt;
}

// Other programs keep their share of the spare keys, unless that would leave
// the pool none.
std::size_t SpareKeyPool::capacity() const {
    const std::size_t usable = slots_.size() + empty_.size();
    return usable > tuning_.leftFree ? usable - tuning_.leftFree : std::min<std::size_t>(usable, 1);
}

std::optional<SpareKeyPool::Choice> SpareKeyPool::choose(std::u32string_view rest, std::int64_t now) const {
    if (slots_.size() < capacity() && !empty_.empty()) return Choice{empty_.front(), now, 0, std::nullopt};
    std::optional<Choice> best;
    std::tuple<std::int64_t, std::size_t, std::int64_t> bestRank;
    for (const auto& slot : slots_) {
        const std::int64_t at = std::max(freeAt(slot), now);
        const std::size_t next = rest.find(slot.character);
        const bool needed = next != std::u32string_view::npos;
        // The later a character is typed, the better its key to take.
        const std::tuple rank{at, needed ? rest.size() - next : 0, slot.pressedAt.value_or(slot.boundAt)};
        if (!best || rank < bestRank) {
            best = Choice{slot.key, at, slot.character, needed ? std::optional(next) : std::nullopt};
            bestRank = rank;
        }
    }
    return best;
}

void SpareKeyPool::bind(int key, char32_t character, std::int64_t now) {
    for (auto& slot : slots_) {
        if (slot.key == key) {
            slot = Slot{key, character, now, std::nullopt};
            return;
        }
    }
    std::erase(empty_, key);
    slots_.push_back(Slot{key, character, now, std::nullopt});
}

// A key is taken from a character typed later than the one it gets, never
// earlier: that one would need a key again first.
std::optional<SpareKeyPool::Choice> SpareKeyPool::chooseFor(std::u32string_view text, std::size_t position,
                                                             std::int64_t now) const {
    auto choice = choose(text, now);
    if (choice && choice->neededAt && *choice->neededAt < position) return std::nullopt;
    return choice;
}

std::vector<SpareKeyPool::Binding> SpareKeyPool::bindFree(std::u32string_view text,
                                                         const std::function<bool(char32_t)>& lacks, std::int64_t now) {
    std::vector<Binding> made;
    for (std::size_t i = 0; i < text.size(); ++i) {
        const char32_t c = text[i];
        if (!lacks(c) || keyOf(c)) continue;
        const auto choice = chooseFor(text, i, now);
        if (!choice || choice->at > now) break;
        bind(choice->key, c, now);
        made.push_back({choice->key, c});
    }
    return made;
}

std::optional<std::int64_t> SpareKeyPool::nextFree(std::u32string_view text, const std::function<bool(char32_t)>& lacks,
                                                   std::int64_t now) const {
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (!lacks(text[i]) || keyOf(text[i])) continue;
        const auto choice = chooseFor(text, i, now);
        return choice ? std::optional(choice->at) : std::nullopt;
    }
    return std::nullopt;
}

std::vector<SpareKeyPool::Binding> SpareKeyPool::bindSpare(std::u32string_view text,
                                                          const std::function<bool(char32_t)>& wants,
                                                          std::int64_t now) {
    std::vector<Binding> made;
    for (std::size_t i = 0; i < text.size(); ++i) {
        const char32_t c = text[i];
        if (!wants(c) || keyOf(c)) continue;
        std::optional<int> key;
        if (slots_.size() < capacity() && !empty_.empty()) {
            key = empty_.front();
        } else {
            const Slot* best = nullptr;
            for (const auto& slot : slots_) {
                if (slot.prepared || freeAt(slot) > now || text.find(slot.character) != std::u32string_view::npos)
                    continue;
                if (!best || slot.pressedAt.value_or(slot.boundAt) < best->pressedAt.value_or(best->boundAt))
                    best = &slot;
            }
            if (best) key = best->key;
        }
        if (!key) break;
        bind(*key, c, now);
        made.push_back({*key, c});
    }
    return made;
}

std::vector<SpareKeyPool::Binding> SpareKeyPool::bindPrepared(const std::function<bool(char32_t)>& lacks,
                                                              std::int64_t now) {
    std::vector<Binding> made;
    const std::size_t most = std::min(tuning_.preparedKeys, capacity() / 2);
    std::size_t held = static_cast<std::size_t>(
        std::count_if(slots_.begin(), slots_.end(), [](const Slot& slot) { return slot.prepared; }));
    for (char32_t c : prepared_) {
        if (held >= most) break;
        if (!lacks(c)) continue;
        const auto slot = std::find_if(slots_.begin(), slots_.end(), [&](const Slot& s) { return s.character == c; });
        if (slot != slots_.end()) {
            // Typed before, it is kept as if bound ahead.
            if (!std::exchange(slot->prepared, true)) ++held;
            continue;
        }
        if (slots_.size() >= capacity() || empty_.empty()) break;
        const int key = empty_.front();
        bind(key, c, now);
        slots_.back().prepared = true;
        ++held;
        made.push_back({key, c});
    }
    return made;
}

SpareKeyPool::GiveBack SpareKeyPool::giveBack(std::int64_t now, Keep keep) {
    GiveBack out;
    std::erase_if(slots_, [&](const Slot& slot) {
        if (slot.prepared && keep == Keep::prepared) return false;
        const std::int64_t at = freeAt(slot);
        if (at > now) {
            out.nextAt = std::min(out.nextAt.value_or(at), at);
            return false;
        }
        out.keys.push_back(slot.key);
        empty_.insert(std::lower_bound(empty_.begin(), empty_.end(), slot.key), slot.key);
        return true;
    });
    return out;
}

std::vector<std::vector<SpareKeyPool::Binding>> SpareKeyPool::runs(std::vector<Binding> bindings) {
    std::sort(bindings.begin(), bindings.end(), [](const Binding& a, const Binding& b) { return a.key < b.key; });
    std::vector<std::vector<Binding>> out;
    for (const auto& b : bindings) {
        if (out.empty() || out.back().back().key + 1 != b.key) out.emplace_back();
        out.back().push_back(b);
    }
    return out;
}

}  // namespace morvane
