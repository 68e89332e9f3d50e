#pragma once
// The benchmarks' clock: seconds since an instant, and the seconds one run of a piece of work takes.
#include <chrono>
#include <cstddef>

namespace qm::bench {

using Clock = std::chrono::steady_clock;

inline double seconds_since(Clock::time_point t0) { return std::chrono::duration<double>(Clock::now() - t0).count(); }

// Runs `f` repeatedly for at least `least` seconds (and at least once); the seconds per run.
template <class F>
double per_run(F&& f, double least = 0.3) {
  std::size_t runs = 0;
  const auto t0 = Clock::now();
  do {
    f();
    ++runs;
  } while (seconds_since(t0) < least);
  return seconds_since(t0) / static_cast<double>(runs);
}

}  // namespace qm::bench
