// The account interface: sign-in codes, tokens, the account's computers,
// and the checks that admit a host's link and a device's socket. Pure
// logic over the store and an injected clock, called on the store queue
// only (every call may wait on the database): the server hands it routed
// calls there, once its gate (below, on the network thread) has let them
// through, and sends the e-mail it asks for on the mail queue.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <unordered_set>
#include <utility>
#include <variant>
#include <vector>

#include <nlohmann/json.hpp>

#include "core/clock.h"
#include "core/types.h"
#include "relay_service/gate_memory.h"
#include "relay_service/rate_window.h"
#include "relay_service/relay_limits.h"
#include "relay_service/relay_log.h"
#include "relay_service/relay_route.h"
#include "relay_service/relay_store.h"
#include "relay_service/token_seal.h"
#include "relay_service/work_queue.h"

namespace morvane::relay_service {

// Who may sign in: the operator's list of e-mail addresses and "@domain"
// entries (every address at that domain, not at its subdomains), or anyone
// with an e-mail address when there is no list. Read from the config at
// start; a value, asked on any thread.
class AccountList {
public:
    // Anyone.
    AccountList() = default;
    // The config's entries, or the reason the first one that is neither an
    // address nor "@domain" is refused.
    static std::variant<AccountList, std::string> parse(const std::vector<std::string>& entries);
    bool open() const { return !closed_; }
    // `address` as normalizeAddress leaves it.
    bool admits(const std::string& address) const;
    std::size_t addresses() const { return addresses_.size(); }
    std::size_t domains() const { return domains_.size(); }

private:
    bool closed_ = false;
    std::unordered_set<std::string> addresses_, domains_;
};

// A code to deliver before the answer can be given.
struct CodeDelivery {
    std::string email;
    std::string loginId;
    std::string code;
};

struct AccountAnswer {
    int status = 200;
    nlohmann::json body = nlohmann::json::object();
    std::optional<CodeDelivery> delivery;
};

// Why a host's upgrade or a device's socket was turned away, or who it is.
struct HostAdmission {
    int status = 0;  // 0 admitted; else the HTTP status to answer
    std::string reason;
    Bytes publicKey;
    std::string name;
    std::string userId = {};  // the account the computer is on
};
struct DeviceAdmission {
    int closeCode = 0;  // 0 admitted; else the close code and its word
    std::string reason;
    std::string userId;
    std::string session;  // the sign-in this device's tokens descend from
    // The instance that holds the room's link, as its fresh presence row
    // says; "" when none does.
    std::string holder;
};

class RelayAccounts {
public:
    struct Hooks {
        WallClock now;
        RelayLog log;
        // Whether the room's host link is up here, for the list of
        // computers (which also counts the links other instances hold, from
        // the store). Called on the store queue.
        std::function<bool(const std::string& room)> online;
        // A computer left its account: its link must end. Called on the
        // store queue.
        std::function<void(const std::string& room)> removed;
        // A sign-in signed out: its device connections must close, here and
        // on every instance. Called on the store queue.
        std::function<void(const std::string& session)> signedOut;
    };

    // mailConfigured false answers every code request "not-configured".
    // An address `accounts` does not admit is refused a code, a sign-in and
    // the refresh of a sign-in it made before it was taken off the list.
    RelayAccounts(RelayStore& store, Hooks hooks, bool mailConfigured, AccountList accounts = {});

    // Answers one routed account call; a code request that passed every
    // check comes back with a delivery and no answer yet.
    AccountAnswer handle(const AccountCall& call);
    // The delivery's outcome: error is absent when the code went out.
    AccountAnswer delivered(const CodeDelivery& delivery, const std::optional<std::string>& error);

    // The host link's upgrade: the room must be registered and the hello
    // header signed by its key, fresh and not seen before.
    HostAdmission admitHost(const std::string& room, const std::string& helloHeader);
    // The rooms registered in the last few minutes, through any instance,
    // the newest first. Throws RelayStoreError.
    std::vector<std::string> roomsRegisteredLately();
    // A device's socket: spends the ticket when it opens this room.
    DeviceAdmission admitDevice(const std::string& room, const std::string& ticket);

