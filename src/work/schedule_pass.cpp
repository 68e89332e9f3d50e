#include "work/schedule_pass.hpp"

#include <algorithm>
#include <limits>

#include "base/fault.hpp"
#include "mesh/grid/cell_grid.hpp"
#include "mesh/sampling/lattice.hpp"

namespace qm {

namespace {

// The cells of one square that a filed group holds (its new cells).
CellBits held_by_groups(const Schedule& schedule, Square square) {
  CellBits held;
  for (const auto& [id, group] : schedule.groups) {
    if (const CellBits* bits = group.cell_mask().find(square)) held.merge(*bits);
  }
  return held;
}

bool stored(const Schedule& schedule, Cell cell) { return schedule.store.cell_map().contains(cell); }

bool fits_frame(const SquareMask& cells) {
  const auto box = cells.bounds();
  if (!box) return false;
  return std::int64_t{(*box)[2]} - (*box)[0] <= kFrameSpan - 1 && std::int64_t{(*box)[3]} - (*box)[1] <= kFrameSpan - 1;
}

// The cells of one square's mask that neither a filed group's cells nor the store's cell map hold.
CellBits open_cells(const Schedule& schedule, Square square, CellBits bits) {
  bits.remove(held_by_groups(schedule, square));
  if (const CellBits* covered = schedule.store.cell_map().covered().find(square)) bits.remove(*covered);
  return bits;
}

// The plan of a window of candidate cells; none when its frame is empty or wider than 36 cells.
std::optional<SchedulePlan> build_plan(const Schedule& schedule, const SquareMask& window) {
  // The window's cells that no entry covers, the covered cells next to them, and the covered
  // cells next to those: the frame re-cuts the older pieces around its new cells.
  const SquareMask& covered = schedule.store.cell_map().covered();
  SquareMask fresh = window;
  fresh.subtract(covered);
  if (fresh.empty()) return std::nullopt;
  SquareMask first = widen(fresh, 1);
  first.intersect(covered);
  SquareMask taken_mask = widen(first, 1);  // holds the first ring, itself covered
  taken_mask.intersect(covered);
  SquareMask frame_mask = std::move(fresh);
  frame_mask.unite(taken_mask);
  if (!fits_frame(frame_mask)) return std::nullopt;
  std::set<Cell> frame = frame_mask.cells();
  std::set<Cell> taken = taken_mask.cells();

  SchedulePlan plan;
  plan.snapshot = holders_of(schedule.store, frame);
  plan.taken_in = std::move(taken);
  plan.frame_cells = std::move(frame);
  return plan;
}

}  // namespace

mesh::SamplingRun plan_run(const std::set<Cell>& frame_cells) {
  mesh::SamplingRun run;
  run.cover = mesh::lattice_from_cells_owned(std::set<Cell>(frame_cells));
  run.lattice = mesh::lattice_new(run.cover, kPlanSpacing);
  return run;
}

SquareMask job_cells_filter(const Schedule& schedule, const Job& job) {
  SquareMask out;
  for (const auto& [square, bits] : job.wanted.squares()) out.merge(square, open_cells(schedule, square, bits));
  return out;
}

SquareMask jobs_named(const Schedule& schedule, Square square, const SharedText& theatre) {
  CellBits named;
  for (const auto& [id, job] : schedule.jobs) {
    if (!same_theatre(job.theatre, theatre)) continue;
    if (const CellBits* bits = job.wanted.find(square)) named.merge(*bits);
  }
  SquareMask out;
  out.merge(square, open_cells(schedule, square, named));
  return out;
}

std::optional<SchedulePlan> schedule_job(Schedule& schedule, std::uint64_t job_id) {
  const auto found = schedule.jobs.find(job_id);
  if (found == schedule.jobs.end()) fault("no entry found for key");
  const Job& job = found->second;
  if (job.held_back != 0 || job.wanted.empty()) return std::nullopt;

  const auto& squares = job.wanted.squares();
  const std::int32_t sx0 = squares.begin()->first.first, sx1 = squares.rbegin()->first.first;
  std::int32_t sy0 = std::numeric_limits<std::int32_t>::max(), sy1 = std::numeric_limits<std::int32_t>::min();
  for (const auto& [square, bits] : squares) {
    sy0 = std::min(sy0, square.second);
    sy1 = std::max(sy1, square.second);
  }

  // A small job is served as one window when it fits a frame.
  if (std::int64_t{sx1} - sx0 <= 2 && std::int64_t{sy1} - sy0 <= 2) {
    const SquareMask candidates = job_cells_filter(schedule, job);
    if (fits_frame(candidates)) {
      if (!window_is_free(schedule, candidates)) return std::nullopt;
      if (auto plan = build_plan(schedule, candidates)) return plan;
    }
  }

  // Otherwise square by square, from the two leftmost columns of squares.
  std::vector<Square> order;
  for (const auto& [square, bits] : squares) {
    if (std::int64_t{square.first} > std::int64_t{sx0} + 1) break;
    order.push_back(square);
  }
  std::stable_sort(order.begin(), order.end(), [](const Square& a, const Square& b) {
    if (a.first != b.first) return a.first < b.first;
    const int pa = a.second & 1, pb = b.second & 1;
    if (pa != pb) return pa < pb;
    return a.second < b.second;
  });
  for (const Square& square : order) {
    const SquareMask candidates = jobs_named(schedule, square, job.theatre);
    if (candidates.empty() || !window_is_free(schedule, candidates)) continue;
    if (auto plan = build_plan(schedule, candidates)) return plan;
  }
  return std::nullopt;
}

std::vector<std::uint64_t> mark_held_back(Schedule& schedule) {
  std::vector<std::uint64_t> ids;
  if (!schedule.store.theatre()) return ids;
  for (const auto& [id, job] : schedule.jobs)
    if (same_theatre(job.theatre, schedule.store.theatre()) && !job.wanted.empty()) ids.push_back(id);
  for (const std::uint64_t id : ids) {
    const bool over = over_budget(schedule, id);
    const auto it = schedule.jobs.find(id);
    if (it == schedule.jobs.end()) fault("listed");
    if (over && it->second.held_back == 0) schedule.counters.held_back += 1;
    it->second.held_back = over ? 1 : 0;
  }
  return ids;
}

std::optional<std::pair<std::uint64_t, SchedulePlan>> next_plan(Schedule& schedule,
                                                                const std::vector<std::uint64_t>& ids) {
  if (ids.empty()) return std::nullopt;
  std::size_t start = 0;
  if (schedule.last_served) {
    const auto it = std::upper_bound(ids.begin(), ids.end(), *schedule.last_served);
    if (it != ids.end()) start = static_cast<std::size_t>(it - ids.begin());
  }
  for (std::size_t i = 0; i < ids.size(); ++i) {
    const std::uint64_t id = ids[(start + i) % ids.size()];
    if (auto plan = schedule_job(schedule, id)) {
      schedule.last_served = id;
      if (!schedule.jobs.count(id)) fault("no entry found for key");
      return std::make_pair(id, std::move(*plan));
    }
  }
  return std::nullopt;
}

std::uint64_t file_group(Schedule& schedule, const SchedulePlan& plan) {
  check(!plan.frame_cells.empty(), "a group has cells");
  SampledGroup group;
  group.theatre = schedule.store.theatre();
  group.frame_cells = plan.frame_cells;
  group.min_x = plan.frame_cells.begin()->first;
  group.max_x = plan.frame_cells.rbegin()->first;
  group.min_y = std::numeric_limits<std::int32_t>::max();
  group.max_y = std::numeric_limits<std::int32_t>::min();
  std::set<Cell> cells;
  for (const Cell& c : plan.frame_cells) {
    group.min_y = std::min(group.min_y, c.second);
    group.max_y = std::max(group.max_y, c.second);
    if (!stored(schedule, c)) cells.insert(c);
  }
  group.set_cells(std::move(cells));
  const std::uint64_t id = schedule.next_group_id++;
  schedule.groups.insert_or_assign(id, std::move(group));
  // Its pin holds no cells yet; the sampler pins the group's halo once it is sampled.
  PinRecord pin;
  pin.flag = 1;
  pin_group(schedule, id, std::move(pin));
  schedule.counters.started += 1;
  return id;
}

}  // namespace qm
