#pragma once
// The planar model of a finished lattice, made for the run's self-check: per level the patch
// planes its samples carry, the region where each plane holds, and a dense node grid; and the
// self-check share, the part of the cover that no level's planes explain.
#include <cstdint>
#include <utility>
#include <vector>

#include "base/hashing.hpp"
#include "mesh/grid/cell_grid.hpp"
#include "mesh/sampling/lattice.hpp"

namespace qm::mesh {

// Inside when a * x + b * y + c is not below the slack of the test that uses it.
struct HalfPlane {
  double a = 0.0;
  double b = 0.0;
  double c = 0.0;
};

struct ModelLevel {
  std::vector<PatchPlane> planes;                       // by model index
  std::vector<std::pair<std::int32_t, std::int32_t>> adjacency;  // sorted, both orders
  std::vector<std::vector<HalfPlane>> regions;          // per model index
  std::int32_t grid_i0 = 0;                             // node grid origin, in key units
  std::int32_t grid_j0 = 0;
  std::int32_t grid_w = 0;
  std::int32_t grid_h = 0;
  std::vector<std::int32_t> node_grid;                  // model index per node, x major
  std::vector<std::uint8_t> inside;                     // node inside its own plane's region
  std::vector<std::uint8_t> uniform;                    // square with this lower-left node uniform
  std::int32_t half_width = 0;                          // radius / step
  double step = 0.0;

  // The grid position of a node, or -1 outside the grid.
  std::int64_t grid_at(std::int64_t i, std::int64_t j) const {
    const std::int64_t c = i - grid_i0;
    const std::int64_t r = j - grid_j0;
    if (c < 0 || c >= grid_w || r < 0 || r >= grid_h) return -1;
    return r + c * static_cast<std::int64_t>(grid_h);
  }
  std::int32_t plane_at(std::int64_t i, std::int64_t j) const {
    const std::int64_t g = grid_at(i, j);
    return g < 0 ? -1 : node_grid[static_cast<std::size_t>(g)];
  }
};

struct Model {
  std::vector<ModelLevel> levels;  // one per lattice level, in order
};

// The box of a level's node grid, in keys of the level's step: the cover's box, two nodes wider on
// every side.
struct NodeBox {
  std::int32_t i0 = 0;
  std::int32_t j0 = 0;
  std::int32_t w = 0;
  std::int32_t h = 0;
};
NodeBox node_grid_box(const Lattice& lattice, double step);
// The heap bytes of a level's node grid and its two flag grids at that step (heap_bytes.hpp).
std::uint64_t node_grid_bytes(const Lattice& lattice, double step);

ModelLevel build_model_level(const Lattice& lattice, const Level& level);
Model build_model(const Lattice& lattice);

// The share of the cover's 2 by 2 unit squares (1024 per cell) that no level's planes explain.
double self_check_share(const Lattice& lattice, const CellGrid& cover, const Model& model);

}  // namespace qm::mesh
