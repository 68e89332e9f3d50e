#pragma once
// The multilevel sampler: which terrain heights a sampling run asks the host for. Level 1 takes
// every corner of the covered cells; each later level halves the step and asks only around the
// samples that no flat patch explains, until no sample is unexplained or the step would fall
// below 1.
#include <cstdint>

#include "base/hashing.hpp"
#include "mesh/sampling/lattice.hpp"

namespace qm::mesh {

// One advance of the lattice with the host's answers for its pending points.
AdvanceResult sampler_advance(Lattice& lattice, const HeightAnswers& answers);

// The height of a sampled point with the sea rule: a stored 0.0 is trusted only when the nearest
// ring of sampled neighbours (distance d, 2d, ... up to 64) holds a height of at most 10.0 (or no
// ring within 64 holds any sample); otherwise it is NaN. A point not sampled is a fault.
double sampled_height(const Lattice& lattice, TerrainPoint point, double first_ring);

// The coarse lattice's height at a coarse key, as a basis for predictions: NaN when the corner
// was answered in this advance (its fine key is in `answered_now`) or was never sampled.
double lattice_height(const HashSet<LatticeKey>& answered_now, const Lattice& lattice, double coarse_step,
                      std::int32_t ci, std::int32_t cj);

}  // namespace qm::mesh