    // What a verify of each sign-in code ("address login") would be told
    // now if the code can sign no one in (spent, expired, gone), or nothing
    // for a live code: one new since, asked through any instance. Reads
    // only. Throws RelayStoreError.
    std::vector<std::optional<nlohmann::json>> deadCodes(const std::vector<std::string>& codes);

    // Forgets what has expired in the store (codes, tokens, nonces,
    // sign-outs and rate counts).
    void purge();
    // The operator's list read again, from any thread: the next call
    // judged is judged by it.
    void setAccounts(AccountList accounts);

private:
    AccountAnswer code(const nlohmann::json& body, const std::string& client);
    AccountAnswer verify(const nlohmann::json& body, const std::string& client);
    AccountAnswer refresh(const nlohmann::json& body);
    AccountAnswer signOut(const nlohmann::json& body);
    AccountAnswer registerHost(const nlohmann::json& body, const std::string& userId);
    AccountAnswer removeHost(const nlohmann::json& body);
    AccountAnswer listHosts(const std::string& userId);
    struct Bearer {
        Token token;
        std::string session;
    };
    AccountAnswer ticket(const std::string& room, const Bearer& access);
    // The live access token a bearer presented.
    std::optional<Bearer> bearer(const std::string& presented);
    // A sign-in's new access and refresh tokens, to store, and the answer
    // that hands them out.
    struct NewSession {
        std::vector<Token> tokens;
        nlohmann::json answer;
    };
    NewSession mintSession(const Account& account, const std::string& client, const std::string& sessionID);
    // Stores a new session's tokens and answers them.
    nlohmann::json session(const Account& account, const std::string& client, const std::string& sessionID);
    std::int64_t seconds() const;
    // Asked of the store every time, never of a copy here: the sign-out
    // may have been made through another instance a moment ago.
    bool revoked(const std::string& sessionID);

    // What a verify of a code the store holds as `kept` is told when the
    // code can sign no one in; nothing for a live code.
    std::optional<nlohmann::json> deadCode(const std::optional<SignInCode>& kept, std::int64_t now) const;
    void refusedCode(const std::string& line);
    void refusedSignIn(const std::string& line);
    void refusedHost(const std::string& line);
    void storeFailed(const RelayStoreError& error);

    bool admits(const std::string& address) const;

    RelayStore& store_;
    Hooks hooks_;
    bool mailConfigured_;
    // Swapped whole by setAccounts on the network thread while the store
    // thread judges calls by it.
    mutable std::mutex accountsLock_;
    std::shared_ptr<const AccountList> accounts_;
    TokenSeal seal_;
    // Floods of calls would say each of these once a call.
    ThrottledLine refusedCodes_, unsentCodes_, refusedSignIns_, refusedRefreshes_, refusedHosts_, storeFailed_;
};

// The limits on account calls counted in memory, on the network thread,
// before a call waits for the store: a caller over its share is answered
// at once and costs the store nothing. What instances sharing a database
// must agree on (codes asked, sign-ins tried) is counted in the store
// again, for the calls that pass.
//
// Each call is also given its lane of the store queue, and the places it
// may hold there. Calls with a token this relay sealed (TokenSeal: of an
// account signed in at any instance, before or after a restart) and the
// links of computers whose room the store said is registered, with the
// service's own work, take the first lane, which no other lane can fill,
// each sign-in's calls and each room's links holding at most a few places.
// A sign-in for a code asked here takes the second lane; a sign-in for a
// code this instance never sent (asked through another instance, or a
// guess) the third; a call whose token bears no seal (made up, or handed
// out before tokens were sealed) and a link for a room not known to be
// registered the fourth; a code request the fifth, so that it never waits
// behind sign-ins. What may come from anyone without an account holds at
// most a few places per client network (IPv4 address, IPv6 /64, /56 and
// /48) and per sign-in code, and a sign-in for a code asked here as many
// again under the network that asked for the code: codes asked from a few
// networks hold a few networks' places, from however many networks they
// are tried. Within a lane, the queue serves the networks in turn (the
// one that asked the code, for a sign-in), so that a flood from some
// networks delays no one else by more than a turn of each. A code that
// can no longer sign anyone in is answered from memory while the store
// says no new code was asked for its address and login, which is asked
// again for all such codes at once, at most every few seconds each.
// Addresses not on the operator's list are refused a code and a sign-in
// at once.
class AccountGate {
public:
    enum StoreLane : std::size_t { knownLane = 0, signInLane = 1, strangerLane = 2, unprovenLane = 3, codeLane = 4 };
    // The store queue's lanes past the first, for a queue of `maxWaiting`.
    static std::vector<WorkLane> storeLanes(std::size_t maxWaiting);

