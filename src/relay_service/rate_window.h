// Counts events per key inside a sliding window, so that one address or
// one client cannot ask for more than its share. In memory: a restart
// forgets the counts, which only ever lets a caller try a little sooner.
#pragma once

#include <cstdint>
#include <deque>
#include <optional>
#include <string>
#include <unordered_map>

namespace morvane::relay_service {

class RateWindow {
public:
    RateWindow(int most, std::int64_t windowSeconds) : most_(most), window_(windowSeconds) {}

    // Counts one event for key at nowSeconds when fewer than `most` fell in
    // the window; otherwise counts nothing and answers the seconds until
    // the oldest leaves the window (at least 1).
    std::optional<std::int64_t> take(const std::string& key, std::int64_t nowSeconds);
    // Forgets keys whose events all left the window.
    void purge(std::int64_t nowSeconds);
    std::size_t keys() const { return events_.size(); }

private:
    int most_;
    std::int64_t window_;
    std::unordered_map<std::string, std::deque<std::int64_t>> events_;
    std::size_t sincePurge_ = 0;
};

}  // namespace morvane::relay_service
