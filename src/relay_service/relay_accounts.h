// The account interface: sign-in codes, tokens, the account's computers,
// and the checks that admit a host's link and a device's socket. Pure
// logic over the store and an injected clock, called on the store queue
// only (every call may wait on the database): the server hands it routed
// calls there and sends the e-mail it asks for on the mail queue.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "core/clock.h"
#include "core/types.h"
#include "relay_service/rate_window.h"
#include "relay_service/relay_log.h"
#include "relay_service/relay_route.h"
#include "relay_service/relay_store.h"

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
    RelayAccounts(RelayStore& store, Hooks hooks, bool mailConfigured);

    // Answers one routed account call; a code request that passed every
    // check comes back with a delivery and no answer yet.
    AccountAnswer handle(const AccountCall& call);
    // The delivery's outcome: error is absent when the code went out.
    AccountAnswer delivered(const CodeDelivery& delivery, const std::optional<std::string>& error);

    // The host link's upgrade: the room must be registered and the hello
    // header signed by its key, fresh and not seen before.
    HostAdmission admitHost(const std::string& room, const std::string& helloHeader);
    // A device's socket: spends the ticket when it opens this room.
    DeviceAdmission admitDevice(const std::string& room, const std::string& ticket);

    // Forgets what has expired in the store (codes, tokens, nonces,
    // sign-outs) and the rate counts.
    void purge();

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

    RelayStore& store_;
    Hooks hooks_;
    bool mailConfigured_;
    // The code limits are counted in the store, for every instance sharing
    // it; the other calls here, per instance.
    RateWindow callsPerClient_;
};

// The address rules the host applies before it asks for a code: trimmed,
// lower-cased, printable ASCII, one "@", a dotted local part and a domain
// of at least two labels. Absent when the text is no such address.
std::optional<std::string> normalizeAddress(const std::string& text);
// The session a token (access, refresh or ticket) was handed out under, or
// "" for text of another shape.
std::string tokenSession(const std::string& token);

}  // namespace morvane::relay_service
