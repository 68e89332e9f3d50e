#include "platform/wait_word.hpp"

#include "platform/time_units.hpp"

#include <linux/futex.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <climits>
#include <ctime>

namespace qm::platform {

namespace {
long futex(const std::atomic<std::uint32_t>& word, int op, std::uint32_t value, const timespec* timeout) {
  return syscall(SYS_futex, reinterpret_cast<const std::uint32_t*>(&word), op, value, timeout, nullptr, 0);
}
}  // namespace

void wait_word(const std::atomic<std::uint32_t>& word, std::uint32_t expected, std::uint64_t timeout_ns) {
  if (timeout_ns == 0) return;  // zero would mean "forever" to the kernel
  timespec ts{static_cast<time_t>(timeout_ns / kNanosPerSecond), static_cast<long>(timeout_ns % kNanosPerSecond)};
  futex(word, FUTEX_WAIT_PRIVATE, expected, &ts);
}

void wake_word_all(const std::atomic<std::uint32_t>& word) { futex(word, FUTEX_WAKE_PRIVATE, INT_MAX, nullptr); }

void wake_word_one(const std::atomic<std::uint32_t>& word) { futex(word, FUTEX_WAKE_PRIVATE, 1, nullptr); }

}  // namespace qm::platform
