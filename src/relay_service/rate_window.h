// Counts events per key in a fixed window that begins with the key's first
// event, so that one client cannot make more than its share of calls. In
// memory, per instance: a restart forgets the counts, which only ever lets
// a caller try a little sooner. (The limits that must hold across
// instances are counted in the store.)
//
// The table holds at most `maxKeys` keys, so that a caller with countless
// addresses cannot grow it without bound: when it is full and no window
// has ended, every new key is counted under one shared overflow key, so
// that while the flood lasts newcomers share one budget and the keys
// already known keep theirs.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <unordered_map>

namespace morvane::relay_service {

class RateWindow {
public:
    RateWindow(int most, std::int64_t windowSeconds, std::size_t maxKeys)
        : most_(most), window_(windowSeconds), maxKeys_(maxKeys < 2 ? 2 : maxKeys) {}

    // Counts one event for key at nowSeconds when fewer than `most` fell in
    // its window; otherwise counts nothing and answers the seconds until the
    // window ends (at least 1).
    std::optional<std::int64_t> take(const std::string& key, std::int64_t nowSeconds);
    // Forgets keys whose window has ended.
    void purge(std::int64_t nowSeconds);
    std::size_t keys() const { return counts_.size(); }

    // The key newcomers share while the table is full.
    static constexpr const char* overflowKey = "";

private:
    struct Count {
        int events = 0;
        std::int64_t endsAt = 0;
    };
    int most_;
    std::int64_t window_;
    std::size_t maxKeys_;
    std::unordered_map<std::string, Count> counts_;
    // A full table is swept at most once a second, so that a flood of new
    // keys costs no more than one sweep a second.
    std::int64_t sweptAt_ = -1;
};

}  // namespace morvane::relay_service
