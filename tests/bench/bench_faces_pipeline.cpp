// Prints, per terrain, what the sampler-side pipeline of one group costs and how well its face
// pieces reproduce the terrain: host questions per km² (sampling run and refine pass), the worst
// and RMS vertical error of the pieces, the number of polygons, the time per km² of each stage,
// and the group's heap peak in each stage. Terrain units are taken as metres. Every terrain runs
// on an 8 by 8 frame; the elevation grid, like real ground, also on a whole 36 by 36 frame.
// Each terrain runs in a process of its own (POSIX).
//
// Memory is the group's own heap: every block operator new hands out, as a glibc heap counts it
// (heap_meter.hpp), without the fake host's and the answer store's records. Per terrain: the
// group's peak over its steps, per run sample and per refine point, beside the group's memory
// estimate at that moment (the estimate of the state the step started from; for the piece build's
// stages, of the filed group) and their ratio; the lowest ratio over all steps; the largest
// estimate the group reached (what the sampler holds against the group's memory bound); and the
// peak of the whole piece build (its later refinement stages included) with the group's request.
// Then the named spans of the sampler and the face build, in seconds per km², and hashes of each
// stage's output (the same as the pipeline hash test's) to compare builds on the whole frame.
#include <algorithm>
#include <cstdio>
#include <cstring>

#ifndef _WIN32
#include <sys/wait.h>
#include <unistd.h>
#endif

#include "base/span.hpp"
#include "work/sampler_steps.hpp"

#include "faces_pipeline.hpp"
#include "heap_meter.hpp"

using namespace qm::mesh;
using namespace qm::mesh::fixture;

namespace {

double mib(std::uint64_t bytes) { return static_cast<double>(bytes) / 1048576.0; }

std::uint64_t stage_peak(const Pipeline& p, const char* stage) {
  std::uint64_t most = 0;
  for (const MemoryStep& s : p.memory)
    if (s.stage == stage) most = std::max(most, s.peak);
  return most;
}

// The peak of the piece build of the pipeline's group, over the group's request and what was
// live before the pipeline (`base`).
std::uint64_t piece_build_peak(Pipeline& p, const std::set<Cell>& cells, std::uint64_t base) {
  p.faces = {};
  p.pieces = {};
  const BuildRequest r = filed_request(p, cells);
  heap_restart_peak();
  const MeshPiece piece = scheme_build(r, BuildSnapshot{}, StopCheck{});
  const std::uint64_t peak = heap_peak();
  return peak > base ? peak - base : 0;
}

void run_terrain(const Terrain& terrain, const std::set<Cell>& cells, const char* frame) {
  const double km2 = static_cast<double>(cells.size()) * 64.0 * 64.0 / 1e6;
  const std::string name = terrain.name + (frame[0] != '\0' ? std::string(" ") + frame : "");
  const std::uint64_t base = heap_live();
  FakeHost host(terrain);
  Pipeline p = run_pipeline(cells, host);
  const SurfaceError e = surface_error(p, terrain);
  std::printf("%-20s %10.0f %10.0f %6llu %9.4f %9.4f %8zu | %8.4f %8.4f %8.4f %8.4f | %7.1f %7.1f %7.1f %7.1f\n",
              name.c_str(), static_cast<double>(p.sampling_questions) / km2,
              static_cast<double>(p.refine_questions) / km2, static_cast<unsigned long long>(p.refine_iterations),
              e.worst, e.rms, p.pieces.pieces.size(), p.sampling_seconds / km2, p.refine_seconds / km2,
              p.build_seconds / km2, p.pieces_seconds / km2, mib(stage_peak(p, "sampling")),
              mib(stage_peak(p, "refine")), mib(stage_peak(p, "faces")), mib(stage_peak(p, "pieces")));
  const std::size_t samples = p.samples;
  const std::size_t points = p.refined.points.xs.size();
  std::printf("  samples %zu, points %zu;", samples, points);
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
  if (!p.memory.empty()) {
    const auto top = std::max_element(p.memory.begin(), p.memory.end(),
                                      [](const MemoryStep& a, const MemoryStep& b) { return a.peak < b.peak; });
    const auto low = std::min_element(p.memory.begin(), p.memory.end(), [](const MemoryStep& a, const MemoryStep& b) {
      return static_cast<double>(a.estimate) * static_cast<double>(b.peak) <
             static_cast<double>(b.estimate) * static_cast<double>(a.peak);
    });
    const auto largest = std::max_element(p.memory.begin(), p.memory.end(), [](const MemoryStep& a, const MemoryStep& b) {
      return a.estimate < b.estimate;
    });
    const double peak = static_cast<double>(top->peak);
    std::printf("  memory: peak %.2f MiB (%.*s), %.0f B per sample, %.0f B per point; estimate then %.2f MiB = %.3f x "
                "peak; lowest estimate/peak over %zu steps %.3f (%.*s)",
                mib(top->peak), static_cast<int>(top->stage.size()), top->stage.data(),
                peak / static_cast<double>(samples), peak / static_cast<double>(points), mib(top->estimate),
                static_cast<double>(top->estimate) / peak, p.memory.size(),
                static_cast<double>(low->estimate) / static_cast<double>(low->peak), static_cast<int>(low->stage.size()),
                low->stage.data());
    std::printf("; largest estimate %.2f MiB, %.2f MiB per km2", mib(largest->estimate), mib(largest->estimate) / km2);
    const std::uint64_t build = piece_build_peak(p, cells, base);
    std::printf("; whole piece build %.2f MiB, %.0f B per sample\n", mib(build),
                static_cast<double>(build) / static_cast<double>(samples));
  }
  std::fflush(stdout);
}

}  // namespace

int main() {
  struct Run {
    Terrain terrain;
    std::set<Cell> cells;
    const char* frame;
  };
  std::vector<Run> runs;
  for (const Terrain& terrain : all_terrains()) runs.push_back(Run{terrain, rect_cells(0, 0, 8, 8), ""});
  runs.push_back(Run{elevation_grid(), rect_cells(0, 0, 36, 36), "36x36"});

  std::printf("%-20s %10s %10s %6s %9s %9s %8s | %35s | %31s\n", "", "", "", "", "", "", "", "seconds per km2",
              "group's heap peak, MiB");
  std::printf("%-20s %10s %10s %6s %9s %9s %8s | %8s %8s %8s %8s | %7s %7s %7s %7s\n", "terrain", "asks/km2",
              "refine/km2", "iters", "worst", "rms", "pieces", "sampling", "refine", "faces", "pieces", "sampling",
              "refine", "faces", "pieces");
  std::fflush(stdout);
  for (const Run& run : runs) {
#ifdef _WIN32
    run_terrain(run.terrain, run.cells, run.frame);
#else
    const pid_t child = fork();
    if (child == 0) {
      run_terrain(run.terrain, run.cells, run.frame);
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
