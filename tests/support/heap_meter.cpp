#include "heap_meter.hpp"

#include <atomic>

namespace qm::mesh::fixture {

namespace {

std::atomic<bool> g_counting{false};
std::atomic<std::uint64_t> g_live{0};
std::atomic<std::uint64_t> g_peak{0};
thread_local int t_uncounted = 0;

void raise_peak(std::uint64_t live) {
  std::uint64_t peak = g_peak.load(std::memory_order_relaxed);
  while (live > peak && !g_peak.compare_exchange_weak(peak, live, std::memory_order_relaxed)) {
  }
}

}  // namespace

bool heap_counting() { return g_counting.load(std::memory_order_relaxed); }
std::uint64_t heap_live() { return g_live.load(std::memory_order_relaxed); }
std::uint64_t heap_peak() { return g_peak.load(std::memory_order_relaxed); }
void heap_restart_peak() { g_peak.store(g_live.load(std::memory_order_relaxed), std::memory_order_relaxed); }

HeapUncounted::HeapUncounted() { ++t_uncounted; }
HeapUncounted::~HeapUncounted() { --t_uncounted; }

namespace heap_meter {

bool uncounted_now() { return t_uncounted > 0; }

void allocated(std::uint64_t bytes) {
  g_counting.store(true, std::memory_order_relaxed);
  raise_peak(g_live.fetch_add(bytes, std::memory_order_relaxed) + bytes);
}

void deleted(std::uint64_t bytes) { g_live.fetch_sub(bytes, std::memory_order_relaxed); }

}  // namespace heap_meter

}  // namespace qm::mesh::fixture
