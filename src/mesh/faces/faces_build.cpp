// The frame of the face build, the triangulation with the cell filter, and the merge of faces.
#include <algorithm>
#include <cmath>
#include <span>

#include "base/fault.hpp"
#include "base/numeric.hpp"
#include "base/span.hpp"
#include "mesh/faces/faces.hpp"
#include "mesh/faces/faces_stages.hpp"

namespace qm::mesh {

namespace {

using ParentMap = HashMap<std::uint32_t, std::uint32_t>;

// Triangles whose centroid lies in a cell of the grid, in triangulation order.
void keep_triangles_over_cells(const RefinePoints& work, FaceSet& faces) {
  const Triangulation& t = faces.triangulation;
  const double ox = static_cast<double>(work.origin_x);
  const double oy = static_cast<double>(work.origin_y);
  for (std::size_t i = 0; i < t.triangle_count(); ++i) {
    const auto c = t.corners(i);
    const double cx = (work.xs[c[0]] + work.xs[c[1]] + work.xs[c[2]]) / 3.0;
    const double cy = (work.ys[c[0]] + work.ys[c[1]] + work.ys[c[2]]) / 3.0;
    const std::int32_t gx = saturate<std::int32_t>(std::floor((cx + ox) * 0.015625));
    const std::int32_t gy = saturate<std::int32_t>(std::floor((cy + oy) * 0.015625));
    if (!work.cell_grid.contains(gx, gy)) continue;
    faces.triangles.push_back(c);
    faces.triangle_handles.push_back(static_cast<std::uint32_t>(i + 1));
  }
}

const std::vector<std::uint64_t>& members_of(const RefinePoints& work, std::uint32_t id) {
  const auto it = work.members.find(id);
  if (it == work.members.end()) fault("no entry found for key");
  return it->second;
}

// One pass over the kept triangles: two faces that meet at a triangle become one when one plane
// fits both their members within the tolerance. Each root pair is fitted at most once.
void merge_faces(RefinePoints& work, const std::vector<std::array<std::uint64_t, 3>>& triangles) {
  ParentMap parent;
  parent.reserve(work.planes.size());
  for (const auto& [id, plane] : work.planes) parent.emplace(id, id);
  HashSet<std::pair<std::uint32_t, std::uint32_t>> tried;
  std::vector<std::uint32_t> roots;
  std::vector<std::uint64_t> points;
  bool merged = false;

  for (const auto& tri : triangles) {
    roots.clear();
    for (const std::uint64_t corner : tri) {
      for (const std::uint32_t id : work.point_faces[corner]) roots.push_back(face_index(parent, id));
    }
    std::sort(roots.begin(), roots.end());
    roots.erase(std::unique(roots.begin(), roots.end()), roots.end());
    if (roots.size() < 2) continue;
    for (const std::uint32_t first : roots) {
      for (const std::uint32_t second : roots) {
        // Earlier merges of this triangle may have moved either root.
        const std::uint32_t ra = face_index(parent, first);
        const std::uint32_t rb = face_index(parent, second);
        if (!(ra < rb)) continue;
        if (!tried.emplace(ra, rb).second) continue;
        const auto& ma = members_of(work, ra);
        const auto& mb = members_of(work, rb);
        points.clear();
        points.insert(points.end(), ma.begin(), ma.end());
        points.insert(points.end(), mb.begin(), mb.end());
        if (points.size() < 3) continue;
        const PlaneFit fit = fit_face_plane(work.xs, work.ys, work.hs, points);
        if (!(fit.residual <= kFaceTolerance)) continue;
        parent[rb] = ra;
        work.members[ra] = points;
        work.planes[ra] = fit.plane;
        merged = true;
      }
    }
  }
  if (!merged) return;

  std::vector<std::uint32_t> gone;
  for (const auto& [id, plane] : work.planes) {
    if (face_index(parent, id) != id) gone.push_back(id);
  }
  for (const std::uint32_t id : gone) {
    work.planes.erase(id);
    work.members.erase(id);
  }
  for (auto& ids : work.point_faces) {
    if (ids.empty()) continue;
    for (auto& id : ids) id = face_index(parent, id);
    std::sort(ids.begin(), ids.end());
    ids.erase(std::unique(ids.begin(), ids.end()), ids.end());
  }
}

}  // namespace

std::uint32_t face_index(HashMap<std::uint32_t, std::uint32_t>& parent, std::uint32_t id) {
  auto it = parent.find(id);
  if (it == parent.end()) fault("no entry found for key");
  for (;;) {
    const std::uint32_t p = it->second;
    if (p == id) return id;
    const auto up = parent.find(p);
    if (up == parent.end()) fault("no entry found for key");
    it->second = up->second;  // path halving: point at the grandparent and go on from there
    id = up->second;
    it = parent.find(id);
    if (it == parent.end()) fault("no entry found for key");
  }
}

std::optional<FaceSet> faces_build(RefinePoints& work, std::uint8_t mode, StopCheck stop) {
  const std::size_t n = work.xs.size();
  check_index(work.ys.size() >= n && work.hs.size() >= n && work.point_faces.size() >= n);
  const bool refine = mode != kPieceMode;

  FaceSet faces;
  {
    SpanTimer span("faces.delaunay");
    // Only the refine pass locates points in its face build (zero-marked answers).
    faces.triangulation = Triangulation::delaunay(work.xs, std::span<const double>(work.ys).first(n),
                                                  refine ? PointLocation::Kept : PointLocation::Dropped);
  }
  if (stop()) return std::nullopt;

  keep_triangles_over_cells(work, faces);

  if (refine) {
    SpanTimer span("faces.merge");
    merge_faces(work, faces.triangles);
  }
  if (stop()) return std::nullopt;

  {
    PointAdjacency adjacency;
    {
      SpanTimer span("faces.spread");
      adjacency = point_adjacency(n, faces.triangles);
      faces.point_candidates = faces_stages::spread(work, adjacency);
    }
    if (refine) {
      SpanTimer span("faces.grow");
      faces_stages::grow(work, adjacency, faces.triangles, faces.point_candidates);
    }
  }
  if (stop()) return std::nullopt;

  if (!faces_stages::explain(work, faces, stop)) return std::nullopt;
  return faces;
}

}  // namespace qm::mesh
