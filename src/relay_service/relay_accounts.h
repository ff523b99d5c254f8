// The account interface: sign-in codes, tokens, the account's computers,
// and the checks that admit a host's link and a device's socket. Pure
// logic over the store and an injected clock, called on the store queue
// only (every call may wait on the database): the server hands it routed
// calls there, once its gate (account_gate.h, on the network thread) has
// let them through, and sends the e-mail it asks for on the mail queue.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <utility>
#include <variant>
#include <vector>

#include <nlohmann/json.hpp>

#include "core/clock.h"
#include "core/types.h"
#include "relay_service/account_list.h"
#include "relay_service/gate_memory.h"
#include "relay_service/relay_limits.h"
#include "relay_service/relay_log.h"
#include "relay_service/relay_route.h"
#include "relay_service/relay_store.h"
#include "relay_service/token_seal.h"

namespace morvane::relay_service {

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

// What the gate knew of a code request or a sign-in.
struct CodeAsk {
    // The call comes from a network the address signed in from, whose codes
    // and tries for it are the owner's own.
    bool atHome = false;
    // The code goes out in a mail of its own; otherwise it is the newest
    // code mailed to the address from here, while that lives, or none.
    bool mailed = true;
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
    // check comes back with a delivery and no answer yet, unless it is
    // given the newest code mailed to the address (`ask`, from the gate).
    AccountAnswer handle(const AccountCall& call, CodeAsk ask = {});
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
    // Whether the account is on the list in force: its access tokens,
    // tickets and computers' links are refused from the moment it is not,
    // however long they had to live. Throws RelayStoreError.
    bool listed(const std::string& userId);

private:
    // `network`: the widest the caller is counted under.
    AccountAnswer code(const nlohmann::json& body, const std::string& client, const std::string& network, CodeAsk ask);
    AccountAnswer verify(const nlohmann::json& body, const std::string& client, const std::string& network, CodeAsk ask);
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
    // The newest code mailed to each address from here, while it lives:
    // given again to a code asked past the address's mails. On the store
    // queue, as every call.
    struct Mailed {
        std::string digits;
        std::int64_t expiresAt = 0;
    };
    Forgetful<Mailed> mailed_;
    // Floods of calls would say each of these once a call.
    ThrottledLine refusedCodes_, unsentCodes_, givenAgain_, mailBound_, refusedSignIns_, refusedRefreshes_, refusedHosts_, storeFailed_;
};

// The session a token (access, refresh or ticket) was handed out under, or
// "" for text of another shape.
std::string tokenSession(const std::string& token);

}  // namespace morvane::relay_service
