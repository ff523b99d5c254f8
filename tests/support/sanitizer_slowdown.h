// How many times slower the sanitizers make the programs a test starts and
// waits for. A bound in seconds that describes what a plain build does is
// multiplied by it: ThreadSanitizer runs code several times slower,
// AddressSanitizer about twice, and neither changes what the bound is about.
// Header-only, for any test program.
#pragma once

namespace morvane::testing {

#if defined(__SANITIZE_THREAD__)
inline constexpr double sanitizerSlowdown = 3.0;
#elif defined(__SANITIZE_ADDRESS__)
inline constexpr double sanitizerSlowdown = 2.0;
#elif defined(__has_feature)
#if __has_feature(thread_sanitizer)
inline constexpr double sanitizerSlowdown = 3.0;
#elif __has_feature(address_sanitizer)
inline constexpr double sanitizerSlowdown = 2.0;
#else
inline constexpr double sanitizerSlowdown = 1.0;
#endif
#else
inline constexpr double sanitizerSlowdown = 1.0;
#endif

}  // namespace morvane::testing
