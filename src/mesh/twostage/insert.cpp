#include "mesh/twostage/insert.hpp"

#include <cmath>

#include "mesh/grid/cell_grid.hpp"
#include "mesh/reference/reference.hpp"

namespace qm::mesh {

bool lies_on_segment(const Point3& p, const Point3& u, const Point3& v) {
  const bool differs_u = p[0] != u[0] || p[1] != u[1];
  const bool differs_v = p[0] != v[0] || p[1] != v[1];
  if (!differs_u || !differs_v) return false;
  const double dx = v[0] - u[0];
  const double dy = v[1] - u[1];
  const double len2 = dx * dx + dy * dy;
  if (len2 == 0.0) return false;
  const double qx = p[0] - u[0];
  const double qy = p[1] - u[1];
  const double t = (qx * dx + qy * dy) / len2;
  if (!(t > 0.0 && t < 1.0)) return false;
  return std::fabs(dx * qy - dy * qx) / std::sqrt(len2) < 0.001;
}

std::optional<std::uint64_t> insert_point(TwostageMesh& mesh, double x, double y, double z) {
  if (const auto existing = mesh.find_key(vertex_key(x, y))) return existing;

  const std::optional<EdgeHit> hit = edge_at(mesh, x, y);
  if (hit) {
    const Point3& a = mesh.vertex(hit->a);
    const Point3& b = mesh.vertex(hit->b);
    x = a[0] + hit->t * (b[0] - a[0]);
    y = a[1] + hit->t * (b[1] - a[1]);
    if (const auto existing = mesh.find_key(vertex_key(x, y))) return existing;
  }

  if (!cells_inside_or_on(lattice_cells_at(*mesh.grid, x + mesh.origin_x, y + mesh.origin_y))) return std::nullopt;
  if (edges_near(mesh, x, y, 0.001)) return std::nullopt;

  const double height = hit ? reference_height(*mesh.reference, x, y) : z;
  if (!std::isfinite(height)) return std::nullopt;

  const std::uint64_t n = add_vertex(mesh, {x, y, height}, VertexSource::inserted());
  if (hit) {
    remove_edge(mesh, hit->a, hit->b);
    add_edge(mesh, hit->a, n, false);
    add_edge(mesh, n, hit->b, false);
  }
  return n;
}

void add_edge_checked(TwostageMesh& mesh, std::uint64_t a, std::uint64_t b) {
  if (a == b || mesh.edges.contains(mesh_edge(a, b))) return;
  const Point3 pa = mesh.vertex(a);
  const Point3 pb = mesh.vertex(b);
  const std::vector<Cell> cells = register_edge(mesh.vertices, a, b);

  bool conflict = false;
  // Candidate edges of all the cells, each once.
  EdgeSet candidates;
  for (const Cell& cell : cells) {
    const auto it = mesh.edge_cells.find(cell);
    if (it != mesh.edge_cells.end()) candidates.insert(it->second.begin(), it->second.end());
  }
  for (const MeshEdge& other : candidates) {
    const auto [e, f] = other;
    const Point3& pe = mesh.vertex(e);
    const Point3& pf = mesh.vertex(f);
    const bool e_shared = e == a || e == b;
    const bool f_shared = f == a || f == b;
    if (!e_shared && !f_shared && orient(pa, pb, pe) * orient(pa, pb, pf) < 0.0 &&
        orient(pe, pf, pa) * orient(pe, pf, pb) < 0.0) {
      conflict = true;
      break;
    }
    if ((!e_shared && lies_on_segment(pe, pa, pb)) || (!f_shared && lies_on_segment(pf, pa, pb)) ||
        (a != e && a != f && lies_on_segment(pa, pe, pf)) || (b != e && b != f && lies_on_segment(pb, pe, pf))) {
      conflict = true;
      break;
    }
  }
  if (!conflict) {
    for (const Cell& cell : cells) {
      const auto it = mesh.vertex_cells.find(cell);
      if (it == mesh.vertex_cells.end()) continue;
      for (const std::uint64_t v : it->second) {
        if (v == a || v == b) continue;
        if (lies_on_segment(mesh.vertex(v), pa, pb)) {
          conflict = true;
          break;
        }
      }
      if (conflict) break;
    }
  }
  if (conflict) {
    ++mesh.refused;
    return;
  }
  add_edge(mesh, a, b, false);
}

}  // namespace qm::mesh
