#include "platform/clock.hpp"

namespace qm::platform {

namespace {

class SystemClock final : public Clock {
 public:
  std::uint64_t now() override { return monotonic_ns(); }
  void sleep(std::uint64_t ns) override { sleep_ns(ns); }
};

}  // namespace

Clock& system_clock() {
  // Detached threads may still read it while the process exits: never destroyed.
  static SystemClock* const clock = new SystemClock();
  return *clock;
}

}  // namespace qm::platform
