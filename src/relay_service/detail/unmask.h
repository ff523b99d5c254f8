// Unmasking what a client sent, 32 bytes at a time. Beast XORs a frame's
// payload four bytes at a time, which was over a quarter of the relay's
// processor time forwarding a host's stream of pictures: every byte a
// computer's link sends arrives masked. Internal to the server.
//
// Beast's reads unmask a frame's payload with `detail::mask_inplace` on a
// prefix of the bytes read: of the caller's buffer when a read goes straight
// there (a `buffers_suffix` of it), else of the stream's own read buffer (a
// `static_buffer`). For the relay's sockets, whose buffers are single
// `mutable_buffer`s, both are specialized here and defined in unmask.cpp.
// Explicit specializations, unlike overloads, are taken wherever they are
// declared before the reads are instantiated, whatever came first, so this
// header may come anywhere; relay_server.cpp, which instantiates the reads,
// sees it through read_ahead.h. A Boost that renamed the function would not
// build; one that stopped calling it with these buffers would fail
// `RelayService.TheRelaysReadsUnmaskThroughItsOwnUnmasking`, which counts
// the bytes that went through here.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

#include <boost/asio/buffer.hpp>
#include <boost/beast/core/buffers_prefix.hpp>
#include <boost/beast/core/buffers_range.hpp>
#include <boost/beast/core/buffers_suffix.hpp>
#include <boost/beast/core/static_buffer.hpp>
#include <boost/beast/websocket/detail/mask.hpp>

namespace morvane::relay_service::detail {

// XORs `bytes` with the 4-byte `key` from its first byte on, and turns the
// key as far as the bytes went, for the frame's next piece: what Beast's
// mask_inplace does.
inline void unmask(boost::asio::mutable_buffer bytes, boost::beast::websocket::detail::prepared_key& key) {
    auto* p = static_cast<unsigned char*>(bytes.data());
    std::size_t n = bytes.size();
    using Wide = unsigned char __attribute__((vector_size(16)));
    Wide wide;
    for (std::size_t i = 0; i < sizeof wide; ++i) wide[i] = key[i % 4];
    // Whole multiples of the key's length: the key keeps its turn.
    for (; n >= 2 * sizeof wide; n -= 2 * sizeof wide, p += 2 * sizeof wide) {
        Wide a, b;
        std::memcpy(&a, p, sizeof a);
        std::memcpy(&b, p + sizeof a, sizeof b);
        a ^= wide;
        b ^= wide;
        std::memcpy(p, &a, sizeof a);
        std::memcpy(p + sizeof a, &b, sizeof b);
    }
    for (std::size_t i = 0; i < n; ++i) p[i] ^= key[i % 4];
    const auto turned = key;
    for (std::size_t i = 0; i < key.size(); ++i) key[i] = turned[(i + n) % key.size()];
}

// Every piece of a buffer sequence in turn, the key turning across them.
template <class Buffers>
void unmaskAll(const Buffers& buffers, boost::beast::websocket::detail::prepared_key& key) {
    for (boost::asio::mutable_buffer piece : boost::beast::buffers_range_ref(buffers)) unmask(piece, key);
}

// What Beast's reads of the relay's sockets unmask.
using DirectPayload = boost::beast::buffers_prefix_view<boost::beast::buffers_suffix<boost::asio::mutable_buffer>>;
using BufferedPayload = boost::beast::buffers_prefix_view<boost::beast::static_buffer_base::mutable_buffers_type>;

}  // namespace morvane::relay_service::detail

namespace boost::beast::websocket::detail {

template <>
void mask_inplace<morvane::relay_service::detail::DirectPayload>(
    morvane::relay_service::detail::DirectPayload const& buffers, prepared_key& key);
template <>
void mask_inplace<morvane::relay_service::detail::BufferedPayload>(
    morvane::relay_service::detail::BufferedPayload const& buffers, prepared_key& key);

}  // namespace boost::beast::websocket::detail
