// The "store" and "work" members of the status document, read from the terrain work state.
#include <mutex>

#include "work/terrain_status.hpp"
#include "work/terrain_status_format.hpp"

namespace qm {

namespace {

// Holds a lock when `wait` or when it is free right now.
template <class Mutex>
bool take(std::unique_lock<Mutex>& lock, bool wait) {
  if (wait) {
    lock.lock();
    return true;
  }
  return lock.try_lock();
}

}  // namespace

std::optional<std::string> terrain_status_json(bool wait) {
  const TerrainStateRef state = terrain_state();
  if (!state) return std::string(work::kNoTerrainStatus);
  return work::terrain_status_of(*state, wait);
}

namespace work {

std::optional<std::string> terrain_status_of(TerrainState& state, bool wait) {
  std::unique_lock<PoisonMutex> schedule_lock(state.schedule_lock, std::defer_lock);
  if (!take(schedule_lock, wait)) return std::nullopt;

  WorkFacts work;
  {
    std::unique_lock<std::mutex> sampled(state.last_sampled_lock, std::defer_lock);
    if (!take(sampled, wait)) return std::nullopt;
    std::unique_lock<std::mutex> built(state.last_built_lock, std::defer_lock);
    if (!take(built, wait)) return std::nullopt;
    work.last_sampled = state.last_sampled;
    work.last_built = state.last_built;
    built.unlock();
  }
  {
    std::unique_lock<std::mutex> message(state.message_lock, std::defer_lock);
    if (!take(message, wait)) return std::nullopt;
    work.error = state.message;
  }

  const Schedule& schedule = state.schedule;
  const Store& store = schedule.store;
  StoreFacts facts;
  if (store.theatre()) facts.theatre = *store.theatre();
  facts.pieces = store.meshes().size();
  facts.samples = store.sample_count();
  facts.bytes = store_bytes(store);
  facts.pinned = store.pinned_bytes();
  for (const auto& [job, bytes] : schedule.reservations) facts.reserved += bytes;
  for (const auto& [theatre, squares] : store.owners()) facts.owner_squares += squares.size();
  facts.pieces_evicted = store.pieces_evicted();
  facts.samples_evicted = store.samples_evicted();
  facts.squares_forgotten = store.squares_forgotten();
  facts.reservation_cap = schedule.reservation_cap;

  for (const auto& [id, group] : schedule.groups) {
    if (group.state == kGroupSampling) ++work.sampling;
    if (group.state == kGroupSampled) ++work.sampled;
  }
  work.building = state.building.load() != 0;
  const WorkCounters& c = schedule.counters;
  work.counters = {c.started, c.built, c.cancelled, c.conflicts, c.failed, c.returned, c.held_back};
  for (const auto& [id, job] : schedule.jobs) {
    for (const std::uint64_t key : job.pins) {
      const auto entry = store.meshes().find(key);
      if (entry != store.meshes().end()) work.owed_bytes += entry_bytes(entry->second);
    }
  }
  const TerrainCounters& t = state.counters;
  work.builds_stopped = t.builds_stopped.load();
  work.points_asked = t.points_asked.load();
  work.zeroed_points = t.zeroed_points.load();
  work.run_ahead_full_ns = t.run_ahead_full_ns.load();
  work.sampler = SamplerTiming{t.looks.load(),    t.look_ns.load(),    t.start_ns.load(),
                               t.advances.load(), t.advance_ns.load(), t.answers_ns.load()};
  return terrain_status_text(facts, work);
}

}  // namespace work

}  // namespace qm
