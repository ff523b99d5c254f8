#include "relay/relay_identity.h"

#include <gtest/gtest.h>
#include <openssl/bn.h>
#include <openssl/ecdsa.h>
#include <openssl/evp.h>

#include <nlohmann/json.hpp>

#include "core/clock.h"
#include "core/secure.h"
#include "relay/relay_bytes.h"
#include "relay/relay_counter_storage.h"

namespace morvane {
namespace {

Bytes text(std::string_view t) { return Bytes(t.begin(), t.end()); }

// Checks a raw r‖s signature the way the relay does.
bool verifies(const Bytes& publicKey, const Bytes& message, const Bytes& raw) {
    if (raw.size() != 64) return false;
    ECDSA_SIG* sig = ECDSA_SIG_new();
    ECDSA_SIG_set0(sig, BN_bin2bn(raw.data(), 32, nullptr), BN_bin2bn(raw.data() + 32, 32, nullptr));
    unsigned char* der = nullptr;
    const int derLength = i2d_ECDSA_SIG(sig, &der);
    ECDSA_SIG_free(sig);
    const auto key = SecureChannel::publicKey(publicKey);
    EVP_MD_CTX* ctx = EVP_MD_CTX_new();
    const bool ok = EVP_DigestVerifyInit(ctx, nullptr, EVP_sha256(), nullptr, key.handle()) == 1 &&
                    EVP_DigestVerify(ctx, der, static_cast<std::size_t>(derLength), message.data(), message.size()) == 1;
    EVP_MD_CTX_free(ctx);
    OPENSSL_free(der);
    return ok;
}

class MemoryIdentityStorage final : public DeviceStorage {
public:
    std::optional<Bytes> item;
    std::optional<std::string> failLoad, failSave;
    int saves = 0;
    std::string summary() const override { return "memory item"; }
    std::optional<Bytes> load() override {
        if (failLoad) throw DeviceStorageError(*failLoad);
        return item;
    }
    void save(std::span<const std::uint8_t> data) override {
        if (failSave) throw DeviceStorageError(*failSave);
        ++saves;
        item = Bytes(data.begin(), data.end());
    }
    void remove() override { item.reset(); }
};

RelayIdentity makeIdentity() { return {P256PrivateKey::generate(), P256PrivateKey::generate(), 1'700'000'000'000}; }

TEST(RelayBytes, EncodingsFollowTheirFixedForms) {
    EXPECT_EQ(RelayBytes::u32(1), (Bytes{0, 0, 0, 1}));
    EXPECT_EQ(RelayBytes::u64(1), (Bytes{0, 0, 0, 0, 0, 0, 0, 1}));
    EXPECT_EQ(RelayBytes::u32(0x01020304), (Bytes{1, 2, 3, 4}));
    EXPECT_EQ(RelayBytes::readU32(Bytes{0xff, 0, 0, 7}), 0xff000007u);
    EXPECT_EQ(RelayBytes::hex(Bytes{0x00, 0xab, 0x0f}), "00ab0f");
    EXPECT_EQ(RelayBytes::hex(Bytes{}), "");
    for (auto [count, length] : {std::pair{32, 43}, {65, 87}, {64, 86}, {16, 22}}) {
        const auto encoded = RelayBytes::b64u(Bytes(static_cast<std::size_t>(count), 0xfb));
        EXPECT_EQ(encoded.size(), static_cast<std::size_t>(length));
        EXPECT_EQ(encoded.find_first_of("=+/"), std::string::npos);
    }
}

TEST(RelayBytes, StrictBase64UrlDecodingRefusesEverythingB64uNeverWrites) {
    struct Case {
        std::string text;
        std::optional<Bytes> bytes;
    };
    const std::vector<Case> cases = {
        {"", Bytes{}},
        {"AA", Bytes{0}},
        {"AA==", std::nullopt},   // padding
        {"AB", std::nullopt},     // non-zero trailing bits
        {"AAAAA", std::nullopt},  // 4k+1 characters
        {"A", std::nullopt},
        {"-_-_", Bytes{0xfb, 0xff, 0xbf}},
        {"+/+/", std::nullopt},
        {"AA A", std::nullopt},
        {"AA\n", std::nullopt},
        {"AAE", Bytes{0, 1}},
        {"AAF", std::nullopt},
    };
    for (const auto& c : cases) EXPECT_EQ(RelayBytes::fromB64u(c.text), c.bytes) << c.text;
    for (std::size_t n = 0; n < 70; ++n) {
        const auto bytes = Secure::randomBytes(n);
        EXPECT_EQ(RelayBytes::fromB64u(RelayBytes::b64u(bytes)), bytes);
    }
}

TEST(RelayBytes, IsoDatesAreWholeSecondUtcAndReadStrictly) {
    EXPECT_EQ(isoDate(1'709'683'199'999), "2024-03-05T23:59:59Z");
    EXPECT_EQ(parseIsoDate("2024-03-05T23:59:59Z"), 1'709'683'199'000);
    for (const char* bad : {"2024-02-31T00:00:00Z", "2024-03-05T23:59:59", "2024-03-05T23:59:59.5Z",
                            "2024-03-05 23:59:59Z", "2024-03-05T23:59:59+00:00", ""})
        EXPECT_EQ(parseIsoDate(bad), std::nullopt) << bad;
}

TEST(RelayIdentity, SignedMessagesHaveTheirFixedLayoutAndLengths) {
    const Bytes room(16, 7), nonce16(16, 1), nonce32(32, 2);
    EXPECT_EQ(RelayIdentity::helloMessage(room, 5, nonce16).size(), 67u);
    EXPECT_EQ(RelayIdentity::proveMessage(room, nonce32).size(), 75u);
    EXPECT_EQ(RelayIdentity::registerMessage(room, 5, nonce16, "u").size(), 71u);
    EXPECT_EQ(RelayIdentity::removeMessage(room, 5, nonce16).size(), 68u);
    const auto hello = RelayIdentity::helloMessage(room, 0x0102, nonce16);
    const std::string label = "morvane-relay-host-hello/1";
    Bytes expected(label.size() + 1 + room.size());
    std::copy(label.begin(), label.end(), expected.begin());
    std::copy(room.begin(), room.end(), expected.begin() + static_cast<std::ptrdiff_t>(label.size() + 1));
    const auto ts = RelayBytes::u64(0x0102);
    expected.insert(expected.end(), ts.begin(), ts.end());
    expected.insert(expected.end(), nonce16.begin(), nonce16.end());
    EXPECT_EQ(hello, expected);
    EXPECT_EQ(RelayIdentity::registerLabel().size(), 29u);
    EXPECT_EQ(RelayIdentity::removeLabel().size(), 27u);
}

TEST(RelayIdentity, EverySignatureVerifiesWithTheHostPublicKey) {
    const auto identity = makeIdentity();
    const auto key = identity.hostPublicKey();
    ASSERT_EQ(key.size(), 65u);
    EXPECT_EQ(key[0], 0x04);
    EXPECT_EQ(identity.hostPublicKeyText().size(), 87u);
    EXPECT_EQ(identity.roomID(), SecureChannel::roomID(key));
    const Bytes nonce16(16, 9), nonce32(32, 3);

    const auto header = identity.helloHeader(1'700'000'123, nonce16);
    ASSERT_EQ(header.rfind("v1.1700000123.", 0), 0u);
    const auto lastDot = header.rfind('.');
    EXPECT_EQ(header.substr(14, lastDot - 14), RelayBytes::b64u(nonce16));
    const auto helloSig = RelayBytes::fromB64u(header.substr(lastDot + 1));
    ASSERT_TRUE(helloSig);
    EXPECT_TRUE(verifies(key, RelayIdentity::helloMessage(identity.roomID(), 1'700'000'123, nonce16), *helloSig));

    struct Case {
        std::string signature;
        Bytes message;
    };
    const std::vector<Case> cases = {
        {identity.proveSignature(nonce32), RelayIdentity::proveMessage(identity.roomID(), nonce32)},
        {identity.registerProof("user", 77, nonce16),
         RelayIdentity::registerMessage(identity.roomID(), 77, nonce16, "user")},
        {identity.removeProof(78, nonce16), RelayIdentity::removeMessage(identity.roomID(), 78, nonce16)},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(c.signature.size(), 86u);
        const auto raw = RelayBytes::fromB64u(c.signature);
        ASSERT_TRUE(raw);
        EXPECT_TRUE(verifies(key, c.message, *raw));
        // A signature over one message never passes for another.
        auto other = c.message;
        other.back() ^= 1;
        EXPECT_FALSE(verifies(key, other, *raw));
    }
}

TEST(RelayIdentity, TwoHeadersInOneSecondDifferInNonceAndSignature) {
    const auto identity = makeIdentity();
    const auto a = identity.helloHeader(10, Secure::randomBytes(16));
    const auto b = identity.helloHeader(10, Secure::randomBytes(16));
    EXPECT_NE(a.substr(5, 23), b.substr(5, 23));
    EXPECT_NE(a.substr(a.rfind('.')), b.substr(b.rfind('.')));
}

TEST(RelayIdentityStore, EncodedIdentityRoundTripsWithSortedKeys) {
    const auto identity = makeIdentity();
    const auto data = RelayIdentityStore::encode(identity);
    const std::string json(data.begin(), data.end());
    EXPECT_LT(json.find("\"authKey\""), json.find("\"createdAt\""));
    EXPECT_LT(json.find("\"createdAt\""), json.find("\"noiseKey\""));
    EXPECT_LT(json.find("\"noiseKey\""), json.find("\"v\":1"));
    EXPECT_NE(json.find("\"createdAt\":\"2023-11-14T22:13:20Z\""), std::string::npos);
    EXPECT_EQ(json.find(' '), std::string::npos);
    const auto back = RelayIdentityStore::decode(data);
    ASSERT_TRUE(back);
    EXPECT_EQ(back->noiseKey.rawBytes(), identity.noiseKey.rawBytes());
    EXPECT_EQ(back->authKey.rawBytes(), identity.authKey.rawBytes());
    EXPECT_EQ(back->createdAt, identity.createdAt);
}

TEST(RelayIdentityStore, DecodeRefusesEachDamagedFieldAndIgnoresOrderAndExtras) {
    const auto base = nlohmann::json::parse(RelayIdentityStore::encode(makeIdentity()));
    const std::string key31 = RelayBytes::b64u(Bytes(31, 1));
    const std::string zero = RelayBytes::b64u(Bytes(32, 0));  // not a valid scalar
    struct Case {
        const char* name;
        std::function<void(nlohmann::json&)> change;
        bool valid;
    };
    const std::vector<Case> cases = {
        {"as written", [](auto&) {}, true},
        {"extra key", [](auto& j) { j["later"] = true; }, true},
        {"version with fraction", [](auto& j) { j["v"] = 1.5; }, true},
        {"version 2", [](auto& j) { j["v"] = 2; }, false},
        {"version as text", [](auto& j) { j["v"] = "1"; }, false},
        {"no version", [](auto& j) { j.erase("v"); }, false},
        {"short noise key", [&](auto& j) { j["noiseKey"] = key31; }, false},
        {"short auth key", [&](auto& j) { j["authKey"] = key31; }, false},
        {"zero auth key", [&](auto& j) { j["authKey"] = zero; }, false},
        {"padded key", [&](auto& j) { j["authKey"] = j["authKey"].template get<std::string>() + "="; }, false},
        {"bad date", [](auto& j) { j["createdAt"] = "yesterday"; }, false},
        {"date as number", [](auto& j) { j["createdAt"] = 5; }, false},
        // Nothing the host writes is this deep; refused before it is built.
        {"extra nested past any identity",
         [](auto& j) {
             nlohmann::json deep = 1;
             for (int i = 0; i < 20; ++i) deep = nlohmann::json::array({deep});
             j["later"] = deep;
         },
         false},
    };
    for (const auto& c : cases) {
        auto doc = base;
        c.change(doc);
        const auto dumped = doc.dump();
        EXPECT_EQ(RelayIdentityStore::decode(text(dumped)).has_value(), c.valid) << c.name;
    }
    // Keys in another order read the same.
    const std::string reordered = "{\"v\":1,\"noiseKey\":" + base["noiseKey"].dump() +
                                  ",\"createdAt\":" + base["createdAt"].dump() + ",\"authKey\":" + base["authKey"].dump() + "}";
    EXPECT_TRUE(RelayIdentityStore::decode(text(reordered)));
    for (const char* junk : {"", "[]", "null", "{", "\"x\""}) EXPECT_FALSE(RelayIdentityStore::decode(text(junk)));
}

TEST(RelayIdentityStore, LoadAndCreateNeverOverwriteWhatIsThere) {
    auto storage = std::make_shared<MemoryIdentityStorage>();
    RelayIdentityStore store(storage);
    EXPECT_EQ(store.summary(), "memory item");
    EXPECT_TRUE(std::holds_alternative<RelayIdentityStore::None>(store.load()));

    const auto made = store.create(1'000'000);
    EXPECT_EQ(storage->saves, 1);
    const auto loaded = store.load();
    ASSERT_TRUE(std::holds_alternative<RelayIdentity>(loaded));
    EXPECT_EQ(std::get<RelayIdentity>(loaded).authKey.rawBytes(), made.authKey.rawBytes());
    EXPECT_THROW(
        {
            try {
                store.create(2'000'000);
            } catch (const DeviceStorageError& e) {
                EXPECT_EQ(e.description(), "a relay identity exists already");
                throw;
            }
        },
        DeviceStorageError);

    storage->item = text("{\"v\":2}");
    EXPECT_EQ(store.load(), RelayIdentityStore::LoadResult(RelayIdentityStore::Failure{"the stored relay identity is not valid"}));
    EXPECT_THROW(store.create(3), DeviceStorageError);
    EXPECT_EQ(storage->item, text("{\"v\":2}"));  // damaged item left untouched

    storage->failLoad = "cannot read the item";
    EXPECT_EQ(store.load(), RelayIdentityStore::LoadResult(RelayIdentityStore::Failure{"cannot read the item"}));

    storage->failLoad.reset();
    store.reset();
    EXPECT_TRUE(std::holds_alternative<RelayIdentityStore::None>(store.load()));
    storage->failSave = "disk full";
    EXPECT_THROW(store.create(4), DeviceStorageError);
    EXPECT_TRUE(std::holds_alternative<RelayIdentityStore::None>(store.load()));
}

TEST(RelayIdentityStore, CreateFailsInsteadOfSavingAnUnloadableItem) {
    auto storage = std::make_shared<MemoryIdentityStorage>();
    RelayIdentityStore store(storage, [](const RelayIdentity&) { return Bytes{}; });
    try {
        store.create(5);
        ADD_FAILURE() << "create reported success";
    } catch (const DeviceStorageError& e) {
        EXPECT_EQ(e.description(), "the relay identity could not be written");
    }
    EXPECT_EQ(storage->saves, 0);
    EXPECT_FALSE(storage->item);
}

TEST(MemoryCounterStorage, ReadsOnlyTheTypeThatWasStored) {
    MemoryCounterStorage storage;
    storage.set(std::int64_t{5}, "n");
    storage.set(std::string("5"), "t");
    EXPECT_EQ(storage.string("n"), std::nullopt);
    EXPECT_EQ(storage.integer("n"), 5);
    EXPECT_EQ(storage.integer("t"), 0);
    EXPECT_EQ(storage.string("t"), "5");
    storage.set(std::nullopt, "n");
    EXPECT_EQ(storage.integer("n"), 0);
    EXPECT_EQ(storage.integer("missing"), 0);
}

}  // namespace
}  // namespace morvane