    struct Pass {
        std::optional<AccountAnswer> refusal;  // answered at once
        std::size_t lane = knownLane;
        // What the call was counted under.
        std::vector<std::pair<RateWindow*, std::string>> counted = {};
        // The places it holds until it is answered.
        std::vector<std::string> places = {};
        // The sign-in code a verify tried ("address login"), whose verdict
        // its answer tells.
        std::string code = {};
        // Whose turn it takes in its lane of the store queue: its network,
        // or the network that asked for the code it tries.
        std::string turn = {};
        // What the store last said of the code, a while ago: the call
        // waits for the store to say whether a new code was asked since
        // (awaitVerdict).
        std::optional<nlohmann::json> stale = {};
    };

    // `seal`: the store's (RelayStore::sealKey). `maxClients`: the keys
    // each count holds (see RateWindow). `accounts`: who may sign in.
    AccountGate(WallClock now, RelayLog log, bool mailConfigured, std::string seal,
                std::size_t maxClients = RelayLimits::maxCountedClients, AccountList accounts = {});
    Pass check(const AccountCall& call);
    // A device's ticket: refused at once when sealed and expired (401).
    Pass checkTicket(const std::string& ticket, const std::vector<std::string>& networks);
    // A computer's link for `room`.
    Pass checkLink(const std::string& room, const std::vector<std::string>& networks);
    bool knowsRoom(const std::string& room) const { return rooms_.find(room) != nullptr; }
    // A link for a room not known here waits for the store's list of the
    // rooms registered lately (a computer registered through another
    // instance a moment ago), one question at a time for all such links,
    // each network holding a few places in the wait: `ask` when the
    // caller is to ask the store now, `wait` when `then` is called once an
    // answer asked after it came, `judge` when the link is over its
    // network's share and is judged at once.
    enum class StoreWait { ask, wait, judge };
    StoreWait awaitRooms(const std::vector<std::string>& networks, std::function<void()> then);
    // The store's list of rooms registered lately, or nothing: the links
    // that waited for it are judged. True when others came meanwhile and
    // the store is to be asked again.
    bool roomsAnswered(const std::optional<std::vector<std::string>>& rooms);
    // Rooms the store says are registered (newest first).
    void knowRooms(const std::vector<std::string>& rooms);
    // A verify whose code's verdict is stale waits, off the queue, for one
    // question to the store about every such code (RelayAccounts::deadCodes),
    // each network holding a few places in the wait: `ask` when the caller
    // is to ask now (verdictQuestion), `wait` when `then` is called once an
    // answer asked after it came (false: the store gave none), `judge` when
    // the wait is full for its network and the verify is answered from
    // what the gate knows.
    StoreWait awaitVerdict(const Pass& pass, const std::vector<std::string>& networks, std::function<void(bool)> then);
    // The codes the question to ask now is about.
    const std::vector<std::string>& verdictQuestion() const { return checking_; }
    // The store's answer to verdictQuestion (one for each code), or
    // nothing: the verifies that waited are judged again. True when others
    // came meanwhile and the store is to be asked again.
    bool verdictsAnswered(const std::optional<std::vector<std::optional<nlohmann::json>>>& answers);
    // Every call that passed comes back with its answer, or with nothing
    // when the store could not give one: its places are free again, and a
    // call the relay could not serve (the store failed or had no room for
    // it) is not held against its caller.
    void answered(const Pass& pass, const std::optional<AccountAnswer>& answer);
    // A link's admission came back: its room is registered (0) or not
    // (410); nothing when the store could not say.
    void linkAnswered(const Pass& pass, const std::string& room, std::optional<int> status);
    // Forgets the counts whose window has ended.
    void purge();
    // The operator's list read again: from the next call on.
    void setAccounts(AccountList accounts) { accounts_ = std::move(accounts); }

private:
    std::int64_t seconds() const;
    Pass refused(std::int64_t wait, const std::string& why);
    Pass notInvited(const std::string& what);
    std::function<void(std::size_t)> full(const std::string& what);
    void giveBack(const Pass& pass);
    // Holds a place under each claim and each of the call's networks, or
    // answers try-later at once.
    bool hold(Pass& pass, std::vector<HeldPlaces::Claim> claims, const std::vector<std::string>& networks,
              const std::string& what);
    // A call with a token: its lane and places by the token's seal.
    void placeToken(Pass& pass, TokenKind kind, const std::string& token, const std::vector<std::string>& networks,
                    const std::string& what, std::optional<AccountAnswer> expired);

