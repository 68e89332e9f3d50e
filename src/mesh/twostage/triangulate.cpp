#include "mesh/twostage/triangulate.hpp"

#include "base/fault.hpp"
#include "base/span.hpp"
#include "mesh/grid/cell_grid.hpp"
#include "mesh/triangulation/constrained.hpp"

namespace qm::mesh {

MeshTriangulation twostage_triangulate(TwostageMesh& mesh) {
  SpanTimer span("twostage.triangulate");
  std::vector<std::array<double, 2>> points;
  points.reserve(mesh.vertex_count());
  for (const Point3& v : mesh.vertices) {
    if (constrained_position_refusal(v[0], v[1]) != nullptr) fault("finite points");
    points.push_back({v[0], v[1]});
  }
  const std::vector<MeshEdge> edges(mesh.edges.begin(), mesh.edges.end());
  std::vector<std::size_t> conflicts;
  const ConstrainedTriangulation cdt =
      ConstrainedTriangulation::bulk_load(points, edges, [&](std::size_t edge) { conflicts.push_back(edge); });
  if (cdt.vertex_count() != mesh.vertex_count()) fault("two of the mesh's vertices at one place");

  for (const std::size_t k : conflicts) {
    const MeshEdge& e = edges.at(k);
    remove_edge(mesh, e.first, e.second);
    mesh.fixed_edges.erase(e);
  }

  const ConstrainedFaces faces = cdt.faces();
  constexpr std::uint64_t kDropped = ConstrainedFaces::kNone;
  std::vector<std::uint64_t> kept_index(faces.corners.size(), kDropped);
  MeshTriangulation out;
  for (std::size_t f = 0; f < faces.corners.size(); ++f) {
    const auto& c = faces.corners[f];
    const Point3& p0 = mesh.vertex(c[0]);
    const Point3& p1 = mesh.vertex(c[1]);
    const Point3& p2 = mesh.vertex(c[2]);
    const double cx = (p0[0] + p1[0] + p2[0]) / 3.0 + mesh.origin_x;
    const double cy = (p0[1] + p1[1] + p2[1]) / 3.0 + mesh.origin_y;
    if (!cells_inside_or_on(lattice_cells_at(*mesh.grid, cx, cy))) continue;
    kept_index[f] = out.triangles.size();
    out.triangles.push_back({c[0], c[1], c[2]});
  }
  out.neighbours.reserve(out.triangles.size());
  for (std::size_t f = 0; f < faces.corners.size(); ++f) {
    if (kept_index[f] == kDropped) continue;
    std::array<std::optional<std::uint64_t>, 3> n;
    for (int k = 0; k < 3; ++k) {
      const std::uint64_t other = faces.across.at(f)[static_cast<std::size_t>(k)];
      if (other != ConstrainedFaces::kNone && kept_index.at(other) != kDropped) n[static_cast<std::size_t>(k)] = kept_index[other];
    }
    out.neighbours.push_back(n);
  }
  return out;
}

}  // namespace qm::mesh
