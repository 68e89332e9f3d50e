#include "platform/clock.hpp"

#include <cerrno>
#include <ctime>

namespace qm::platform {

std::uint64_t monotonic_ns() {
  timespec ts{};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<std::uint64_t>(ts.tv_sec) * 1000000000ull + static_cast<std::uint64_t>(ts.tv_nsec);
}

void sleep_ns(std::uint64_t ns) {
  timespec req{static_cast<time_t>(ns / 1000000000ull), static_cast<long>(ns % 1000000000ull)};
  while (nanosleep(&req, &req) != 0 && errno == EINTR) {
  }
}

}  // namespace qm::platform
