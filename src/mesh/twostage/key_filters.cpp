#include "mesh/twostage/key_filters.hpp"

#include "base/fault.hpp"
#include "mesh/grid/cell_grid.hpp"
#include "mesh/reference/reference.hpp"

namespace qm::mesh {

namespace {

const std::pair<std::uint32_t, std::uint32_t>& reference_edge(const ReferenceModel& reference, std::uint32_t e) {
  check_index(e < reference.edges.size());
  return reference.edges[e];
}

bool is_mesh_vertex(const TwostageMesh& mesh, const Point3& p) {
  return mesh.find_key(vertex_key(p[0], p[1])).has_value();
}

}  // namespace

std::vector<std::uint32_t> key_lookup(const TwostageMesh& mesh, std::uint32_t e) {
  const ReferenceModel& reference = *mesh.reference;
  const auto& [first, second] = reference_edge(reference, e);
  std::vector<std::uint32_t> out;
  for (const std::uint32_t i : {first, second}) {
    const Point3 p = reference_point(reference, i);
    if (is_mesh_vertex(mesh, p)) continue;
    if (!cells_inside_or_on(lattice_cells_at(*mesh.grid, p[0] + mesh.origin_x, p[1] + mesh.origin_y))) continue;
    if (edges_near(mesh, p[0], p[1], 0.001)) continue;
    out.push_back(i);
  }
  return out;
}

std::vector<std::uint32_t> key_entries(const TwostageMesh& mesh, const std::set<std::uint32_t>& set) {
  const ReferenceModel& reference = *mesh.reference;
  std::vector<std::uint32_t> out;
  for (const std::uint32_t e : set) {
    const auto& [first, second] = reference_edge(reference, e);
    if (!is_mesh_vertex(mesh, reference_point(reference, first))) continue;
    if (!is_mesh_vertex(mesh, reference_point(reference, second))) continue;
    out.push_back(e);
  }
  return out;
}

}  // namespace qm::mesh
