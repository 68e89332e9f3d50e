#pragma once
#include <cstdint>

namespace qm::platform {

// Monotonic clock in nanoseconds from an arbitrary start (performance counter on Windows).
std::uint64_t monotonic_ns();

// Sleeps the calling thread for at least the given time.
void sleep_ns(std::uint64_t ns);

}  // namespace qm::platform
