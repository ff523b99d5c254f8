#include "memory_store.h"

#include <algorithm>

#include "core/secure.h"

namespace morvane::relay_service::testing {

void MemoryStore::check() const {
    if (broken) throw RelayStoreError("the database is gone");
}

Account MemoryStore::accountForEmail(const std::string& email, std::int64_t nowSeconds) {
    check();
    auto& account = accounts[email];
    if (account.userId.empty()) {
        const auto hex = Secure::hex(Secure::randomBytes(16));
        account = Account{hex.substr(0, 8) + "-" + hex.substr(8, 4) + "-" + hex.substr(12, 4) + "-" + hex.substr(16, 4) +
                              "-" + hex.substr(20),
                          email, nowSeconds};
    }
    return account;
}

std::optional<Account> MemoryStore::account(const std::string& userId) {
    check();
    for (const auto& [email, account] : accounts)
        if (account.userId == userId) return account;
    return std::nullopt;
}

void MemoryStore::putCode(const SignInCode& code) {
    check();
    codes[{code.email, code.loginId}] = code;
}

std::optional<SignInCode> MemoryStore::code(const std::string& email, const std::string& loginId) {
    check();
    const auto it = codes.find({email, loginId});
    if (it == codes.end()) return std::nullopt;
    return it->second;
}

void MemoryStore::setCodeTries(const std::string& email, const std::string& loginId, int triesLeft) {
    check();
    if (auto it = codes.find({email, loginId}); it != codes.end()) it->second.triesLeft = triesLeft;
}

void MemoryStore::deleteCode(const std::string& email, const std::string& loginId) {
    check();
    codes.erase({email, loginId});
}

void MemoryStore::putToken(const Token& token) {
    check();
    tokens[token.hash] = token;
}

std::optional<Token> MemoryStore::token(const std::string& hash) {
    check();
    const auto it = tokens.find(hash);
    if (it == tokens.end()) return std::nullopt;
    return it->second;
}

bool MemoryStore::deleteToken(const std::string& hash) {
    check();
    return tokens.erase(hash) > 0;
}

AddHostOutcome MemoryStore::addHost(const HostRecord& host, int maxHostsPerAccount) {
    check();
    if (auto it = hosts.find(host.room); it != hosts.end()) {
        if (it->second.userId != host.userId) return AddHostOutcome::taken;
        it->second.name = host.name;
        return AddHostOutcome::existing;
    }
    if (static_cast<int>(hostsOf(host.userId).size()) >= maxHostsPerAccount) return AddHostOutcome::limit;
    hosts[host.room] = host;
    return AddHostOutcome::created;
}

std::optional<HostRecord> MemoryStore::hostByKey(const std::string& publicKey) {
    check();
    for (const auto& [room, host] : hosts)
        if (host.publicKey == publicKey) return host;
    return std::nullopt;
}

std::optional<HostRecord> MemoryStore::hostByRoom(const std::string& room) {
    check();
    const auto it = hosts.find(room);
    if (it == hosts.end()) return std::nullopt;
    return it->second;
}

std::vector<HostRecord> MemoryStore::hostsOf(const std::string& userId) {
    check();
    std::vector<HostRecord> out;
    for (const auto& [room, host] : hosts)
        if (host.userId == userId) out.push_back(host);
    return out;
}

bool MemoryStore::removeHost(const std::string& room) {
    check();
    return hosts.erase(room) > 0;
}

bool MemoryStore::useNonce(const std::string& nonce, std::int64_t expiresAt, std::int64_t nowSeconds) {
    check();
    if (auto it = nonces.find(nonce); it != nonces.end() && it->second > nowSeconds) return false;
    nonces[nonce] = expiresAt;
    return true;
}

void MemoryStore::putSignOut(const std::string& session, std::int64_t until) {
    check();
    auto& stored = signOuts[session];
    stored = std::max(stored, until);
}

bool MemoryStore::signedOut(const std::string& session, std::int64_t nowSeconds) {
    check();
    const auto it = signOuts.find(session);
    return it != signOuts.end() && it->second > nowSeconds;
}

void MemoryStore::purgeExpired(std::int64_t nowSeconds) {
    check();
    std::erase_if(codes, [&](const auto& entry) { return entry.second.expiresAt <= nowSeconds; });
    std::erase_if(tokens, [&](const auto& entry) { return entry.second.expiresAt <= nowSeconds; });
    std::erase_if(nonces, [&](const auto& entry) { return entry.second <= nowSeconds; });
    std::erase_if(signOuts, [&](const auto& entry) { return entry.second <= nowSeconds; });
}

}  // namespace morvane::relay_service::testing
