// The gate in front of the store queue for account calls, computers'
// links and devices' tickets: on the network thread, it answers at once
// what it can answer from memory, counts each stranger's calls, and gives
// every call that passes its lane and turn of the store queue and the
// places it may hold there. Not thread-safe: the network thread only.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include <nlohmann/json.hpp>

#include "core/clock.h"
#include "relay_service/account_list.h"
#include "relay_service/address_codes.h"
#include "relay_service/gate_memory.h"
#include "relay_service/limit_table.h"
#include "relay_service/network_allowance.h"
#include "relay_service/rate_window.h"
#include "relay_service/relay_accounts.h"
#include "relay_service/relay_limits.h"
#include "relay_service/relay_log.h"
#include "relay_service/relay_route.h"
#include "relay_service/stranger_budget.h"
#include "relay_service/token_seal.h"
#include "relay_service/work_queue.h"

namespace morvane::relay_service {

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
// A newcomer's sign-in takes the second lane: a code asked from a network
// that has asked little of late, and the first tries of such a code from
// the network that asked for it. The lane is small, and when it is full a
// call takes the place of one whose network asked more (rank), so a
// stranger spread over many networks, who keeps asking from each, leaves
// newcomers their place; a provider's fresh /48s weigh as one asker at its
// /32 (NetworkScale), so they are not many newcomers. A person's code
// requests from a network they signed in from, and their tries of such a
// code from there, take the first lane: no stranger's calls are ahead of
// them. A stranger's other tries take the third lane; a
// call whose token bears no seal (made up, or handed out before tokens were
// sealed) and a link for a room not known to be registered the fourth; a
// stranger's other code requests the fifth. The third and fifth lanes'
// calls share a part of the store's time in all (StrangerBudget), however
// many networks they come from; past it they are told to try again soon.
// What may come from anyone without an account holds at most a few places
// per client network (IPv4 address, IPv6 /64, /56 and /48) and per sign-in
// code, and a try of a code asked here as many again under the network
// that asked for the code. Within a lane, the queue serves the networks in
// turn. Every code request and sign-in counts against its network's
// allowance before anything else is asked (NetworkAllowance), so a network
// past it hears "try later" whatever the address; codes for one address
// are counted per asking network, and mailed to it only so often
// (AddressCodes). Away from an address's homes, each network has a few
// guesses a day at its codes, its own, never the owner's. Every limit here
// is a row of one table (LimitTable), walked in order: the counts, then
// the places in the store queue, then the strangers' share of the store,
// so that a refusal gives back what the rows before it took, in one place;
// the network a call is asked from is NetworkScale::asking, for the rows
// and the store's counts alike. A code that can no
// longer sign anyone in is answered from memory while the store says no
// new code was asked for its address and login, which is asked again for
// all such codes at once, at most every few seconds each.
// Addresses not on the operator's list are refused a code and a sign-in
// at once.
class AccountGate {
public:
    enum StoreLane : std::size_t { knownLane = 0, signInLane = 1, strangerLane = 2, unprovenLane = 3, codeLane = 4 };
    // The store queue's lanes past the first, for a queue of `maxWaiting`;
    // `rank` ranks the newcomers' turns (see rank()).
    static std::vector<WorkLane> storeLanes(std::size_t maxWaiting,
                                            std::function<int(const std::string& turn)> rank = {});
    // A network's sign-in calls in the window, by its scale: a newcomer has
    // made one or two, a stranger spread over many networks keeps asking
    // from each. In a full lane of newcomers, a newcomer's call takes the
    // place of a call of a network that asked more.
    int rank(const std::string& network) const { return signInAsks_.rank(network, seconds()); }

    struct Pass {
        std::optional<AccountAnswer> refusal;  // answered at once
        std::size_t lane = knownLane;
        // What it took of the table's rows (counts, its places in the store
        // queue, the store's share for strangers), and of the counts what
        // counts a mail.
        Taken taken = {};
        Counted mail = {};
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
        // A verify: the address it signs in and the network it comes from.
        std::string address = {};
        std::string home = {};
        // What the accounts are told of a sign-in call.
        CodeAsk ask = {};
    };

    // `seal`: the store's (RelayStore::sealKey). `maxClients`: the keys
    // each count holds (see RateWindow). `accounts`: who may sign in.
    AccountGate(WallClock now, RelayLog log, bool mailConfigured, std::string seal,
                std::size_t maxClients = RelayLimits::maxCountedClients, AccountList accounts = {});
    // Its table of limits reads its own counts.
    AccountGate(const AccountGate&) = delete;
    AccountGate& operator=(const AccountGate&) = delete;
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
    // `spentMillis`: what the call cost the store.
    void answered(const Pass& pass, const std::optional<AccountAnswer>& answer,
                  std::optional<std::int64_t> spentMillis = std::nullopt);
    // A link's admission came back: its room is registered (0) or not
    // (410); nothing when the store could not say.
    void linkAnswered(const Pass& pass, const std::string& room, std::optional<int> status);
    // Forgets the counts whose window has ended.
    void purge();
    // The clock the gate judges by, to time the store's work.
    const WallClock& clock() const { return now_; }
    // The operator's list read again: from the next call on.
    void setAccounts(AccountList accounts) { accounts_ = std::move(accounts); }

private:
    std::int64_t seconds() const;
    // The rows that bound calls, in the order they are walked.
    std::vector<Limit> limits();
    // Walks the table for `asking`: false, with the pass a refusal, when a
    // row refused it.
    bool admit(Pass& pass, const Asking& asking, const std::string& what);
    Pass notInvited(const std::string& what);
    std::function<void(std::size_t)> full(const std::string& what);
    // A call with a token: its lane and places by the token's seal; the
    // refusal of an expired token when it is one.
    std::optional<AccountAnswer> placeToken(Pass& pass, Asking& asking, TokenKind kind, const std::string& token,
                                            std::optional<AccountAnswer> expired);

    WallClock now_;
    RelayLog log_;
    bool mailConfigured_;
    TokenSeal seal_;
    AccountList accounts_;
    RateWindow callsPerClient_;
    RateWindow codesPerClient_;
    AddressCodes addressCodes_;
    RateWindow verifiesPerClient_;
    RateWindow guessesAway_;
    NetworkAllowance signInAsks_;
    HeldPlaces places_;
    StrangerBudget budget_;
    LimitTable limits_;
    // Who asked here for each sign-in code, while the code may live.
    struct Asker {
        std::vector<std::string> networks;
        // NetworkScale::asking of them.
        std::string network;
        std::int64_t until = 0;  // seconds
        // Tries from the network that asked, served as a newcomer's.
        int triesAhead = 0;
        // Asked from a network the address signed in from: its tries from
        // there are its owner's.
        bool home = false;
    };
    Forgetful<Asker> askers_;
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
    ThrottledLine refusals_, uninvited_, budgetSpent_;
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

}  // namespace morvane::relay_service
