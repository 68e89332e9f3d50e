#include "mesh/twostage/removal.hpp"

#include <algorithm>
#include <cmath>
#include <map>
#include <utility>

#include "base/fault.hpp"
#include "base/numeric.hpp"
#include "mesh/triangulation/constrained.hpp"
#include "mesh/twostage/deviation.hpp"
#include "mesh/twostage/working_mesh.hpp"

namespace qm::mesh {
namespace {

constexpr std::uint64_t kPollEvery = 64;

double corner_angle(const std::array<double, 3>& p, const std::array<double, 3>& a, const std::array<double, 3>& b) {
  const double ux = a[0] - p[0], uy = a[1] - p[1];
  const double vx = b[0] - p[0], vy = b[1] - p[1];
  double cos = (ux * vx + uy * vy) / (std::hypot(ux, uy) * std::hypot(vx, vy) + 1e-12);
  if (cos > 1.0) cos = 1.0;
  if (cos < -1.0) cos = -1.0;
  return std::acos(cos) * kDegreesPerRadian;
}

// Whether the corners, in stored order, run clockwise (only x and y count; collinear and NaN
// corners do not).
bool clockwise(double x0, double y0, double x1, double y1, double x2, double y2) {
  return (x1 - x0) * (y2 - y0) < (y1 - y0) * (x2 - x0);
}

const std::array<double, 3>& vertex_at(std::span<const std::array<double, 3>> vertices, std::uint64_t i) {
  check_index(i < vertices.size());
  return vertices[i];
}

void make_counter_clockwise(std::span<const std::array<double, 3>> vertices, VertexTriangle& t) {
  const auto& p0 = vertex_at(vertices, t[0]);
  const auto& p1 = vertex_at(vertices, t[1]);
  const auto& p2 = vertex_at(vertices, t[2]);
  if (clockwise(p0[0], p0[1], p1[0], p1[1], p2[0], p2[1])) std::swap(t[1], t[2]);
}

double triangle_min_angle(std::span<const std::array<double, 3>> vertices, const VertexTriangle& t) {
  return min_angle_degrees(vertex_at(vertices, t[0]), vertex_at(vertices, t[1]), vertex_at(vertices, t[2]));
}

}  // namespace

double min_angle_degrees(const std::array<double, 3>& p0, const std::array<double, 3>& p1,
                         const std::array<double, 3>& p2) {
  double m = 180.0;
  const double angles[3] = {corner_angle(p0, p2, p1), corner_angle(p1, p0, p2), corner_angle(p2, p1, p0)};
  for (const double a : angles) {
    if (a < m) m = a;
  }
  return m;
}

std::optional<std::vector<VertexTriangle>> fill_hole(std::span<const std::uint64_t> ring,
                                                     std::span<const std::array<double, 2>> points,
                                                     const HoleLoad& load) {
  const std::size_t n = ring.size();
  if (n < 3 || !load.loaded || load.conflict || load.vertex_count < n || points.size() != n) return std::nullopt;
  std::vector<VertexTriangle> out;
  for (const RingFace& f : load.faces) {
    for (const std::uint32_t i : f) check_index(i < n);
    const auto& a = points[f[0]];
    const auto& b = points[f[1]];
    const auto& c = points[f[2]];
    const double cx = (a[0] + b[0] + c[0]) / 3.0;
    const double cy = (a[1] + b[1] + c[1]) / 3.0;
    bool inside = false;
    for (std::size_t i = 0; i < n; ++i) {
      const auto& pi = points[i];
      const auto& pj = points[(i + 1) % n];
      if ((pi[1] > cy) != (pj[1] > cy) && pi[0] + (pj[0] - pi[0]) * (cy - pi[1]) / (pj[1] - pi[1]) > cx) {
        inside = !inside;
      }
    }
    if (!inside) continue;
    VertexTriangle t{ring[f[0]], ring[f[1]], ring[f[2]]};
    if (clockwise(a[0], a[1], b[0], b[1], c[0], c[1])) std::swap(t[1], t[2]);
    out.push_back(t);
  }
  if (out.size() != n - 2) return std::nullopt;
  return out;
}

namespace {

// The vertices that may go: those of a later stage that no kept edge ends at.
std::vector<std::uint64_t> removal_candidates(const RemovalMesh& mesh, std::size_t vertex_count) {
  std::set<std::uint64_t> protected_vertices;
  for (const auto& [a, b] : *mesh.edges) {
    protected_vertices.insert(a);
    protected_vertices.insert(b);
  }
  check_index(mesh.stages.size() >= vertex_count);
  std::vector<std::uint64_t> candidates;
  for (std::uint64_t v = 0; v < vertex_count; ++v) {
    if (mesh.stages[v] > 1 && protected_vertices.count(v) == 0) candidates.push_back(v);
  }
  return candidates;
}

// The triangles being edited: every triangle counter-clockwise, whether it is still live, and the
// live triangles at each vertex.
struct RemovalWork {
  std::vector<VertexTriangle> work;
  std::vector<std::uint8_t> live;
  std::vector<std::set<std::uint64_t>> incident;

