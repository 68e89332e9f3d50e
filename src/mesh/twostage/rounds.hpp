#pragma once
// The insertion rounds of the two-stage refinement: each round triangulates the working mesh,
// measures every triangle's worst deviation from the reference surface and inserts the worst point
// of each triangle over 0.25, worst first, at most once per neighbourhood per round, keeping new
// points apart from the corners, from the mesh's vertices and from its fixed edges. At the start of
// each round the sharp edges of the reference surface whose ends have become mesh vertices are
// joined as mesh edges. After the rounds the mesh is triangulated once more for the later stages.
#include <cstdint>
#include <functional>
#include <map>
#include <set>
#include <optional>
#include <utility>
#include <vector>

#include "mesh/twostage/deviation.hpp"
#include "mesh/grid/stop_check.hpp"
#include "mesh/twostage/working_mesh.hpp"

namespace qm::mesh {

inline constexpr std::uint64_t kMostRounds = 100;

// Corner points by 3-unit bucket (floor(x / 3), floor(y / 3)), each list in the order given.
using CornerBuckets = std::map<std::pair<std::int64_t, std::int64_t>, std::vector<std::pair<double, double>>>;

CornerBuckets corner_buckets(const std::vector<Point3>& corners);

// The 3-unit bucket number of a coordinate: floor(v / 3) as i64, saturating, NaN giving 0.
std::int64_t corner_bucket(double v);

// Whether a point stored under (col, row - 1), (col, row) or (col, row + 1) lies within 3.0
// (inclusive) of (x, y). False when row - 1 or row + 1 leaves the i64 range.
bool near_stored_point(std::int64_t row, const CornerBuckets& buckets, double x, double y, std::int64_t col);

// Whether a vertex listed under the 8-unit cell (cx, cy) lies strictly closer than 0.5 to (x, y).
bool near_listed_vertex(const TwostageMesh& mesh, std::int32_t cx, double x, double y, std::int32_t cy);

struct RoundsResult {
  std::uint64_t last_round = 0;              // the last round started, 1 to 100
  std::vector<MeshTriangle> triangles;       // the triangulation made after the last round
  std::uint64_t triangles_over = 0;          // final triangles whose error exceeds 0.25
  double worst_error = 0.0;                  // the largest such error (0.0 when none)
  std::uint64_t fixed_triangles_over = 0;    // within 0.25, with a fixed vertex, plain probe over 0.25
};

// Runs the rounds on the mesh. `memo` and `scratch` live on after the stage (the flips read the
// memo). Nothing when `stop` answered true at the start of a round or after the last one.
std::optional<RoundsResult> twostage_rounds(TwostageMesh& mesh, const std::vector<Point3>& corners,
                                            DeviationMemo& memo, std::vector<std::uint32_t>& scratch,
                                            const StopCheck& stop);

}  // namespace qm::mesh
