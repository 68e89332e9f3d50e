#pragma once
// The whole sampler-side pipeline of one group over a fake host: the sampling run, the refine
// pass (the host answering the wanted points), then the piece build's face build and face pieces.
// And how far the pieces lie from the true terrain.
#include <cstdint>
#include <optional>
#include <set>
#include <string_view>
#include <vector>

#include "mesh/pieces/face_pieces.hpp"
#include "mesh/faces/faces.hpp"
#include "mesh/refine/refine_pass.hpp"
#include "mesh/sampling/sampling_run.hpp"
#include "mesh/build/piece_build.hpp"
#include "terrain_fixture.hpp"

namespace qm::mesh::fixture {

// One step of the group's work, measured in a program that counts the heap (heap_meter.hpp): the
// group's memory estimate in the state the step starts from (for the piece build's stages, the
// filed group's), and the most heap bytes the group held during the step (the fake host's and the
// answer store's records left out).
struct MemoryStep {
  std::string_view stage;  // "sampling", "refine", "faces" or "pieces"
  std::uint64_t estimate = 0;
  std::uint64_t peak = 0;
};

struct Pipeline {
  SamplingRun run;          // finished; its levels were released when the refine pass began
  std::vector<Level> levels;  // a copy of them made before (not counted in the heap meter)
  std::size_t samples = 0;    // the run's samples
  FaceWork refined;       // the refine pass's work, done; its points are final
  FaceSet faces;          // the piece build's face build (mode 0) over a copy of the points
  FacePieces pieces;
  std::uint64_t sampling_questions = 0;  // host questions of the sampling run
  std::uint64_t refine_questions = 0;    // host questions of the refine pass
  std::uint64_t refine_iterations = 0;
  double sampling_seconds = 0, refine_seconds = 0, build_seconds = 0, pieces_seconds = 0;
  std::vector<MemoryStep> memory;  // every step in order; empty where the heap is not counted
};

Pipeline run_pipeline(const std::set<Cell>& cells, FakeHost& host);

// A sampled and refined build request over the cells, as the sampler files it (no older holders).
BuildRequest sampled_request(const std::set<Cell>& cells, const Terrain& terrain);
// The same of a pipeline run over the cells: its run and refine pass are moved into the request.
BuildRequest filed_request(Pipeline& p, const std::set<Cell>& cells);

struct SurfaceError {
  double worst = 0.0;
  double rms = 0.0;
  double area = 0.0;  // of the pieces measured
};

// The pieces' surface (a face's plane on its pieces, the corners' heights spread linearly over
// loose pieces) against the terrain, at four points of every triangle of a fan over each ring,
// relative to the point set's origin. Places where the terrain has no height are left out.
SurfaceError surface_error(const Pipeline& p, const Terrain& terrain);

// Hashes of each stage's output, bit for bit: the sampling run's levels, the refine pass's point
// set, faces and counts, the piece build's face build, and the face pieces.
struct PipelineDigests {
  std::uint64_t sampling = 0, refine = 0, faces = 0, pieces = 0;
};
PipelineDigests pipeline_digests(const Pipeline& p);

}  // namespace qm::mesh::fixture
