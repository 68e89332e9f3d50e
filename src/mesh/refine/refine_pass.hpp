#pragma once
// The refine pass: where the terrain model needs heights beyond the sampled lattice. It runs the
// face build in refine mode over the point set of a finished sampling run and asks for the
// meeting points of junction triangles and the centroids of badly explained triangles, snapped
// to whole terrain units; the sampler thread adds the host's answers and runs it again, an
// iteration at a time, until an iteration wants nothing.
#include <array>
#include <atomic>
#include <cstdint>
#include <optional>
#include <vector>

#include "base/hashing.hpp"
#include "mesh/grid/cell_grid.hpp"
#include "mesh/faces/faces.hpp"
#include "mesh/sampling/lattice.hpp"
#include "mesh/faces/refine_points.hpp"
#include "mesh/sampling/sampling_run.hpp"

namespace qm::mesh {

// A triangle examined by one of the refine tests: the test's tag and the ascending corners.
struct SeenTriangle {
  std::uint8_t tag = 0;  // 0 junction point taken, 1 middle-size faceless, 2 large faceless
  std::array<std::uint64_t, 3> corners{};
  friend bool operator==(const SeenTriangle&, const SeenTriangle&) = default;
};

inline void hash_write(SeededHasher& h, const SeenTriangle& t) {
  h.write(t.tag);
  hash_key_triple(h, t.corners);
}

using SeenSet = HashSet<SeenTriangle>;

inline constexpr std::uint64_t kRefineIterations = 12;

struct FaceWork {
  RefinePoints points;
  std::vector<TerrainPoint> wanted;  // whole terrain points (absolute) to ask the host for
  std::optional<FaceSet> last_faces;  // the latest face build, absent once the pass is done
  SeenSet seen;
  std::uint64_t iteration = 0;
  std::uint64_t asked = 0;      // points asked of the host so far (the sampler adds each batch)
  std::uint64_t ask_limit = 0;  // ceil(half the starting point count)
  // Of the latest face build, its crease triangles and twice its junction triangles: where the
  // piece build's face pieces will cut (read by the group's memory estimate).
  std::uint64_t cut_triangles = 0;
  bool done = false;
};

// The stop poll of the refine pass: the context is the sampling work's cancel flag
// (a const std::atomic<bool>*).
bool faces_stopped(const void* context);
inline StopCheck faces_stop_check(const std::atomic<bool>& cancel) { return StopCheck{&cancel, &faces_stopped}; }

// The pass over a finished run's levels: builds the point set and runs the first iteration.
// Nothing when the face build was stopped.
std::optional<FaceWork> refine(const RefineOrigin& origin, const CellGrid& cell_grid, const std::vector<Level>& levels,
                               StopCheck stop);
// The same over a finished run's levels, which are released (release_levels) once the point set
// is made from them.
std::optional<FaceWork> refine(SamplingRun& run, StopCheck stop);
// The same over a point set already built.
std::optional<FaceWork> refine_start(RefinePoints points, StopCheck stop);

// One iteration: the face build, the triangle tests and the new wanted list; true when the face
// build was stopped (the work then holds what the build changed and nothing else). The last face
// build is dropped before the new one is made.
bool refine_faces(FaceWork& work, StopCheck stop);

// Inserts (tag, sorted corners); true when it was not there yet.
bool seen_insert(SeenSet& seen, std::uint8_t tag, std::array<std::uint64_t, 3> corners);

// Whether some corner's candidate face misses the height ch at (cx, cy) by more than 0.25.
bool face_plane_off(const std::array<std::uint64_t, 3>& corners, const FaceSet& faces, const RefinePoints& points,
                    double cx, double cy, double ch);

}  // namespace qm::mesh
