#pragma once
// Holding a thread in the state a test checks: in a wait on a word or a lock, before another thread
// wakes it or lets the lock go. Linux shows which system call a thread is blocked in, so the test
// waits until the thread is there; where the system does not show it, a short pause stands in.
#include <cstdint>
#include <fstream>
#include <string>

#include "platform/clock.hpp"

#if defined(__linux__)
#include <unistd.h>
#endif

namespace qm::test {

// The calling thread's system id (0 where the system shows no waits).
inline std::uint64_t this_thread_id() {
#if defined(__linux__)
  return static_cast<std::uint64_t>(gettid());
#else
  return 0;
#endif
}

enum class Blocked {
  yes,      // the thread is blocked in a wait on a word (futex)
  ended,    // the thread ended before it ever waited
  unknown,  // the system does not show it: a 20 ms pause was made instead
};

// Waits (for at most a minute, which only a fault reaches) until the thread, named by its
// `this_thread_id`, is blocked in a wait on a word or a lock.
inline Blocked wait_until_blocked(std::uint64_t thread_id) {
  constexpr std::uint64_t ms = 1000000;
#if defined(__linux__)
  if (thread_id != 0) {
    const std::string path = "/proc/self/task/" + std::to_string(thread_id) + "/syscall";
    const std::uint64_t start = platform::monotonic_ns();
    while (platform::monotonic_ns() - start < 60000 * ms) {
      std::ifstream file(path);
      std::string call;
      if (!file) return Blocked::ended;
      if (!(file >> call)) return Blocked::unknown;
      if (call == "202") return Blocked::yes;  // futex
      platform::sleep_ns(ms / 2);
    }
    return Blocked::ended;
  }
#endif
  (void)thread_id;
  platform::sleep_ns(20 * ms);
  return Blocked::unknown;
}

}  // namespace qm::test
