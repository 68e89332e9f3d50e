#include "work/terrain_status_format.hpp"

#include <algorithm>

#include "base/clock.hpp"
#include "base/json.hpp"
#include "base/shared_text.hpp"

namespace qm::work {

namespace {

void seconds(JsonWriter& w, const char* name, std::uint64_t ns, std::uint16_t decimals) {
  w.key(name).number(ns_to_seconds(ns), decimals);
}

// The turn as {"cells":…,"points":…,"rounds":…,"seconds":…} (points and rounds only for a sampled
// group), or null.
void turn_member(JsonWriter& w, const char* name, const std::optional<TurnRecord>& turn, bool sampled) {
  w.key(name);
  if (!turn) {
    w.null();
    return;
  }
  w.begin_object().key("cells").integer(turn->cells);
  if (sampled) w.key("points").integer(turn->points).key("rounds").integer(turn->rounds);
  w.key("seconds").number(turn->seconds, 3).end_object();
}

void store_member(JsonWriter& w, const StoreFacts& store) {
  const std::uint64_t pinned = std::min(store.bytes, store.pinned);
  w.key("store").begin_object();
  w.key("theatre").opt_text(opt_view(store.theatre));
  w.key("pieces").integer(store.pieces);
  w.key("samples").integer(store.samples);
  w.key("bytes").integer(store.bytes);
  w.key("evictableBytes").integer(store.bytes - pinned);
  w.key("pinnedBytes").integer(pinned);
  w.key("reservedBytes").integer(store.reserved);
  w.key("ownerSquares").integer(store.owner_squares);
  w.key("piecesEvicted").integer(store.pieces_evicted);
  w.key("samplesEvicted").integer(store.samples_evicted);
  w.key("squaresForgotten").integer(store.squares_forgotten);
  w.key("pinsOver").boolean(pinned > store.reservation_cap);
  w.end_object();
}

void work_member(JsonWriter& w, const WorkFacts& work) {
  w.key("work").begin_object();
  w.key("sampling").integer(work.sampling);
  w.key("sampled").integer(work.sampled);
  w.key("building").boolean(work.building);
  static constexpr const char* counter_names[7] = {"started", "built",    "cancelled", "conflicts",
                                                   "failed",  "returned", "heldBack"};
  for (std::size_t i = 0; i < work.counters.size(); ++i) w.key(counter_names[i]).integer(work.counters[i]);
  w.key("owedBytes").integer(work.owed_bytes);
  w.key("buildsStopped").integer(work.builds_stopped);
  w.key("pointsAsked").integer(work.points_asked);
  w.key("zeroedPoints").integer(work.zeroed_points);
  seconds(w, "runAheadFullSeconds", work.run_ahead_full_ns, 1);

  w.key("sampler").begin_object();
  w.key("looks").integer(work.sampler.looks);
  seconds(w, "lookSeconds", work.sampler.look_ns, 3);
  seconds(w, "startSeconds", work.sampler.start_ns, 3);
  w.key("advances").integer(work.sampler.advances);
  seconds(w, "advanceSeconds", work.sampler.advance_ns, 3);
  seconds(w, "answersSeconds", work.sampler.answers_ns, 3);
  w.end_object();

  turn_member(w, "lastSampled", work.last_sampled, true);
  turn_member(w, "lastBuilt", work.last_built, false);
  w.key("error").opt_text(opt_view(work.error));
  w.end_object();
}

}  // namespace

std::string terrain_status_text(const StoreFacts& store, const WorkFacts& work) {
  std::string out;
  out.reserve(1024);
  JsonWriter w(out);
  store_member(w, store);
  work_member(w, work);
  return out;
}

}  // namespace qm::work
