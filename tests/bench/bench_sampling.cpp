// Sampling cost per terrain: host questions per km² (one terrain unit taken as one metre) and the
// time per covered cell of each level's advance and of the self-check, over a 16 by 16 cell frame.
#include <chrono>
#include <cstdio>
#include <map>
#include <vector>

#include "bench/bench_timing.hpp"
#include "mesh/faces/refine_points.hpp"
#include "mesh/sampling/sampler.hpp"
#include "mesh/sampling/sampling_run.hpp"
#include "terrain_fixture.hpp"

using namespace qm::mesh;
using namespace qm::mesh::fixture;
using qm::bench::seconds_since;

int main() {
  const std::set<Cell> cells = rect_cells(-8, -8, 16, 16);
  const double cell_count = static_cast<double>(cells.size());
  const double km2 = cell_count * 64.0 * 64.0 / 1e6;
  std::printf("frame: %zu cells (%.3f km²)\n", cells.size(), km2);
  for (const Terrain& t : all_terrains()) {
    SamplingRun run = new_run(cells);
    FakeHost host(t);
    AnswerStore store;
    // (pass, step) -> seconds of the advance that finished that level
    std::map<std::pair<int, double>, double> level_seconds;
    double total = 0.0;
    int pass = 1;
    HeightAnswers answers = answer_pending(run.lattice.pending, host, store);
    for (;;) {
      const double step = run.lattice.step;
      const std::size_t history = run.history.size();
      const auto t0 = std::chrono::steady_clock::now();
      const AdvanceResult r = model_step(run, answers);
      const double dt = seconds_since(t0);
      total += dt;
      level_seconds[{pass, step}] += dt;
      if (run.history.size() > history) pass += 1;
      if (r.tag == AdvanceTag::Done) break;
      answers = answer_pending(run.lattice.pending, host, store);
    }
    const auto t0 = std::chrono::steady_clock::now();
    const RefinePoints points =
        build_refine_points(refine_origin(run.lattice), run.cover, run.lattice.levels);
    const double refine_seconds = seconds_since(t0);
    std::printf("\n%-14s questions %7llu  (%9.0f per km²)  passes %zu  share",
                t.name.c_str(), static_cast<unsigned long long>(host.questions()),
                static_cast<double>(host.questions()) / km2, run.history.size());
    for (const auto& [spacing, share] : run.history) std::printf("  %.3f@%.1f", share, spacing);
    std::printf("\n");
    for (const auto& [key, s] : level_seconds) {
      std::printf("  pass %d step %4.0f: %8.2f us per cell%s\n", key.first, key.second, s / cell_count * 1e6,
                  " (the last level of a pass includes its self-check)");
    }
    std::printf("  whole run %.2f ms; refine point set %.2f ms (%zu points, %zu faces)\n", total * 1e3,
                refine_seconds * 1e3, points.xs.size(), points.planes.size());
  }
  return 0;
}
