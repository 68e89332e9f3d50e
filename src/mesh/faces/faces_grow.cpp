// The grow stage of the face build: new faces over flat patches of triangles that no face
// reaches.
#include <algorithm>
#include <limits>

#include "base/fault.hpp"
#include "mesh/faces/faces.hpp"
#include "mesh/faces/faces_stages.hpp"

namespace qm::mesh::faces_stages {

void grow(RefinePoints& work, const PointAdjacency& adjacency, const std::vector<std::array<std::uint64_t, 3>>& triangles,
          std::vector<std::vector<std::uint32_t>>& candidates) {
  const std::size_t n = work.xs.size();
  // The uncovered triangles, in triangle order, indexed by their edges.
  std::vector<std::uint32_t> uncovered;
  for (std::size_t t = 0; t < triangles.size(); ++t) {
    const auto& c = triangles[t];
    if (candidates[c[0]].empty() && candidates[c[1]].empty() && candidates[c[2]].empty()) {
      uncovered.push_back(static_cast<std::uint32_t>(t));
    }
  }
  if (uncovered.empty()) return;
  // (edge, uncovered number) for every edge of an uncovered triangle, the edge as its two point
  // indices, smaller first, in one word; sorted, so an edge's triangles are a run in their order.
  check(n <= std::numeric_limits<std::uint32_t>::max(), "point indices fit 32 bits");
  auto edge_of = [](const std::array<std::uint64_t, 3>& c, int k) {
    const std::uint64_t a = c[static_cast<std::size_t>(k)], b = c[static_cast<std::size_t>((k + 1) % 3)];
    return (std::min(a, b) << 32) | std::max(a, b);
  };
  struct EdgeEntry {
    std::uint64_t edge;
    std::uint32_t u;
  };
  std::vector<EdgeEntry> by_edge;
  by_edge.reserve(uncovered.size() * 3);
  for (std::uint32_t u = 0; u < uncovered.size(); ++u) {
    for (int k = 0; k < 3; ++k) by_edge.push_back(EdgeEntry{edge_of(triangles[uncovered[u]], k), u});
  }
  std::sort(by_edge.begin(), by_edge.end(),
            [](const EdgeEntry& a, const EdgeEntry& b) { return a.edge != b.edge ? a.edge < b.edge : a.u < b.u; });

  std::vector<std::uint8_t> taken(uncovered.size(), 0);
  std::vector<std::uint32_t> region_of_point(n, 0);  // region number + 1 of the region holding it
  std::vector<std::uint64_t> points;
  std::vector<std::uint64_t> fresh;
  std::vector<std::uint32_t> stack;
  std::uint32_t region = 0;
  bool made = false;
  for (std::uint32_t seed = 0; seed < uncovered.size(); ++seed) {
    if (taken[seed]) continue;
    ++region;
    const auto& first = triangles[uncovered[seed]];
    points.assign(first.begin(), first.end());
    for (const std::uint64_t p : points) region_of_point[p] = region;
    Plane plane = fit_face_plane(work.xs, work.ys, work.hs, points).plane;
    taken[seed] = 1;
    stack.assign(1, seed);
    while (!stack.empty()) {
      const std::uint32_t u = stack.back();
      stack.pop_back();
      const auto corners = triangles[uncovered[u]];
      for (int k = 0; k < 3; ++k) {
        const std::uint64_t edge = edge_of(corners, k);
        auto entry = std::lower_bound(by_edge.begin(), by_edge.end(), edge,
                                      [](const EdgeEntry& e, std::uint64_t key) { return e.edge < key; });
        for (; entry != by_edge.end() && entry->edge == edge; ++entry) {
          const std::uint32_t w = entry->u;
          if (taken[w]) continue;
          fresh.clear();
          bool joins = true;
          for (const std::uint64_t p : triangles[uncovered[w]]) {
            if (region_of_point[p] == region) continue;
            fresh.push_back(p);
            if (!on_plane(plane, work.xs[p], work.ys[p], work.hs[p])) joins = false;
          }
          if (!joins) continue;
          taken[w] = 1;
          stack.push_back(w);
          if (fresh.empty()) continue;
          for (const std::uint64_t p : fresh) region_of_point[p] = region;
          points.insert(points.end(), fresh.begin(), fresh.end());
          if (points.size() % 4 == 0) {
            const PlaneFit fit = fit_face_plane(work.xs, work.ys, work.hs, points);
            if (fit.residual <= kFaceTolerance) plane = fit.plane;
          }
        }
      }
    }
    if (points.size() < 4) continue;  // a lone triangle makes no face
    const std::uint32_t id = next_face_id(work);
    work.planes[id] = plane;
    work.members[id] = points;
    for (const std::uint64_t p : points) insert_sorted(work.point_faces[p], id);
    made = true;
  }
  if (made) candidates = faces_walk(work, adjacency);
}

}  // namespace qm::mesh::faces_stages
