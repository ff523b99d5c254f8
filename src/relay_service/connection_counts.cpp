#include "relay_service/connection_counts.h"

#include <algorithm>

namespace morvane::relay_service {

ConnectionCounts::Admission ConnectionCounts::admit(const std::string& address, bool perAddress) {
    if (open_ >= limits_.connections) {
        const bool first = !refusing_;
        refusing_ = true;
        return {Verdict::relayFull, first};
    }
    if (perAddress) {
        auto& from = addresses_[address];
        if (from.open >= limits_.connectionsPerAddress) {
            const bool first = !from.refusing;
            from.refusing = true;
            return {Verdict::addressFull, first};
        }
        ++from.open;
    }
    ++open_;
    return {Verdict::admitted, false};
}

void ConnectionCounts::release(const std::string& address, bool perAddress) {
    open_ = std::max(0, open_ - 1);
    if (open_ < limits_.connections) refusing_ = false;
    if (!perAddress) return;
    const auto found = addresses_.find(address);
    if (found == addresses_.end()) return;
    if (--found->second.open <= 0) {
        addresses_.erase(found);
        return;
    }
    if (found->second.open < limits_.connectionsPerAddress) found->second.refusing = false;
}

void ConnectionCounts::capTotal(int most) { limits_.connections = std::min(limits_.connections, std::max(most, 1)); }

int ConnectionCounts::openFrom(const std::string& address) const {
    const auto found = addresses_.find(address);
    return found == addresses_.end() ? 0 : found->second.open;
}

}  // namespace morvane::relay_service
