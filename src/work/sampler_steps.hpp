#pragma once
// The sampler thread's work on one group, apart from the shared schedule: the group's halo and
// bounds, taking the host's answers in, the points a group waits for, and one advance of its
// sampling run or refine pass. The thread (sampler_run) does the locking and the bookkeeping.
#include <array>
#include <cstdint>
#include <optional>
#include <set>
#include <utility>
#include <vector>

#include "base/hashing.hpp"
#include "host/answer_table.hpp"
#include "mesh/grid/cell_grid.hpp"
#include "mesh/faces/faces.hpp"
#include "mesh/sampling/lattice.hpp"
#include "mesh/refine/refine_pass.hpp"
#include "mesh/sampling/sampling_run.hpp"

namespace qm::work {

using mesh::Cell;
using mesh::TerrainPoint;

// Every cell within one cell (the 3 x 3 block) of a cell of the set. Of a group's frame, these are
// the cells whose holders its piece build reads (the ring among the frame cells, the neighbours
// across the border's sides and around its corners): the builder snapshots their holders when
// the build starts and checks them before the commit, and the filed group's pin keeps them from
// eviction.
std::set<Cell> halo_of(const std::set<Cell>& cells);

// Smallest x, smallest y, largest x, largest y. An empty set is the fault "a group has cells".
std::array<std::int32_t, 4> bounds_of(const std::set<Cell>& cells);

// A kept height: the zero mark is 1 when the height is 0.0 (answered so, or zeroed after three
// answers without a height).
struct SampleAnswer {
  std::uint64_t zero = 0;
  double height = 0.0;
  friend bool operator==(const SampleAnswer&, const SampleAnswer&) = default;
};

// What one advance reads: a wanted point's kept height.
using AnswerMap = HashMap<TerrainPoint, SampleAnswer>;

// How often the host answered a point without a height, per group.
using MissCounts = HashMap<TerrainPoint, std::uint8_t>;

// A point answered this many times without a height is kept as a zero sample.
inline constexpr std::uint8_t kMissesToZero = 3;

// The samples to keep from a complete batch: a finite answer as itself (zero mark when exactly
// 0.0); a point that the host saw and answered without a height counts a miss, and at the third
// becomes {1, 0.0} (counted in `zeroed`). Other points stay missing.
std::vector<std::pair<TerrainPoint, SampleAnswer>> take_answers(const std::vector<TerrainPoint>& points,
                                                                const terrain::AnswerTable::View& view,
                                                                MissCounts& misses, std::uint64_t& zeroed);

// The answer map entry of a kept sample: {1, 0.0} with the zero mark, else the height when finite.
std::optional<SampleAnswer> answer_of_sample(std::uint64_t zero, double height);

// The points a group waits for: its run's pending points while the run is not finished, else the
// refine pass's wanted points, else none.
const std::vector<TerrainPoint>* wanted_points(const std::optional<mesh::SamplingRun>& run,
                                               const std::optional<mesh::FaceWork>& work);

// The working memory a group is estimated to reach, in heap bytes (terrain/mesh/heap_bytes.hpp):
// the most it will hold in any phase still ahead of it up to its piece build's face pieces, from
// what it holds now. What it holds is counted from the structures' own sizes; what a phase builds
// and drops again is counted with the per-item figures below, each measured to be an upper bound
// on every terrain of the fixtures (bench_faces_pipeline prints the estimate beside the peak).
//  - While the run samples, its next step: the answers, the new level over every sample, the
//    rebuild and the self-check's model (its node grids counted from their boxes); the start of
//    the refine pass (the point set made from the levels, the first face build); and, for the
//    samples as points, a refine iteration and the piece build as below, with a cut for every
//    sample on a patch of the latest level (the samples still to come in the same share).
//  - A refine iteration: its face build over the points held and wanted, and the tests.
//  - The piece build's face build and face pieces over the points held and wanted, with the cuts
//    of the latest face build.
std::uint64_t group_memory_estimate(const std::optional<mesh::SamplingRun>& run,
                                    const std::optional<mesh::FaceWork>& work);

// The per-item figures of the estimate, in heap bytes.
inline constexpr std::uint64_t kSampleStepBytes = 448;          // per sample after a sampling step
inline constexpr std::uint64_t kSampleStepFixedBytes = 8704;
inline constexpr std::uint64_t kRefineStartBytes = 608;         // per sample of the finished run
inline constexpr std::uint64_t kRefineStartFixedBytes = 1024;
inline constexpr std::uint64_t kPointSetBytes = 144;            // per point of a refine point set and its tests
inline constexpr std::uint64_t kPointSetFaceBytes = 176;        // more per point on a face
inline constexpr std::uint64_t kIterationBytes = 576;           // per point of a refine iteration
inline constexpr std::uint64_t kIterationFixedBytes = 256;
inline constexpr std::uint64_t kPieceBuildBytes = 832;          // per point of the piece build
inline constexpr std::uint64_t kPieceBuildCutBytes = 272;       // per cut triangle of it
inline constexpr std::uint64_t kPieceBuildFixedBytes = 256;

enum class StepOutcome : std::uint8_t { Ask, Done, Wait, Fault, Stopped };

// The height a zero-marked refine point gets at (lx, ly) relative to the point set's origin: 0.0
// without a last face build or outside its triangulation; else 0.0 when a vertex, an edge end or
// a triangle corner that the position meets lies at most 10.0 high; none (skip) otherwise.
std::optional<double> zero_point_height(const mesh::FaceWork& work, double lx, double ly);

// One refine iteration over the work's wanted points with their answers (span "refine").
// A wanted point without an answer is the fault "every wanted point answered".
StepOutcome refine_iteration(mesh::FaceWork& work, const AnswerMap& answers, mesh::StopCheck stop);

// One advance of a group: the sampling run's next step, the start of its refine pass, or a refine
// iteration. Faults inside are caught (the outcome is Fault, the message is the last panic).
StepOutcome advance_group(std::optional<mesh::SamplingRun>& run, std::optional<mesh::FaceWork>& work,
                          const AnswerMap& answers, mesh::StopCheck stop);

// Whether a group's sampling and refine pass are complete: no run, or a finished run whose refine
// pass is present and done.
bool group_complete(const std::optional<mesh::SamplingRun>& run, const std::optional<mesh::FaceWork>& work);

}  // namespace qm::work
