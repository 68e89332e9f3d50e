#pragma once
// A sampling run: the sampling of one frame's cover, driven level by level, checked against the
// planar model of its result and re-run once on a finer lattice when too much is unexplained.
#include <cstdint>
#include <optional>
#include <utility>
#include <vector>

#include "mesh/grid/cell_grid.hpp"
#include "mesh/sampling/lattice.hpp"

namespace qm::mesh {

struct SamplingRun {
  CellGrid cover;
  Lattice lattice;                                   // made at spacing 2.0, replaced at most once
  std::vector<std::pair<double, double>> history;    // (spacing, share) per self-check
  std::uint8_t finished = 0;
};

// The spacing of the one finer re-run after a self-check, or nothing: only a lattice made at
// spacing 2.0 is re-run, at 1.4 from a share of 0.181, 1.0 from 0.281 and 0.7 from 0.329.
std::optional<double> finer_spacing(double spacing, double share);

// One step of the run with the answers for its lattice's pending points. Ask: ask the host for the
// lattice's pending points. Wait: answers are missing (first = how many). Done: the run is
// finished and its lattice holds the result.
AdvanceResult model_step(SamplingRun& run, const HeightAnswers& answers);

// Frees a finished run's levels and samples, which nothing reads once the refine pass has made its
// point set from them; the run stays finished, with its cover.
void release_levels(SamplingRun& run);

}  // namespace qm::mesh
