#pragma once
#include <cstdint>

namespace qm::platform {

// Monotonic clock in nanoseconds from an arbitrary start (performance counter on Windows).
std::uint64_t monotonic_ns();

// Sleeps the calling thread for at least the given time.
void sleep_ns(std::uint64_t ns);

// The time that a loop with deadlines and retries is measured by, as an object: the monotonic clock
// and a sleep on it, or in tests a clock that the test moves itself.
class Clock {
 public:
  virtual ~Clock() = default;
  // Monotonic nanoseconds.
  virtual std::uint64_t now() = 0;
  // Waits at least `ns` nanoseconds of this clock.
  virtual void sleep(std::uint64_t ns) = 0;
};

// The monotonic clock and `sleep_ns` (one process-wide object, never destroyed).
Clock& system_clock();

}  // namespace qm::platform
