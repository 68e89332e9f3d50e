#include "work/terrain_status_format.hpp"

#include <algorithm>

#include "base/clock.hpp"
#include "base/json.hpp"

namespace qm::work {

namespace {

void key(std::string& out, const char* name) {
  out.push_back('"');
  out.append(name);
  out.append("\":");
}

void uint_member(std::string& out, const char* name, std::uint64_t value) {
  key(out, name);
  json_uint(out, value);
  out.push_back(',');
}

void seconds_member(std::string& out, const char* name, std::uint64_t ns, std::uint16_t decimals) {
  key(out, name);
  json_number(out, ns_to_seconds(ns), decimals);
  out.push_back(',');
}

// The turn as {"cells":…,"points":…,"rounds":…,"seconds":…} (points and rounds only for a sampled
// group), or null, then a comma.
void turn_member(std::string& out, const char* name, const std::optional<TurnRecord>& turn, bool sampled) {
  key(out, name);
  if (turn) {
    out.push_back('{');
    uint_member(out, "cells", turn->cells);
    if (sampled) {
      uint_member(out, "points", turn->points);
      uint_member(out, "rounds", turn->rounds);
    }
    key(out, "seconds");
    json_number(out, turn->seconds, 3);
    out.push_back('}');
  } else {
    out.append("null");
  }
  out.push_back(',');
}

void close_object(std::string& out) {
  if (!out.empty() && out.back() == ',') out.pop_back();
  out.push_back('}');
}

}  // namespace

std::string terrain_status_text(const StoreFacts& store, const WorkFacts& work) {
  std::string out;
  out.reserve(1024);

  const std::uint64_t pinned = std::min(store.bytes, store.pinned);
  out.append("\"store\":{");
  key(out, "theatre");
  json_opt_string(out, store.theatre ? std::optional<std::string_view>(*store.theatre) : std::nullopt);
  out.push_back(',');
  uint_member(out, "pieces", store.pieces);
  uint_member(out, "samples", store.samples);
  uint_member(out, "bytes", store.bytes);
  uint_member(out, "evictableBytes", store.bytes - pinned);
  uint_member(out, "pinnedBytes", pinned);
  uint_member(out, "reservedBytes", store.reserved);
  uint_member(out, "ownerSquares", store.owner_squares);
  uint_member(out, "piecesEvicted", store.pieces_evicted);
  uint_member(out, "samplesEvicted", store.samples_evicted);
  uint_member(out, "squaresForgotten", store.squares_forgotten);
  key(out, "pinsOver");
  json_bool(out, pinned > store.reservation_cap);
  out.append("},");

  out.append("\"work\":{");
  uint_member(out, "sampling", work.sampling);
  uint_member(out, "sampled", work.sampled);
  key(out, "building");
  json_bool(out, work.building);
  out.push_back(',');
  static constexpr const char* counter_names[7] = {"started", "built",    "cancelled", "conflicts",
                                                   "failed",  "returned", "heldBack"};
  for (std::size_t i = 0; i < work.counters.size(); ++i) uint_member(out, counter_names[i], work.counters[i]);
  uint_member(out, "owedBytes", work.owed_bytes);
  uint_member(out, "buildsStopped", work.builds_stopped);
  uint_member(out, "pointsAsked", work.points_asked);
  uint_member(out, "zeroedPoints", work.zeroed_points);
  seconds_member(out, "runAheadFullSeconds", work.run_ahead_full_ns, 1);

  key(out, "sampler");
  out.push_back('{');
  uint_member(out, "looks", work.sampler.looks);
  seconds_member(out, "lookSeconds", work.sampler.look_ns, 3);
  seconds_member(out, "startSeconds", work.sampler.start_ns, 3);
  uint_member(out, "advances", work.sampler.advances);
  seconds_member(out, "advanceSeconds", work.sampler.advance_ns, 3);
  seconds_member(out, "answersSeconds", work.sampler.answers_ns, 3);
  close_object(out);
  out.push_back(',');

  turn_member(out, "lastSampled", work.last_sampled, true);
  turn_member(out, "lastBuilt", work.last_built, false);

  key(out, "error");
  json_opt_string(out, work.error ? std::optional<std::string_view>(*work.error) : std::nullopt);
  out.push_back('}');
  return out;
}

}  // namespace qm::work
