// A RelayStore in memory, for the service's tests: the same answers as the
// real stores give (it runs their contract), a switch that makes every call
// fail as a broken database would, and one that holds every call until
// released, as a database that stops answering. Calls may come from several
// threads; connect() gives another connection to the same data, as a
// second instance sharing a database has, and the bus carries messages
// between them within the process. The tables are open to tests, to be
// read and changed while no other thread uses the store.
#pragma once

#include <atomic>
#include <condition_variable>
#include <map>
#include <memory>
#include <mutex>
#include <set>

#include "relay_service/relay_store.h"

namespace morvane::relay_service::detail {
class LocalBus;
}

namespace morvane::relay_service::testing {

class MemoryStore final : public RelayStore {
public:
    MemoryStore();
    ~MemoryStore() override;

    std::string describe() const override { return "memory"; }
    std::string sealKey() const override { return seal_; }
    Account accountForEmail(const std::string& email, std::int64_t nowSeconds) override;
    std::optional<Account> account(const std::string& userId) override;
    void putCode(const SignInCode& code) override;
    std::optional<SignInCode> code(const std::string& email, const std::string& loginId) override;
    std::optional<SignInCode> spendCodeTry(const std::string& email, const std::string& loginId,
                                           std::int64_t nowSeconds) override;
    bool deleteCode(const std::string& email, const std::string& loginId) override;
    void putTokens(const std::vector<Token>& tokens) override;
    std::optional<Token> token(const std::string& hash) override;
    bool deleteToken(const std::string& hash) override;
    bool replaceToken(const std::string& spentHash, const std::vector<Token>& replacements) override;
    AddHostOutcome addHost(const HostRecord& host, int maxHostsPerAccount) override;
    std::optional<HostRecord> hostByKey(const std::string& publicKey) override;
    std::optional<HostRecord> hostByRoom(const std::string& room) override;
    std::vector<HostRecord> hostsOf(const std::string& userId) override;
    bool removeHost(const std::string& room) override;
    std::vector<std::string> roomsRegisteredSince(std::int64_t sinceSeconds, std::size_t most) override;
    bool useNonce(const std::string& nonce, std::int64_t expiresAt, std::int64_t nowSeconds) override;
    void putSignOut(const std::string& session, std::int64_t until) override;
    bool signedOut(const std::string& session, std::int64_t nowSeconds) override;
    std::optional<std::int64_t> countRate(const std::string& key, int most, std::int64_t windowSeconds,
                                          std::int64_t nowSeconds) override;
    bool putPresence(const std::string& room, const std::string& instance) override;
    bool dropPresence(const std::string& room, const std::string& instance) override;
    std::optional<int> refreshPresence(const std::string& instance) override;
    std::optional<int> expirePresence(const std::string& instance, const std::optional<std::string>& room,
                                      std::int64_t forSeconds, std::int64_t freshSeconds) override;
    std::optional<std::string> presenceHolder(const std::string& room, std::int64_t freshSeconds) override;
    std::vector<std::string> roomsOnline(const std::vector<std::string>& rooms, std::int64_t freshSeconds) override;
    void putPeer(const std::string& instance, const std::string& address) override;
    void dropPeer(const std::string& instance) override;
    std::vector<PeerRecord> peers(const std::string& except, std::int64_t freshSeconds) override;
    std::string fleetSecret() override;
    void publish(const BusMessage& message) override;
    using RelayStore::listen;
    std::unique_ptr<BusListener> listen(const std::string& instance, BusHooks hooks) override;
    void requestLink(const std::string& room, const std::string& holder) override;
    std::vector<std::string> takeLinkRequests(const std::string& holder, std::int64_t withinSeconds) override;
    std::vector<std::string> signedOutAmong(const std::vector<std::string>& sessions, std::int64_t nowSeconds) override;
    void purgeExpired(std::int64_t nowSeconds) override;

    // Another connection to this store's data; this store must outlive it.
    std::unique_ptr<RelayStore> connect();

    // Any thread may hold and release.
    void hold();
    void release();
    // The bus stops hearing (every listener is told it is lost, and hears
    // nothing more) or hears again (each is told it resumed).
    void loseBus(bool lost);

    bool broken = false;
    // Runs after a call has read a code (and spent its try, if it spends
    // one), before it answers: what another instance does in between.
    std::function<void()> afterCodeRead;
    // Runs before each token is stored, and may throw RelayStoreError: a
    // database that fails part way through a call.
    std::function<void()> beforeTokenPut;
    std::map<std::string, Account> accounts;  // by e-mail
    std::map<std::pair<std::string, std::string>, SignInCode> codes;
    // How often each address's codes were read (a try spent or looked up).
    std::map<std::string, int> codeReads;
    std::map<std::string, Token> tokens;
    std::map<std::string, HostRecord> hosts;  // by room
    std::map<std::string, std::int64_t> nonces;
    std::map<std::string, std::int64_t> signOuts;  // session → until
    struct Rate {
        std::int64_t events = 0;
        std::int64_t expiresAt = 0;
    };
    std::map<std::string, Rate> rates;
    struct Presence {
        std::string instance;
        std::int64_t seenAt = 0;
        bool moving = false;
    };
    std::map<std::string, Presence> presence;  // by room
    struct LinkRequest {
        std::string holder;
        std::int64_t askedAt = 0;
    };
    std::map<std::string, LinkRequest> linkRequests;  // by room
    struct Peer {
        std::string address;
        std::int64_t seenAt = 0;
    };
    std::map<std::string, Peer> peerRows;  // by instance
    std::string secret;
    // The database's clock as presence rows read it, in Unix seconds.
    std::int64_t clockSeconds = 0;
    // How the store says it finds its database.
    std::atomic<StoreReach> reachNow{StoreReach::answering};
    // And for how long (StoreHealth::forMillis).
    std::atomic<std::int64_t> reachForMillis{INT64_MAX};
    StoreReach reach() const override { return reachNow; }
    StoreHealth health() const override { return {reachNow, reachForMillis}; }

private:
    // Locks the tables for one call, failing it while broken.
    std::unique_lock<std::recursive_mutex> enter() const;
    void insertTokens(std::map<std::string, Token> was, const std::vector<Token>& put);
    std::string seal_;
    mutable std::recursive_mutex mutex_;
    mutable std::mutex gate_;
    mutable std::condition_variable opened_;
    bool held_ = false;
    std::shared_ptr<detail::LocalBus> bus_;
    struct Hearing;
    std::mutex hearingLock_;
    std::vector<std::shared_ptr<Hearing>> hearings_;
    bool busAway_ = false;
};

}  // namespace morvane::relay_service::testing
