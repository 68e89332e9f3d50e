#include "mesh/twostage/working_mesh.hpp"

#include <cmath>

#include "base/fault.hpp"
#include "base/numeric.hpp"

namespace qm::mesh {

VertexKey vertex_key(double x, double y) {
  const PositionKey key = position_key(x, y);
  return {key.first, key.second};
}

TwostageMesh::TwostageMesh(const ReferenceModel* reference_model, const CellGrid& cell_grid, double ox, double oy)
    : reference(reference_model), grid(&cell_grid), origin_x(ox), origin_y(oy) {}

const Point3& TwostageMesh::vertex(std::uint64_t index) const {
  check_index(index < vertices.size());
  return vertices[static_cast<std::size_t>(index)];
}

std::optional<std::uint64_t> TwostageMesh::find_key(const VertexKey& key) const {
  if (keys.empty()) return std::nullopt;
  const auto it = keys.find(key);
  if (it == keys.end()) return std::nullopt;
  return it->second;
}

std::uint64_t add_vertex(TwostageMesh& mesh, const Point3& p, const VertexSource& source) {
  const std::uint64_t index = mesh.vertices.size();
  mesh.keys[vertex_key(p[0], p[1])] = index;
  mesh.vertices.push_back(p);
  mesh.sources.push_back(source);
  mesh.positions.push_back(p);
  mesh.fixed.push_back(0);
  mesh.stages.push_back(mesh.stage);
  mesh.vertex_cells[Cell{cell_of(p[0]), cell_of(p[1])}].push_back(index);
  return index;
}

namespace {

// The cells from (x_lo, y_lo) to (x_hi, y_hi), x outer, y inner; empty when a range is empty.
template <class Visit>
void for_cells(std::int32_t x_lo, std::int32_t x_hi, std::int32_t y_lo, std::int32_t y_hi, Visit&& visit) {
  if (x_lo > x_hi || y_lo > y_hi) return;
  for (std::int64_t cx = x_lo; cx <= x_hi; ++cx)
    for (std::int64_t cy = y_lo; cy <= y_hi; ++cy)
      visit(Cell{static_cast<std::int32_t>(cx), static_cast<std::int32_t>(cy)});
}

}  // namespace

std::vector<Cell> register_edge(const std::vector<Point3>& vertices, std::uint64_t a, std::uint64_t b) {
  check_index(a < vertices.size() && b < vertices.size());
  const Point3& pa = vertices[static_cast<std::size_t>(a)];
  const Point3& pb = vertices[static_cast<std::size_t>(b)];
  // fmin and fmax ignore a NaN operand.
  const std::int32_t x_lo = cell_of(std::fmin(pa[0], pb[0]) - 0.001);
  const std::int32_t x_hi = cell_of(std::fmax(pa[0], pb[0]) + 0.001);
  const std::int32_t y_lo = cell_of(std::fmin(pa[1], pb[1]) - 0.001);
  const std::int32_t y_hi = cell_of(std::fmax(pa[1], pb[1]) + 0.001);
  std::vector<Cell> cells;
  for_cells(x_lo, x_hi, y_lo, y_hi, [&](Cell c) { cells.push_back(c); });
  return cells;
}

void add_edge(TwostageMesh& mesh, std::uint64_t a, std::uint64_t b, bool fixed) {
  const MeshEdge e = mesh_edge(a, b);
  const std::vector<Cell> cells = register_edge(mesh.vertices, a, b);
  mesh.edges.insert(e);
  if (fixed) mesh.fixed_edges.insert(e);
  for (const Cell& c : cells) mesh.edge_cells[c].insert(e);
}

void remove_edge(TwostageMesh& mesh, std::uint64_t a, std::uint64_t b) {
  const MeshEdge e = mesh_edge(a, b);
  const std::vector<Cell> cells = register_edge(mesh.vertices, a, b);
  mesh.edges.erase(e);
  if (mesh.edge_cells.empty()) return;
  for (const Cell& c : cells) {
    const auto it = mesh.edge_cells.find(c);
    if (it != mesh.edge_cells.end()) it->second.erase(e);
  }
}

EdgeSet edges_in_radius(const TwostageMesh& mesh, double x, double y, double r) {
  EdgeSet out;
  if (mesh.edge_cells.empty()) return out;
  for_cells(cell_of(x - r), cell_of(x + r), cell_of(y - r), cell_of(y + r), [&](Cell c) {
    const auto it = mesh.edge_cells.find(c);
    if (it != mesh.edge_cells.end()) out.insert(it->second.begin(), it->second.end());
  });
  return out;
}

bool edges_near(const TwostageMesh& mesh, double x, double y, double r) {
  if (mesh.fixed_edges.empty()) return false;
  const EdgeSet candidates = edges_in_radius(mesh, x, y, r);
  for (const MeshEdge& e : candidates) {
    if (!mesh.fixed_edges.contains(e)) continue;
    const Point3& a = mesh.vertex(e.first);
    const Point3& b = mesh.vertex(e.second);
    const double dx = b[0] - a[0];
    const double dy = b[1] - a[1];
    const double len2 = dx * dx + dy * dy;
    double t = 0.0;
    if (!(len2 <= 0.0)) {
      t = ((x - a[0]) * dx + (y - a[1]) * dy) / len2;
      if (t < 0.0) t = 0.0;
      else if (t > 1.0) t = 1.0;
    }
    const double nx = a[0] + t * dx;
    const double ny = a[1] + t * dy;
    if (std::hypot(nx - x, ny - y) < r) return true;
  }
  return false;
}

std::optional<EdgeHit> edge_at(const TwostageMesh& mesh, double x, double y) {
  const EdgeSet candidates = edges_in_radius(mesh, x, y, 0.001);
  for (const MeshEdge& e : candidates) {
    const Point3& a = mesh.vertex(e.first);
    const Point3& b = mesh.vertex(e.second);
    const double dx = b[0] - a[0];
    const double dy = b[1] - a[1];
    const double qx = x - a[0];
    const double qy = y - a[1];
    const double len2 = dx * dx + dy * dy;
    const double t = (qx * dx + qy * dy) / len2;
    const double distance = std::fabs(dx * qy - dy * qx) / std::sqrt(len2);
    if (t < 1.0 && distance < 0.001 && t > 0.0) return EdgeHit{e.first, e.second, t};
  }
  return std::nullopt;
}

}  // namespace qm::mesh
