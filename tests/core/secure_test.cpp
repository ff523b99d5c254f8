#include "core/secure.h"

#include <gtest/gtest.h>

namespace morvane {

TEST(Secure, HexAndHashesMatchPublishedVectors) {
    EXPECT_EQ(Secure::hex(Bytes{0x00, 0xab, 0xff}), "00abff");
    EXPECT_EQ(Secure::hex(Bytes{}), "");
    EXPECT_EQ(Secure::sha256Hex(""), "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
    EXPECT_EQ(Secure::sha256Hex("abc"), "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
}

TEST(Secure, ConstantTimeEqualComparesLengthsAndEveryByte) {
    EXPECT_TRUE(Secure::constantTimeEqual(Bytes{}, Bytes{}));
    EXPECT_FALSE(Secure::constantTimeEqual(Bytes(3), Bytes(4)));
    Bytes a(70, 7), b(70, 7);
    b.back() = 8;
    EXPECT_FALSE(Secure::constantTimeEqual(a, b));
    b.back() = 7;
    EXPECT_TRUE(Secure::constantTimeEqual(a, b));
}

TEST(Secure, RandomBytesDifferBetweenCalls) {
    auto a = Secure::randomBytes(32), b = Secure::randomBytes(32);
    EXPECT_EQ(a.size(), 32u);
    EXPECT_NE(a, b);
}

}  // namespace morvane
