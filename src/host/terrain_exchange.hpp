#pragma once
// The host's side of the height queues: the per-thread batch that `terrain_take` hands to the host,
// `terrain_point` reads, `terrain_answer` fills, and `frame_end` delivers into the askers' tables.
// The logic takes its inputs (theatre, clock, budget, sampler flag) explicitly so it can be tested
// with a fake clock; the Lua functions feed it from the thread's state.
#include <atomic>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "host/height_queue.hpp"

namespace qm {

// The host's answer to one question; each value present only when finite.
struct HostAnswer {
  std::optional<double> a;
  std::optional<double> b;
};

struct ExchangeEntry {
  terrain::HeightJob job;
  std::optional<HostAnswer> answer;  // none until terrain_answer
};

struct DeliveryRecord {
  std::shared_ptr<terrain::AnswerTable> table;
  std::uint64_t index = 0;
  HostAnswer answer;
  bool seen = false;  // true only for a question that was handed to the host
};

struct TerrainExchange {
  std::vector<ExchangeEntry> batch;             // the last batch handed to the host (at most 5)
  std::vector<DeliveryRecord> deliveries;       // closed questions waiting for frame_end
  std::uint64_t page_time_ns = 0;               // host time on batches of queues 0 and 1, this frame
  std::optional<std::uint64_t> frame_start;     // first terrain_take of this frame
  std::optional<std::uint64_t> last_hand_out;   // end of the last terrain_take of this frame
  std::uint8_t last_kind = 0;                   // 2 after a call that stopped or found nothing
  std::uint64_t last_count = 0;                 // points in the last batch
  std::uint64_t frame_points = 0;               // points handed out this frame
  bool done = false;                            // taking has stopped for this frame
  bool dry = false;                             // nothing to take while the sampler was asking
};

inline constexpr std::uint64_t batch_limit = 5;
inline constexpr std::uint64_t cold_batch_ns = 5000000;  // a batch slower than this ends the frame

// What terrain_take reads from the world.
struct TakeInputs {
  const std::string* theatre = nullptr;  // the current theatre when a mission runs on the own server
  std::uint64_t now_ns = 0;
  std::uint64_t budget_ns = 300000;
  bool sampler_asking = false;
};

struct TakeResult {
  std::uint64_t count = 0;        // points in the new batch
  bool cold = false;              // this call found the last batch cold
  std::uint64_t cold_points = 0;  // that batch's size
};

TakeResult exchange_take(TerrainExchange& exchange, const TakeInputs& in,
                         terrain::HeightQueues& queues = terrain::height_queues());

// A valid index names batch entry i (1-based): a whole number from 1 to 1000, at most the batch size.
std::optional<std::size_t> exchange_index(const TerrainExchange& exchange, std::optional<double> i);

// Stores the host's answer for batch entry `entry` (0-based), keeping only finite values; a later
// answer of the same entry replaces an earlier one.
void exchange_answer(TerrainExchange& exchange, std::size_t entry, std::optional<double> a,
                     std::optional<double> b);

// What frame_end measured for the frame that ends.
struct FrameEndResult {
  std::optional<std::uint64_t> cost_ns;  // last hand-out minus frame start, when points were taken
  bool sampling = false;                 // the sampler was asking
  bool dry = false;                      // ... and a take of this frame found nothing
  std::uint64_t delivered = 0;           // deliveries handed to their tables (stored or dropped)
  std::uint64_t deferred = 0;            // deliveries kept for the next frame_end (table busy)
};

// The frame's end: measures, resets the per-frame fields, closes the batch and hands every delivery
// to its table, keeping those whose table is busy for the next frame_end.
FrameEndResult exchange_frame_end(TerrainExchange& exchange, bool sampler_asking);

// Set by the sampler while it has a height batch in flight for the current theatre. Relaxed: a hint
// for the host's frame budget; a stale value costs one frame at most.
std::atomic<std::uint8_t>& sampler_asking();

}  // namespace qm
