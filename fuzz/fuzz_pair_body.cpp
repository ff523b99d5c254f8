// The body of a pairing request, read as the server reads it, against a
// store whose pairing window is open. The code a device types pairs exactly
// when it normalises to the code shown; normalising and cleaning a name are
// idempotent; a paired device is stored under its cleaned name and its token
// validates afterwards. The shown code typed the way people type it (lower
// case, a hyphen, spaces) with the fuzzed name must always pair.
#include <cctype>
#include <variant>

#include <nlohmann/json.hpp>

#include "fuzz_support.h"
#include "devices/device_store.h"
#include "../tests/devices/test_support.h"

using namespace morvane;
using morvane::fuzz::require;

namespace {

void checkPaired(DeviceStore& store, testing::MemoryStorage& storage, const pair_outcome::Paired& paired,
                 std::string_view name) {
    require(paired.device.name == DeviceStore::clean(name));
    require(paired.token.size() == 64);
    const auto stored = DeviceStore::decode(*storage.stored);
    require(stored && stored->size() == 1 && stored->front().name == paired.device.name);
    require(store.validate(paired.token).has_value());
    require(!store.pairingWindowOpen());  // one code pairs one browser
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const auto body = nlohmann::json::parse(data, data + size, nullptr, false);
    if (body.is_discarded() || !body.is_object()) return 0;
    const auto codeField = body.find("code");
    if (codeField == body.end() || !codeField->is_string()) return 0;
    const std::string code = codeField->get<std::string>();
    std::string name;
    if (const auto n = body.find("name"); n != body.end() && n->is_string()) name = n->get<std::string>();

    const std::string normalized = DeviceStore::normalize(code);
    require(DeviceStore::normalize(normalized) == normalized);
    const std::string cleaned = DeviceStore::clean(name);
    require(!cleaned.empty() && DeviceStore::clean(cleaned) == cleaned);

    auto storage = std::make_shared<testing::MemoryStorage>();
    DeviceStore store(storage);
    store.setClock([] { return std::int64_t{1'780'000'000'000}; });
    const std::string shown = store.openPairingWindow();
    require(DeviceStore::normalize(shown) == shown);

    const auto outcome = store.attemptPair(code, name);
    if (const auto* paired = std::get_if<pair_outcome::Paired>(&outcome)) {
        require(normalized == shown);
        checkPaired(store, *storage, *paired, name);
        return 0;
    }
    require(std::holds_alternative<pair_outcome::WrongCode>(outcome) && normalized != shown);

    std::string typed;
    for (std::size_t i = 0; i < shown.size(); ++i) {
        if (i == shown.size() / 2) typed += " - ";
        typed += static_cast<char>(std::tolower(static_cast<unsigned char>(shown[i])));
    }
    const auto again = store.attemptPair(typed, name);
    const auto* paired = std::get_if<pair_outcome::Paired>(&again);
    require(paired != nullptr);
    checkPaired(store, *storage, *paired, name);
    return 0;
}
