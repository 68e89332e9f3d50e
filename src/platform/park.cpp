#include "platform/park.hpp"

#include "platform/clock.hpp"
#include "platform/wait_word.hpp"

namespace qm::platform {

void Parker::unpark() {
  if (state_.exchange(1, std::memory_order_release) == 0) wake_word_one(state_);
}

void Parker::park(std::uint64_t timeout_ns) {
  const std::uint64_t start = monotonic_ns();
  for (;;) {
    if (state_.exchange(0, std::memory_order_acquire) == 1) return;
    const std::uint64_t elapsed = monotonic_ns() - start;
    if (elapsed >= timeout_ns) return;
    wait_word(state_, 0, timeout_ns - elapsed);
  }
}

std::shared_ptr<Parker> current_parker() {
  thread_local std::shared_ptr<Parker> parker = std::make_shared<Parker>();
  return parker;
}

}  // namespace qm::platform
