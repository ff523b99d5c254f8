// What the account gate keeps in memory, on the network thread, so that
// calls a stranger can make without an account cost the store little:
// the store queue's places held per key, what the store said of sign-in
// codes that can no longer sign anyone in, and the rooms it said are
// registered. Not thread-safe.
#pragma once

#include <cstdint>
#include <list>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

#include <nlohmann/json.hpp>

#include "relay_service/entry_pool.h"

namespace morvane::relay_service {

// The places of the store queue that calls not yet answered hold, counted
// under keys (a client's network, a sign-in code, a sign-in's session), so
// that no one key holds more than its few: a flood under one key waits
// behind itself, whatever lane it takes.
class HeldPlaces {
public:
    struct Claim {
        std::string key;
        int most = 1;
    };
    // One place under each key, or none when one of them holds its most
    // already: then that key.
    std::optional<std::string> take(const std::vector<Claim>& claims);
    void release(const std::vector<std::string>& keys);
    int held(const std::string& key) const;
    std::size_t keys() const { return held_.size(); }

private:
    std::unordered_map<std::string, int> held_;
};

// Values by key, at most `most` of them: past it, the one put longest ago
// is forgotten. What the gate remembers is only ever a shortcut, so a flood
// of new keys pushing the old ones out costs a call to the store, no more.
template <class V>
class Forgetful {
public:
    explicit Forgetful(std::size_t most) : most_(most < 1 ? 1 : most), values_(pool_.get()), byAge_(pool_.get()) {}
    // Puts a value, the newest.
    void put(const std::string& key, V value) {
        auto it = values_.find(std::string_view(key));
        if (it == values_.end()) {
            if (values_.size() >= most_) {
                values_.erase(byAge_.front());
                byAge_.pop_front();
            }
            byAge_.emplace_back(key);
            values_.emplace(byAge_.back(), Entry{std::move(value), std::prev(byAge_.end())});
            return;
        }
        it->second.value = std::move(value);
        byAge_.splice(byAge_.end(), byAge_, it->second.age);
    }
    const V* find(const std::string& key) const {
        const auto it = values_.find(std::string_view(key));
        return it == values_.end() ? nullptr : &it->second.value;
    }
    void erase(const std::string& key) {
        const auto it = values_.find(std::string_view(key));
        if (it == values_.end()) return;
        byAge_.erase(it->second.age);
        values_.erase(it);
    }
    std::size_t size() const { return values_.size(); }

private:
    struct Entry {
        V value;
        std::pmr::list<std::pmr::string>::iterator age;
    };
    std::size_t most_;
    // Kept apart from the connections' memory (entry_pool.h).
    EntryPool pool_;
    PooledMap<Entry> values_;
    // Oldest first.
    std::pmr::list<std::pmr::string> byAge_;
};

// What the store last said of a sign-in code (an address and a login) that
// can no longer sign anyone in: its tries spent, expired, or gone (used, or
// never sent). Tries are only ever spent, so such a code stays so until a
// new one is asked for: its verifies are answered from here and never wait
// for the store. Only the store's own verdicts are kept, never a count of
// tries, since other instances spend tries too. A new code asked through
// another instance is known only to the store, so a verdict is fresh for
// `trustMillis` after the store gave or confirmed it; past that it is
// stale, and the gate asks the store whether a new code was asked (one
// question for every stale code at once) before it answers from here
// again. A code asked here forgets its verdict at once.
class CodeVerdicts {
public:
    CodeVerdicts(std::size_t most, std::int64_t trustMillis) : verdicts_(most), trust_(trustMillis) {}

    struct Told {
        nlohmann::json body;
        bool stale = false;
    };
    // What a verify of `code` is told from memory; absent when the store
    // is to be asked.
    std::optional<Told> told(const std::string& code, std::int64_t nowMillis) const;
    // The store's answer to a verify of `code` (status and body).
    void learn(const std::string& code, int status, const nlohmann::json& body, std::int64_t nowMillis);
    // The store says the code still signs no one in (`body`: what a verify
    // is told), or, with nothing, that a new code was asked.
    void confirm(const std::string& code, const std::optional<nlohmann::json>& body, std::int64_t nowMillis);
    void forget(const std::string& code) { verdicts_.erase(code); }
    std::size_t size() const { return verdicts_.size(); }

private:
    struct Verdict {
        nlohmann::json body;
        std::int64_t at = 0;
    };
    Forgetful<Verdict> verdicts_;
    std::int64_t trust_;
};

}  // namespace morvane::relay_service
