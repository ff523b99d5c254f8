// Counts events per key in a fixed window that begins with the key's first
// event, so that one client cannot make more than its share of calls. In
// memory, per instance: a restart forgets the counts, which only ever lets
// a caller try a little sooner. (The limits that must hold across
// instances are counted in the store.)
//
// The table holds at most `maxKeys` keys, so that a caller with countless
// addresses cannot grow it without bound. When it is full, a newcomer
// takes the place of the oldest window: a flood of new keys costs the
// clients it pushes out no more than a fresh count, where one count shared
// by every newcomer would refuse them all. The first time it is full (and
// again once it has emptied to half its size) `full` is told how many keys
// it holds, once, however long the flood lasts.
//
// Not thread-safe: used on one thread.
#pragma once

#include <cstdint>
#include <functional>
#include <list>
#include <optional>
#include <string>
#include <unordered_map>

namespace morvane::relay_service {

class RateWindow {
public:
    RateWindow(int most, std::int64_t windowSeconds, std::size_t maxKeys, std::function<void(std::size_t keys)> full = {})
        : most_(most), window_(windowSeconds), maxKeys_(maxKeys < 1 ? 1 : maxKeys), full_(std::move(full)) {}

    // Counts one event for key at nowSeconds when fewer than `most` fell in
    // its window; otherwise counts nothing and answers the seconds until the
    // window ends (at least 1).
    std::optional<std::int64_t> take(const std::string& key, std::int64_t nowSeconds);
    // Takes back one event counted for key in its current window.
    void giveBack(const std::string& key, std::int64_t nowSeconds);
    // Whether the key's window is open at nowSeconds (a key counted once
    // is known for one window).
    bool counting(const std::string& key, std::int64_t nowSeconds) const;
    // The events counted for key in its window now.
    int count(const std::string& key, std::int64_t nowSeconds) const;
    // Forgets keys whose window has ended.
    void purge(std::int64_t nowSeconds);
    std::size_t keys() const { return counts_.size(); }

private:
    struct Count {
        int events = 0;
        std::int64_t endsAt = 0;
        std::list<std::string>::iterator age;
    };
    void forgetEnded(std::int64_t nowSeconds);
    void erase(std::list<std::string>::iterator oldest);

    int most_;
    std::int64_t window_;
    std::size_t maxKeys_;
    std::function<void(std::size_t)> full_;
    std::unordered_map<std::string, Count> counts_;
    // The keys by the start of their window, oldest first: windows are all
    // as long, so the first to end is at the front.
    std::list<std::string> byAge_;
    bool saidFull_ = false;
};

}  // namespace morvane::relay_service
