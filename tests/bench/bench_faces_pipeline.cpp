// Prints, per analytic terrain, what the sampler-side pipeline of one group costs and how well its
// face pieces reproduce the terrain: host questions per km² (sampling run and refine pass), the
// worst and RMS vertical error of the pieces, the number of polygons, the time per km² of each
// stage, and the peak resident memory after each stage. Terrain units are taken as metres.
// Each terrain runs in a process of its own (POSIX) so that its peak memory is its own.
// Then the named spans of the sampler and the face build, in seconds per km², and hashes of each
// stage's output (the same as the pipeline hash test's) to compare builds on the whole frame.
#include <cstdio>
#include <cstring>

#ifndef _WIN32
#include <sys/wait.h>
#include <unistd.h>
#endif

#include "module/span.hpp"

#include "unit/faces_pipeline.hpp"

using namespace qm::mesh;
using namespace qm::mesh::fixture;

namespace {

void run_terrain(const Terrain& terrain, const std::set<Cell>& cells, double km2) {
  FakeHost host(terrain);
  const Pipeline p = run_pipeline(cells, host);
  const SurfaceError e = surface_error(p, terrain);
  std::printf("%-14s %10.0f %10.0f %6llu %9.4f %9.4f %8zu | %8.4f %8.4f %8.4f %8.4f | %7.1f %7.1f %7.1f %7.1f\n",
              terrain.name.c_str(), static_cast<double>(p.sampling_questions) / km2,
              static_cast<double>(p.refine_questions) / km2, static_cast<unsigned long long>(p.refine_iterations),
              e.worst, e.rms, p.pieces.pieces.size(), p.sampling_seconds / km2, p.refine_seconds / km2,
              p.build_seconds / km2, p.pieces_seconds / km2, static_cast<double>(p.sampling_peak_kib) / 1024.0,
              static_cast<double>(p.refine_peak_kib) / 1024.0, static_cast<double>(p.build_peak_kib) / 1024.0,
              static_cast<double>(p.pieces_peak_kib) / 1024.0);
  std::printf("  samples %zu, points %zu;", p.run.lattice.samples.size(), p.refined.points.xs.size());
  for (const qm::SpanEntry& span : qm::thread_span_table()) {
    if (std::strncmp(span.name, "faces", 5) != 0 && std::strncmp(span.name, "sampler", 7) != 0 &&
        std::strncmp(span.name, "selfcheck", 9) != 0) {
      continue;
    }
    std::printf(" %s %.3f", span.name, span.total_seconds / km2);
  }
  const PipelineDigests d = pipeline_digests(p);
  std::printf("\n  output hashes %016llx %016llx %016llx %016llx\n", static_cast<unsigned long long>(d.sampling),
              static_cast<unsigned long long>(d.refine), static_cast<unsigned long long>(d.faces),
              static_cast<unsigned long long>(d.pieces));
  std::fflush(stdout);
}

}  // namespace

int main() {
  const auto cells = rect_cells(0, 0, 8, 8);
  const double km2 = static_cast<double>(cells.size()) * 64.0 * 64.0 / 1e6;
  std::printf("%-14s %10s %10s %6s %9s %9s %8s | %35s | %31s\n", "", "", "", "", "", "", "",
              "seconds per km2", "peak MiB after");
  std::printf("%-14s %10s %10s %6s %9s %9s %8s | %8s %8s %8s %8s | %7s %7s %7s %7s\n", "terrain", "asks/km2",
              "refine/km2", "iters", "worst", "rms", "pieces", "sampling", "refine", "faces", "pieces", "sampling",
              "refine", "faces", "pieces");
  std::fflush(stdout);
  for (const Terrain& terrain : all_terrains()) {
#ifdef _WIN32
    run_terrain(terrain, cells, km2);
#else
    const pid_t child = fork();
    if (child == 0) {
      run_terrain(terrain, cells, km2);
      _exit(0);
    }
    if (child < 0) return 1;
    int status = 0;
    waitpid(child, &status, 0);
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) return 1;
#endif
  }
  return 0;
}
