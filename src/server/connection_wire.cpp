#include "server/connection_wire.h"

namespace morvane {

void ConnectionWire::writeAll(std::vector<Bytes> parts, std::function<void(bool)> completion) {
    if (parts.size() == 1) return write(std::move(parts.front()), std::move(completion));
    std::size_t total = 0;
    for (const auto& part : parts) total += part.size();
    Bytes joined;
    joined.reserve(total);
    for (const auto& part : parts) joined.insert(joined.end(), part.begin(), part.end());
    write(std::move(joined), std::move(completion));
}

}  // namespace morvane
