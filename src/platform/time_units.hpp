#pragma once
// The units of the module's time. Instants and durations count nanoseconds; these name the steps
// between the units that settings, timeouts and documents are given in.
#include <cstdint>

namespace qm {

inline constexpr std::uint64_t kNanosPerMicro = 1000;
inline constexpr std::uint64_t kNanosPerMilli = 1000000;
inline constexpr std::uint64_t kNanosPerSecond = 1000000000;
inline constexpr std::uint64_t kMicrosPerSecond = 1000000;
inline constexpr std::uint64_t kMillisPerSecond = 1000;
inline constexpr std::uint64_t kMicrosPerMilli = 1000;

// Nanoseconds as whole milliseconds, rounded up: a short positive time never becomes 0 (no wait).
constexpr std::uint64_t millis_rounded_up(std::uint64_t ns) {
  return ns / kNanosPerMilli + (ns % kNanosPerMilli != 0 ? 1 : 0);
}

}  // namespace qm
