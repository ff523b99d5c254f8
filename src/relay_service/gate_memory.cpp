#include "relay_service/gate_memory.h"

#include "relay/relay_words.h"

namespace morvane::relay_service {

std::optional<std::string> HeldPlaces::take(const std::vector<Claim>& claims) {
    for (const auto& claim : claims) {
        const auto it = held_.find(claim.key);
        if (it != held_.end() && it->second >= claim.most) return claim.key;
    }
    for (const auto& claim : claims) ++held_[claim.key];
    return std::nullopt;
}

void HeldPlaces::release(const std::vector<std::string>& keys) {
    for (const auto& key : keys) {
        const auto it = held_.find(key);
        if (it == held_.end()) continue;
        if (--it->second <= 0) held_.erase(it);
    }
}

int HeldPlaces::held(const std::string& key) const {
    const auto it = held_.find(key);
    return it == held_.end() ? 0 : it->second;
}

std::optional<CodeVerdicts::Told> CodeVerdicts::told(const std::string& code, std::int64_t nowMillis) const {
    const auto* verdict = verdicts_.find(code);
    if (!verdict) return std::nullopt;
    // The clock stepping back is no reason to believe a verdict longer.
    const bool fresh = nowMillis >= verdict->at && nowMillis - verdict->at < trust_;
    return Told{verdict->body, !fresh};
}

void CodeVerdicts::confirm(const std::string& code, const std::optional<nlohmann::json>& body, std::int64_t nowMillis) {
    if (!body) return forget(code);
    // Only a verdict still kept: one forgotten meanwhile (a code asked
    // here) is not brought back.
    if (verdicts_.find(code)) verdicts_.put(code, Verdict{*body, nowMillis});
}

void CodeVerdicts::learn(const std::string& code, int status, const nlohmann::json& body, std::int64_t nowMillis) {
    if (status == 200) {
        // Signed in with: the code is gone, as the store will say of it.
        verdicts_.put(code, Verdict{{{"error", RelayError::invalidCode}}, nowMillis});
    } else if (status == 400 && body.value("error", "") == RelayError::invalidCode) {
        const auto tries = body.find(RelayCodeRefusal::triesLeft);
        if (tries != body.end() && !(tries->is_number_integer() && tries->get<int>() == 0)) return forget(code);
        verdicts_.put(code, Verdict{body, nowMillis});
    }
}

}  // namespace morvane::relay_service
