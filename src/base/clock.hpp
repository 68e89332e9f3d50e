#pragma once
// The module's time: every instant counts from `clock_origin`, fixed once per process.
#include <cstdint>

#include "platform/time_units.hpp"

namespace qm {

// Forces the clock origin (the first caller fixes it) and returns it, in monotonic nanoseconds.
std::uint64_t clock_origin_ns();

// Monotonic nanoseconds now (the platform clock).
std::uint64_t now_ns();

// A time stamp shared between threads: nanoseconds since the origin plus 1, so 0 means "never".
std::uint64_t stamp_now();

// Seconds from the origin to now (0 when now is not after the origin).
double seconds_since_origin();

// Nanoseconds as seconds: whole seconds plus the remaining nanoseconds / 1e9.
inline double ns_to_seconds(std::uint64_t ns) {
  return static_cast<double>(ns / kNanosPerSecond) + static_cast<double>(ns % kNanosPerSecond) / 1e9;
}

// a - b, or 0 when b is later than a (a stamp taken before a concurrent update).
inline std::uint64_t saturating_sub(std::uint64_t a, std::uint64_t b) { return a > b ? a - b : 0; }

}  // namespace qm
