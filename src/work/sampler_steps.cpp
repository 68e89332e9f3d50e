#include "work/sampler_steps.hpp"

#include <algorithm>
#include <cmath>
#include <limits>

#include "base/fault.hpp"
#include "base/numeric.hpp"
#include "base/span.hpp"
#include "mesh/refine/group_bytes.hpp"
#include "mesh/sampling/model.hpp"
#include "mesh/triangulation/triangulation.hpp"
#include "work/square_mask.hpp"

namespace qm::work {

std::set<Cell> halo_of(const std::set<Cell>& cells) { return widen(SquareMask::of(cells), 1).cells(); }

std::array<std::int32_t, 4> bounds_of(const std::set<Cell>& cells) {
  check(!cells.empty(), "a group has cells");
  std::array<std::int32_t, 4> b{cells.begin()->first, cells.begin()->second, cells.rbegin()->first,
                                cells.begin()->second};
  for (const Cell& c : cells) {
    b[1] = std::min(b[1], c.second);
    b[3] = std::max(b[3], c.second);
  }
  return b;
}

std::vector<std::pair<TerrainPoint, SampleAnswer>> take_answers(const std::vector<TerrainPoint>& points,
                                                                const terrain::AnswerTable::View& view,
                                                                MissCounts& misses, std::uint64_t& zeroed) {
  std::vector<std::pair<TerrainPoint, SampleAnswer>> out;
  out.reserve(points.size());
  for (std::size_t i = 0; i < points.size(); ++i) {
    const terrain::AnswerSlot* slot = i < view.slots.size() ? &view.slots[i] : nullptr;
    const std::uint8_t seen = i < view.seen.size() ? view.seen[i] : 0;
    if (slot != nullptr && slot->a.has_value()) {
      const double value = *slot->a;
      if (std::isfinite(value)) out.emplace_back(points[i], SampleAnswer{value == 0.0 ? 1u : 0u, value});
      continue;
    }
    if (seen == 0) continue;
    std::uint8_t& count = misses[points[i]];
    if (count < 255) ++count;
    if (count == kMissesToZero) {
      out.emplace_back(points[i], SampleAnswer{1, 0.0});
      ++zeroed;
    }
  }
  return out;
}

std::optional<SampleAnswer> answer_of_sample(std::uint64_t zero, double height) {
  if (zero != 0) return SampleAnswer{1, 0.0};
  if (!std::isfinite(height)) return std::nullopt;
  return SampleAnswer{height == 0.0 ? 1u : 0u, height};
}

const std::vector<TerrainPoint>* wanted_points(const std::optional<mesh::SamplingRun>& run,
                                               const std::optional<mesh::FaceWork>& work) {
  if (run && !run->finished) return &run->lattice.pending;
  if (work) return &work->wanted;
  return nullptr;
}

namespace {

// The samples of a lattice that its latest level's patches explain: the points that its refine
// point set will start with on a face.
std::uint64_t on_patches(const mesh::Lattice& l) {
  if (l.levels.empty()) return 0;
  const std::vector<std::uint32_t>& matched = l.levels.back().matched;
  return static_cast<std::uint64_t>(std::count_if(matched.begin(), matched.end(),
                                                  [](std::uint32_t m) { return m != mesh::kNoPatch; }));
}

// The refine point set of `points` points, `faced` of them on a face.
std::uint64_t point_set_bytes(std::uint64_t points, std::uint64_t faced) {
  return saturating_add(saturating_mul(points, kPointSetBytes), saturating_mul(faced, kPointSetFaceBytes));
}

}  // namespace

std::uint64_t group_memory_estimate(const std::optional<mesh::SamplingRun>& run,
                                    const std::optional<mesh::FaceWork>& work) {
  using U = std::uint64_t;
  auto add = [](U a, U b) { return saturating_add(a, b); };
  auto per = [](U count, U bytes) { return saturating_mul(count, bytes); };
  const U run_bytes = run ? mesh::heap_bytes(*run) : 0;
  const U work_bytes = work ? mesh::heap_bytes(*work) : 0;
  U most = add(run_bytes, work_bytes);
  // The piece build (and the refine iterations before it) over `points`, on top of `held`.
  auto ahead_of_points = [&](U held, U points, U cuts, bool iterating) {
    if (iterating) most = std::max(most, add(held, add(per(points, kIterationBytes), kIterationFixedBytes)));
    most = std::max(most, add(held, add(add(per(points, kPieceBuildBytes), per(cuts, kPieceBuildCutBytes)),
                                       kPieceBuildFixedBytes)));
  };
  if (run && !run->finished) {
    const mesh::Lattice& l = run->lattice;
    const U samples = add(l.samples.size(), l.pending.size());
    U grids = mesh::node_grid_bytes(l, l.step);
    for (const mesh::Level& level : l.levels) grids = add(grids, mesh::node_grid_bytes(l, level.step));
    most = std::max(most, add(add(run_bytes, grids), add(per(samples, kSampleStepBytes), kSampleStepFixedBytes)));
    most = std::max(most, add(run_bytes, add(per(samples, kRefineStartBytes), kRefineStartFixedBytes)));
    // The samples still to come are taken to lie on patches as often as those of the latest level.
    const U level = l.levels.empty() ? 0 : l.levels.back().keys.size();
    const U on = on_patches(l);
    const U faced = level == 0 ? samples : add(on, static_cast<U>(static_cast<double>(l.pending.size()) *
                                                                  (static_cast<double>(on) / static_cast<double>(level))));
    ahead_of_points(point_set_bytes(samples, faced), samples, faced, true);
  } else if (run && !work) {
    const U samples = run->lattice.samples.size();
    most = std::max(most, add(run_bytes, add(per(samples, kRefineStartBytes), kRefineStartFixedBytes)));
    const U faced = on_patches(run->lattice);
    ahead_of_points(point_set_bytes(samples, faced), samples, faced, true);
  }
  if (work) {
    // The latest face build goes before the next one is made and when the group is filed.
    const U last = work->last_faces ? mesh::heap_bytes(*work->last_faces) : 0;
    const U held = add(run_bytes, add(work_bytes - last, point_set_bytes(work->wanted.size(), work->wanted.size())));
    ahead_of_points(held, add(work->points.xs.size(), work->wanted.size()), work->cut_triangles, !work->done);
  }
  return most;
}

std::optional<double> zero_point_height(const mesh::FaceWork& work, double lx, double ly) {
  if (!work.last_faces) return 0.0;
  const mesh::Location at = work.last_faces->triangulation.locate(lx, ly);
  const std::vector<double>& hs = work.points.hs;
  auto low = [&](std::uint64_t p) {
    check_index(p < hs.size());
    return hs[p] <= 10.0;
  };
  switch (at.kind) {
    case mesh::LocationKind::Outside:
      return 0.0;
    case mesh::LocationKind::Vertex:
      if (low(at.points[0])) return 0.0;
      return std::nullopt;
    case mesh::LocationKind::Edge:
      if (low(at.points[0]) || low(at.points[1])) return 0.0;
      return std::nullopt;
    case mesh::LocationKind::Face:
      if (low(at.points[0]) || low(at.points[1]) || low(at.points[2])) return 0.0;
      return std::nullopt;
  }
  return std::nullopt;
}

StepOutcome refine_iteration(mesh::FaceWork& work, const AnswerMap& answers, mesh::StopCheck stop) {
  SpanTimer span("refine");
  std::vector<TerrainPoint> taken;
  taken.swap(work.wanted);
  if (taken.empty()) {
    work.done = true;
    work.last_faces.reset();
    return StepOutcome::Done;
  }
  std::uint64_t added = 0;
  for (const TerrainPoint& p : taken) {
    const double lx = static_cast<double>(static_cast<std::int64_t>(p.first) - work.points.origin_x);
    const double ly = static_cast<double>(static_cast<std::int64_t>(p.second) - work.points.origin_y);
    const auto found = answers.find(p);
    if (found == answers.end()) fault("every wanted point answered");
    double h = found->second.height;
    if (found->second.zero != 0) {
      const std::optional<double> zero_h = zero_point_height(work, lx, ly);
      if (!zero_h) continue;
      h = *zero_h;
    }
    if (mesh::add_point(work.points, lx, ly, h)) ++added;
  }
  work.asked += taken.size();
  if (added == 0) {
    work.done = true;
    work.last_faces.reset();
    return StepOutcome::Done;
  }
  if (mesh::refine_faces(work, stop)) return StepOutcome::Stopped;
  return work.done ? StepOutcome::Done : StepOutcome::Ask;
}

namespace {

mesh::HeightAnswers model_answers(const AnswerMap& answers) {
  mesh::HeightAnswers out;
  out.reserve(answers.size());
  for (const auto& [point, answer] : answers) out.emplace(point, answer.zero != 0 ? 0.0 : answer.height);
  return out;
}

// Starts the refine pass of a finished run (its levels are released).
StepOutcome start_refine(mesh::SamplingRun& run, std::optional<mesh::FaceWork>& work, mesh::StopCheck stop) {
  std::optional<mesh::FaceWork> made = mesh::refine(run, stop);
  if (!made) return StepOutcome::Stopped;
  work = std::move(made);
  return work->done ? StepOutcome::Done : StepOutcome::Ask;
}

StepOutcome advance_unguarded(std::optional<mesh::SamplingRun>& run, std::optional<mesh::FaceWork>& work,
                              const AnswerMap& answers, mesh::StopCheck stop) {
  if (!run) return StepOutcome::Done;
  if (!run->finished) {
    const mesh::AdvanceResult r = mesh::model_step(*run, model_answers(answers));
    if (r.tag == mesh::AdvanceTag::Wait) return StepOutcome::Wait;
    if (run->finished) return start_refine(*run, work, stop);
    return StepOutcome::Ask;
  }
  if (!work) return start_refine(*run, work, stop);
  if (!work->wanted.empty()) {
    if (answers.empty()) return StepOutcome::Wait;
    for (const TerrainPoint& p : work->wanted) {
      if (!answers.contains(p)) return StepOutcome::Wait;
    }
    return refine_iteration(*work, answers, stop);
  }
  if (!work->done) return refine_iteration(*work, answers, stop);
  return StepOutcome::Done;
}

}  // namespace

StepOutcome advance_group(std::optional<mesh::SamplingRun>& run, std::optional<mesh::FaceWork>& work,
                          const AnswerMap& answers, mesh::StopCheck stop) {
  try {
    return advance_unguarded(run, work, answers, stop);
  } catch (...) {
    (void)caught_message();
    return StepOutcome::Fault;
  }
}

bool group_complete(const std::optional<mesh::SamplingRun>& run, const std::optional<mesh::FaceWork>& work) {
  if (!run) return true;
  return run->finished != 0 && work.has_value() && work->done;
}

}  // namespace qm::work
