#include "mesh/sampling/model.hpp"

#include <algorithm>
#include <cmath>
#include <limits>

#include "base/fault.hpp"
#include "base/numeric.hpp"
#include "mesh/grid/heap_bytes.hpp"
#include "mesh/sampling/rebuild.hpp"

namespace qm::mesh {

namespace {

std::int64_t step_units(double step) {
  const std::int32_t s = saturate<std::int32_t>(step);
  check(s >= 1, "a level step is at least 1");
  return s;
}

double median_of(std::vector<double> values) {
  std::sort(values.begin(), values.end());
  const std::size_t n = values.size();
  if (n % 2 == 1) return values[n / 2];
  return (values[n / 2 - 1] + values[n / 2]) * 0.5;
}

}  // namespace

NodeBox node_grid_box(const Lattice& lattice, double step) {
  const std::int64_t s = step_units(step);
  const CellGrid& cover = lattice.cover;
  const std::int64_t lo_x = std::int64_t{cover.x0} * 64 - lattice.centre_x;
  const std::int64_t hi_x = (std::int64_t{cover.x0} + cover.w) * 64 - lattice.centre_x;
  const std::int64_t lo_y = std::int64_t{cover.y0} * 64 - lattice.centre_y;
  const std::int64_t hi_y = (std::int64_t{cover.y0} + cover.h) * 64 - lattice.centre_y;
  const std::int64_t i0 = floor_div(lo_x, s) - 2, i1 = floor_div(hi_x, s) + 2;
  const std::int64_t j0 = floor_div(lo_y, s) - 2, j1 = floor_div(hi_y, s) + 2;
  return NodeBox{static_cast<std::int32_t>(i0), static_cast<std::int32_t>(j0), static_cast<std::int32_t>(i1 - i0 + 1),
                 static_cast<std::int32_t>(j1 - j0 + 1)};
}

std::uint64_t node_grid_bytes(const Lattice& lattice, double step) {
  const NodeBox box = node_grid_box(lattice, step);
  const auto nodes = static_cast<std::uint64_t>(std::int64_t{box.w} * box.h);
  return heap_block_bytes(nodes * sizeof(std::int32_t)) + 2 * heap_block_bytes(nodes);
}

namespace {

// The planes the nodes refer to, in ascending patch order, with each patch's model index.
void add_used_planes(ModelLevel& m, const Level& level, HashMap<std::uint32_t, std::int32_t>& plane_index) {
  std::vector<std::uint32_t> used;
  for (std::uint32_t v : level.matched)
    if (v != kNoPatch) used.push_back(v);
  std::sort(used.begin(), used.end());
  used.erase(std::unique(used.begin(), used.end()), used.end());
  for (std::uint32_t v : used) {
    check(v < level.patches.size(), "a matched patch is in range");
    plane_index.emplace(v, static_cast<std::int32_t>(m.planes.size()));
    m.planes.push_back(level.patches[v]);
  }
}

// The adjacency of planes that meet at neighbouring nodes, sorted and in both orders.
void add_adjacency(ModelLevel& m, const Level& level, const std::vector<std::int32_t>& node_plane,
                   const HashMap<LatticeKey, std::int32_t>& node_map) {
  static constexpr int kOffsets[12][2] = {{0, 1}, {1, 0}, {1, 1},  {1, -1}, {0, 2},  {2, 0},
                                          {2, 1}, {1, 2}, {2, -1}, {1, -2}, {2, 2}, {2, -2}};
  // Each meeting pair once as (smaller, larger), sorted and made unique whenever the list has
  // doubled, so that it never holds much more than the distinct pairs; then both orders.
  std::vector<std::pair<std::int32_t, std::int32_t>> pairs;
  std::size_t distinct = 0;
  auto compact = [&pairs, &distinct] {
    std::sort(pairs.begin(), pairs.end());
    pairs.erase(std::unique(pairs.begin(), pairs.end()), pairs.end());
    distinct = pairs.size();
  };
  for (std::size_t k = 0; k < node_plane.size(); ++k) {
    const std::int32_t p = node_plane[k];
    if (p < 0) continue;
    for (const auto& o : kOffsets) {
      const std::int64_t i = std::int64_t{level.keys[k].first} + o[0];
      const std::int64_t j = std::int64_t{level.keys[k].second} + o[1];
      if (i > INT32_MAX || j > INT32_MAX || j < INT32_MIN) continue;
      const auto it = node_map.find(LatticeKey{static_cast<std::int32_t>(i), static_cast<std::int32_t>(j)});
      if (it == node_map.end() || it->second < 0 || it->second == p) continue;
      pairs.emplace_back(std::min(p, it->second), std::max(p, it->second));
      if (pairs.size() >= 2 * distinct + 4096) compact();
    }
  }
  compact();
  m.adjacency.reserve(2 * pairs.size());
  for (const auto& [a, b] : pairs) {
    m.adjacency.emplace_back(a, b);
    m.adjacency.emplace_back(b, a);
  }
  std::sort(m.adjacency.begin(), m.adjacency.end());
}

// The region of plane p: its nodes' box widened by a step, cut by the lines where it meets its
// neighbours. `adj` walks the adjacency, whose entries of p start there.
void add_plane_region(ModelLevel& m, std::size_t p, const std::vector<std::uint32_t>& nodes, const Level& level,
                      double sd, double spacing_tenth, std::size_t& adj) {
  std::vector<double> xs, ys;
  xs.reserve(nodes.size());
  ys.reserve(nodes.size());
  double sum_h = 0.0;
  for (std::uint32_t k : nodes) {
    xs.push_back(level.keys[k].first * sd);
    ys.push_back(level.keys[k].second * sd);
    sum_h += level.heights[k];
  }
  const double mean = sum_h / static_cast<double>(nodes.size());
  const double tol = 8.0 * height_grain(std::fabs(mean)) + spacing_tenth;
  const double min_x = *std::min_element(xs.begin(), xs.end());
  const double max_x = *std::max_element(xs.begin(), xs.end());
  const double min_y = *std::min_element(ys.begin(), ys.end());
  const double max_y = *std::max_element(ys.begin(), ys.end());
  auto& region = m.regions[p];
  region.push_back(HalfPlane{1.0, 0.0, -(min_x - sd)});
  region.push_back(HalfPlane{-1.0, 0.0, max_x + sd});
  region.push_back(HalfPlane{0.0, 1.0, -(min_y - sd)});
  region.push_back(HalfPlane{0.0, -1.0, max_y + sd});
  const PatchPlane& pp = m.planes[p];
  const double kp = pp.c - pp.a * pp.x0 - pp.b * pp.y0;
  std::vector<double> d(nodes.size());
  for (; adj < m.adjacency.size() && m.adjacency[adj].first == static_cast<std::int32_t>(p); ++adj) {
    const PatchPlane& pq = m.planes[static_cast<std::size_t>(m.adjacency[adj].second)];
    const double kq = pq.c - pq.a * pq.x0 - pq.b * pq.y0;
    const double da = pp.a - pq.a;
    const double db = pp.b - pq.b;
    const double dk = kp - kq;
    bool agree = true;
    for (std::size_t t = 0; t < nodes.size(); ++t) {
      d[t] = da * xs[t] + db * ys[t] + dk;
      if (!(std::fabs(d[t]) <= tol)) agree = false;
    }
    if (agree) continue;
    const double sign = median_of(d) >= 0.0 ? 1.0 : -1.0;
    bool cuts = false;
    for (double v : d)
      if (v * sign < -tol) cuts = true;
    if (cuts) continue;
    const double len = std::hypot(da, db);
    if (len != 0.0) region.push_back(HalfPlane{sign * da / len, sign * db / len, sign * dk / len});
  }
}

// The node grid over the level's box, with each node's model index.
void fill_node_grid(ModelLevel& m, const Lattice& lattice, const Level& level,
                    const std::vector<std::int32_t>& node_plane) {
  const NodeBox box = node_grid_box(lattice, level.step);
  m.grid_i0 = box.i0;
  m.grid_j0 = box.j0;
  m.grid_w = box.w;
  m.grid_h = box.h;
  const auto cells = static_cast<std::size_t>(std::int64_t{m.grid_w} * m.grid_h);
  m.node_grid.assign(cells, -1);
  for (std::size_t k = 0; k < node_plane.size(); ++k) {
    const std::int64_t g = m.grid_at(level.keys[k].first, level.keys[k].second);
    if (g >= 0) m.node_grid[static_cast<std::size_t>(g)] = node_plane[k];
  }
}

// Inside flags: each node with a plane lies inside its plane's region.
void mark_inside(ModelLevel& m, double sd) {
  const std::int64_t i0 = m.grid_i0, i1 = m.grid_i0 + m.grid_w - 1;
  const std::int64_t j0 = m.grid_j0, j1 = m.grid_j0 + m.grid_h - 1;
  m.inside.assign(m.node_grid.size(), 0);
  for (std::int64_t i = i0; i <= i1; ++i) {
    for (std::int64_t j = j0; j <= j1; ++j) {
      const auto g = static_cast<std::size_t>(m.grid_at(i, j));
      const std::int32_t p = m.node_grid[g];
      if (p < 0) continue;
      const double x = static_cast<double>(i) * sd;
      const double y = static_cast<double>(j) * sd;
      bool in = true;
      for (const HalfPlane& hp : m.regions[static_cast<std::size_t>(p)])
        if (!(hp.a * x + hp.b * y + hp.c >= 0.0)) in = false;
      m.inside[g] = in ? 1 : 0;
    }
  }
}

// Uniform squares: four corners with one plane, all inside.
void mark_uniform(ModelLevel& m) {
  const std::int64_t i0 = m.grid_i0, i1 = m.grid_i0 + m.grid_w - 1;
  const std::int64_t j0 = m.grid_j0, j1 = m.grid_j0 + m.grid_h - 1;
  m.uniform.assign(m.node_grid.size(), 0);
  for (std::int64_t i = i0; i < i1; ++i) {
    for (std::int64_t j = j0; j < j1; ++j) {
      const auto g00 = static_cast<std::size_t>(m.grid_at(i, j));
      const auto g10 = static_cast<std::size_t>(m.grid_at(i + 1, j));
      const auto g01 = static_cast<std::size_t>(m.grid_at(i, j + 1));
      const auto g11 = static_cast<std::size_t>(m.grid_at(i + 1, j + 1));
      const std::int32_t p = m.node_grid[g00];
      if (p == m.node_grid[g10] && p == m.node_grid[g01] && p == m.node_grid[g11] && m.inside[g00] &&
          m.inside[g10] && m.inside[g01] && m.inside[g11]) {
        m.uniform[g00] = 1;
      }
    }
  }
}

}  // namespace

ModelLevel build_model_level(const Lattice& lattice, const Level& level) {
  ModelLevel m;
  // Working state of the build, not kept with the level: each patch's model index, each node's
  // model index (-1 for none) and each plane's nodes (positions in keys).
  HashMap<std::uint32_t, std::int32_t> plane_index;
  HashMap<LatticeKey, std::int32_t> node_map;
  std::vector<std::vector<std::uint32_t>> plane_nodes;
  m.step = level.step;
  const std::int64_t s = step_units(level.step);
  const double sd = static_cast<double>(s);
  const std::size_t n = level.keys.size();
  check(level.heights.size() == n && level.matched.size() == n, "a level's columns have one length");

  add_used_planes(m, level, plane_index);
  const std::size_t planes = m.planes.size();

  // Node map and plane nodes.
  plane_nodes.assign(planes, {});
  node_map.reserve(n);
  std::vector<std::int32_t> node_plane(n, -1);
  for (std::size_t k = 0; k < n; ++k) {
    std::int32_t p = -1;
    if (level.matched[k] != kNoPatch) p = plane_index.at(level.matched[k]);
    node_plane[k] = p;
    node_map[level.keys[k]] = p;
    if (p >= 0) plane_nodes[static_cast<std::size_t>(p)].push_back(static_cast<std::uint32_t>(k));
  }

  add_adjacency(m, level, node_plane, node_map);
  m.regions.assign(planes, {});
  std::size_t adj = 0;
  for (std::size_t p = 0; p < planes; ++p) {
    add_plane_region(m, p, plane_nodes[p], level, sd, lattice.spacing_tenth, adj);
  }
  fill_node_grid(m, lattice, level, node_plane);
  mark_inside(m, sd);
  mark_uniform(m);
  m.half_width = static_cast<std::int32_t>(lattice.radius / s);
  return m;
}

Model build_model(const Lattice& lattice) {
  Model model;
  model.levels.reserve(lattice.levels.size());
  for (const Level& level : lattice.levels) model.levels.push_back(build_model_level(lattice, level));
  return model;
}

namespace {

// Whether a level's planes explain the candidate at (x, y), relative to the lattice centre: the
// candidate's own square is uniform, or the nearest node whose plane's region holds it carries a
// plane of the square's corners. `seen_planes` and `seen_answers` are scratch space.
bool level_explains(const ModelLevel& m, std::int64_t x, std::int64_t y, std::vector<std::int32_t>& seen_planes,
                    std::vector<std::uint8_t>& seen_answers) {
  static constexpr int kSearch[16][2] = {{0, 0},  {1, 0},  {0, 1},  {1, 1},  {-1, -1}, {-1, 0}, {-1, 1}, {-1, 2},
                                         {0, -1}, {0, 2},  {1, -1}, {1, 2},  {2, -1},  {2, 0},  {2, 1},  {2, 2}};
  const std::int64_t s = step_units(m.step);
  const double sd = static_cast<double>(s);
  const std::int64_t rs = m.half_width;
  if (rs <= 0) return false;
  const std::int64_t own_i = floor_div(x, s);
  const std::int64_t own_j = floor_div(y, s);
  const std::int64_t i = std::clamp(own_i, -rs, rs - 1);
  const std::int64_t j = std::clamp(own_j, -rs, rs - 1);
  const std::int32_t p00 = m.plane_at(i, j);
  const std::int32_t p10 = m.plane_at(i + 1, j);
  const std::int32_t p01 = m.plane_at(i, j + 1);
  const std::int32_t p11 = m.plane_at(i + 1, j + 1);
  if (p00 < 0 || p10 < 0 || p01 < 0 || p11 < 0) return false;
  const double px = static_cast<double>(x);
  const double py = static_cast<double>(y);
  const std::int64_t g = m.grid_at(i, j);
  if (m.uniform[static_cast<std::size_t>(g)] && own_i == i && own_j == j) {
    return std::isfinite(m.planes[static_cast<std::size_t>(p00)].height(px, py));
  }
  const std::int64_t fx = saturate<std::int32_t>(std::floor(px / sd));
  const std::int64_t fy = saturate<std::int32_t>(std::floor(py / sd));
  double best = std::numeric_limits<double>::infinity();
  std::int32_t best_plane = -1;
  seen_planes.clear();
  seen_answers.clear();
  for (const auto& o : kSearch) {
    const std::int64_t ni = fx + o[0];
    const std::int64_t nj = fy + o[1];
    const double dx = px - static_cast<double>(ni) * sd;
    const double dy = py - static_cast<double>(nj) * sd;
    const double dist = dx * dx + dy * dy;
    if (!(dist < best)) continue;
    const std::int32_t p = m.plane_at(ni, nj);
    if (p < 0) continue;
    bool contains = false;
    const auto seen = std::find(seen_planes.begin(), seen_planes.end(), p);
    if (seen != seen_planes.end()) {
      contains = seen_answers[static_cast<std::size_t>(seen - seen_planes.begin())] != 0;
    } else {
      contains = true;
      for (const HalfPlane& hp : m.regions[static_cast<std::size_t>(p)])
        if (!(hp.a * px + hp.b * py + hp.c >= -1e-6)) contains = false;
      seen_planes.push_back(p);
      seen_answers.push_back(contains ? 1 : 0);
    }
    if (!contains) continue;
    best = dist;
    best_plane = p;
  }
  if (best_plane < 0) return false;
  if (!std::isfinite(m.planes[static_cast<std::size_t>(best_plane)].height(px, py))) return false;
  return best_plane == p00 || best_plane == p10 || best_plane == p01 || best_plane == p11;
}

}  // namespace

double self_check_share(const Lattice& lattice, const CellGrid& cover, const Model& model) {
  // The candidates are the centres of the 2 by 2 unit squares of the covered cells, relative to the
  // lattice centre, taken one by one: each is tried against the levels from the finest until one
  // explains it. The share is of the candidates that none explains.
  std::uint64_t candidates = 0;
  std::uint64_t still = 0;
  std::vector<std::int32_t> seen_planes;  // planes tested for the current candidate
  std::vector<std::uint8_t> seen_answers;
  for (std::int64_t i = 0; i < std::int64_t{32} * cover.w; ++i) {
    for (std::int64_t j = 0; j < std::int64_t{32} * cover.h; ++j) {
      if (!cover.contains(cover.x0 + i / 32, cover.y0 + j / 32)) continue;
      const std::int64_t x = std::int64_t{cover.x0} * 64 + 1 + 2 * i - lattice.centre_x;
      const std::int64_t y = std::int64_t{cover.y0} * 64 + 1 + 2 * j - lattice.centre_y;
      ++candidates;
      bool explained = false;
      for (std::size_t lv = model.levels.size(); lv-- > 0 && !explained;) {
        explained = level_explains(model.levels[lv], x, y, seen_planes, seen_answers);
      }
      if (!explained) ++still;
    }
  }
  check(candidates != 0, "a self-check has a cover of at least one cell");
  return static_cast<double>(still) / static_cast<double>(candidates);
}

}  // namespace qm::mesh
