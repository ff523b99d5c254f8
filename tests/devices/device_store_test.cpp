#include "devices/device_store.h"

#include <gtest/gtest.h>

#include <atomic>
#include <nlohmann/json.hpp>
#include <thread>

#include "core/loop_executor.h"
#include "core/secure.h"
#include "devices/file_device_storage.h"
#include "test_support.h"

namespace morvane {
namespace {

using testing::bytes;
using testing::MemoryStorage;
namespace po = pair_outcome;

constexpr std::int64_t start = 1'772'356'502'000;  // 2026-03-01T09:15:02Z

struct Fixture {
    std::shared_ptr<MemoryStorage> storage = std::make_shared<MemoryStorage>();
    std::atomic<std::int64_t> now{start};
    // Outlives the store, as the program's queues outlive their components.
    LoopExecutor saves{"saves"};
    std::unique_ptr<DeviceStore> store;

    explicit Fixture(bool background = false) { open(background); }
    void open(bool background = false) {
        store = std::make_unique<DeviceStore>(storage, background ? &saves : nullptr);
        store->setClock([this] { return now.load(); });
    }
    std::vector<PairedDevice> stored() {
        std::lock_guard g(storage->m);
        if (!storage->stored) return {};
        return DeviceStore::decode(*storage->stored).value();
    }
    po::Paired pairNew(const std::string& name) {
        auto code = store->openPairingWindow();
        auto outcome = store->attemptPair(code, name);
        return std::get<po::Paired>(outcome);
    }
};

Bytes relayKey(std::uint8_t first, std::uint8_t fill) {
    Bytes key(DeviceStore::relayKeyBytes, fill);
    key[0] = first;
    return key;
}

std::string lowerWithDashes(const std::string& code) {
    std::string out;
    for (std::size_t i = 0; i < code.size(); ++i) {
        if (i == 4) out += " - ";
        out += static_cast<char>(std::tolower(static_cast<unsigned char>(code[i])));
    }
    return out + "\n";
}

TEST(DeviceStore, PairingHandsOutATokenOnceAndKeepsOnlyItsHash) {
    Fixture f;
    auto code = f.store->openPairingWindow();
    ASSERT_EQ(code.size(), 8u);
    for (char c : code) EXPECT_NE(DeviceStore::codeAlphabet.find(c), std::string_view::npos) << code;
    EXPECT_TRUE(f.store->pairingWindowOpen());

    auto outcome = f.store->attemptPair(lowerWithDashes(code), "  Anna's\tiPad\x07 ");
    auto* paired = std::get_if<po::Paired>(&outcome);
    ASSERT_NE(paired, nullptr);
    EXPECT_EQ(paired->token.size(), 64u);
    EXPECT_EQ(paired->token.find_first_not_of("0123456789abcdef"), std::string::npos);
    EXPECT_EQ(paired->device.id.size(), 16u);
    EXPECT_EQ(paired->device.name, "Anna'siPad");
    EXPECT_EQ(paired->device.tokenHash, Secure::sha256Hex(paired->token));
    EXPECT_EQ(paired->device.pairedAt, start / 1000);
    EXPECT_FALSE(paired->device.lastSeen);
    EXPECT_FALSE(f.store->pairingWindowOpen()) << "one code pairs one browser";

    auto saved = f.stored();
    ASSERT_EQ(saved.size(), 1u);
    EXPECT_EQ(saved[0], paired->device);
    std::string text(f.storage->stored->begin(), f.storage->stored->end());
    EXPECT_EQ(text.find(paired->token), std::string::npos) << "the token itself is never stored";

    EXPECT_EQ(f.store->attemptPair(code, "again"), DeviceStore::PairOutcome(po::Closed{}));
    EXPECT_FALSE(f.store->pair(code, "again"));
}

TEST(DeviceStore, FiveWrongCodesCloseTheWindow) {
    Fixture f;
    auto code = f.store->openPairingWindow();
    const DeviceStore::PairOutcome wrong = po::WrongCode{}, closed = po::Closed{};
    for (int i = 0; i < 4; ++i) EXPECT_EQ(f.store->attemptPair("AAAA0000", "x"), wrong);
    EXPECT_TRUE(f.store->pairingWindowOpen());
    EXPECT_EQ(f.store->attemptPair("AAAA0000", "x"), wrong);  // the fifth still answers wrong
    EXPECT_FALSE(f.store->pairingWindowOpen());
    EXPECT_EQ(f.store->attemptPair(code, "x"), closed);  // even the right code

    // A new window replaces the code and starts the count again.
    auto first = f.store->openPairingWindow();
    for (int i = 0; i < 4; ++i) f.store->attemptPair("AAAA0000", "x");
    auto second = f.store->openPairingWindow();
    for (int i = 0; i < 4; ++i) f.store->attemptPair("AAAA0000", "x");
    EXPECT_EQ(f.store->attemptPair(first, "x"), wrong);  // 40 random bits: never the same code
    EXPECT_EQ(f.store->attemptPair(second, "x"), closed) << "the replaced window counted five wrong codes";
    EXPECT_EQ(f.stored().size(), 0u);

    // Symbols outside the alphabet, and a code pushed past the first 64
    // characters, never match.
    auto third = f.store->openPairingWindow();
    std::string withZero = third;
    withZero[0] = '0';
    EXPECT_EQ(f.store->attemptPair(withZero, "x"), wrong);
    EXPECT_EQ(f.store->attemptPair(std::string(64, ' ') + third, "x"), wrong);
    EXPECT_TRUE(f.store->pair(third, "x"));
}

TEST(DeviceStore, TheWindowClosesAtOneHundredAndTwentySeconds) {
    Fixture f;
    auto code = f.store->openPairingWindow();
    f.now = start + 119'900;
    EXPECT_TRUE(f.store->pair(code, "late but in time"));

    code = f.store->openPairingWindow();
    f.now += 120'000;
    EXPECT_FALSE(f.store->pairingWindowOpen());
    EXPECT_EQ(f.store->attemptPair(code, "x"), DeviceStore::PairOutcome(po::Closed{}));

    code = f.store->openPairingWindow();
    f.store->closePairingWindow();
    EXPECT_EQ(f.store->attemptPair(code, "x"), DeviceStore::PairOutcome(po::Closed{}));
}

TEST(DeviceStore, TokenAndIdChecksStampLastSeen) {
    Fixture f;
    auto a = f.pairNew("a");
    auto b = f.pairNew("b");
    f.now = start + 5'000;
    auto seen = f.store->validate(b.token);
    ASSERT_TRUE(seen);
    EXPECT_EQ(seen->id, b.device.id);
    EXPECT_EQ(seen->lastSeen, (start + 5'000) / 1000);
    EXPECT_EQ(f.stored()[1].lastSeen, seen->lastSeen);
    EXPECT_FALSE(f.stored()[0].lastSeen);

    EXPECT_FALSE(f.store->validate(b.device.tokenHash)) << "the hash is not a token";
    EXPECT_FALSE(f.store->validate(""));
    EXPECT_FALSE(f.store->validate(std::string(b.token.begin(), b.token.end() - 1)));

    f.now = start + 9'000;
    auto touched = f.store->touch(a.device.id);
    ASSERT_TRUE(touched);
    EXPECT_EQ(touched->lastSeen, start / 1000 + 9);
    EXPECT_FALSE(f.store->touch("unknown"));
}

TEST(DeviceStore, RelayDevicesAreKnownByTheirKeyAndEnrolledOnce) {
    Fixture f;
    auto key = relayKey(0x04, 0xfb);
    auto first = f.store->enrolRelayDevice(key, "Phone");
    ASSERT_TRUE(first);
    ASSERT_TRUE(first->relayKey);
    EXPECT_EQ(first->relayKey->size(), 87u);
    EXPECT_EQ(first->relayKey->find_first_of("+/="), std::string::npos);
    EXPECT_EQ(*first->relayKey, DeviceStore::base64url(key));
    EXPECT_EQ(first->tokenHash, "");

    f.now = start + 60'000;
    auto again = f.store->enrolRelayDevice(key, "Renamed phone");
    ASSERT_TRUE(again);
    EXPECT_EQ(again->id, first->id);
    EXPECT_EQ(again->name, "Renamed phone");
    EXPECT_EQ(again->pairedAt, first->pairedAt);
    ASSERT_EQ(f.stored().size(), 1u);
    EXPECT_EQ(f.store->relayDevice(key), again);

    // An empty token hash matches no token.
    EXPECT_FALSE(f.store->validate(""));

    auto compressed = relayKey(0x02, 0xfb);
    EXPECT_FALSE(f.store->enrolRelayDevice(compressed, "x"));
    EXPECT_FALSE(f.store->relayDevice(compressed));
    EXPECT_FALSE(f.store->enrolRelayDevice(Bytes(64, 0x04), "x"));
    EXPECT_FALSE(f.store->relayDevice(Bytes(key.begin(), key.end() - 1)));
    EXPECT_EQ(f.stored().size(), 1u);

    EXPECT_EQ(DeviceStore::base64url(bytes("\xfb\xff")), "-_8");
}

TEST(DeviceStore, AnUnreadableListIsNeverOverwritten) {
    Fixture f;
    auto a = f.pairNew("a");
    f.storage->loadError = "cannot read the device file";
    EXPECT_EQ(f.store->reload(), "cannot read the device file");
    EXPECT_EQ(f.store->storageFailure(), "cannot read the device file");
    EXPECT_TRUE(f.store->devices().empty());
    const int saves = f.storage->saves;

    auto code = f.store->openPairingWindow();
    EXPECT_EQ(code.size(), 8u);
    EXPECT_FALSE(f.store->pairingWindowOpen());
    EXPECT_EQ(f.store->attemptPair(code, "x"), DeviceStore::PairOutcome(po::Closed{}));
    EXPECT_FALSE(f.store->validate(a.token));
    EXPECT_FALSE(f.store->touch(a.device.id));
    EXPECT_FALSE(f.store->enrolRelayDevice(relayKey(0x04, 1), "x"));
    f.store->revokeAll();
    f.store->revoke(a.device.id);
    EXPECT_EQ(f.storage->saves, saves);

    f.storage->loadError.reset();
    EXPECT_EQ(f.store->reload(), std::nullopt);
    ASSERT_EQ(f.store->devices().size(), 1u);
    EXPECT_TRUE(f.store->validate(a.token));

    // Bytes that are not a list are a failure too, and stay as they are.
    f.storage->stored = bytes("{\"not\":\"a list\"}");
    EXPECT_EQ(f.store->reload(), "the stored device list is not valid");
    f.store->revokeAll();
    EXPECT_EQ(f.storage->stored, bytes("{\"not\":\"a list\"}"));

    // No item at all is a first start, not a failure.
    f.storage->stored.reset();
    EXPECT_EQ(f.store->reload(), std::nullopt);
}

TEST(DeviceStore, SaveFailuresAreReportedOnceAndTheChangeKeptInMemory) {
    Fixture f;
    auto a = f.pairNew("a");
    EXPECT_TRUE(f.store->enrolRelayDevice(relayKey(0x04, 1), "phone"));
    f.storage->saveError = "cannot write the device file";
    // A rename is kept; a new device is not, as nobody could be told it is in.
    EXPECT_TRUE(f.store->enrolRelayDevice(relayKey(0x04, 1), "phone 2"));
    EXPECT_FALSE(f.store->enrolRelayDevice(relayKey(0x04, 2), "tablet"));
    EXPECT_EQ(f.store->lastSaveFailure(), "cannot write the device file");
    EXPECT_EQ(f.store->devices().size(), 2u);
    EXPECT_EQ(f.store->devices()[1].name, "phone 2");
    f.storage->saveError.reset();
    f.store->revoke("unknown");  // still saves: the whole list
    EXPECT_EQ(f.store->lastSaveFailure(), std::nullopt);
    EXPECT_EQ(f.stored().size(), 2u);

    Fixture g(true);
    std::mutex m;
    std::vector<std::optional<std::string>> told;
    g.store->setOnSaveChange([&](const std::optional<std::string>& text) {
        std::lock_guard lock(m);
        told.push_back(text);
    });
    g.pairNew("b");
    g.storage->saveError = "disk full";
    for (int i = 0; i < 3; ++i) g.store->enrolRelayDevice(relayKey(0x04, static_cast<std::uint8_t>(i)), "r");
    g.store->waitForSaves();
    EXPECT_EQ(g.store->lastSaveFailure(), "disk full");
    g.storage->saveError = "disk on fire";
    g.store->enrolRelayDevice(relayKey(0x04, 9), "r");
    g.store->waitForSaves();
    g.storage->saveError.reset();
    for (int i = 0; i < 20; ++i) g.pairNew("c" + std::to_string(i));
    g.store->waitForSaves();
    EXPECT_EQ(g.store->lastSaveFailure(), std::nullopt);
    {
        std::lock_guard lock(m);
        EXPECT_EQ(told, (std::vector<std::optional<std::string>>{"disk full", "disk on fire", std::nullopt}))
            << "one word per change of outcome, not one per failed save";
    }
    EXPECT_EQ(g.stored(), g.store->devices()) << "background saves land in order";
}

TEST(DeviceStore, BackgroundSavesFinishBeforeReloadResetOrDestruction) {
    Fixture f(true);
    f.pairNew("a");
    f.pairNew("b");
    EXPECT_EQ(f.store->reload(), std::nullopt);
    EXPECT_EQ(f.store->devices().size(), 2u) << "reload must see the saves queued before it";

    f.pairNew("c");
    f.store->resetStorage();
    EXPECT_FALSE(f.storage->stored) << "a queued save must not bring the removed item back";
    EXPECT_TRUE(f.store->devices().empty());

    f.pairNew("d");
    f.store.reset();
    EXPECT_EQ(f.stored().size(), 1u);
}

TEST(DeviceStore, RevokeAndResetChangeOnlyWhatTheySay) {
    Fixture f;
    auto a = f.pairNew("a");
    auto b = f.pairNew("b");
    auto c = f.pairNew("c");
    f.store->revoke(b.device.id);
    auto left = f.store->devices();
    ASSERT_EQ(left.size(), 2u);
    EXPECT_EQ(left[0].id, a.device.id);
    EXPECT_EQ(left[1].id, c.device.id);
    EXPECT_FALSE(f.store->validate(b.token));
    f.store->revokeAll();
    EXPECT_TRUE(f.stored().empty());
    EXPECT_EQ(f.storage->stored, bytes("[]"));

    f.pairNew("d");
    f.storage->removeError = "cannot remove the device file (errno 13)";
    EXPECT_THROW(f.store->resetStorage(), DeviceStorageError);
    EXPECT_EQ(f.store->devices().size(), 1u);
    f.storage->removeError.reset();
    f.store->resetStorage();
    EXPECT_TRUE(f.store->devices().empty());
    EXPECT_FALSE(f.storage->stored);
}

TEST(DeviceStore, ListFormatIsSortedJsonWithWholeSecondDates) {
    PairedDevice one{"0011223344556677", "One", std::string(64, 'a'), start / 1000, std::nullopt, std::nullopt};
    PairedDevice two{"8899aabbccddeeff", "Two", "", start / 1000 + 1, start / 1000 + 3600, "key"};
    auto data = DeviceStore::encode({one, two});
    ASSERT_TRUE(data);
    auto json = nlohmann::ordered_json::parse(data->begin(), data->end());
    ASSERT_TRUE(json.is_array());
    std::vector<std::string> keys;
    for (auto& [k, v] : json[0].items()) keys.push_back(k);
    EXPECT_EQ(keys, (std::vector<std::string>{"id", "name", "pairedAt", "tokenHash"}));
    EXPECT_EQ(json[0]["pairedAt"], "2026-03-01T09:15:02Z");
    EXPECT_EQ(json[1]["lastSeen"], "2026-03-01T10:15:02Z");
    EXPECT_EQ(std::count(data->begin(), data->end(), '\n'), 15) << "one member per line";
    EXPECT_EQ(DeviceStore::decode(*data), (std::vector<PairedDevice>{one, two}));

    auto decodes = [](const std::string& text) { return DeviceStore::decode(bytes(text)).has_value(); };
    const std::string good = R"({"id":"i","name":"n","tokenHash":"h","pairedAt":"2026-03-01T09:15:02Z")";
    EXPECT_TRUE(decodes("[" + good + "}]"));
    EXPECT_TRUE(decodes("[" + good + R"(,"extra":[1,2],"lastSeen":null}])"));
    EXPECT_TRUE(decodes("[]"));
    EXPECT_FALSE(decodes(R"([{"id":"i","name":"n","pairedAt":"2026-03-01T09:15:02Z"}])"));  // no tokenHash
    EXPECT_FALSE(decodes(R"([{"id":"i","name":"n","tokenHash":"h","pairedAt":"2026-03-01T09:15:02.5Z"}])"));
    EXPECT_FALSE(decodes(R"([{"id":"i","name":"n","tokenHash":"h","pairedAt":"2026-02-29T09:15:02Z"}])"));
    EXPECT_FALSE(decodes(R"([{"id":"i","name":"n","tokenHash":"h","pairedAt":"2026-03-01 09:15:02Z"}])"));
    EXPECT_FALSE(decodes(R"([{"id":1,"name":"n","tokenHash":"h","pairedAt":"2026-03-01T09:15:02Z"}])"));
    EXPECT_FALSE(decodes("[" + good + R"(,"lastSeen":5}])"));
    EXPECT_FALSE(decodes("[" + good + R"(,"relayKey":5}])"));
    EXPECT_FALSE(decodes("[" + good + "},1]"));
    EXPECT_FALSE(decodes("{}"));
    EXPECT_FALSE(decodes("[" + good + "}"));
    EXPECT_FALSE(decodes(""));
    EXPECT_FALSE(decodes(std::string(100'000, '[')));
    EXPECT_FALSE(decodes(std::string(100'000, '[') + std::string(100'000, ']')));
    // A member nested deeper than any list is: refused before it is built.
    const auto nested = [](int levels) { return std::string(levels, '[') + std::string(levels, ']'); };
    EXPECT_TRUE(decodes("[" + good + R"(,"extra":)" + nested(14) + "}]"));
    EXPECT_FALSE(decodes("[" + good + R"(,"extra":)" + nested(15) + "}]"));

    EXPECT_EQ(DeviceStore::parseDate("2024-02-29T23:59:59Z"), DeviceStore::parseDate("2024-03-01T00:00:00Z").value() - 1);
    EXPECT_EQ(DeviceStore::formatDate(0), "1970-01-01T00:00:00Z");
    EXPECT_EQ(DeviceStore::formatDate(-1), "1969-12-31T23:59:59Z");
}

// Writing "[]" in place of a list that can't be encoded would unpair every
// device; nothing must be stored instead.
TEST(DeviceStore, AListThatCannotBeEncodedIsNeverStored) {
    PairedDevice broken{"0011223344556677", "bad \xff name", "h", 0, std::nullopt, std::nullopt};
    EXPECT_EQ(DeviceStore::encode({broken}), std::nullopt);

    // Names arriving from devices are repaired before they are kept, so the
    // list always encodes.
    Fixture f;
    auto paired = f.pairNew("caf\xc3 \xff\xfe");
    EXPECT_TRUE(DeviceStore::encode({paired.device}));
    EXPECT_EQ(f.stored().size(), 1u);
}

TEST(DeviceStore, NamesAreCleanedAndCutToFortyCharacters) {
    EXPECT_EQ(DeviceStore::clean(" \t\x01\r\n "), "Device");
    EXPECT_EQ(DeviceStore::clean(""), "Device");
    EXPECT_EQ(DeviceStore::clean(std::string(50, 'x')), std::string(40, 'x'));
    EXPECT_EQ(DeviceStore::clean("Bell\x07 "), "Bell");
    EXPECT_EQ(DeviceStore::clean("a\tb"), "ab");
    EXPECT_EQ(DeviceStore::clean("a\xe2\x80\x8b" "b"), "ab");  // zero-width space is a format character
    // The cut may leave a trailing blank, which goes.
    EXPECT_EQ(DeviceStore::clean(std::string(39, 'y') + " tail"), std::string(39, 'y'));
    // Characters, not bytes: 41 flags (two scalars each) keep 40.
    std::string flags;
    for (int i = 0; i < 41; ++i) flags += "\xf0\x9f\x87\xa9\xf0\x9f\x87\xaa";
    EXPECT_EQ(DeviceStore::clean(flags), flags.substr(0, 40 * 8));

    EXPECT_EQ(DeviceStore::normalize(" ab-cd efgh\n"), "ABCDEFGH");
    EXPECT_EQ(DeviceStore::normalize("\xe3\x80\x80" "abc"), "ABC");  // ideographic space
}

}  // namespace
}  // namespace morvane
