#include "secure/secure_channel.h"

#include <gtest/gtest.h>
#include <openssl/core_names.h>
#include <openssl/kdf.h>
#include <openssl/params.h>

#include "core/secure.h"
#include "fixtures.h"

namespace morvane {
namespace {

using namespace morvane::testing;
namespace SC = SecureChannel;

TEST(SecureChannelBytes, FixedLayoutsOfNoncesProloguesAndLabels) {
    EXPECT_EQ(SC::nonce(0), Bytes(12, 0));
    Bytes one(12, 0);
    one[11] = 1;
    EXPECT_EQ(SC::nonce(1), one);
    EXPECT_EQ(SC::nonce(0x0102030405060708ull), fromHex("000000000102030405060708"));
    EXPECT_EQ(SC::bigEndian(1), fromHex("0000000000000001"));
    EXPECT_EQ(SC::bigEndian(0xFFFFFFFFull), fromHex("00000000ffffffff"));

    Bytes roomID;
    for (std::uint8_t i = 0; i < 16; ++i) roomID.push_back(i);
    const Bytes p = SC::prologue(SC::ikPattern, roomID);
    ASSERT_EQ(p.size(), 27u);
    EXPECT_EQ(Bytes(p.begin(), p.begin() + 11), fromHex("6d6f7276616e652f310049"));  // "morvane/1" 00 'I'
    EXPECT_EQ(Bytes(p.begin() + 11, p.end()), roomID);
    EXPECT_EQ(SC::prologue(SC::xxPattern, roomID)[10], 0x58);

    const Bytes key = P256PrivateKey::generate().publicKeyBytes();
    Bytes label = bytesOf(std::string_view("morvane-room/1\0", 15));
    label.insert(label.end(), key.begin(), key.end());
    const Bytes digest = Secure::sha256(label);
    EXPECT_EQ(SC::roomID(key), Bytes(digest.begin(), digest.begin() + 16));

    // The commitment covers the name's length byte, so moving a byte between
    // the salt and the name changes it.
    const Bytes salt(32, 7);
    Bytes commitInput = bytesOf(std::string_view("morvane-enrol-commit/1\0", 23));
    commitInput.insert(commitInput.end(), key.begin(), key.end());
    commitInput.insert(commitInput.end(), salt.begin(), salt.end());
    commitInput.push_back(3);
    for (char c : std::string("Pad")) commitInput.push_back(static_cast<std::uint8_t>(c));
    EXPECT_EQ(SC::enrolCommit(key, salt, bytesOf("Pad")), Secure::sha256(commitInput));
    EXPECT_NE(SC::enrolCommit(key, Bytes(31, 7), bytesOf("\x07Pad")), SC::enrolCommit(key, salt, bytesOf("Pad")));

    EXPECT_EQ(SC::ikName.size(), 29u);
    EXPECT_EQ(SC::helloMessage.size(), 19u);
    EXPECT_EQ(SC::enrolledMessage.size(), 16u);
}

TEST(SecureChannelBytes, ComparisonCodeIsSixDigitsOfTheLabelledDigest) {
    int leadingZero = 0;
    for (std::uint32_t i = 0; i < 400; ++i) {
        const Bytes hash = Secure::sha256(SC::bigEndian(i));
        Bytes input = bytesOf(std::string_view("morvane-sas/1\0", 14));
        input.insert(input.end(), hash.begin(), hash.end());
        const Bytes d = Secure::sha256(input);
        const std::uint32_t v = (std::uint32_t{d[0]} << 24) | (std::uint32_t{d[1]} << 16) | (std::uint32_t{d[2]} << 8) | d[3];
        std::string expected = std::to_string(v % 1'000'000);
        expected.insert(0, 6 - expected.size(), '0');

        const std::string code = SC::sas(hash);
        ASSERT_EQ(code, expected) << i;
        if (code[0] == '0') ++leadingZero;
    }
    EXPECT_GT(leadingZero, 0) << "no code with a leading zero was seen";
}

TEST(SecureChannelKeys, PublicKeysMustBeUncompressedPointsOfTheCurve) {
    const Bytes good = P256PrivateKey::generate().publicKeyBytes();
    ASSERT_EQ(good.size(), 65u);
    ASSERT_EQ(good[0], 0x04);
    EXPECT_EQ(SC::publicKey(good).bytes(), good);

    auto word = [](const Bytes& b) { return wordOf([&] { SC::publicKey(b); }); };
    Bytes compressed = good;
    compressed[0] = 0x02;
    EXPECT_EQ(word(compressed), "bad-key");
    compressed[0] = 0x03;
    EXPECT_EQ(word(compressed), "bad-key");
    EXPECT_EQ(word(Bytes(good.begin(), good.end() - 1)), "bad-key");
    Bytes longer = good;
    longer.push_back(0);
    EXPECT_EQ(word(longer), "bad-key");
    EXPECT_EQ(word({}), "bad-key");
    Bytes offCurve = good;
    offCurve[64] ^= 0x01;
    EXPECT_EQ(word(offCurve), "bad-key");
    Bytes zeros(65, 0);
    zeros[0] = 0x04;
    EXPECT_EQ(word(zeros), "bad-key");
}

TEST(SecureChannelKeys, KeyAgreementMatchesPublishedVectorAndBothSides) {
    // RFC 5903, section 8.1.
    const auto i = P256PrivateKey::fromRawBytes(fromHex("c88f01f510d9ac3f70a292daa2316de544e9aab8afe84049c62a9c57862d1433"));
    const auto r = P256PrivateKey::fromRawBytes(fromHex("c6ef9c5d78ae012a011164acb397ce2088685d8f06bf9be0b283ab46476bee53"));
    EXPECT_EQ(i.publicKeyBytes(),
              fromHex("04dad0b65394221cf9b051e1feca5787d098dfe637fc90b9ef945d0c3772581180"
                      "5271a0461cdb8252d61f1c456fa3e59ab1f45b33accf5f58389e0577b8990bb3"));
    EXPECT_EQ(r.publicKeyBytes(),
              fromHex("04d12dfb5289c8d4f81208b70270398c342296970a0bccb74c736fc7554494bf63"
                      "56fbf3ca366cc23e8157854c13c58d6aac23f046ada30f8353e74f33039872ab"));
    const Bytes shared = fromHex("d6840f6b42f6edafd13116e0e12565202fef8e9ece7dce03812464d04b9442de");
    EXPECT_EQ(SC::dh(i, r.publicKey()), shared);
    EXPECT_EQ(SC::dh(r, i.publicKey()), shared);

    const auto a = P256PrivateKey::generate(), b = P256PrivateKey::generate();
    EXPECT_EQ(SC::dh(a, b.publicKey()), SC::dh(b, a.publicKey()));
    EXPECT_EQ(P256PrivateKey::fromRawBytes(a.rawBytes()).publicKeyBytes(), a.publicKeyBytes());

    // Scalars outside 1...n-1 and wrong lengths are not keys.
    const Bytes order = fromHex("ffffffff00000000ffffffffffffffffbce6faada7179e84f3b9cac2fc632551");
    EXPECT_EQ(wordOf([&] { P256PrivateKey::fromRawBytes(Bytes(32, 0)); }), "bad-key");
    EXPECT_EQ(wordOf([&] { P256PrivateKey::fromRawBytes(order); }), "bad-key");
    EXPECT_EQ(wordOf([&] { P256PrivateKey::fromRawBytes(Bytes(31, 1)); }), "bad-key");
}

Bytes standardHkdf(const Bytes& salt, const Bytes& ikm, std::size_t length) {
    EVP_KDF* kdf = EVP_KDF_fetch(nullptr, "HKDF", nullptr);
    EVP_KDF_CTX* ctx = EVP_KDF_CTX_new(kdf);
    char digest[] = "SHA256";
    Bytes s = salt, k = ikm;
    OSSL_PARAM params[] = {
        OSSL_PARAM_construct_utf8_string(OSSL_KDF_PARAM_DIGEST, digest, 0),
        OSSL_PARAM_construct_octet_string(OSSL_KDF_PARAM_SALT, s.data(), s.size()),
        OSSL_PARAM_construct_octet_string(OSSL_KDF_PARAM_KEY, k.data(), k.size()),
        OSSL_PARAM_construct_end(),
    };
    Bytes out(length);
    const int ok = EVP_KDF_derive(ctx, out.data(), out.size(), params);
    EVP_KDF_CTX_free(ctx);
    EVP_KDF_free(kdf);
    if (ok != 1) ADD_FAILURE() << "reference HKDF failed";
    return out;
}

TEST(SecureChannelKeys, KeyDerivationIsStandardHkdfWithEmptyInfo) {
    // HMAC-SHA-256, RFC 4231 test case 2.
    EXPECT_EQ(SC::hmac(bytesOf("Jefe"), bytesOf("what do ya want for nothing?")),
              fromHex("5bdcc146bf60754e6a042426089575c75a003f089d2739839dec58b964ec3843"));
    // RFC 5869 test case 3: empty salt and info.
    const auto [t1, t2] = SC::hkdf2({}, Bytes(22, 0x0b));
    Bytes okm = t1;
    okm.insert(okm.end(), t2.begin(), t2.begin() + 10);
    EXPECT_EQ(okm, fromHex("8da4e775a563c18f715f802a063c5a31b8a11f5c5ee1879ec3454e5f3c738d2d9d201395faa4b61a96c8"));
    for (const Bytes& ikm : {Bytes(1, 0), Bytes(32, 0xab), Secure::sha256(bytesOf("x"))}) {
        const Bytes ck = Secure::sha256(bytesOf("chaining"));
        const auto [first, second] = SC::hkdf2(ck, ikm);
        const Bytes reference = standardHkdf(ck, ikm, 64);
        EXPECT_EQ(first, Bytes(reference.begin(), reference.begin() + 32));
        EXPECT_EQ(second, Bytes(reference.begin() + 32, reference.end()));
    }
}

TEST(SecureChannelAead, SealingMatchesPublishedVectorAndOpeningRefusesAnyChange) {
    // AES-256-GCM with a zero key and a zero nonce (the GCM paper's cases 13 and 14).
    const SymmetricKey zero{};
    EXPECT_EQ(SC::encrypt(zero, 0, {}, {}), fromHex("530f8afbc74536b9a963b4f1c4cb738b"));
    EXPECT_EQ(SC::encrypt(zero, 0, {}, Bytes(16, 0)),
              fromHex("cea7403d4d606b6e074ec5d3baf39d18d0d1c8a799996bf0265b98b5d48ab919"));

    SymmetricKey key;
    key.bytes.fill(0x42);
    const Bytes aad = bytesOf("header");
    const Bytes plain = bytesOf("some secret words");
    const Bytes sealed = SC::encrypt(key, 7, aad, plain);
    ASSERT_EQ(sealed.size(), plain.size() + 16);
    EXPECT_EQ(SC::decrypt(key, 7, aad, sealed), plain);

    auto word = [&](const SymmetricKey& k, std::uint64_t n, const Bytes& a, const Bytes& s) {
        return wordOf([&] { SC::decrypt(k, n, a, s); });
    };
    for (std::size_t i = 0; i < sealed.size(); ++i) {
        Bytes changed = sealed;
        changed[i] ^= 0x10;
        EXPECT_EQ(word(key, 7, aad, changed), "bad-tag") << "byte " << i;
    }
    EXPECT_EQ(word(key, 8, aad, sealed), "bad-tag");
    EXPECT_EQ(word(key, 7, bytesOf("headeR"), sealed), "bad-tag");
    EXPECT_EQ(word(zero, 7, aad, sealed), "bad-tag");
    EXPECT_EQ(word(key, 7, aad, Bytes(sealed.begin(), sealed.end() - 1)), "bad-tag");
    EXPECT_EQ(word(key, 0, {}, Bytes(15, 0)), "bad-tag");

    // A bare tag is an empty plaintext.
    const Bytes tagOnly = SC::encrypt(key, 1, aad, {});
    EXPECT_EQ(SC::decrypt(key, 1, aad, tagOnly), Bytes{});
}

TEST(SymmetricStateRule, HashesNameAndPrologueAndPassesDataInTheClearUntilKeyed) {
    const Bytes prologue = SC::prologue(SC::ikPattern, room());
    SymmetricState a(SC::ikName, prologue), b(SC::ikName, prologue, true);
    EXPECT_EQ(a.h(), b.h());
    EXPECT_EQ(a.ck(), b.ck());
    // The name is hashed, never used as h itself.
    EXPECT_EQ(a.ck(), Secure::sha256(SC::ikName));
    EXPECT_FALSE(a.trace().has_value());
    EXPECT_EQ(stepNames(b.trace()), (std::vector<std::string>{"init", "prologue"}));
    EXPECT_FALSE(b.trace()->front().k.has_value());

    SymmetricState other(SC::ikName, SC::prologue(SC::ikPattern, room(0x11)));
    EXPECT_NE(other.h(), a.h());

    // Before any key, data passes in the clear and only the hash moves.
    const Bytes ck = a.ck(), h = a.h();
    EXPECT_EQ(a.encryptAndHash(bytesOf("commitment"), "commit"), bytesOf("commitment"));
    EXPECT_NE(a.h(), h);
    EXPECT_EQ(a.ck(), ck);
    EXPECT_EQ(b.decryptAndHash(bytesOf("commitment"), "commit"), bytesOf("commitment"));
    EXPECT_EQ(b.h(), a.h());
}

TEST(SymmetricStateRule, KeyedStatesRoundTripAndAFailedOpenChangesNothing) {
    const Bytes prologue = SC::prologue(SC::ikPattern, room());
    SymmetricState s(SC::ikName, prologue, true), r(SC::ikName, prologue);
    s.mixKey(bytesOf("shared secret"), "ee");
    r.mixKey(bytesOf("shared secret"), "ee");
    ASSERT_TRUE(s.trace()->back().k.has_value());

    const Bytes c1 = s.encryptAndHash(bytesOf("first"), "s");
    EXPECT_EQ(c1.size(), 5u + 16u);
    EXPECT_EQ(r.decryptAndHash(c1, "s"), bytesOf("first"));
    EXPECT_EQ(r.h(), s.h());

    const Bytes c2 = s.encryptAndHash({}, "payload");
    Bytes bad = c2;
    bad[3] ^= 1;
    const Bytes hBefore = r.h();
    const auto nBefore = r.n();
    EXPECT_EQ(wordOf([&] { r.decryptAndHash(bad, "payload"); }), "bad-tag");
    EXPECT_EQ(r.h(), hBefore);
    EXPECT_EQ(r.n(), nBefore);
    // The untouched state still opens the genuine message.
    EXPECT_EQ(r.decryptAndHash(c2, "payload"), Bytes{});
    EXPECT_EQ(r.h(), s.h());

    const auto [d2m, m2d] = s.split();
    EXPECT_NE(d2m, m2d);
    EXPECT_EQ(s.split(), r.split());
}

}  // namespace
}  // namespace morvane
