#pragma once
// The patch rebuild of one sampler level: flat patches grown from nearly flat 3 by 3 windows over
// the level's samples, each sample matched to the best patch plane near it, the planes refit twice.
#include <cstdint>
#include <span>
#include <vector>

#include "base/hashing.hpp"
#include "mesh/sampling/lattice.hpp"

namespace qm::mesh {

// The spacing of single-precision floats near v: 2^(E - 1046) with E the biased exponent field of
// the double max(v, 1e-30).
double height_grain(double v);

// The level's sample table: keys sorted by i then j, one height per key, key -> position.
struct SampleTable {
  std::span<const LatticeKey> keys;
  std::span<const double> heights;
  const HashMap<LatticeKey, std::uint32_t>& index;
  double step;
};

struct RebuildResult {
  std::vector<std::uint32_t> matched;  // per key, the explaining patch or kNoPatch
  std::vector<PatchPlane> patches;
};

RebuildResult sampler_rebuild(const SampleTable& table, double spacing_tenth);

// One match: per key with a finite height, the patch among those that grew within two keys of it
// (by `grown`) whose plane lies nearest, when it lies within 6 grains + spacing_tenth.
std::vector<std::uint32_t> rebuild_match_vertices(const SampleTable& table, std::span<const std::uint32_t> grown,
                                                  std::span<const PatchPlane> planes, double spacing_tenth);

}  // namespace qm::mesh
