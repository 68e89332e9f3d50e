#pragma once
#include <atomic>
#include <cstdint>

namespace qm::platform {

// Waits while `word` holds `expected`, at most `timeout_ns` nanoseconds (futex / WaitOnAddress).
// Spurious returns are possible; callers re-check their condition. A zero timeout returns at once.
void wait_word(const std::atomic<std::uint32_t>& word, std::uint32_t expected, std::uint64_t timeout_ns);

void wake_word_all(const std::atomic<std::uint32_t>& word);
void wake_word_one(const std::atomic<std::uint32_t>& word);

}  // namespace qm::platform
