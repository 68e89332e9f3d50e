// The later stages of the face build: spread (faces reach the neighbouring points on their
// planes), grow (new faces over flat patches that no face reaches) and explain (a verdict per
// kept triangle).
#include <algorithm>
#include <cmath>
#include <limits>

#include "module/fault.hpp"
#include "module/span.hpp"
#include "terrain/mesh/faces.hpp"
#include "terrain/mesh/faces_stages.hpp"

namespace qm::mesh {

namespace {

bool on_plane(const Plane& plane, double x, double y, double h) {
  return std::fabs(plane.height(x, y) - h) <= kFaceTolerance;  // NaN is never on a plane
}

bool holds(const std::vector<std::uint32_t>& ids, std::uint32_t id) {
  return std::find(ids.begin(), ids.end(), id) != ids.end();
}

void insert_sorted(std::vector<std::uint32_t>& ids, std::uint32_t id) {
  ids.insert(std::lower_bound(ids.begin(), ids.end(), id), id);
}

}  // namespace

PointAdjacency point_adjacency(std::size_t point_count, const std::vector<std::array<std::uint64_t, 3>>& triangles) {
  PointAdjacency adj;
  adj.offsets.assign(point_count + 1, 0);
  for (const auto& t : triangles) {
    for (const std::uint64_t p : t) {
      check(p < point_count, "index out of range");
      adj.offsets[p + 1] += 3;
    }
  }
  for (std::size_t p = 0; p < point_count; ++p) adj.offsets[p + 1] += adj.offsets[p];
  std::vector<std::uint32_t> slots(adj.offsets[point_count]);
  std::vector<std::uint64_t> next(adj.offsets.begin(), adj.offsets.end() - 1);
  for (const auto& t : triangles) {
    for (const std::uint64_t p : t) {
      for (const std::uint64_t q : t) slots[next[p]++] = static_cast<std::uint32_t>(q);
    }
  }
  // Sort and de-duplicate each point's slots, compacting in place.
  std::uint64_t out = 0;
  for (std::size_t p = 0; p < point_count; ++p) {
    const auto begin = slots.begin() + static_cast<std::ptrdiff_t>(adj.offsets[p]);
    const auto end = slots.begin() + static_cast<std::ptrdiff_t>(adj.offsets[p + 1]);
    std::sort(begin, end);
    const auto unique_end = std::unique(begin, end);
    adj.offsets[p] = out;
    for (auto it = begin; it != unique_end; ++it) slots[out++] = *it;
  }
  adj.offsets[point_count] = out;
  slots.resize(out);
  slots.shrink_to_fit();
  adj.neighbours = std::move(slots);
  return adj;
}

std::vector<std::vector<std::uint32_t>> faces_walk(const RefinePoints& work, const PointAdjacency& adjacency) {
  const std::size_t n = work.xs.size();
  check(work.point_faces.size() >= n && adjacency.offsets.size() >= n + 1, "index out of range");
  std::vector<std::vector<std::uint32_t>> lists(work.point_faces.begin(), work.point_faces.begin() + static_cast<std::ptrdiff_t>(n));
  std::vector<std::uint32_t> stack;
  for (std::size_t p = 0; p < n; ++p) {
    if (!lists[p].empty()) stack.push_back(static_cast<std::uint32_t>(p));
  }
  struct Record {
    std::uint32_t id;
    Plane plane;
  };
  std::vector<Record> records;
  while (!stack.empty()) {
    const std::uint32_t p = stack.back();
    stack.pop_back();
    records.clear();
    for (const std::uint32_t id : lists[p]) records.push_back(Record{id, face_plane(work.planes, id)});
    for (std::uint64_t k = adjacency.offsets[p]; k < adjacency.offsets[p + 1]; ++k) {
      const std::uint32_t q = adjacency.neighbours[k];
      for (const Record& f : records) {
        if (holds(lists[q], f.id)) continue;
        if (!on_plane(f.plane, work.xs[q], work.ys[q], work.hs[q])) continue;
        insert_sorted(lists[q], f.id);
        stack.push_back(q);
      }
    }
  }
  return lists;
}

namespace faces_stages {

std::vector<std::vector<std::uint32_t>> spread(const RefinePoints& work, const PointAdjacency& adjacency) {
  return faces_walk(work, adjacency);
}

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

namespace {

enum class Side : std::uint8_t { Crossing, Above, Below };

// Two faces g < g2 chosen at the corners cross inside the triangle when the corners of each face
// lie on opposite sides of the line where the planes cross (or all of one face's corners on it).
bool crease_passes(const RefinePoints& work, const std::array<std::uint64_t, 3>& corners,
                   const std::array<std::uint32_t, 3>& chosen, std::uint32_t g, std::uint32_t g2) {
  const Plane& pg = face_plane(work.planes, g);
  const Plane& pg2 = face_plane(work.planes, g2);
  bool g_above = false, g_below = false, g2_above = false, g2_below = false;
  for (int k = 0; k < 3; ++k) {
    const std::uint64_t p = corners[static_cast<std::size_t>(k)];
    const double d = pg.height(work.xs[p], work.ys[p]) - pg2.height(work.xs[p], work.ys[p]);
    const Side side = d > kFaceTolerance ? Side::Above : d < -kFaceTolerance ? Side::Below : Side::Crossing;
    if (side == Side::Crossing) continue;
    const bool is_g = chosen[static_cast<std::size_t>(k)] == g;
    bool& above = is_g ? g_above : g2_above;
    bool& below = is_g ? g_below : g2_below;
    (side == Side::Above ? above : below) = true;
  }
  if ((g_above && g_below) || (g2_above && g2_below)) return false;
  if (!(g_above || g_below) || !(g2_above || g2_below)) return true;
  return g_above != g2_above;
}

double face_error(const RefinePoints& work, const std::array<std::uint64_t, 3>& corners, std::uint32_t id) {
  const Plane& plane = face_plane(work.planes, id);
  double error = 0.0;
  for (const std::uint64_t p : corners) {
    const double e = std::fabs(plane.height(work.xs[p], work.ys[p]) - work.hs[p]);
    if (e > error) error = e;  // NaN ignored
  }
  return error;
}

}  // namespace

bool explain(const RefinePoints& work, FaceSet& faces, const StopCheck& stop) {
  SpanTimer span("faces.explain");
  const std::size_t count = faces.triangles.size();
  faces.triangle_kinds.reserve(count);
  faces.triangle_faces.reserve(count);
  for (std::size_t t = 0; t < count; ++t) {
    if (t % 4096 == 4095 && stop()) return false;
    const auto& corners = faces.triangles[t];
    const auto& l0 = faces.point_candidates[corners[0]];
    const auto& l1 = faces.point_candidates[corners[1]];
    const auto& l2 = faces.point_candidates[corners[2]];
    if (l0.empty() || l1.empty() || l2.empty()) {
      faces.triangle_kinds.push_back(TriangleKind::Faceless);
      faces.triangle_faces.push_back(TriangleFaces{});
      continue;
    }

    // One face common to all three corners: the one that fits them best (the smaller id on ties).
    bool flat = false;
    std::uint32_t best = 0;
    double best_error = 0.0;
    for (const std::uint32_t id : l0) {
      if (!holds(l1, id) || !holds(l2, id)) continue;
      const double error = face_error(work, corners, id);
      if (!flat || error < best_error) {
        best = id;
        best_error = error;
        flat = true;
      }
    }
    if (flat) {
      faces.triangle_kinds.push_back(TriangleKind::Flat);
      faces.triangle_faces.push_back(TriangleFaces{1, {best, best, best}});
      continue;
    }

    // A crease (the first passing choice of two faces) wins over a junction (the first passing
    // choice of three) wherever it comes in the enumeration.
    std::optional<std::array<std::uint32_t, 3>> junction;
    std::optional<std::array<std::uint32_t, 3>> crease;
    for (const std::uint32_t f0 : l0) {
      for (const std::uint32_t f1 : l1) {
        for (const std::uint32_t f2 : l2) {
          const std::array<std::uint32_t, 3> chosen{f0, f1, f2};
          const bool e01 = f0 == f1, e12 = f1 == f2, e02 = f0 == f2;
          if (e01 && e12) continue;
          if (e01 || e12 || e02) {
            const std::uint32_t lo = std::min({f0, f1, f2});
            const std::uint32_t hi = std::max({f0, f1, f2});
            if (crease_passes(work, corners, chosen, lo, hi)) {
              crease = chosen;
              break;
            }
          } else if (!junction && planes_meet_in_triangle(work, corners, chosen)) {
            junction = chosen;
          }
        }
        if (crease) break;
      }
      if (crease) break;
    }
    if (crease) {
      faces.triangle_kinds.push_back(TriangleKind::Crease);
      faces.triangle_faces.push_back(TriangleFaces{1, *crease});
    } else if (junction) {
      faces.triangle_kinds.push_back(TriangleKind::Junction);
      faces.triangle_faces.push_back(TriangleFaces{1, *junction});
    } else {
      faces.triangle_kinds.push_back(TriangleKind::Unexplained);
      faces.triangle_faces.push_back(TriangleFaces{});
    }
  }
  return true;
}

}  // namespace faces_stages

}  // namespace qm::mesh
