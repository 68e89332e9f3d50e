#include "platform/clock.hpp"

#include "platform/time_units.hpp"

#include <cerrno>
#include <ctime>

namespace qm::platform {

std::uint64_t monotonic_ns() {
  timespec ts{};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<std::uint64_t>(ts.tv_sec) * kNanosPerSecond + static_cast<std::uint64_t>(ts.tv_nsec);
}

void sleep_ns(std::uint64_t ns) {
  timespec req{static_cast<time_t>(ns / kNanosPerSecond), static_cast<long>(ns % kNanosPerSecond)};
  while (nanosleep(&req, &req) != 0 && errno == EINTR) {
  }
}

}  // namespace qm::platform