    WallClock now_;
    RelayLog log_;
    bool mailConfigured_;
    TokenSeal seal_;
    AccountList accounts_;
    RateWindow callsPerClient_;
    RateWindow codesPerClient_;
    RateWindow codesPerAddress_;
    RateWindow verifiesPerClient_;
    // Who asked here for each sign-in code, while the code may live.
    struct Asker {
        std::vector<std::string> networks;
        std::int64_t until = 0;  // seconds
    };
    Forgetful<Asker> askers_;
    HeldPlaces places_;
    CodeVerdicts verdicts_;
    Forgetful<bool> rooms_;
    struct Waiter {
        std::vector<std::string> places;
        std::function<void(bool answered)> then;
    };
    // One question to the store at a time for everyone waiting on it: those
    // the question in flight answers, and those that came after it, whom
    // the next question answers.
    struct StoreQuestion {
        std::vector<Waiter> asked, next;
        bool asking = false;
        StoreWait join(Waiter waiter);
        // Frees the places of those it answered and calls them; true when
        // those that came meanwhile are to be asked for now.
        bool answered(HeldPlaces& places, bool answer);
    };
    // Places in a wait for the store, or judge at once when the caller's
    // networks hold theirs already.
    std::optional<Waiter> waitPlaces(const std::string& wait, std::size_t most, const std::vector<std::string>& networks,
                                     std::function<void(bool answered)> then);
    StoreQuestion roomsAsked_, verdictsAsked_;
    // The codes each question of stale verdicts is about.
    std::vector<std::string> checking_, toCheck_;
    ThrottledLine refusals_, uninvited_;
};

// Hands an account call to the store queue as the server does: the gate's
// refusal at once, else the accounts' answer from the call's lane (after
// the store was asked about a stale verdict, for a verify), or "try-later"
// when the store could not take it in time. On the network thread; `done`
// there too.
void queueAccountCall(AccountGate& gate, WorkQueue& store, RelayAccounts& accounts, AccountCall call,
                      std::function<void(AccountAnswer)> done);
// Judges a computer's link as the server does: from the room's lane, or
// "try-later" (503) when the store could not judge it in time. On the
// network thread; `done` there too.
void queueHostAdmission(AccountGate& gate, WorkQueue& store, RelayAccounts& accounts, const std::string& room,
                        const std::string& hello, const std::vector<std::string>& networks,
                        std::function<void(HostAdmission)> done);
// Judges a device's ticket as the server does: the gate's refusal at once,
// else the accounts' admission from the ticket's lane, or "try-later" when
// the store could not give it in time. On the network thread; `done` there
// too.
void queueDeviceAdmission(AccountGate& gate, WorkQueue& store, RelayAccounts& accounts, const std::string& room,
                          const std::string& ticket, const std::vector<std::string>& networks,
                          std::function<void(DeviceAdmission)> done);
// The answer to a call the store queue could not take.
AccountAnswer storeTryLater();

// The address rules the host applies before it asks for a code: trimmed,
// lower-cased, printable ASCII, one "@", a dotted local part and a domain
// of at least two labels. Absent when the text is no such address.
std::optional<std::string> normalizeAddress(const std::string& text);
// The session a token (access, refresh or ticket) was handed out under, or
// "" for text of another shape.
std::string tokenSession(const std::string& token);

}  // namespace morvane::relay_service
