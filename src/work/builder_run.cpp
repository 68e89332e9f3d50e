#include "work/builder_run.hpp"

#include <algorithm>
#include <array>
#include <exception>
#include <map>
#include <optional>
#include <tuple>
#include <utility>

#include "base/clock.hpp"
#include "base/fault.hpp"
#include "base/span.hpp"
#include "platform/handback.hpp"
#include "work/sampler_steps.hpp"
#include "work/store_eviction.hpp"
#include "work/worker_message.hpp"

namespace qm::work {

bool snapshot_matches(const Store& store, const std::vector<mesh::CellHolder>& items) {
  if (items.empty()) return true;
  if (store.cell_map().empty()) {
    return std::none_of(items.begin(), items.end(), [](const mesh::CellHolder& item) { return item.holder.has_value(); });
  }
  for (const mesh::CellHolder& item : items) {
    if (store.cell_map().key_of(Cell{item.x, item.y}) != item.holder) return false;
  }
  return true;
}

bool coverage_matches(const Store& store, const std::vector<mesh::CellHolder>& items) {
  return std::all_of(items.begin(), items.end(), [&](const mesh::CellHolder& item) {
    return store.cell_map().contains(Cell{item.x, item.y}) == item.holder.has_value();
  });
}

mesh::BuildSnapshot make_build_snapshot(const Store& store, const std::vector<mesh::CellHolder>& items,
                                        CancelFlag cancel, std::uint64_t group_id) {
  SpanTimer span("scheme.snapshot");
  mesh::BuildSnapshot snapshot;
  for (const mesh::CellHolder& item : items) {
    if (item.holder) snapshot.holder_map[Cell{item.x, item.y}] = *item.holder;
  }
  for (const auto& [cell, key] : snapshot.holder_map) {
    if (snapshot.meshes.contains(key)) continue;
    const auto entry = store.meshes().find(key);
    if (entry == store.meshes().end()) fault("no entry found for key");
    snapshot.meshes.emplace(key, entry->second);
  }
  snapshot.cancel = std::move(cancel);
  snapshot.key = group_id;
  return snapshot;
}

namespace {

// Whether every stored piece the build read is still stored under its key with the cells the
// snapshot copied. A neighbour that another build re-cut (it gave cells up) or that was evicted
// meanwhile fails it: its border may no longer be the one this piece was seeded from.
bool sources_unchanged(const Store& store, const mesh::BuildSnapshot& snapshot) {
  for (const auto& [key, copy] : snapshot.meshes) {
    const auto entry = store.meshes().find(key);
    if (entry == store.meshes().end() || entry->second.cells != copy.cells) return false;
  }
  return true;
}

struct Outcome {
  std::optional<mesh::MeshPiece> piece;  // none: the build faulted
};

// Step 15: the piece enters the store (Store::commit_piece), then the owner table is held within
// its square limit (step 4 of the commit). Every job whose request covers a cell of a stored mesh,
// the re-cut meshes of older pieces too, pins it, whether or not its page held the older piece.
void commit(TerrainState& state, const SampledGroup& group, mesh::MeshPiece& piece, std::uint64_t cells,
            std::uint64_t build_start) {
  Schedule& schedule = state.schedule;
  Store& store = schedule.store;
  const CommittedKeys keys = store.commit_piece(piece);
  store.forget_owner_squares(schedule.owner_square_limit);

  if (keys.piece) {
    ++schedule.measured_groups;
    schedule.measured_bytes += entry_bytes(store.meshes().at(*keys.piece));
  }
  for (const std::uint64_t key : keys.stored()) {
    const SquareMask covered = SquareMask::of(store.meshes().at(key).cells);
    for (auto& [job_id, job] : schedule.jobs) {
      if (!same_theatre(job.theatre, group.theatre)) continue;
      if (!job.retry && job.requested.meets(covered)) job.pins.push_back(key);
      job.wanted.subtract(covered);
    }
  }

  ++schedule.counters.built;
  (void)split_store_into_cells(schedule);

  std::lock_guard lock(state.last_built_lock);
  state.last_built = TurnRecord{cells, 0, 0, ns_to_seconds(saturating_sub(now_ns(), build_start))};
}

// Steps 12 to 15 with the schedule lock held.
void settle(TerrainState& state, std::uint64_t group_id, const mesh::BuildSnapshot& snapshot, Outcome& outcome,
            std::uint64_t cells, std::uint64_t build_start) {
  Schedule& schedule = state.schedule;
  if (!outcome.piece) {
    fail_group(schedule, group_id);
    return;
  }
  mesh::MeshPiece& piece = *outcome.piece;
  if (piece.is_stopped()) {
    state.counters.builds_stopped.fetch_add(1);
    if (std::optional<SampledGroup> group = remove_group(schedule, group_id)) {
      group->cancel->store(true);
      ++schedule.counters.cancelled;
    }
    return;
  }

  std::optional<SampledGroup> group = remove_group(schedule, group_id);
  if (!group) return;  // pruned while it was built
  const Store& store = schedule.store;
  bool sound = store.theatre() && same_theatre(store.theatre(), group->theatre);
  if (sound) {
    for (const mesh::RecutPiece& recut : piece.recut) {
      const auto entry = store.meshes().find(recut.id);
      if (entry == store.meshes().end() || entry->second.cells != recut.cells_before) {
        sound = false;
        break;
      }
    }
  }
  if (sound) sound = snapshot_matches(store, piece.holders) && sources_unchanged(store, snapshot);
  if (!sound) {
    ++schedule.counters.conflicts;
    return;
  }
  commit(state, *group, piece, cells, build_start);
}

}  // namespace

BuilderStep builder_step(TerrainState& state, PieceBuild build) {
  PoisonGuard lock(state.schedule_lock);
  Schedule& schedule = state.schedule;
  for (const auto& [id, group] : schedule.groups) {
    if (group.state == kGroupInBuild) return BuilderStep::Idle;
  }

  std::uint64_t group_id = 0;
  mesh::BuildRequest request;
  mesh::BuildSnapshot snapshot;
  CancelFlag cancel;
  for (;;) {
    bool found = false;
    for (const auto& [id, group] : schedule.groups) {
      if (group.state == kGroupSampled) {
        group_id = id;
        found = true;
        break;
      }
    }
    if (!found) return BuilderStep::Idle;
    const auto group = schedule.groups.find(group_id);
    if (group == schedule.groups.end()) fault("found");
    if (!group->second.request) fault("a sampled group holds its request");
    request = std::move(*group->second.request);
    group->second.request.reset();
    if (!coverage_matches(schedule.store, request.holders)) {
      ++schedule.counters.conflicts;
      (void)remove_group(schedule, group_id);
      continue;
    }
    // The build reads the holders around the frame as they are now (the sides and corners of its
    // border and the ring it re-cuts); the check before the commit compares the same cells.
    request.holders = holders_of(schedule.store, halo_of(request.cells));
    snapshot = make_build_snapshot(schedule.store, request.holders, group->second.cancel, group_id);
    group->second.state = kGroupInBuild;
    cancel = group->second.cancel;
    break;
  }
  lock.unlock();

  state.building.store(1);
  const std::uint64_t build_start = now_ns();
  Outcome outcome;
  try {
    const mesh::StopFlags flags{cancel.get(), &state.stop};
    outcome.piece = build(request, snapshot, mesh::scheme_stop_check(flags));
  } catch (...) {
    (void)caught_message();
  }

  lock.lock();
  settle(state, group_id, snapshot, outcome, request.cells.size(), build_start);
  lock.unlock();

  notify_all(state);
  state.building.store(0);
  state.sampler.unpark();
  return BuilderStep::Built;
}

void builder_run(TerrainState& state, PieceBuild build) {
  std::shared_ptr<platform::Parker> self = platform::current_parker();
  while (!state.stop.load()) {
    platform::free_returns();
    if (builder_step(state, build) == BuilderStep::Built) continue;
    self->park(state.idle_park_ns());
  }
}

}  // namespace qm::work
