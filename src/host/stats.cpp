#include "host/stats.hpp"

#include "platform/time_units.hpp"

namespace qm {

void CostStats::add(std::uint64_t cost_ns, std::uint64_t elapsed_ns) {
  count.fetch_add(1, std::memory_order_relaxed);
  sum.fetch_add(cost_ns, std::memory_order_relaxed);
  const std::uint64_t w = cost_window(elapsed_ns);
  const std::uint64_t stored = window.load(std::memory_order_relaxed);
  if (w != stored) {
    previous_max.store(stored + 1 == w ? window_max.load(std::memory_order_relaxed) : 0, std::memory_order_relaxed);
    window_max.store(0, std::memory_order_relaxed);
    window.store(w, std::memory_order_relaxed);
  }
  std::uint64_t seen = window_max.load(std::memory_order_relaxed);
  while (seen < cost_ns && !window_max.compare_exchange_weak(seen, cost_ns, std::memory_order_relaxed)) {
  }
}

std::uint64_t CostStats::max_recent(std::uint64_t elapsed_ns) const {
  const std::uint64_t w = cost_window(elapsed_ns);
  const std::uint64_t stored = window.load(std::memory_order_relaxed);
  const std::uint64_t current = window_max.load(std::memory_order_relaxed);
  if (stored == w) {
    const std::uint64_t previous = previous_max.load(std::memory_order_relaxed);
    return current > previous ? current : previous;
  }
  if (stored != 0 && stored + 1 == w) return current;
  return 0;
}

double CostStats::mean_micros() const {
  const std::uint64_t n = count.load(std::memory_order_relaxed);
  if (n == 0) return 0.0;
  return static_cast<double>(sum.load(std::memory_order_relaxed)) / static_cast<double>(n) / kNanosPerMicro;
}

ModuleStats& module_stats() {
  static ModuleStats* stats = new ModuleStats();  // never destroyed: detached threads outlive exit
  return *stats;
}

void TerrainCostStats::add(std::uint64_t cost_ns, std::uint64_t elapsed_ns) {
  histogram[terrain_cost_bucket(cost_ns)].fetch_add(1, std::memory_order_relaxed);
  cost.add(cost_ns, elapsed_ns);
}

std::optional<std::uint64_t> TerrainCostStats::p99_micros() const {
  std::array<std::uint64_t, terrain_cost_buckets> counts;
  std::uint64_t n = 0;
  for (std::size_t i = 0; i < terrain_cost_buckets; ++i) {
    counts[i] = histogram[i].load(std::memory_order_relaxed);
    n += counts[i];
  }
  if (n == 0) return std::nullopt;
  const std::uint64_t rank = n - n / 100;  // min(n, ceil(n * 99 / 100))
  std::uint64_t running = 0;
  for (std::size_t i = 0; i < terrain_cost_buckets; ++i) {
    running += counts[i];
    if (running >= rank) return (i + 1) * 10;
  }
  return 5010;
}

TerrainCostStats& terrain_cost_stats() {
  static TerrainCostStats* stats = new TerrainCostStats();
  return *stats;
}

}  // namespace qm
