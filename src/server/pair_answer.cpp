#include "server/pair_answer.h"

namespace morvane {

PairAnswer PairAnswer::of(const DeviceStore::PairOutcome& outcome) {
    if (auto paired = std::get_if<pair_outcome::Paired>(&outcome))
        return {pair_attempt::Paired{paired->device.name}, 200,
                {{"deviceId", paired->device.id}, {"token", paired->token}}};
    if (auto notSaved = std::get_if<pair_outcome::NotSaved>(&outcome))
        return {pair_attempt::NotSaved{notSaved->reason}, 503, {{"error", std::string(PairAnswer::notSaved)}}};
    PairAttempt attempt = pair_attempt::WrongCode{};
    if (std::holds_alternative<pair_outcome::Closed>(outcome)) attempt = pair_attempt::Closed{};
    return {attempt, 403, {{"error", std::string(refusal)}}};
}

}  // namespace morvane
