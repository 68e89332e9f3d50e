#pragma once
// Module-wide statistics: what the host's two hooks cost, when the last HTTP request came, and the
// cost of the host's terrain work per frame. Every field is one atomic word, written with atomic
// adds, stores and compare-and-swap maxima, never behind a lock. Readers may see one update partly
// applied; the values are statistics and need no consistency across fields, so relaxed ordering
// is enough wherever it is written out (nothing else is published through them).
//
// Time stamps count the nanoseconds since the clock origin plus 1 (0 = never); durations are in
// nanoseconds.
#include <array>
#include <atomic>
#include <cstdint>
#include <optional>

#include "platform/time_units.hpp"

namespace qm {

// The 10-second window a moment falls in, from its nanoseconds since the clock origin:
// whole seconds / 10 + 1 (so 1 for a moment not after the origin, and 0 never names a window).
inline std::uint64_t cost_window(std::uint64_t elapsed_ns) { return elapsed_ns / kNanosPerSecond / 10 + 1; }

// Nanoseconds since the clock origin of a time stamp (0 for "never" and for the origin itself).
inline std::uint64_t stamp_elapsed(std::uint64_t stamp) { return stamp == 0 ? 0 : stamp - 1; }

// A measured cost: count, sum and the maxima of the current and of the previous 10-second window.
struct CostStats {
  std::atomic<std::uint64_t> count{0};
  std::atomic<std::uint64_t> sum{0};
  std::atomic<std::uint64_t> window{0};
  std::atomic<std::uint64_t> window_max{0};
  std::atomic<std::uint64_t> previous_max{0};

  // Adds a cost of `cost_ns`, measured at `elapsed_ns` after the clock origin. Only one thread
  // writes a given block (the window rollover is three plain stores).
  void add(std::uint64_t cost_ns, std::uint64_t elapsed_ns);
  // The largest cost of the current and the previous window, seen at `elapsed_ns`; 0 when both
  // lie further back.
  std::uint64_t max_recent(std::uint64_t elapsed_ns) const;
  // sum / count in microseconds; 0 when nothing was measured.
  double mean_micros() const;
};

struct ModuleStats {
  std::atomic<std::uint64_t> mission_frames{0};
  std::atomic<std::uint64_t> last_mission_frame{0};  // stamp
  std::atomic<std::uint64_t> last_request{0};        // stamp
  std::atomic<double> host_time{0.0};
  CostStats hook_cost;
  std::atomic<std::uint64_t> export_frames{0};
  CostStats export_cost;
  std::atomic<std::uint64_t> last_export_frame{0};  // stamp
  std::atomic<std::uint64_t> mission_frames_at_export{0};
  std::atomic<std::uint64_t> mission_frames_at_change{0};
  std::atomic<std::uint64_t> export_frames_at_change{0};
  std::atomic<std::uint64_t> last_mission_change{0};  // stamp
  std::atomic<std::uint64_t> requests{0};
  std::atomic<std::uint64_t> rejected{0};
  std::atomic<bool> other_thread{false};
};

// The process-wide block (made once, never destroyed).
ModuleStats& module_stats();

constexpr std::size_t terrain_cost_buckets = 501;  // 10-microsecond steps; the last holds 5 ms and more

// The bucket of a terrain cost: min(cost / 10 000 ns, 500).
inline std::size_t terrain_cost_bucket(std::uint64_t cost_ns) {
  const std::uint64_t bucket = cost_ns / 10000;
  return bucket < terrain_cost_buckets - 1 ? static_cast<std::size_t>(bucket) : terrain_cost_buckets - 1;
}

struct TerrainCostStats {
  CostStats cost;  // count = the measured frames
  std::array<std::atomic<std::uint64_t>, terrain_cost_buckets> histogram{};
  std::atomic<std::uint64_t> cold_points{0};
  std::atomic<std::uint64_t> cold_frames{0};
  std::atomic<std::uint64_t> sampling_frames{0};
  std::atomic<std::uint64_t> dry_frames{0};

  // Adds one frame's terrain cost (count, sum, histogram, window maximum).
  void add(std::uint64_t cost_ns, std::uint64_t elapsed_ns);
  // The 99th percentile in microseconds, the upper edge of its 10-microsecond bucket (5010 past
  // the last); none when no frame was measured. The rank comes from the same copy of the buckets
  // that is walked, so a concurrent frame cannot push it past the end.
  std::optional<std::uint64_t> p99_micros() const;
};

// The process-wide block (made once, never destroyed).
TerrainCostStats& terrain_cost_stats();

}  // namespace qm
