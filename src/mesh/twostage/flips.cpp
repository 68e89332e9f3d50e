#include "mesh/twostage/flips.hpp"

#include <algorithm>
#include <cmath>

#include "base/fault.hpp"
#include "base/hashing.hpp"
#include "base/numeric.hpp"
#include "base/span.hpp"
#include "mesh/reference/reference.hpp"
#include "mesh/twostage/working_mesh.hpp"

namespace qm::mesh {
namespace {

constexpr double kCostFactor = 0.999;
constexpr double kCostMargin = 1e-9;
constexpr std::uint64_t kPollEvery = 1024;

using Edge = std::pair<std::uint64_t, std::uint64_t>;

Edge edge_of(std::uint64_t a, std::uint64_t b) { return a < b ? Edge{a, b} : Edge{b, a}; }

// The three edges of a triangle in the order the flips file them: {t0, t2}, {t1, t0}, {t2, t1}.
std::array<Edge, 3> edges_of(const VertexTriangle& t) {
  return {edge_of(t[0], t[2]), edge_of(t[1], t[0]), edge_of(t[2], t[1])};
}

struct Sample {
  double w0, w1, w2;
};

constexpr Sample kSamples[7] = {
    {1.0 / 3.0, 1.0 / 3.0, 1.0 / 3.0}, {2.0 / 3.0, 1.0 / 6.0, 1.0 / 6.0}, {1.0 / 6.0, 2.0 / 3.0, 1.0 / 6.0},
    {1.0 / 6.0, 1.0 / 6.0, 2.0 / 3.0}, {0.5, 0.5, 0.0},                   {0.0, 0.5, 0.5},
    {0.5, 0.0, 0.5},
};

const std::array<double, 3>& vertex_at(std::span<const std::array<double, 3>> vertices, std::uint64_t i) {
  check_index(i < vertices.size());
  return vertices[i];
}

double triangle_min_angle(std::span<const std::array<double, 3>> vertices, const VertexTriangle& t) {
  return min_angle_degrees(vertex_at(vertices, t[0]), vertex_at(vertices, t[1]), vertex_at(vertices, t[2]));
}

// The first corner of t that is neither a nor b.
std::uint64_t apex(const VertexTriangle& t, std::uint64_t a, std::uint64_t b) {
  for (const std::uint64_t v : t) {
    if (v != a && v != b) return v;
  }
  fault("a triangle has a corner off its edge");
}

}  // namespace

double slope_cost(const std::array<double, 3>& p0, const std::array<double, 3>& p1, const std::array<double, 3>& p2,
                  const SlopeAt& slope_at) {
  const double x0 = p0[0], y0 = p0[1], z0 = p0[2];
  const double x1 = p1[0], y1 = p1[1], z1 = p1[2];
  const double x2 = p2[0], y2 = p2[1], z2 = p2[2];
  const double det = (x0 - x2) * (y1 - y2) + (y0 - y2) * (x2 - x1);
  double mean = 0.0;
  if (!(std::fabs(det) < 1e-12)) {
    const double a = (z0 * (y1 - y2) + z1 * (y2 - y0) + z2 * (y0 - y1)) / det;
    const double b = (z0 * (x2 - x1) + z1 * (x0 - x2) + z2 * (x1 - x0)) / det;
    const double s = std::sqrt(1.0 + a * a + b * b);
    double sum = 0.0;
    std::uint64_t count = 0;
    for (const Sample& w : kSamples) {
      const double x = x0 * w.w0 + x1 * w.w1 + x2 * w.w2;
      const double y = y0 * w.w0 + y1 * w.w1 + y2 * w.w2;
      const auto slope = slope_at(x, y);
      if (!slope) continue;
      const auto [ar, br] = *slope;
      double cos = (a * ar + b * br + 1.0) / s / std::sqrt(1.0 + ar * ar + br * br);
      if (cos > 1.0) cos = 1.0;
      if (cos < -1.0) cos = -1.0;
      sum += std::acos(cos) * kDegreesPerRadian;
      ++count;
    }
    if (count > 0) mean = sum / static_cast<double>(count);
  }
  const double area = 0.5 * std::fabs((x1 - x0) * (y2 - y0) - (y1 - y0) * (x2 - x0));
  return area * mean;
}

std::optional<std::uint64_t> flip_edges(std::span<const std::array<double, 3>> vertices,
                                        const std::set<std::pair<std::uint64_t, std::uint64_t>>& mesh_edges,
                                        std::vector<VertexTriangle>& triangles, const FlipHooks& hooks) {
  for (VertexTriangle& t : triangles) {
    const auto& a = vertex_at(vertices, t[0]);
    const auto& b = vertex_at(vertices, t[1]);
    const auto& c = vertex_at(vertices, t[2]);
    if ((b[0] - a[0]) * (c[1] - a[1]) < (b[1] - a[1]) * (c[0] - a[0])) std::swap(t[1], t[2]);
  }

  HashMap<Edge, std::vector<std::uint64_t>> edge_triangles;
  std::vector<Edge> distinct;
  for (std::uint64_t pos = 0; pos < triangles.size(); ++pos) {
    for (const Edge& e : edges_of(triangles[pos])) {
      auto [it, fresh] = edge_triangles.try_emplace(e);
      it->second.push_back(pos);
      if (fresh) distinct.push_back(e);
    }
  }

  std::vector<Edge> stack;
  for (const Edge& e : distinct) {
    const auto it = edge_triangles.find(e);
    check(it != edge_triangles.end(), "no entry found for key");
    if (it->second.size() == 2 && mesh_edges.count(e) == 0) stack.push_back(e);
  }
  distinct.clear();
  distinct.shrink_to_fit();

  std::uint64_t flips = 0;
  std::uint64_t pops = 0;
  while (!stack.empty()) {
    const Edge e = stack.back();
    stack.pop_back();
    ++pops;
    if (pops % kPollEvery == 1 && hooks.stop()) return std::nullopt;

    if (mesh_edges.count(e) != 0) continue;
    const auto entry = edge_triangles.find(e);
    if (entry == edge_triangles.end() || entry->second.size() != 2) continue;
    const auto [a, b] = e;
    const std::uint64_t t1 = std::min(entry->second[0], entry->second[1]);
    const std::uint64_t t2 = std::max(entry->second[0], entry->second[1]);
    check_index(t2 < triangles.size());
    const std::uint64_t c = apex(triangles[t1], a, b);
    const std::uint64_t d = apex(triangles[t2], a, b);
    const auto& pa = vertex_at(vertices, a);
    const auto& pb = vertex_at(vertices, b);
    const auto& pc = vertex_at(vertices, c);
    const auto& pd = vertex_at(vertices, d);

    if (!(orient(pa, pb, pc) * orient(pa, pb, pd) < 0.0)) continue;
    if (!(orient(pc, pd, pa) * orient(pc, pd, pb) < 0.0)) continue;

    const FlipCost old1 = hooks.cost(triangles[t1]);
    const FlipCost old2 = hooks.cost(triangles[t2]);

    VertexTriangle n1{c, d, a};
    if (orient(pc, pd, pa) < 0.0) std::swap(n1[1], n1[2]);
    VertexTriangle n2{d, c, b};
    if (orient(pd, pc, pb) < 0.0) std::swap(n2[1], n2[2]);

    const double old_angle =
        std::min(std::min(triangle_min_angle(vertices, triangles[t1]), kAngleCap), triangle_min_angle(vertices, triangles[t2]));
    const double new_angle = std::min(triangle_min_angle(vertices, n1), triangle_min_angle(vertices, n2));
    if (old_angle > new_angle) continue;

    const FlipCost new1 = hooks.cost(n1);
    const FlipCost new2 = hooks.cost(n2);
    if (!(new1.cost + new2.cost < (old2.cost + old1.cost) * kCostFactor - kCostMargin)) continue;
    if (std::max(new1.deviation, new2.deviation) > std::max(old2.deviation, std::max(old1.deviation, kVerticalTolerance))) {
      continue;
    }

    for (const auto& [pos, t] : {std::pair{t1, triangles[t1]}, std::pair{t2, triangles[t2]}}) {
      for (const Edge& old_edge : edges_of(t)) {
        const auto it = edge_triangles.find(old_edge);
        if (it != edge_triangles.end()) std::erase(it->second, pos);
      }
    }
    edge_triangles.erase(e);

    triangles[t1] = n1;
    triangles[t2] = n2;
    const Edge diagonal = edge_of(c, d);
    for (const std::uint64_t pos : {t1, t2}) {
      for (const Edge& new_edge : edges_of(triangles[pos])) {
        edge_triangles[new_edge].push_back(pos);
        if (new_edge != diagonal) stack.push_back(new_edge);
      }
    }
    ++flips;
  }
  return flips;
}

FlipCost triangle_cost(FlipCostMemo& memo, const TwostageMesh& mesh, DeviationMemo& deviations,
                       const VertexTriangle& triangle, std::vector<std::uint32_t>& scratch) {
  VertexTriangle key = triangle;
  std::sort(key.begin(), key.end());
  if (const auto it = memo.find(key); it != memo.end()) return it->second;
  const SlopeAt slope = [&mesh](double x, double y) { return reference_slope_at(*mesh.reference, x, y); };
  FlipCost cost;
  cost.cost = slope_cost(mesh.vertex(key[0]), mesh.vertex(key[1]), mesh.vertex(key[2]), slope);
  cost.deviation = triangle_deviation(mesh, key[0], key[1], key[2], deviations, scratch).error;
  memo.emplace(key, cost);
  return cost;
}

std::optional<std::uint64_t> twostage_flips(const TwostageMesh& mesh, std::vector<VertexTriangle>& triangles,
                                            DeviationMemo& deviations, std::vector<std::uint32_t>& scratch,
                                            const StopCheck& stop) {
  SpanTimer span("twostage.flips");
  FlipCostMemo memo;
  FlipHooks hooks;
  hooks.cost = [&](const VertexTriangle& t) { return triangle_cost(memo, mesh, deviations, t, scratch); };
  hooks.stop = stop;
  return flip_edges(mesh.vertices, mesh.edges, triangles, hooks);
}

}  // namespace qm::mesh
