#pragma once
// The schedule pass: what the sampler samples next. The jobs of the held theatre take turns in
// ascending id order, wrapping round; a served job gives a plan: a window of new cells that no filed
// group and no stored entry holds yet, with the stored cells around them that its frame takes in
// (at most 36 x 36 cells), kept more than 3 cells away from every filed group.
#include <cstdint>
#include <optional>
#include <set>
#include <utility>
#include <vector>

#include "mesh/sampling/sampling_run.hpp"
#include "mesh/build/piece_build.hpp"
#include "work/schedule.hpp"

namespace qm {

inline constexpr std::int32_t kFrameSpan = 36;       // the most cells a frame spans in x and in y
inline constexpr double kPlanSpacing = 2.0;          // the spacing a sampling run starts at

struct SchedulePlan {
  std::set<Cell> frame_cells;                 // the new cells and the stored cells taken in
  std::set<Cell> taken_in;                    // the stored cells the frame took in
  std::vector<mesh::CellHolder> snapshot;     // per frame cell, in order: the entry that covered it
};

// A plan's sampling run: its cover (the frame cells) and its lattice at 2.0. Made apart from the
// plan, so that it needs no lock on the schedule.
mesh::SamplingRun plan_run(const std::set<Cell>& frame_cells);

// One job's candidate cells: its wanted cells that neither a filed group's cells nor the store's
// cell map hold.
SquareMask job_cells_filter(const Schedule& schedule, const Job& job);

// The candidate cells of one square from every job of the theatre.
SquareMask jobs_named(const Schedule& schedule, Square square, const SharedText& theatre);

// A plan for the job, or none (held back, nothing to plan, or no free window). A missing job is
// the fault "no entry found for key".
std::optional<SchedulePlan> schedule_job(Schedule& schedule, std::uint64_t job_id);

// The ids of the held theatre's jobs that want cells, ascending; stores each one's over_budget in
// its held-back flag and counts "heldBack" when the flag turns on.
std::vector<std::uint64_t> mark_held_back(Schedule& schedule);

// Offers the listed jobs to schedule_job in turn, starting after the last served job and wrapping
// round, each once; the first plan wins and its job becomes the last served job.
std::optional<std::pair<std::uint64_t, SchedulePlan>> next_plan(Schedule& schedule,
                                                                const std::vector<std::uint64_t>& ids);

// Files a new group for the plan under the next group id (state 0, no request, a new cancel flag,
// the held theatre) with its pin: its frame is the plan's frame, its cells the frame cells the cell
// map does not hold; counts "started" and returns the id. A plan without frame cells is a fault.
std::uint64_t file_group(Schedule& schedule, const SchedulePlan& plan);

}  // namespace qm
