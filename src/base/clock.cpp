#include "base/clock.hpp"

#include <mutex>

#include "platform/clock.hpp"

namespace qm {

namespace {
std::once_flag origin_once;
std::uint64_t origin_value = 0;
}  // namespace

std::uint64_t clock_origin_ns() {
  std::call_once(origin_once, [] { origin_value = platform::monotonic_ns(); });
  return origin_value;
}

std::uint64_t now_ns() { return platform::monotonic_ns(); }

std::uint64_t stamp_now() {
  const std::uint64_t origin = clock_origin_ns();
  return saturating_sub(platform::monotonic_ns(), origin) + 1;
}

double seconds_since_origin() {
  const std::uint64_t origin = clock_origin_ns();
  return ns_to_seconds(saturating_sub(platform::monotonic_ns(), origin));
}

}  // namespace qm
