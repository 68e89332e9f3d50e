#include "platform/wait_word.hpp"

#include "platform/time_units.hpp"

#include <windows.h>

namespace qm::platform {

void wait_word(const std::atomic<std::uint32_t>& word, std::uint32_t expected, std::uint64_t timeout_ns) {
  if (timeout_ns == 0) return;
  std::uint64_t ms = millis_rounded_up(timeout_ns);
  if (ms >= INFINITE) ms = INFINITE - 1;
  WaitOnAddress(const_cast<std::atomic<std::uint32_t>*>(&word), &expected, sizeof expected, static_cast<DWORD>(ms));
}

void wake_word_all(const std::atomic<std::uint32_t>& word) {
  WakeByAddressAll(const_cast<std::atomic<std::uint32_t>*>(&word));
}

void wake_word_one(const std::atomic<std::uint32_t>& word) {
  WakeByAddressSingle(const_cast<std::atomic<std::uint32_t>*>(&word));
}

}  // namespace qm::platform
