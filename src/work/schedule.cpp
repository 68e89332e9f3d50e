#include "work/schedule.hpp"

#include <algorithm>
#include <limits>

#include "base/fault.hpp"
#include "base/numeric.hpp"

namespace qm {

namespace {


// Whether the group's square range meets a square of the mask.
bool squares_meet(const SampledGroup& group, const SquareMask& mask) {
  const std::int32_t sx0 = group.min_x >> 5, sy0 = group.min_y >> 5;
  const std::int32_t sx1 = group.max_x >> 5, sy1 = group.max_y >> 5;
  for (auto it = mask.squares().lower_bound({sx0, std::numeric_limits<std::int32_t>::min()});
       it != mask.squares().end() && it->first.first <= sx1; ++it) {
    if (it->first.second >= sy0 && it->first.second <= sy1) return true;
  }
  return false;
}

}  // namespace

std::vector<mesh::CellHolder> holders_of(const Store& store, const std::set<Cell>& cells) {
  std::vector<mesh::CellHolder> holders;
  holders.reserve(cells.size());
  for (const Cell& c : cells) {
    holders.push_back(mesh::CellHolder{c.first, c.second, store.cell_map().key_of(c)});
  }
  return holders;
}

bool group_wanted_by(const SampledGroup& group, const Job& job) {
  if (!same_theatre(group.theatre, job.theatre)) return false;
  return job.wanted.meets(group.cell_mask());
}

void prune_groups(Schedule& schedule) {
  std::vector<std::uint64_t> unwanted;
  for (const auto& [id, group] : schedule.groups) {
    bool wanted = false;
    for (const auto& [job_id, job] : schedule.jobs) {
      if (group_wanted_by(group, job)) {
        wanted = true;
        break;
      }
    }
    if (!wanted) unwanted.push_back(id);
  }
  for (const std::uint64_t id : unwanted) {
    std::optional<SampledGroup> group = remove_group(schedule, id);
    if (!group) continue;
    group->cancel->store(true, std::memory_order_release);
    schedule.counters.cancelled += 1;
  }
}

void drop_job(Schedule& schedule, std::uint64_t job_id) {
  schedule.jobs.erase(job_id);
  prune_groups(schedule);
}

void pin_group(Schedule& schedule, std::uint64_t group_id, PinRecord pin) {
  if (!schedule.groups.contains(group_id)) return;
  schedule.store.pin(group_pin_id(group_id), std::move(pin));
}

std::optional<SampledGroup> remove_group(Schedule& schedule, std::uint64_t group_id) {
  auto node = schedule.groups.extract(group_id);
  if (node.empty()) return std::nullopt;
  schedule.store.unpin(group_pin_id(group_id));
  return std::move(node.mapped());
}

void fail_group(Schedule& schedule, std::uint64_t group_id) {
  const std::optional<SampledGroup> removed = remove_group(schedule, group_id);
  if (!removed) return;
  const SampledGroup& group = *removed;
  const std::string theatre_name = group.theatre ? *group.theatre : std::string();
  SquareMask& failed = schedule.failed_cells[theatre_name];
  for (const auto& [square, bits] : group.cell_mask().squares()) failed.merge(square, bits);
  for (auto& [job_id, job] : schedule.jobs) {
    if (!same_theatre(job.theatre, group.theatre)) continue;
    for (const Cell& cell : group.cells()) {
      // The job stops waiting for a failed cell, so that its stream can end with the failure
      // counted instead of sampling the cell again and again.
      if (job.wanted.erase(cell)) job.failed_squares.insert(square_of(cell));
    }
  }
  schedule.counters.failed += 1;
}

void check_invariants(const Schedule& schedule) {
  schedule.store.check_invariants();
  constexpr std::uint64_t group_bit = group_pin_id(0);
  for (const auto& [id, record] : schedule.store.pins()) {
    if ((id & group_bit) != 0) check(schedule.groups.contains(id & ~group_bit), "a group pin names a listed group");
  }
  for (const auto& [id, group] : schedule.groups)
    check(schedule.store.pins().contains(group_pin_id(id)), "every listed group has its pin");
}

bool window_is_free(const Schedule& schedule, const SquareMask& cells) {
  const auto box = cells.bounds();
  if (!box || schedule.groups.empty()) return true;
  const std::int64_t bx0 = std::int64_t{(*box)[0]} - 3, by0 = std::int64_t{(*box)[1]} - 3;
  const std::int64_t bx1 = std::int64_t{(*box)[2]} + 3, by1 = std::int64_t{(*box)[3]} + 3;
  std::optional<SquareMask> near;  // the cells within three of a window cell, made when first needed
  for (const auto& [id, group] : schedule.groups) {
    if (!(group.max_x >= bx0 && group.min_y <= by1 && group.max_y >= by0 && group.min_x <= bx1)) continue;
    if (!near) near = widen(cells, 3);
    const std::int64_t from = std::max<std::int64_t>(bx0, group.min_x), to = std::min<std::int64_t>(bx1, group.max_x);
    const std::int64_t low_y = std::max<std::int64_t>(by0, std::numeric_limits<std::int32_t>::min());
    for (std::int64_t x = from; x <= to; ++x) {
      for (auto it = group.frame_cells.lower_bound({static_cast<std::int32_t>(x), static_cast<std::int32_t>(low_y)});
           it != group.frame_cells.end() && it->first == x && it->second <= by1; ++it)
        if (near->contains(*it)) return false;
    }
  }
  return true;
}

bool window_is_free(const Schedule& schedule, const std::set<Cell>& cells) {
  return window_is_free(schedule, SquareMask::of(cells));
}

bool over_budget(const Schedule& schedule, std::uint64_t job_id) {
  const auto found = schedule.jobs.find(job_id);
  if (found == schedule.jobs.end()) return false;
  const Job& job = found->second;
  std::uint64_t pinned = 0;
  for (const std::uint64_t key : job.pins) {
    const auto entry = schedule.store.meshes().find(key);
    if (entry != schedule.store.meshes().end()) pinned = saturating_add<std::uint64_t>(pinned, entry_bytes(entry->second));
  }
  std::uint64_t groups = 0;
  for (const auto& [id, group] : schedule.groups) {
    if (!squares_meet(group, job.wanted)) continue;
    if (group_wanted_by(group, job)) groups += 1;
  }
  const std::uint64_t mean =
      schedule.measured_groups == 0 ? kUnmeasuredGroupBytes : schedule.measured_bytes / schedule.measured_groups;
  const std::uint64_t held = saturating_add<std::uint64_t>(saturating_mul<std::uint64_t>(groups, mean), pinned);
  if (held == 0) return false;
  return schedule.job_byte_limit() < saturating_add<std::uint64_t>(held, mean);
}

}  // namespace qm
