// Prints what the re-cut of an older piece and the constrained triangulation cost: per analytic
// terrain, the time of one piece build over 4 by 4 cells and of cutting that piece back along
// several ring shapes; then the time of crossing constraint sets added with splitting (a random
// integer grid like the terrain's lattice, and long constraints crossing many others).
#include <chrono>
#include <cstdio>
#include <random>
#include <set>
#include <utility>
#include <vector>

#include "mesh/triangulation/constrained.hpp"
#include "mesh/build/piece_build.hpp"
#include "mesh/outline/piece_cut.hpp"
#include "bench/bench_timing.hpp"
#include "faces_pipeline.hpp"

using namespace qm::mesh;
using namespace qm::mesh::fixture;

namespace {

using qm::bench::per_run;

// Random constraints between points of a small integer grid, added with splitting.
std::size_t grid_constraints(std::uint64_t seed, int points, int constraints, int span) {
  std::mt19937_64 rng(seed);
  std::uniform_int_distribution<int> coord(0, span);
  ConstrainedTriangulation t;
  std::set<std::pair<int, int>> seen;
  std::vector<std::uint64_t> ids;
  while (static_cast<int>(ids.size()) < points) {
    const int x = coord(rng), y = coord(rng);
    if (seen.emplace(x, y).second) ids.push_back(t.insert(x, y, 0.0));
  }
  std::uniform_int_distribution<std::size_t> pick(0, ids.size() - 1);
  const auto height = [](double, double) { return 0.0; };
  for (int k = 0; k < constraints; ++k) t.add_constraint_splitting(ids[pick(rng)], ids[pick(rng)], height);
  return t.vertex_count();
}

}  // namespace

int main() {
  const std::set<Cell> cells = rect_cells(0, 0, 4, 4);
  const std::vector<std::pair<const char*, std::set<Cell>>> rings{
      {"column", rect_cells(3, 0, 1, 4)}, {"inner", {{1, 1}}}, {"corner", {{0, 0}}}, {"block", rect_cells(1, 1, 2, 2)}};
  std::printf("%-14s %8s %10s | ms per cut:", "terrain", "vertices", "build ms");
  for (const auto& [name, ring] : rings) std::printf(" %8s", name);
  std::printf("\n");
  const std::atomic<bool> clear{false};
  const StopFlags flags{&clear, &clear};
  const StopCheck poll = scheme_stop_check(flags);
  for (const Terrain& terrain : all_terrains()) {
    const BuildRequest r = sampled_request(cells, terrain);
    MeshPiece piece;
    const double build = per_run([&] { piece = scheme_build(r, BuildSnapshot{}, poll); }, 0.5);
    if (!piece.mesh) {
      std::printf("%-14s (no mesh)\n", terrain.name.c_str());
      continue;
    }
    std::printf("%-14s %8zu %10.2f |           ", terrain.name.c_str(), piece.mesh->vertices.size(), build * 1e3);
    for (const auto& [name, ring] : rings) {
      const double cut = per_run([&] { (void)scheme_build_cut(*piece.mesh, ring); });
      std::printf(" %8.3f", cut * 1e3);
    }
    std::printf("\n");
  }
  std::printf("\n%-40s %10s %12s\n", "crossing constraints", "vertices", "ms per set");
  struct Grid {
    const char* name;
    int points, constraints, span;
  };
  for (const Grid g : {Grid{"grid 0..80, 60 points, 40 constraints", 60, 40, 80},
                       Grid{"grid 0..400, 300 points, 200 constraints", 300, 200, 400}}) {
    std::size_t vertices = 0;
    const double t = per_run([&] { vertices = grid_constraints(3, g.points, g.constraints, g.span); });
    std::printf("%-40s %10zu %12.3f\n", g.name, vertices, t * 1e3);
  }
  return 0;
}
