#include "platform/clock.hpp"

#include "platform/time_units.hpp"

#include <windows.h>

namespace qm::platform {

std::uint64_t monotonic_ns() {
  static const std::uint64_t frequency = [] {
    LARGE_INTEGER f;
    QueryPerformanceFrequency(&f);
    return static_cast<std::uint64_t>(f.QuadPart);
  }();
  LARGE_INTEGER counter;
  QueryPerformanceCounter(&counter);
  const std::uint64_t ticks = static_cast<std::uint64_t>(counter.QuadPart);
  // Split to keep ticks * 1e9 from overflowing.
  return (ticks / frequency) * kNanosPerSecond + (ticks % frequency) * kNanosPerSecond / frequency;
}

void sleep_ns(std::uint64_t ns) {
  const std::uint64_t ms = millis_rounded_up(ns);
  Sleep(static_cast<DWORD>(ms > 0xFFFFFFFEull ? 0xFFFFFFFEull : ms));
}

}  // namespace qm::platform
