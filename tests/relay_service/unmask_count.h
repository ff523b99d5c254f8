// Bytes that went through the relay's own unmasking in this test program.
// unmask_test.cpp links its own definitions of the relay's unmasking, which
// count, in place of the library's (src/relay_service/detail/unmask.cpp), so
// that a test can tell whether Beast's reads of the relay's sockets took it.
#pragma once

#include <cstdint>

namespace morvane::relay_service::testing {

std::uint64_t relayUnmaskedBytes();

}  // namespace morvane::relay_service::testing
