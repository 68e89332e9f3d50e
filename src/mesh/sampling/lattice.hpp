#pragma once
// The sampling state of one run over a frame's cover at one spacing, and the records of its
// finished levels. The multilevel sampler (sampler.hpp) advances it level by level.
#include <cstdint>
#include <optional>
#include <utility>
#include <vector>

#include "base/hashing.hpp"
#include "mesh/grid/cell_grid.hpp"

namespace qm::mesh {

// A point in whole terrain units; as a map key it hashes as its two 32-bit values.
using TerrainPoint = std::pair<std::int32_t, std::int32_t>;
// A lattice key (i, j): the point ((i * step) + centre_x, (j * step) + centre_y).
using LatticeKey = std::pair<std::int32_t, std::int32_t>;

inline constexpr std::uint32_t kNoPatch = 0xFFFFFFFFu;

// A flat patch: height c + a * (x - x0) + b * (y - y0), positions relative to the lattice centre.
struct PatchPlane {
  double x0 = 0.0;
  double y0 = 0.0;
  double c = 0.0;
  double a = 0.0;
  double b = 0.0;
  double height(double x, double y) const { return c + a * (x - x0) + b * (y - y0); }
};

// One finished level of a lattice.
struct Level {
  std::vector<LatticeKey> keys;               // every sampled point's key at this step, sorted
  std::vector<double> heights;                // per key, its sampled height at this step
  HashMap<LatticeKey, std::uint32_t> index;   // key -> position in keys
  double step = 0.0;
  std::vector<std::uint32_t> matched;         // per key, the explaining patch or kNoPatch
  std::vector<PatchPlane> patches;            // after the final refit
  HashSet<LatticeKey> settled;                // area keys far from every prediction miss
  std::optional<HashSet<LatticeKey>> area;    // the refined area sampled (absent on level 1)
};

struct Lattice {
  CellGrid cover;
  std::vector<TerrainPoint> pending;          // points asked of the host, waiting on answers
  std::vector<Level> levels;
  HashMap<TerrainPoint, double> samples;      // every answered point's raw height
  double spacing = 0.0;
  double spacing_tenth = 0.0;
  double tolerance = 0.0;                     // prediction tolerance
  double step = 64.0;
  std::optional<HashSet<LatticeKey>> refined;
  std::uint64_t level = 1;
  std::int32_t centre_x = 0;
  std::int32_t centre_y = 0;
  std::int32_t radius = 0;                    // half-width of the square holding the cover
  std::uint8_t finished = 0;
};

// A new lattice on its own copy of the cover: every corner of a covered cell is pending, ordered
// by x then y. Faults on an empty cover and on cells beyond kCellLimit.
Lattice lattice_new(const CellGrid& cover, double spacing);

enum class AdvanceTag : std::uint8_t { Ask = 0, Done = 1, Wait = 2 };

// The result of one advance. Ask: first = new level, step = new step, count = pending points.
// Done: first = level, step = step, count = 0. Wait: first = unanswered pending points.
struct AdvanceResult {
  std::uint64_t first = 0;
  double step = 0.0;
  std::uint64_t count = 0;
  AdvanceTag tag = AdvanceTag::Wait;
};

// The host's answers to pending points: a height, or none (sea and other unknowns).
using HeightAnswers = HashMap<TerrainPoint, std::optional<double>>;

}  // namespace qm::mesh
