#include "mesh/refine/refine_pass.hpp"

#include <algorithm>
#include <cmath>

#include "base/fault.hpp"
#include "base/numeric.hpp"
#include "base/span.hpp"

namespace qm::mesh {

namespace {

struct Candidate {
  double x;
  double y;
};

// Whether some triangle across an edge has its far corner more than 1.0 off the plane through
// the triangle's corners (edges in corner order; the first miss ends the test).
bool neighbours_off_plane(const RefinePoints& points, const FaceSet& faces, std::size_t kept,
                          const std::array<std::uint64_t, 3>& c) {
  const double x0 = points.xs[c[0]], y0 = points.ys[c[0]], h0 = points.hs[c[0]];
  const double x1 = points.xs[c[1]], y1 = points.ys[c[1]], h1 = points.hs[c[1]];
  const double x2 = points.xs[c[2]], y2 = points.ys[c[2]], h2 = points.hs[c[2]];
  const double det = (x0 - x2) * (y1 - y2) + (y0 - y2) * (x2 - x1);
  const double a = (h0 * (y1 - y2) + h1 * (y2 - y0) + h2 * (y0 - y1)) / det;
  const double b = (h0 * (x2 - x1) + h1 * (x0 - x2) + h2 * (x1 - x0)) / det;
  const double cc = h0 - a * x0 - b * y0;
  check_index(kept < faces.triangle_handles.size() && faces.triangle_handles[kept] >= 1);
  const std::size_t t = faces.triangle_handles[kept] - 1;
  check_index(t < faces.triangulation.triangle_count());
  for (int k = 0; k < 3; ++k) {
    const std::uint32_t across = faces.triangulation.neighbour(t, k);
    if (across == Triangulation::kNone) continue;
    for (const std::uint64_t q : faces.triangulation.corners(across)) {
      if (q == c[0] || q == c[1] || q == c[2]) continue;
      check_index(q < points.xs.size());
      if (std::fabs(cc + a * points.xs[q] + b * points.ys[q] - points.hs[q]) > 1.0) return true;
    }
  }
  return false;
}

}  // namespace

bool faces_stopped(const void* context) {
  return static_cast<const std::atomic<bool>*>(context)->load(std::memory_order_relaxed);
}

bool seen_insert(SeenSet& seen, std::uint8_t tag, std::array<std::uint64_t, 3> corners) {
  std::sort(corners.begin(), corners.end());
  return seen.insert(SeenTriangle{tag, corners}).second;
}

bool face_plane_off(const std::array<std::uint64_t, 3>& corners, const FaceSet& faces, const RefinePoints& points,
                    double cx, double cy, double ch) {
  for (const std::uint64_t p : corners) {
    check_index(p < faces.point_candidates.size());
    for (const std::uint32_t id : faces.point_candidates[p]) {
      if (std::fabs(face_plane(points.planes, id).height(cx, cy) - ch) > 0.25) return true;
    }
  }
  return false;
}

std::optional<FaceWork> refine(const RefineOrigin& origin, const CellGrid& cell_grid, const std::vector<Level>& levels,
                               StopCheck stop) {
  SpanTimer span("refine");
  return refine_start(build_refine_points(origin, cell_grid, levels), stop);
}

std::optional<FaceWork> refine(SamplingRun& run, StopCheck stop) {
  SpanTimer span("refine");
  RefinePoints points = build_refine_points(refine_origin(run.lattice), run.cover, run.lattice.levels);
  release_levels(run);
  return refine_start(std::move(points), stop);
}

std::optional<FaceWork> refine_start(RefinePoints points, StopCheck stop) {
  FaceWork work;
  const double n = static_cast<double>(points.xs.size());
  work.points = std::move(points);
  work.ask_limit = saturate<std::uint64_t>(std::ceil(n * 0.5));
  if (refine_faces(work, stop)) return std::nullopt;
  return work;
}

bool refine_faces(FaceWork& work, StopCheck stop) {
  RefinePoints& points = work.points;
  // The last face build is read only before this iteration (zero-marked answers): it goes before
  // the new one is made, so that the two are never held at once.
  work.last_faces.reset();
  std::optional<FaceSet> built = faces_build(points, kRefineMode, stop);
  if (!built) return true;
  FaceSet& faces = *built;
  work.iteration += 1;
  work.cut_triangles = 0;
  for (const TriangleKind kind : faces.triangle_kinds) {
    if (kind == TriangleKind::Crease) work.cut_triangles += 1;
    if (kind == TriangleKind::Junction) work.cut_triangles += 2;
  }

  std::vector<Candidate> first, second;
  if (work.iteration <= kRefineIterations) {
    const std::size_t n = points.xs.size();
    check_index(faces.triangle_kinds.size() >= faces.triangles.size() &&
                faces.triangle_faces.size() >= faces.triangles.size());
    for (std::size_t i = 0; i < faces.triangles.size(); ++i) {
      const auto& c = faces.triangles[i];
      for (const std::uint64_t p : c) check_index(p < n);
      const double x0 = points.xs[c[0]], y0 = points.ys[c[0]];
      const double x1 = points.xs[c[1]], y1 = points.ys[c[1]];
      const double x2 = points.xs[c[2]], y2 = points.ys[c[2]];
      const double area = std::fabs((y2 - y0) * (x1 - x0) - (y1 - y0) * (x2 - x0)) * 0.5;
      const double cx = (x0 + x1 + x2) / 3.0;
      const double cy = (y0 + y1 + y2) / 3.0;
      const double ch = (points.hs[c[0]] + points.hs[c[1]] + points.hs[c[2]]) / 3.0;
      switch (faces.triangle_kinds[i]) {
        case TriangleKind::Junction:
          if (area >= 0.5 && seen_insert(work.seen, 0, c)) {
            const TriangleFaces& tf = faces.triangle_faces[i];
            if (!tf.present) fault("a junction's faces");
            if (const auto meet = planes_meet_in_triangle(points, c, tf.faces)) first.push_back(Candidate{meet->x, meet->y});
          }
          break;
        case TriangleKind::Faceless:
          if (area >= 2.0 && area < 16.0) {
            if (seen_insert(work.seen, 1, c) && face_plane_off(c, faces, points, cx, cy, ch)) {
              first.push_back(Candidate{cx, cy});
            }
          } else if (area >= 16.0) {
            std::array<std::uint64_t, 3> sorted = c;
            std::sort(sorted.begin(), sorted.end());
            if (work.seen.contains(SeenTriangle{2, sorted})) break;
            const bool off = neighbours_off_plane(points, faces, i, c);
            work.seen.insert(SeenTriangle{2, sorted});
            if (off) second.push_back(Candidate{cx, cy});
          }
          break;
        case TriangleKind::Unexplained:
          if (area >= 0.5 && face_plane_off(c, faces, points, cx, cy, ch)) second.push_back(Candidate{cx, cy});
          break;
        case TriangleKind::Flat:
        case TriangleKind::Crease:
          break;
      }
    }
  }

  std::vector<TerrainPoint> wanted;
  HashSet<TerrainPoint> taken;
  const double ox = static_cast<double>(points.origin_x);
  const double oy = static_cast<double>(points.origin_y);
  auto consider = [&](const Candidate& cand) {
    const std::int32_t ix = saturate<std::int32_t>(round_half_even(cand.x + ox));
    const std::int32_t iy = saturate<std::int32_t>(round_half_even(cand.y + oy));
    const double rx = static_cast<double>(static_cast<std::int64_t>(ix) - points.origin_x);
    const double ry = static_cast<double>(static_cast<std::int64_t>(iy) - points.origin_y);
    if (points.point_keys.contains(half_unit_key(rx, ry))) return true;
    if (!lattice_touches(points.cell_grid, ix, iy)) return true;
    if (taken.contains(TerrainPoint{ix, iy})) return true;
    if (work.asked + wanted.size() >= work.ask_limit) return false;
    wanted.emplace_back(ix, iy);
    taken.emplace(ix, iy);
    return true;
  };
  bool more = true;
  for (const Candidate& cand : first) {
    if (!(more = consider(cand))) break;
  }
  if (more) {
    for (const Candidate& cand : second) {
      if (!consider(cand)) break;
    }
  }

  work.last_faces = std::move(built);
  work.wanted = std::move(wanted);
  if (work.wanted.empty()) {
    work.done = true;
    work.last_faces.reset();
  }
  return false;
}

}  // namespace qm::mesh
