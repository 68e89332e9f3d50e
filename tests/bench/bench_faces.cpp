// Prints the time of the Delaunay triangulation and of the face build (both modes) per 100000
// points, on a lattice (exactly cocircular everywhere) and on random positions.
#include <chrono>
#include <cmath>
#include <cstdio>
#include <random>
#include <set>

#include "bench/bench_timing.hpp"
#include "mesh/grid/cell_grid.hpp"
#include "mesh/faces/faces.hpp"
#include "mesh/faces/refine_points.hpp"
#include "mesh/triangulation/triangulation.hpp"

using namespace qm::mesh;
using qm::bench::seconds_since;

namespace {

// Points over 5 by 5 cells, heights on a few planes (a ridge and a valley) plus a little noise,
// with starting faces of the points well inside each plane's part.
RefinePoints make(bool lattice, std::size_t target) {
  RefinePoints w;
  std::set<Cell> cells;
  for (int x = 0; x < 5; ++x)
    for (int y = 0; y < 5; ++y) cells.insert({x, y});
  w.cell_grid = lattice_from_cells(cells);
  auto height = [](double x, double y) { return 100 + 0.3 * std::fabs(x - 160) - 0.2 * std::fabs(y - 100); };
  std::mt19937_64 rng(5);
  std::uniform_real_distribution<double> pos(0.0, 320.0), noise(-0.02, 0.02);
  if (lattice) {
    const int side = static_cast<int>(std::sqrt(static_cast<double>(target)));
    const double step = 1.0;  // whole units, as a sampled lattice has
    for (int i = 0; i < side; ++i)
      for (int j = 0; j < side; ++j) add_point(w, i * step, j * step, height(i * step, j * step));
  } else {
    while (w.xs.size() < target) {
      const double x = std::round(pos(rng) * 64) / 64, y = std::round(pos(rng) * 64) / 64;
      add_point(w, x, y, height(x, y) + noise(rng));
    }
  }
  for (std::uint32_t q = 0; q < 4; ++q) {
    std::vector<std::uint64_t> members;
    for (std::uint64_t p = 0; p < w.xs.size(); ++p) {
      const bool east = w.xs[p] > 170, north = w.ys[p] > 110, west = w.xs[p] < 150, south = w.ys[p] < 90;
      const bool in = (q == 0 && west && south) || (q == 1 && east && south) || (q == 2 && west && north) ||
                      (q == 3 && east && north);
      if (in) members.push_back(p);
    }
    const PlaneFit fit = fit_face_plane(w.xs, w.ys, w.hs, members);
    w.planes[q + 1] = fit.plane;
    w.members[q + 1] = members;
    for (auto p : members) w.point_faces[p].push_back(q + 1);
  }
  return w;
}

}  // namespace

int main() {
  const std::size_t n = 100000;
  for (bool lattice : {true, false}) {
    const RefinePoints base = make(lattice, n);
    const double per = 100000.0 / static_cast<double>(base.xs.size());
    auto t0 = std::chrono::steady_clock::now();
    const Triangulation t = Triangulation::delaunay(base.xs, base.ys);
    const double tri = seconds_since(t0) * per;
    RefinePoints piece = base;
    t0 = std::chrono::steady_clock::now();
    const auto piece_faces = faces_build(piece, kPieceMode, {});
    const double piece_s = seconds_since(t0) * per;
    RefinePoints refine = base;
    t0 = std::chrono::steady_clock::now();
    const auto refine_faces = faces_build(refine, kRefineMode, {});
    const double refine_s = seconds_since(t0) * per;
    std::printf("%-7s points %zu triangles %zu | per 1e5 points: delaunay %.3f s, face build mode 0 %.3f s, mode 1 %.3f s (faces %zu)\n",
                lattice ? "lattice" : "noise", base.xs.size(), t.triangle_count(), tri, piece_s, refine_s,
                refine.planes.size());
    (void)piece_faces;
    (void)refine_faces;
  }
  return 0;
}
