// Prints, per analytic terrain, what the sampler-side pipeline of one group costs and how well its
// face pieces reproduce the terrain: host questions per km² (sampling run and refine pass), the
// worst and RMS vertical error of the pieces, the number of polygons, and the time per km² of
// each stage. Terrain units are taken as metres.
#include <cstdio>

// The test fixture's sources, compiled into this program.
#include "unit/faces_pipeline.cpp"
#include "unit/terrain_fixture.cpp"

using namespace qm::mesh;
using namespace qm::mesh::fixture;

int main() {
  const auto cells = rect_cells(0, 0, 8, 8);
  const double km2 = static_cast<double>(cells.size()) * 64.0 * 64.0 / 1e6;
  std::printf("%-14s %10s %10s %6s %9s %9s %8s | seconds per km2: %8s %8s %8s %8s\n", "terrain", "asks/km2",
              "refine/km2", "iters", "worst", "rms", "pieces", "sampling", "refine", "faces", "pieces");
  for (const Terrain& terrain : all_terrains()) {
    FakeHost host(terrain);
    const Pipeline p = run_pipeline(cells, host);
    const SurfaceError e = surface_error(p, terrain);
    std::printf("%-14s %10.0f %10.0f %6llu %9.4f %9.4f %8zu | %25.4f %8.4f %8.4f %8.4f\n", terrain.name.c_str(),
                static_cast<double>(p.sampling_questions) / km2, static_cast<double>(p.refine_questions) / km2,
                static_cast<unsigned long long>(p.refine_iterations), e.worst, e.rms, p.pieces.pieces.size(),
                p.sampling_seconds / km2, p.refine_seconds / km2, p.build_seconds / km2, p.pieces_seconds / km2);
  }
  return 0;
}
