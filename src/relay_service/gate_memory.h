// What the account gate keeps in memory, on the network thread, so that
// calls a stranger can make without an account cost the store little:
// the store queue's places held per key, and what the store said of sign-in
// codes that can no longer sign anyone in. Not thread-safe.
#pragma once

#include <cstdint>
#include <list>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

#include <nlohmann/json.hpp>

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

// What the store last said of a sign-in code (an address and a login) that
// can no longer sign anyone in: its tries spent, expired, or gone (used, or
// never sent). Tries are only ever spent, so such a code stays so until a
// new one is asked for: its verifies are answered from here and never wait
// for the store. Only the store's own verdicts are kept, never a count of
// tries, since other instances spend tries too; and a new code asked
// through another instance is known only to the store, so a verdict is
// believed for `trustMillis` after the store gave it, and then the next
// verify asks the store again while the others are answered from here.
// A code asked here forgets its verdict at once. At most `most` codes are
// kept, the oldest verdict forgotten first: forgetting only sends a verify
// to the store.
class CodeVerdicts {
public:
    CodeVerdicts(std::size_t most, std::int64_t trustMillis) : most_(most < 1 ? 1 : most), trust_(trustMillis) {}

    // The answer to a verify of `code` from memory; absent when the store
    // is to be asked. `asking`: a call of the code waits for the store now.
    std::optional<nlohmann::json> told(const std::string& code, std::int64_t nowMillis, bool asking) const;
    // The store's answer to a verify of `code` (status and body).
    void learn(const std::string& code, int status, const nlohmann::json& body, std::int64_t nowMillis);
    void forget(const std::string& code);
    std::size_t size() const { return verdicts_.size(); }

private:
    struct Verdict {
        nlohmann::json body;
        std::int64_t at = 0;
        std::list<std::string>::iterator age;
    };
    std::size_t most_;
    std::int64_t trust_;
    std::unordered_map<std::string, Verdict> verdicts_;
    // Oldest verdict first.
    std::list<std::string> byAge_;
};

}  // namespace morvane::relay_service
