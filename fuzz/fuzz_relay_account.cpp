// The account client's answer reading over arbitrary bodies: the first two
// bytes give the status. Reading never throws; a success carries a JSON
// object from a body within the limit, a refusal keeps the status, and a
// session taken from an answer keeps every limit it is checked against.
#include <span>

#include "fuzz_support.h"
#include "relay/relay_account.h"

using namespace morvane;
using morvane::fuzz::require;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 2) return 0;
    const int status = 100 + ((data[0] << 8) | data[1]) % 500;
    std::optional<Bytes> body;
    if (size > 2) body = Bytes(data + 2, data + size);
    const auto result = RelayAccount::read(status, body);
    const bool success = status >= 200 && status <= 299;
    if (const auto* object = std::get_if<nlohmann::json>(&result)) {
        require(success && object->is_object() && body && body->size() <= RelayAccount::maxAnswerBytes);
        if (const auto session = RelayAccount::session(*object, "owner@example.com")) {
            require(!session->accessToken.empty() && session->accessToken.size() <= 4'096);
            require(!session->refreshToken.empty() && session->refreshToken.size() <= 512);
            require(RelayAccount::isUserId(session->userId));
            require(RelayAccount::normalizeEmail(session->email) == session->email);
        }
    } else {
        const auto& failure = std::get<RelayAccountFailure>(result);
        if (success)
            require(failure.kind == RelayAccountFailure::Kind::badAnswer);
        else
            require(failure.kind == RelayAccountFailure::Kind::refused && failure.status == status);
    }
    return 0;
}
