#include "mesh/twostage/rounds.hpp"

#include <algorithm>
#include <cmath>
#include <limits>

#include "base/fault.hpp"
#include "base/hashing.hpp"
#include "base/numeric.hpp"
#include "base/span.hpp"
#include "mesh/grid/cell_grid.hpp"
#include "mesh/reference/reference.hpp"
#include "mesh/twostage/insert.hpp"
#include "mesh/twostage/key_filters.hpp"
#include "mesh/twostage/triangulate.hpp"

namespace qm::mesh {

namespace {

constexpr double kSpacingSkipError = 1.0;
constexpr double kCornerSpacing = 3.0;
constexpr double kSharpAngle = 3.0;
constexpr double kCrossingSpacing = 0.5;

struct RoundCandidate {
  double error;
  std::uint64_t triangle;
  double x;
  double y;
  double z_ref;
  std::uint32_t kind;
  std::uint32_t index;
};

// Whether a corner lies within 3.0 of (x, y), looking at the buckets of the columns around col.
bool near_corner(const CornerBuckets& buckets, double x, double y) {
  if (buckets.empty()) return false;
  const std::int64_t col = corner_bucket(x);
  const std::int64_t row = corner_bucket(y);
  for (int d = -1; d <= 1; ++d) {
    std::int64_t c;
    if (__builtin_add_overflow(col, static_cast<std::int64_t>(d), &c)) continue;
    if (near_stored_point(row, buckets, x, y, c)) return true;
  }
  return false;
}

// Whether a vertex of the nine 8-unit cells around (x, y) lies closer than 0.5.
bool near_vertex(const TwostageMesh& mesh, double x, double y) {
  const std::int32_t cx = cell_of(x);
  const std::int32_t cy = cell_of(y);
  for (int dx = -1; dx <= 1; ++dx) {
    std::int32_t gx;
    if (__builtin_add_overflow(cx, dx, &gx)) continue;
    for (int dy = -1; dy <= 1; ++dy) {
      std::int32_t gy;
      if (__builtin_add_overflow(cy, dy, &gy)) continue;
      if (near_listed_vertex(mesh, gx, x, y, gy)) return true;
    }
  }
  return false;
}

// The stage sets the code, then inserts; the result says whether a new vertex was made.
bool insert_new(TwostageMesh& mesh, std::uint8_t stage, double x, double y, double z) {
  mesh.stage = stage;
  const std::uint64_t before = mesh.vertex_count();
  const auto index = insert_point(mesh, x, y, z);
  return index && *index == before;
}

// Inserts what one candidate asks for; gives the number of vertices it added.
std::uint64_t insert_candidate(TwostageMesh& mesh, const CornerBuckets& buckets, const RoundCandidate& c) {
  std::uint64_t added = 0;
  if (c.kind == 0) {
    if (insert_new(mesh, vertex_stage::kReferencePoint, c.x, c.y, c.z_ref)) ++added;
    return added;
  }
  const std::vector<std::uint32_t> ends = key_lookup(mesh, c.index);
  if (!ends.empty()) {
    for (const std::uint32_t end : ends) {
      const Point3 p = reference_point(*mesh.reference, end);
      if (c.error <= kSpacingSkipError && near_corner(buckets, p[0], p[1])) continue;
      if (insert_new(mesh, vertex_stage::kReferenceEdgeEnd, p[0], p[1], p[2])) ++added;
    }
    return added;
  }
  bool on_border_edge = false;
  if (const auto hit = edge_at(mesh, c.x, c.y)) {
    const Point3& a = mesh.vertex(hit->a);
    const Point3& b = mesh.vertex(hit->b);
    on_border_edge = cells_on_border(
        lattice_cells_at(*mesh.grid, (a[0] + b[0]) * 0.5 + mesh.origin_x, (a[1] + b[1]) * 0.5 + mesh.origin_y));
  }
  if (!on_border_edge) {
    if (near_vertex(mesh, c.x, c.y)) return added;
    if (edges_near(mesh, c.x, c.y, kCrossingSpacing)) return added;
  }
  if (insert_new(mesh, vertex_stage::kReferenceEdgeCrossing, c.x, c.y, c.z_ref)) ++added;
  return added;
}

}  // namespace

std::int64_t corner_bucket(double v) { return saturate<std::int64_t>(std::floor(v / kCornerSpacing)); }

CornerBuckets corner_buckets(const std::vector<Point3>& corners) {
  CornerBuckets buckets;
  for (const Point3& p : corners) buckets[{corner_bucket(p[0]), corner_bucket(p[1])}].emplace_back(p[0], p[1]);
  return buckets;
}

bool near_stored_point(std::int64_t row, const CornerBuckets& buckets, double x, double y, std::int64_t col) {
  if (row == std::numeric_limits<std::int64_t>::min() || row == std::numeric_limits<std::int64_t>::max())
    return false;
  for (std::int64_t r = row - 1; r <= row + 1; ++r) {
    const auto it = buckets.find({col, r});
    if (it == buckets.end()) continue;
    for (const auto& [px, py] : it->second)
      if (std::hypot(px - x, py - y) <= kCornerSpacing) return true;
  }
  return false;
}

bool near_listed_vertex(const TwostageMesh& mesh, std::int32_t cx, double x, double y, std::int32_t cy) {
  if (mesh.vertex_cells.empty()) return false;
  const auto it = mesh.vertex_cells.find(Cell{cx, cy});
  if (it == mesh.vertex_cells.end()) return false;
  for (const std::uint64_t v : it->second) {
    const Point3& p = mesh.vertex(v);
    if (std::hypot(p[0] - x, p[1] - y) < kCrossingSpacing) return true;
  }
  return false;
}

std::optional<RoundsResult> twostage_rounds(TwostageMesh& mesh, const std::vector<Point3>& corners,
                                            DeviationMemo& memo, std::vector<std::uint32_t>& scratch,
                                            const StopCheck& stop) {
  const ReferenceModel& reference = *mesh.reference;
  const CornerBuckets buckets = corner_buckets(corners);
  std::set<std::uint32_t> pending_sharp_edges;
  for (std::size_t e = 0; e < reference.edge_angles.size(); ++e)
    if (reference.edge_angles[e] > kSharpAngle) pending_sharp_edges.insert(static_cast<std::uint32_t>(e));

  RoundsResult result;
  {
    SpanTimer span("twostage.rounds");
    std::vector<RoundCandidate> candidates;
    HashSet<std::uint64_t> touched;
    for (std::uint64_t round = 1; round <= kMostRounds; ++round) {
      if (stop()) return std::nullopt;
      result.last_round = round;

      for (const std::uint32_t e : key_entries(mesh, pending_sharp_edges)) {
        pending_sharp_edges.erase(e);
        const auto& [first, second] = reference.edges.at(e);
        const Point3 p = reference_point(reference, first);
        const Point3 q = reference_point(reference, second);
        const auto a = mesh.find_key(vertex_key(p[0], p[1]));
        const auto b = mesh.find_key(vertex_key(q[0], q[1]));
        check(a.has_value() && b.has_value(), "no entry found for key");
        add_edge_checked(mesh, *a, *b);
      }

      const MeshTriangulation tri = twostage_triangulate(mesh);
      candidates.clear();
      for (std::size_t t = 0; t < tri.triangles.size(); ++t) {
        const MeshTriangle& v = tri.triangles[t];
        const Deviation d = triangle_deviation(mesh, v[0], v[1], v[2], memo, scratch);
        if (d.kind != 2 && d.error > kVerticalTolerance)
          candidates.push_back({d.error, t, d.x, d.y, d.z_ref, d.kind, d.index});
      }
      if (candidates.empty()) break;
      std::stable_sort(candidates.begin(), candidates.end(), [](const RoundCandidate& a, const RoundCandidate& b) {
        return total_order_less(b.error, a.error);
      });

      touched.clear();
      std::uint64_t added_this_round = 0;
      for (const RoundCandidate& c : candidates) {
        if (touched.contains(c.triangle)) continue;
        if (c.error <= kSpacingSkipError && near_corner(buckets, c.x, c.y)) continue;
        const std::uint64_t added = insert_candidate(mesh, buckets, c);
        if (added == 0) continue;
        touched.insert(c.triangle);
        for (const auto& n : tri.neighbours[c.triangle])
          if (n) touched.insert(*n);
        added_this_round += added;
      }
      if (added_this_round == 0) break;
    }
  }
  if (stop()) return std::nullopt;

  result.triangles = twostage_triangulate(mesh).triangles;
  for (const MeshTriangle& v : result.triangles) {
    const Deviation d = triangle_deviation(mesh, v[0], v[1], v[2], memo, scratch);
    if (d.error > kVerticalTolerance) {
      ++result.triangles_over;
      result.worst_error = std::max(result.worst_error, d.error);
    } else if (mesh.fixed.at(v[0]) != 0 || mesh.fixed.at(v[1]) != 0 || mesh.fixed.at(v[2]) != 0) {
      const Deviation plain = probe_triangle(reference, mesh.positions.at(v[0]), mesh.positions.at(v[1]),
                                             mesh.positions.at(v[2]), scratch);
      if (plain.error > kVerticalTolerance) ++result.fixed_triangles_over;
    }
  }
  return result;
}

}  // namespace qm::mesh
