#include "memory_store.h"

#include <algorithm>

#include "core/secure.h"
#include "relay_service/relay_store_detail.h"

namespace morvane::relay_service::testing {
namespace {

// What a second instance holds: its own object over the same tables.
class Connection final : public RelayStore {
public:
    explicit Connection(MemoryStore& data) : data_(data) {}
    std::string describe() const override { return data_.describe(); }
    std::string sealKey() const override { return data_.sealKey(); }
    Account accountForEmail(const std::string& email, std::int64_t now) override { return data_.accountForEmail(email, now); }
    std::optional<Account> account(const std::string& userId) override { return data_.account(userId); }
    void putCode(const SignInCode& code) override { data_.putCode(code); }
    std::optional<SignInCode> code(const std::string& email, const std::string& loginId) override {
        return data_.code(email, loginId);
    }
    std::optional<SignInCode> spendCodeTry(const std::string& email, const std::string& loginId, std::int64_t now) override {
        return data_.spendCodeTry(email, loginId, now);
    }
    bool deleteCode(const std::string& email, const std::string& loginId) override { return data_.deleteCode(email, loginId); }
    void putTokens(const std::vector<Token>& tokens) override { data_.putTokens(tokens); }
    std::optional<Token> token(const std::string& hash) override { return data_.token(hash); }
    bool deleteToken(const std::string& hash) override { return data_.deleteToken(hash); }
    bool replaceToken(const std::string& spent, const std::vector<Token>& replacements) override {
        return data_.replaceToken(spent, replacements);
    }
    AddHostOutcome addHost(const HostRecord& host, int most) override { return data_.addHost(host, most); }
    std::optional<HostRecord> hostByKey(const std::string& key) override { return data_.hostByKey(key); }
    std::optional<HostRecord> hostByRoom(const std::string& room) override { return data_.hostByRoom(room); }
    std::vector<HostRecord> hostsOf(const std::string& userId) override { return data_.hostsOf(userId); }
    bool removeHost(const std::string& room) override { return data_.removeHost(room); }
    std::vector<std::string> roomsRegisteredSince(std::int64_t since, std::size_t most) override {
        return data_.roomsRegisteredSince(since, most);
    }
    bool useNonce(const std::string& nonce, std::int64_t expiresAt, std::int64_t now) override {
        return data_.useNonce(nonce, expiresAt, now);
    }
    void putSignOut(const std::string& session, std::int64_t until) override { data_.putSignOut(session, until); }
    bool signedOut(const std::string& session, std::int64_t now) override { return data_.signedOut(session, now); }
    std::optional<std::int64_t> countRate(const std::string& key, int most, std::int64_t window, std::int64_t now) override {
        return data_.countRate(key, most, window, now);
    }
    bool putPresence(const std::string& room, const std::string& instance) override {
        return data_.putPresence(room, instance);
    }
    bool dropPresence(const std::string& room, const std::string& instance) override {
        return data_.dropPresence(room, instance);
    }
    std::optional<int> refreshPresence(const std::string& instance) override { return data_.refreshPresence(instance); }
    std::optional<int> expirePresence(const std::string& instance, const std::optional<std::string>& room,
                                      std::int64_t forSeconds, std::int64_t freshSeconds) override {
        return data_.expirePresence(instance, room, forSeconds, freshSeconds);
    }
    std::optional<std::string> presenceHolder(const std::string& room, std::int64_t freshSeconds) override {
        return data_.presenceHolder(room, freshSeconds);
    }
    std::vector<std::string> roomsOnline(const std::vector<std::string>& rooms, std::int64_t freshSeconds) override {
        return data_.roomsOnline(rooms, freshSeconds);
    }
    void putPeer(const std::string& instance, const std::string& address) override { data_.putPeer(instance, address); }
    void dropPeer(const std::string& instance) override { data_.dropPeer(instance); }
    std::vector<PeerRecord> peers(const std::string& except, std::int64_t freshSeconds) override {
        return data_.peers(except, freshSeconds);
    }
    std::string fleetSecret() override { return data_.fleetSecret(); }
    void publish(const BusMessage& message) override { data_.publish(message); }
    std::unique_ptr<BusListener> listen(const std::string& instance, BusHooks hooks) override {
        return data_.listen(instance, std::move(hooks));
    }
    void requestLink(const std::string& room, const std::string& holder) override { data_.requestLink(room, holder); }
    std::vector<std::string> takeLinkRequests(const std::string& holder, std::int64_t withinSeconds) override {
        return data_.takeLinkRequests(holder, withinSeconds);
    }
    std::vector<std::string> signedOutAmong(const std::vector<std::string>& sessions, std::int64_t now) override {
        return data_.signedOutAmong(sessions, now);
    }
    void purgeExpired(std::int64_t now) override { data_.purgeExpired(now); }

private:
    MemoryStore& data_;
};

}  // namespace

MemoryStore::MemoryStore() : seal_(Secure::hex(Secure::randomBytes(32))), bus_(std::make_shared<detail::LocalBus>()) {}
MemoryStore::~MemoryStore() = default;

std::unique_ptr<RelayStore> MemoryStore::connect() { return std::make_unique<Connection>(*this); }

std::unique_lock<std::recursive_mutex> MemoryStore::enter() const {
    {
        std::unique_lock guard(gate_);
        opened_.wait(guard, [this] { return !held_; });
    }
    std::unique_lock lock(mutex_);
    if (broken) throw RelayStoreError("the database is gone");
    return lock;
}

void MemoryStore::hold() {
    std::lock_guard guard(gate_);
    held_ = true;
}

void MemoryStore::release() {
    {
        std::lock_guard guard(gate_);
        held_ = false;
    }
    opened_.notify_all();
}

Account MemoryStore::accountForEmail(const std::string& email, std::int64_t nowSeconds) {
    const auto lock = enter();
    auto& account = accounts[email];
    if (account.userId.empty()) account = Account{detail::newUserId(), email, nowSeconds};
    return account;
}

std::optional<Account> MemoryStore::account(const std::string& userId) {
    const auto lock = enter();
    for (const auto& [email, account] : accounts)
        if (account.userId == userId) return account;
    return std::nullopt;
}

void MemoryStore::putCode(const SignInCode& code) {
    const auto lock = enter();
    codes[{code.email, code.loginId}] = code;
}

std::optional<SignInCode> MemoryStore::code(const std::string& email, const std::string& loginId) {
    const auto lock = enter();
    const auto it = codes.find({email, loginId});
    const auto found = it == codes.end() ? std::nullopt : std::optional(it->second);
    ++codeReads[email];
    if (afterCodeRead) afterCodeRead();
    return found;
}

std::optional<SignInCode> MemoryStore::spendCodeTry(const std::string& email, const std::string& loginId,
                                                    std::int64_t nowSeconds) {
    const auto lock = enter();
    const auto it = codes.find({email, loginId});
    std::optional<SignInCode> spent;
    if (it != codes.end() && it->second.triesLeft > 0 && it->second.expiresAt > nowSeconds) {
        --it->second.triesLeft;
        spent = it->second;
    }
    ++codeReads[email];
    if (afterCodeRead) afterCodeRead();
    return spent;
}

bool MemoryStore::deleteCode(const std::string& email, const std::string& loginId) {
    const auto lock = enter();
    return codes.erase({email, loginId}) > 0;
}

void MemoryStore::putTokens(const std::vector<Token>& put) {
    const auto lock = enter();
    insertTokens(tokens, put);
}

// All or none, as a transaction: a failure part way leaves `was`.
void MemoryStore::insertTokens(std::map<std::string, Token> was, const std::vector<Token>& put) {
    try {
        for (const auto& token : put) {
            if (beforeTokenPut) beforeTokenPut();
            tokens[token.hash] = token;
        }
    } catch (...) {
        tokens = std::move(was);
        throw;
    }
}

std::optional<Token> MemoryStore::token(const std::string& hash) {
    const auto lock = enter();
    const auto it = tokens.find(hash);
    if (it == tokens.end()) return std::nullopt;
    return it->second;
}

bool MemoryStore::deleteToken(const std::string& hash) {
    const auto lock = enter();
    return tokens.erase(hash) > 0;
}

bool MemoryStore::replaceToken(const std::string& spentHash, const std::vector<Token>& replacements) {
    const auto lock = enter();
    auto before = tokens;
    if (tokens.erase(spentHash) == 0) return false;
    insertTokens(std::move(before), replacements);
    return true;
}

AddHostOutcome MemoryStore::addHost(const HostRecord& host, int maxHostsPerAccount) {
    const auto lock = enter();
    const auto byKey = hostByKey(host.publicKey);
    if (const auto it = hosts.find(host.room); it != hosts.end() || byKey) {
        if (it == hosts.end() || !byKey || byKey->room != host.room || it->second.userId != host.userId)
            return AddHostOutcome::taken;
        it->second.name = host.name;
        return AddHostOutcome::existing;
    }
    if (static_cast<int>(hostsOf(host.userId).size()) >= maxHostsPerAccount) return AddHostOutcome::limit;
    hosts[host.room] = host;
    return AddHostOutcome::created;
}

std::optional<HostRecord> MemoryStore::hostByKey(const std::string& publicKey) {
    const auto lock = enter();
    for (const auto& [room, host] : hosts)
        if (host.publicKey == publicKey) return host;
    return std::nullopt;
}

std::optional<HostRecord> MemoryStore::hostByRoom(const std::string& room) {
    const auto lock = enter();
    const auto it = hosts.find(room);
    if (it == hosts.end()) return std::nullopt;
    return it->second;
}

std::vector<std::string> MemoryStore::roomsRegisteredSince(std::int64_t sinceSeconds, std::size_t most) {
    const auto lock = enter();
    std::vector<std::pair<std::int64_t, std::string>> found;
    for (const auto& [room, host] : hosts)
        if (host.createdAt >= sinceSeconds) found.emplace_back(host.createdAt, room);
    std::sort(found.rbegin(), found.rend());
    std::vector<std::string> rooms;
    for (std::size_t i = 0; i < found.size() && i < most; ++i) rooms.push_back(found[i].second);
    return rooms;
}

std::vector<HostRecord> MemoryStore::hostsOf(const std::string& userId) {
    const auto lock = enter();
    std::vector<HostRecord> out;
    for (const auto& [room, host] : hosts)
        if (host.userId == userId) out.push_back(host);
    std::stable_sort(out.begin(), out.end(), [](const auto& a, const auto& b) { return a.createdAt < b.createdAt; });
    return out;
}

bool MemoryStore::removeHost(const std::string& room) {
    const auto lock = enter();
    return hosts.erase(room) > 0;
}

bool MemoryStore::useNonce(const std::string& nonce, std::int64_t expiresAt, std::int64_t nowSeconds) {
    const auto lock = enter();
    if (expiresAt <= nowSeconds) return false;
    return nonces.emplace(nonce, expiresAt).second;
}

void MemoryStore::putSignOut(const std::string& session, std::int64_t until) {
    const auto lock = enter();
    auto& stored = signOuts[session];
    stored = std::max(stored, until);
}

bool MemoryStore::signedOut(const std::string& session, std::int64_t nowSeconds) {
    const auto lock = enter();
    const auto it = signOuts.find(session);
    return it != signOuts.end() && it->second > nowSeconds;
}

std::optional<std::int64_t> MemoryStore::countRate(const std::string& key, int most, std::int64_t windowSeconds,
                                                   std::int64_t nowSeconds) {
    const auto lock = enter();
    auto& rate = rates[key];
    if (rate.expiresAt <= nowSeconds) rate = Rate{0, nowSeconds + windowSeconds};
    if (++rate.events <= most) return std::nullopt;
    return std::max<std::int64_t>(1, rate.expiresAt - nowSeconds);
}

bool MemoryStore::putPresence(const std::string& room, const std::string& instance) {
    const auto lock = enter();
    presence[room] = Presence{instance, clockSeconds, false};
    return true;
}

bool MemoryStore::dropPresence(const std::string& room, const std::string& instance) {
    const auto lock = enter();
    const auto it = presence.find(room);
    if (it == presence.end() || it->second.instance != instance) return false;
    presence.erase(it);
    return true;
}

std::optional<int> MemoryStore::refreshPresence(const std::string& instance) {
    const auto lock = enter();
    int refreshed = 0;
    for (auto& [room, row] : presence)
        if (row.instance == instance && !row.moving) {
            row.seenAt = clockSeconds;
            ++refreshed;
        }
    return refreshed;
}

std::optional<int> MemoryStore::expirePresence(const std::string& instance, const std::optional<std::string>& only,
                                               std::int64_t forSeconds, std::int64_t freshSeconds) {
    const auto lock = enter();
    int expired = 0;
    for (auto& [room, row] : presence)
        if (row.instance == instance && (!only || *only == room)) {
            row.seenAt = clockSeconds - std::max<std::int64_t>(0, freshSeconds - forSeconds);
            row.moving = true;
            ++expired;
        }
    return expired;
}

std::optional<std::string> MemoryStore::presenceHolder(const std::string& room, std::int64_t freshSeconds) {
    const auto lock = enter();
    const auto it = presence.find(room);
    if (it == presence.end() || it->second.seenAt < clockSeconds - freshSeconds) return std::nullopt;
    return it->second.instance;
}

std::vector<std::string> MemoryStore::roomsOnline(const std::vector<std::string>& rooms, std::int64_t freshSeconds) {
    const auto lock = enter();
    std::set<std::string> online;
    for (const auto& room : rooms)
        if (const auto it = presence.find(room); it != presence.end() && it->second.seenAt >= clockSeconds - freshSeconds)
            online.insert(room);
    return {online.begin(), online.end()};
}

void MemoryStore::putPeer(const std::string& instance, const std::string& address) {
    const auto lock = enter();
    peerRows[instance] = Peer{address, clockSeconds};
}

void MemoryStore::dropPeer(const std::string& instance) {
    const auto lock = enter();
    peerRows.erase(instance);
}

std::vector<PeerRecord> MemoryStore::peers(const std::string& except, std::int64_t freshSeconds) {
    const auto lock = enter();
    std::vector<PeerRecord> out;
    for (const auto& [instance, row] : peerRows)
        if (instance != except && row.seenAt >= clockSeconds - freshSeconds) out.push_back({instance, row.address});
    return out;
}

std::string MemoryStore::fleetSecret() {
    const auto lock = enter();
    if (secret.empty()) secret = Secure::hex(Secure::randomBytes(32));
    return secret;
}

void MemoryStore::requestLink(const std::string& room, const std::string& holder) {
    const auto lock = enter();
    linkRequests[room] = LinkRequest{holder, clockSeconds};
}

std::vector<std::string> MemoryStore::takeLinkRequests(const std::string& holder, std::int64_t withinSeconds) {
    const auto lock = enter();
    std::vector<std::string> taken;
    std::erase_if(linkRequests, [&](const auto& entry) {
        const bool take = entry.second.holder == holder && entry.second.askedAt >= clockSeconds - withinSeconds;
        if (take) taken.push_back(entry.first);
        return take;
    });
    return taken;
}

std::vector<std::string> MemoryStore::signedOutAmong(const std::vector<std::string>& sessions, std::int64_t nowSeconds) {
    const auto lock = enter();
    std::vector<std::string> out;
    for (const auto& session : sessions)
        if (const auto it = signOuts.find(session); it != signOuts.end() && it->second > nowSeconds) out.push_back(session);
    return out;
}

void MemoryStore::publish(const BusMessage& message) {
    enter();
    bus_->publish(message);
}

// Tells its hooks when the test loses or finds the bus, and hears nothing
// meanwhile.
struct MemoryStore::Hearing {
    BusHooks hooks;
    std::atomic<bool> away{false};
};

namespace {
class HearingListener final : public BusListener {
public:
    HearingListener(std::unique_ptr<BusListener> inner, std::function<void()> forget)
        : inner_(std::move(inner)), forget_(std::move(forget)) {}
    ~HearingListener() override {
        inner_.reset();
        forget_();
    }

private:
    std::unique_ptr<BusListener> inner_;
    std::function<void()> forget_;
};
}  // namespace

std::unique_ptr<BusListener> MemoryStore::listen(const std::string& instance, BusHooks hooks) {
    enter();
    auto hearing = std::make_shared<Hearing>();
    hearing->hooks = std::move(hooks);
    hearing->away = busAway_;
    auto inner = bus_->listen(instance, [hearing](const BusMessage& message) {
        if (!hearing->away) hearing->hooks.onMessage(message);
    });
    std::lock_guard guard(hearingLock_);
    hearings_.push_back(hearing);
    return std::make_unique<HearingListener>(std::move(inner), [this, hearing] {
        std::lock_guard guard(hearingLock_);
        std::erase(hearings_, hearing);
    });
}

void MemoryStore::loseBus(bool lost) {
    std::lock_guard guard(hearingLock_);
    busAway_ = lost;
    for (const auto& hearing : hearings_) {
        if (hearing->away.exchange(lost) == lost) continue;
        const auto& hook = lost ? hearing->hooks.lost : hearing->hooks.resumed;
        if (hook) hook();
    }
}

void MemoryStore::purgeExpired(std::int64_t nowSeconds) {
    const auto lock = enter();
    std::erase_if(codes, [&](const auto& entry) { return entry.second.expiresAt <= nowSeconds; });
    std::erase_if(tokens, [&](const auto& entry) { return entry.second.expiresAt <= nowSeconds; });
    std::erase_if(nonces, [&](const auto& entry) { return entry.second <= nowSeconds; });
    std::erase_if(signOuts, [&](const auto& entry) { return entry.second <= nowSeconds; });
    std::erase_if(rates, [&](const auto& entry) { return entry.second.expiresAt <= nowSeconds; });
    std::erase_if(presence, [&](const auto& entry) { return entry.second.seenAt < clockSeconds - 3600; });
    std::erase_if(linkRequests, [&](const auto& entry) { return entry.second.askedAt < clockSeconds - 3600; });
    std::erase_if(peerRows, [&](const auto& entry) { return entry.second.seenAt < clockSeconds - 3600; });
}

}  // namespace morvane::relay_service::testing
