// The relay's unmasking in place of Beast's for its sockets' reads (unmask.h).
// Alone in its file, and compiled alone in a unity build: the tests link a
// definition of their own in its place, which counts what goes through it.
#include "relay_service/detail/unmask.h"

namespace boost::beast::websocket::detail {

template <>
void mask_inplace<morvane::relay_service::detail::DirectPayload>(
    morvane::relay_service::detail::DirectPayload const& buffers, prepared_key& key) {
    morvane::relay_service::detail::unmaskAll(buffers, key);
}

template <>
void mask_inplace<morvane::relay_service::detail::BufferedPayload>(
    morvane::relay_service::detail::BufferedPayload const& buffers, prepared_key& key) {
    morvane::relay_service::detail::unmaskAll(buffers, key);
}

}  // namespace boost::beast::websocket::detail
