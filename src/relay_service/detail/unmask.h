// Unmasking what a client sent, 32 bytes at a time. Beast XORs a frame's
// payload four bytes at a time, which was over a quarter of the relay's
// processor time forwarding a host's stream of pictures: every byte a
// computer's link sends arrives masked. Internal to the server.
//
// Beast's reads call `detail::mask_inplace` by its qualified name, which
// finds only what was declared before their templates: this header comes
// before any of Beast's WebSocket headers in the file that instantiates
// the relay's sockets (read_ahead.h includes it, and will not build after
// them), so that every read of those sockets takes this one.
#pragma once

#ifdef BOOST_BEAST_WEBSOCKET_IMPL_READ_HPP
#error "relay_service/detail/unmask.h must come before Beast's WebSocket headers"
#endif

#include <cstddef>
#include <cstdint>
#include <cstring>

#include <boost/asio/buffer.hpp>
#include <boost/beast/core/buffers_prefix.hpp>
#include <boost/beast/core/buffers_range.hpp>
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

}  // namespace morvane::relay_service::detail

namespace boost::beast::websocket::detail {

// Beast unmasks what it read as a prefix of the buffers it read into; more
// specialized than its own template, so chosen wherever this is seen.
template <class Buffers>
void mask_inplace(buffers_prefix_view<Buffers> const& buffers, prepared_key& key) {
    for (net::mutable_buffer piece : beast::buffers_range_ref(buffers)) morvane::relay_service::detail::unmask(piece, key);
}

}  // namespace boost::beast::websocket::detail
