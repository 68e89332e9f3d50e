#include "streams/work_link.hpp"

#include <thread>
#include <utility>

#include "base/clock.hpp"
#include "host/host_state.hpp"
#include "geo/blocks.hpp"
#include "streams/cell_lookups.hpp"
#include "work/worker_message.hpp"

namespace qm {

WorkStreamTerrain::WorkStreamTerrain(ModuleStats& stats) : WorkStreamTerrain(stats, terrain_state()) {}

WorkStreamTerrain::WorkStreamTerrain(ModuleStats& stats, TerrainStateRef state)
    : stats_(stats), state_(std::move(state)) {}

MissionPhase WorkStreamTerrain::phase() { return mission_phase(stats_); }

std::optional<std::string> WorkStreamTerrain::worker_message() {
  return state_ ? qm::worker_message(*state_) : std::nullopt;
}

std::uint64_t WorkStreamTerrain::change_counter() { return state_ ? qm::change_counter(*state_) : 0; }

std::uint64_t WorkStreamTerrain::now() { return now_ns(); }

std::uint64_t WorkStreamTerrain::wait_for_change(std::uint64_t last_seen, std::uint64_t deadline) {
  if (state_) return qm::wait_for_change(*state_, last_seen, deadline);
  const std::uint64_t now = now_ns();
  if (deadline > now) std::this_thread::sleep_for(std::chrono::nanoseconds(deadline - now));
  return last_seen;
}

namespace {

// The ids a page may keep for the cells, by the owner table of the store's theatre; none without a
// table.
std::set<std::uint32_t> keepable_ids(const Store& store, const SquareMask& cells) {
  if (!store.theatre()) return {};
  const auto table = store.owners().find(*store.theatre());
  if (table == store.owners().end()) return {};
  return keepable_ids_of_cells(table->second, mask_cells(cells));
}

}  // namespace

JobTurn WorkStreamTerrain::job_turn(std::uint64_t job_id, const StreamControl& control, std::uint64_t pending_bytes) {
  JobTurn turn;
  if (!state_) {
    turn.gone = true;
    return turn;
  }
  bool freed = false;
  {
    PoisonGuard guard(state_->schedule_lock);
    Schedule& schedule = state_->schedule;
    const auto it = schedule.jobs.find(job_id);
    if (it == schedule.jobs.end() || control.is_replaced()) {
      turn.gone = true;
      return turn;
    }
    const bool was_over = over_budget(schedule, job_id);
    Job& job = it->second;
    Store& store = schedule.store;
    std::uint64_t estimate = pending_bytes;
    while (estimate < kPendingPieceBytes && !job.pins.empty()) {
      const std::uint64_t key = job.pins.front();
      job.pins.pop_front();
      const auto entry = store.meshes().find(key);
      if (entry != store.meshes().end()) {
        PieceCopy piece;
        piece.id = key;
        piece.vertices = entry->second.vertices;
        piece.triangles = entry->second.triangles;
        estimate += piece_estimate(piece.vertices.size(), piece.triangles.size());
        turn.taken.push_back(std::move(piece));
      }
      store.renew_stamp(key);
    }
    turn.total = job.square_count;
    turn.done = job.squares_done();
    turn.failed = job.failed_squares.size();
    turn.pins_left = job.pins.size();
    if (turn.pins_left == 0 && turn.done == turn.total && turn.failed == 0) {
      turn.keepable = keepable_ids(store, job.requested);
    }
    freed = was_over && !over_budget(schedule, job_id);
  }
  if (freed) unpark_workers(*state_);
  return turn;
}

AskedBatches WorkStreamTerrain::asked_since(std::uint64_t after, std::string_view theatre) {
  if (!state_) return AskedBatches{{}, 0};
  return state_->asked_log.since(after, theatre);
}

std::optional<BlockFitMap> WorkStreamTerrain::block_fits(std::string_view theatre, const std::vector<BlockKey>& keys,
                                                         std::chrono::nanoseconds wait) {
  return qm::block_fits(make_text(std::string(theatre)), keys, wait, host_converter());
}

std::optional<std::string> terrain_worker_message() {
  const TerrainStateRef state = terrain_state();
  return state ? worker_message(*state) : std::nullopt;
}

std::uint64_t open_jobless_stream(std::string_view page, bool lan, const StreamControlRef& control) {
  const TerrainStateRef state = terrain_state();
  if (!state) {
    // No terrain work yet, so no jobs: only the older stream is told.
    if (const std::optional<OpenStreamRef> older = newest_open_stream(page); older && older->control) {
      older->control->mark_replaced();
    }
    return stream_open(page, lan, std::nullopt, control, now_ns());
  }
  std::uint64_t id = 0;
  {
    PoisonGuard guard(state->schedule_lock);
    Schedule& schedule = state->schedule;
    if (const std::optional<OpenStreamRef> older = newest_open_stream(page)) {
      if (older->control) older->control->mark_replaced();
      if (older->job_id) {
        schedule.reservations.erase(*older->job_id);
        schedule.store.unpin(*older->job_id);
        drop_job(schedule, *older->job_id);
      }
    }
    id = stream_open(page, lan, std::nullopt, control, now_ns());
  }
  unpark_workers(*state);
  notify_all(*state);
  return id;
}

}  // namespace qm
