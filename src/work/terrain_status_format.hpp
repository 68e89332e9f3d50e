#pragma once
// The terrain members of the status document ("store" and "work") as text, from plain values that
// the status writer copies out of the terrain work state under its locks.
#include <array>
#include <cstdint>
#include <optional>
#include <string>

namespace qm::work {

// What the last sampled group or the last built piece took.
struct TurnRecord {
  std::uint64_t cells = 0;
  std::uint64_t points = 0;
  std::uint64_t rounds = 0;
  double seconds = 0.0;
};

struct StoreFacts {
  std::optional<std::string> theatre;
  std::uint64_t pieces = 0;
  std::uint64_t samples = 0;
  std::uint64_t bytes = 0;         // the store's byte estimate
  std::uint64_t pinned = 0;        // the store's pinned bytes as recorded (may exceed `bytes`)
  std::uint64_t reserved = 0;      // sum of every job's reservation
  std::uint64_t owner_squares = 0;
  std::uint64_t pieces_evicted = 0;
  std::uint64_t samples_evicted = 0;
  std::uint64_t squares_forgotten = 0;
  std::uint64_t reservation_cap = 100663296;
};

struct SamplerTiming {
  std::uint64_t looks = 0;
  std::uint64_t look_ns = 0;
  std::uint64_t start_ns = 0;
  std::uint64_t advances = 0;
  std::uint64_t advance_ns = 0;
  std::uint64_t answers_ns = 0;
};

struct WorkFacts {
  std::uint64_t sampling = 0;  // groups in state 0
  std::uint64_t sampled = 0;   // groups in state 1
  bool building = false;
  // "started", "built", "cancelled", "conflicts", "failed", "returned", "heldBack"
  std::array<std::uint64_t, 7> counters{};
  std::uint64_t owed_bytes = 0;
  std::uint64_t builds_stopped = 0;
  std::uint64_t points_asked = 0;
  std::uint64_t zeroed_points = 0;
  std::uint64_t run_ahead_full_ns = 0;
  SamplerTiming sampler;
  std::optional<TurnRecord> last_sampled;
  std::optional<TurnRecord> last_built;
  std::optional<std::string> error;
};

// The fragment "store":{...},"work":{...} without enclosing braces.
std::string terrain_status_text(const StoreFacts& store, const WorkFacts& work);

// The fragment before the terrain work state exists.
inline constexpr const char* kNoTerrainStatus = "\"store\":null,\"work\":null";

}  // namespace qm::work
