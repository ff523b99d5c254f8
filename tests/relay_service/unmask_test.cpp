// The relay's own unmasking against Beast's, over a message read in pieces
// of every awkward size: the key must turn across pieces as Beast's does.
// This file also defines, for the whole test program, the two places where
// Beast's reads of the relay's sockets unmask: they unmask as the library's
// do and count the bytes, and the linker takes them in place of the
// library's (its unmask.cpp is then never pulled in).
// Beast's WebSocket headers first: the relay's unmasking may come anywhere.
#include <boost/beast/websocket.hpp>

#include "relay_service/detail/unmask.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdint>
#include <numeric>
#include <string>
#include <vector>

#include <boost/beast/core/buffers_prefix.hpp>

#include "unmask_count.h"

namespace morvane::relay_service::testing {

namespace {
std::atomic<std::uint64_t> unmaskedBytes{0};
}

std::uint64_t relayUnmaskedBytes() { return unmaskedBytes.load(); }

}  // namespace morvane::relay_service::testing

namespace boost::beast::websocket::detail {

template <>
void mask_inplace<morvane::relay_service::detail::DirectPayload>(
    morvane::relay_service::detail::DirectPayload const& buffers, prepared_key& key) {
    morvane::relay_service::testing::unmaskedBytes += buffer_bytes(buffers);
    morvane::relay_service::detail::unmaskAll(buffers, key);
}

template <>
void mask_inplace<morvane::relay_service::detail::BufferedPayload>(
    morvane::relay_service::detail::BufferedPayload const& buffers, prepared_key& key) {
    morvane::relay_service::testing::unmaskedBytes += buffer_bytes(buffers);
    morvane::relay_service::detail::unmaskAll(buffers, key);
}

}  // namespace boost::beast::websocket::detail

namespace morvane::relay_service::detail {
namespace {

namespace beastws = boost::beast::websocket::detail;

TEST(Unmask, MatchesBeastAcrossPiecesOfAnySize) {
    struct Case {
        const char* why;
        std::vector<std::size_t> pieces;
    };
    const Case cases[] = {
        {"nothing", {0}},
        {"less than the key", {3}},
        {"one key", {4}},
        {"less than a wide step", {31}},
        {"one wide step", {32}},
        {"a wide step and a byte", {33}},
        {"a whole record in one read", {240'026}},
        {"pieces that leave the key turned", {1, 2, 3, 5, 7, 33, 65, 31}},
        {"a record as the relay reads it, 64 KiB and the rest", {1'536 - 14, 65'536, 65'536, 65'536, 41'904}},
        {"a piece of nothing between others", {5, 0, 6}},
    };
    for (const auto& c : cases) {
        const auto total = std::accumulate(c.pieces.begin(), c.pieces.end(), std::size_t{0});
        std::vector<unsigned char> mine(total), theirs(total);
        for (std::size_t i = 0; i < total; ++i) mine[i] = theirs[i] = static_cast<unsigned char>(i * 7 + 3);
        beastws::prepared_key myKey, theirKey;
        beastws::prepare_key(myKey, 0x9a3c51e7);
        theirKey = myKey;
        std::size_t at = 0;
        for (const auto piece : c.pieces) {
            unmask(boost::asio::mutable_buffer(mine.data() + at, piece), myKey);
            beastws::mask_inplace(boost::asio::mutable_buffer(theirs.data() + at, piece), theirKey);
            at += piece;
            ASSERT_EQ(myKey, theirKey) << c.why << ", after " << at << " bytes";
        }
        EXPECT_EQ(mine, theirs) << c.why;
    }
}

}  // namespace
}  // namespace morvane::relay_service::detail
