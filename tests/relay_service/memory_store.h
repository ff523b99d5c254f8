// A RelayStore in memory, for the service's tests: the same answers as the
// real stores give, and a switch that makes every call fail as a broken
// database would.
#pragma once

#include <map>
#include <set>

#include "relay_service/relay_store.h"

namespace morvane::relay_service::testing {

class MemoryStore final : public RelayStore {
public:
    std::string describe() const override { return "memory"; }
    Account accountForEmail(const std::string& email, std::int64_t nowSeconds) override;
    std::optional<Account> account(const std::string& userId) override;
    void putCode(const SignInCode& code) override;
    std::optional<SignInCode> code(const std::string& email, const std::string& loginId) override;
    void setCodeTries(const std::string& email, const std::string& loginId, int triesLeft) override;
    void deleteCode(const std::string& email, const std::string& loginId) override;
    void putToken(const Token& token) override;
    std::optional<Token> token(const std::string& hash) override;
    bool deleteToken(const std::string& hash) override;
    AddHostOutcome addHost(const HostRecord& host, int maxHostsPerAccount) override;
    std::optional<HostRecord> hostByKey(const std::string& publicKey) override;
    std::optional<HostRecord> hostByRoom(const std::string& room) override;
    std::vector<HostRecord> hostsOf(const std::string& userId) override;
    bool removeHost(const std::string& room) override;
    bool useNonce(const std::string& nonce, std::int64_t expiresAt, std::int64_t nowSeconds) override;
    void putSignOut(const std::string& session, std::int64_t until) override;
    bool signedOut(const std::string& session, std::int64_t nowSeconds) override;
    void purgeExpired(std::int64_t nowSeconds) override;

    bool broken = false;
    std::map<std::string, Account> accounts;  // by e-mail
    std::map<std::pair<std::string, std::string>, SignInCode> codes;
    std::map<std::string, Token> tokens;
    std::map<std::string, HostRecord> hosts;  // by room
    std::map<std::string, std::int64_t> nonces;
    std::map<std::string, std::int64_t> signOuts;  // session → until

private:
    void check() const;
};

}  // namespace morvane::relay_service::testing
