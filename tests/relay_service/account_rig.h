// The account interface on a manual clock and an in-memory store, with
// computers that sign their requests as the host does.
#pragma once

#include <map>
#include <set>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "core/secure.h"
#include "memory_store.h"
#include "relay/relay_bytes.h"
#include "relay/relay_identity.h"
#include "relay_service/account_gate.h"

namespace morvane::relay_service::testing {

using json = nlohmann::json;

inline RelayIdentity newComputer() { return RelayIdentity{P256PrivateKey::generate(), P256PrivateKey::generate(), 0}; }

// The body the host's account client sends to register or remove.
inline json signedBody(const RelayIdentity& computer, const std::string& userId, std::uint64_t ts, const Bytes& nonce,
                       bool registering, const std::string& name = "Study desk") {
    json body{{"public_key", computer.hostPublicKeyText()}, {"ts", ts}, {"nonce", RelayBytes::b64u(nonce)}};
    if (registering) {
        body["name"] = name;
        body["sig"] = computer.registerProof(userId, ts, nonce);
    } else {
        body["sig"] = computer.removeProof(ts, nonce);
    }
    return body;
}

// A request routed as the server routes it and answered by `accounts`; a
// refusal of the route's is answered as the server answers it.
inline AccountAnswer answerRequest(RelayAccounts& accounts, const RelayRequest& request,
                                   const std::string& client = "198.51.100.7") {
    auto routed = routeRelay(request);
    if (const auto* refusal = std::get_if<relay_route::Refusal>(&routed))
        return AccountAnswer{refusal->status, json{{"error", refusal->word}}, std::nullopt};
    auto& call = std::get<relay_route::Account>(routed).call;
    call.client = client;
    return accounts.handle(call);
}

// Routes an account call as the page sends it, JSON body and bearer, for the route to read while the
// strings it points into are alive.
template <typename Use>
auto withJsonRequest(const std::string& method, const std::string& path, const json& body,
                     const std::string& bearer, Use use) {
    const auto authorization = bearer.empty() ? std::string() : "Bearer " + bearer;
    const auto text = body.is_null() ? std::string() : body.dump();
    RelayRequest request;
    request.method = method;
    request.target = path;
    request.contentType = "application/json";
    request.authorization = authorization;
    request.body = text;
    return use(request);
}

inline AccountAnswer answerCall(RelayAccounts& accounts, const std::string& method, const std::string& path,
                                const json& body, const std::string& bearer = "",
                                const std::string& client = "198.51.100.7") {
    return withJsonRequest(method, path, body, bearer,
                           [&](const RelayRequest& request) { return answerRequest(accounts, request, client); });
}

struct AccountRig {
    // `allowed`: who may sign in (anyone by default).
    explicit AccountRig(AccountList allowed = {}) : allowed(std::move(allowed)) {}

    AccountList allowed;
    MemoryStore store;
    std::int64_t nowMillis = 1'800'000'000'000;
    std::vector<std::string> logs;
    std::vector<std::string> removedRooms;
    std::set<std::string> onlineRooms;
    std::vector<std::string> signedOutSessions;
    RelayAccounts accounts{store,
                           RelayAccounts::Hooks{[this] { return nowMillis; },
                                                [this](const std::string& line) { logs.push_back(line); },
                                                [this](const std::string& room) { return onlineRooms.contains(room); },
                                                [this](const std::string& room) { removedRooms.push_back(room); },
                                                [this](const std::string& session) { signedOutSessions.push_back(session); }},
                           true, allowed};

    std::int64_t seconds() const { return nowMillis / 1000; }
    void advance(std::int64_t secondsLater) { nowMillis += secondsLater * 1000; }

    AccountAnswer call(const std::string& method, const std::string& path, const json& body,
                       const std::string& bearer = "", const std::string& client = "198.51.100.7") {
        return answerCall(accounts, method, path, body, bearer, client);
    }
    AccountAnswer post(const std::string& path, const json& body, const std::string& bearer = "",
                       const std::string& client = "198.51.100.7") {
        return call("POST", path, body, bearer, client);
    }

    // Asks for a code and delivers it: the code, or "" when refused.
    std::string requestCode(const std::string& email, const std::string& login = "login-1",
                            const std::string& client = "198.51.100.7") {
        auto answer = post("/v1/auth/code", json{{"email", email}, {"login_id", login}}, "", client);
        if (!answer.delivery) return "";
        const auto done = accounts.delivered(*answer.delivery, std::nullopt);
        return done.status == 200 ? answer.delivery->code : "";
    }

    // A whole sign-in; the verify answer's body.
    json signIn(const std::string& email, const std::string& client = "mac", const std::string& login = "login-1") {
        const auto code = requestCode(email, login);
        const auto answer =
            post("/v1/auth/verify", json{{"email", email}, {"login_id", login}, {"code", code}, {"client", client}});
        return answer.status == 200 ? answer.body : json();
    }

    AccountAnswer registerComputer(const RelayIdentity& computer, const json& session,
                                   const std::string& name = "Study desk") {
        return post("/v1/hosts",
                    signedBody(computer, session["user"]["id"], static_cast<std::uint64_t>(seconds()),
                               Secure::randomBytes(16), true, name),
                    session["access_token"]);
    }

    std::string ticketFor(const std::string& room, const json& session) {
        const auto answer = post("/v1/hosts/" + room + "/ticket", json::object(), session["access_token"]);
        return answer.status == 200 ? answer.body["ticket"].get<std::string>() : "";
    }
};

}  // namespace morvane::relay_service::testing