  RemovalWork(std::span<const std::array<double, 3>> vertices, const std::vector<VertexTriangle>& triangles)
      : work(triangles), live(work.size(), 1), incident(vertices.size()) {
    for (VertexTriangle& t : work) make_counter_clockwise(vertices, t);
    for (std::uint64_t pos = 0; pos < work.size(); ++pos) {
      for (const std::uint64_t v : work[pos]) incident[v].insert(pos);
    }
  }

  // Replaces the triangles at `old_triangles` by `fresh`.
  void replace(const std::vector<std::uint64_t>& old_triangles, const std::vector<VertexTriangle>& fresh) {
    for (const std::uint64_t pos : old_triangles) {
      live[pos] = 0;
      for (const std::uint64_t u : work[pos]) incident[u].erase(pos);
    }
    for (const VertexTriangle& t : fresh) {
      const std::uint64_t pos = work.size();
      work.push_back(t);
      live.push_back(1);
      for (const std::uint64_t u : t) {
        check_index(u < incident.size());
        incident[u].insert(pos);
      }
    }
  }

  std::vector<VertexTriangle> live_triangles() {
    std::vector<VertexTriangle> out;
    out.reserve(work.size());
    for (std::size_t pos = 0; pos < work.size(); ++pos) {
      if (live[pos]) out.push_back(work[pos]);
    }
    return out;
  }
};

// The ring of vertices around v through its fan of triangles, each (v, p, q) counter-clockwise
// giving p -> q; false when the fan does not close. `successor` is scratch space.
bool fan_ring(const std::vector<VertexTriangle>& work, const std::vector<std::uint64_t>& old_triangles,
              std::uint64_t v, std::map<std::uint64_t, std::uint64_t>& successor, std::vector<std::uint64_t>& ring) {
  successor.clear();
  std::uint64_t start = 0;
  for (std::size_t i = 0; i < old_triangles.size(); ++i) {
    const VertexTriangle& t = work[old_triangles[i]];
    std::uint64_t p, q;
    if (t[0] == v) {
      p = t[1];
      q = t[2];
    } else if (t[1] == v) {
      p = t[2];
      q = t[0];
    } else {
      check(t[2] == v, "a candidate is a corner of its triangles");
      p = t[0];
      q = t[1];
    }
    successor[p] = q;
    if (i == 0) start = p;
  }

  ring.assign(1, start);
  for (;;) {
    const auto it = successor.find(ring.back());
    if (it == successor.end() || it->second == start) break;
    ring.push_back(it->second);
    if (ring.size() > successor.size()) break;
  }
  const auto last = successor.find(ring.back());
  return ring.size() == successor.size() && last != successor.end() && last->second == start;
}

// Whether the fill may replace the fan: no fresh triangle has a smaller angle than the fan's
// worst (capped at 10 degrees), nor strays more than the tolerance.
bool fill_accepted(std::span<const std::array<double, 3>> vertices, const std::vector<VertexTriangle>& work,
                   const std::vector<std::uint64_t>& old_triangles, const std::vector<VertexTriangle>& fresh,
                   const RemovalHooks& hooks) {
  double worst = 180.0;
  for (const std::uint64_t pos : old_triangles) {
    const double a = triangle_min_angle(vertices, work[pos]);
    if (a < worst) worst = a;
  }
  const double threshold = std::min(worst, kAngleCap);
  for (const VertexTriangle& t : fresh) {
    if (triangle_min_angle(vertices, t) < threshold || hooks.error(t[0], t[1], t[2]) > kVerticalTolerance) return false;
  }
  return true;
}

}  // namespace

std::optional<std::uint64_t> remove_vertices(const RemovalMesh& mesh, std::vector<VertexTriangle>& triangles,
                                             const RemovalHooks& hooks) {
  const auto vertices = mesh.vertices;
  RemovalWork w(vertices, triangles);
  std::vector<std::uint64_t> candidates = removal_candidates(mesh, vertices.size());

  std::uint64_t removed = 0;
  std::uint64_t visits = 0;
  std::vector<std::uint64_t> old_triangles;
  std::map<std::uint64_t, std::uint64_t> successor;
  std::vector<std::uint64_t> ring;
  std::vector<std::array<double, 2>> ring_points;

  while (!candidates.empty()) {
    bool removed_in_pass = false;
    for (const std::uint64_t v : candidates) {
      ++visits;
      if (visits % kPollEvery == 1 && hooks.stop()) return std::nullopt;

      old_triangles.assign(w.incident[v].begin(), w.incident[v].end());
      if (old_triangles.size() < 3) continue;
      if (!fan_ring(w.work, old_triangles, v, successor, ring)) continue;

      ring_points.clear();
      for (const std::uint64_t r : ring) {
        const auto& p = vertex_at(vertices, r);
        ring_points.push_back({p[0], p[1]});
      }
      const auto fresh = hooks.fill(ring, ring_points);
      if (!fresh) continue;
      if (!fill_accepted(vertices, w.work, old_triangles, *fresh, hooks)) continue;

      w.replace(old_triangles, *fresh);
      ++removed;
      removed_in_pass = true;
    }

    std::erase_if(candidates, [&](std::uint64_t v) { return w.incident[v].empty(); });
    if (!removed_in_pass) break;
  }
  triangles = w.live_triangles();
  return removed;
}

std::optional<std::vector<VertexTriangle>> triangulate_hole(std::span<const std::uint64_t> ring,
                                                            std::span<const std::array<double, 2>> points) {
  const std::size_t n = ring.size();
  if (n < 3 || points.size() != n) return std::nullopt;
  for (const auto& p : points) {
    if (constrained_position_refusal(p[0], p[1]) != nullptr) return std::nullopt;
  }
  std::vector<ConstrainedTriangulation::Edge> sides;
  sides.reserve(n);
  for (std::size_t i = 0; i + 1 < n; ++i) sides.push_back({i, i + 1});
  sides.push_back({n - 1, 0});
  bool conflict = false;
  const ConstrainedTriangulation hole =
      ConstrainedTriangulation::bulk_load(points, sides, [&conflict](std::size_t) { conflict = true; });
  HoleLoad load;
  load.loaded = true;
  load.conflict = conflict;
  load.vertex_count = hole.vertex_count();
  if (load.conflict || load.vertex_count < n) return std::nullopt;
  const ConstrainedFaces faces = hole.faces();
  load.faces.reserve(faces.corners.size());
  for (const auto& f : faces.corners) {
    for (const std::uint64_t id : f) check_index(id < n);
    load.faces.push_back({static_cast<std::uint32_t>(f[0]), static_cast<std::uint32_t>(f[1]),
                          static_cast<std::uint32_t>(f[2])});
  }
  return fill_hole(ring, points, load);
}

std::optional<std::uint64_t> twostage_remove(const TwostageMesh& mesh, std::vector<VertexTriangle>& triangles,
                                             std::vector<std::uint32_t>& scratch, const StopCheck& stop) {
  RemovalHooks hooks;
  hooks.error = [&mesh, &scratch](std::uint64_t a, std::uint64_t b, std::uint64_t c) {
    return check_triangle(mesh, a, b, c, scratch).error;
  };
  hooks.stop = stop;
  hooks.fill = triangulate_hole;
  return remove_vertices({mesh.vertices, mesh.stages, &mesh.edges}, triangles, hooks);
}

}  // namespace qm::mesh
