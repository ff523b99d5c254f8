// Where the relay keeps what it remembers of clients long after their
// connections have gone: which addresses completed a handshake lately, what
// each has cost, who asked which code. glibc hands a small block out of any
// larger one freed before, so an entry put while a flood's connections come
// and go lands between their TLS states; once they close, every such entry
// keeps its page of the heap resident however often the heap is trimmed
// (a flood from 10,000 addresses left 2 MB of them holding some 45 MB). A memory that
// takes its entries and their keys from a pool of its own keeps them side
// by side in a few large blocks, and the pages a flood used go back.
// The pool keeps what it was given for as long as its memory lives, which
// each memory bounds. Not thread-safe, as the memories that use it are not.
#pragma once

#include <functional>
#include <memory>
#include <memory_resource>
#include <string>
#include <string_view>
#include <unordered_map>

namespace morvane::relay_service {

// Stays where it is when its owner moves.
class EntryPool {
public:
    EntryPool() : pool_(std::make_unique<std::pmr::unsynchronized_pool_resource>()) {}
    std::pmr::memory_resource* get() const { return pool_.get(); }

private:
    std::unique_ptr<std::pmr::unsynchronized_pool_resource> pool_;
};

// Found by any string, without a copy of it in the pool.
struct PooledKeyHash {
    using is_transparent = void;
    std::size_t operator()(std::string_view key) const { return std::hash<std::string_view>{}(key); }
};

template <class V>
using PooledMap = std::pmr::unordered_map<std::pmr::string, V, PooledKeyHash, std::equal_to<>>;

}  // namespace morvane::relay_service
