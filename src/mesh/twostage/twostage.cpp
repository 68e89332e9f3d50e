#include "mesh/twostage/twostage.hpp"

#include <cmath>
#include <utility>

#include "base/fault.hpp"
#include "base/span.hpp"
#include "mesh/reference/reference.hpp"
#include "mesh/twostage/corners.hpp"
#include "mesh/twostage/flips.hpp"
#include "mesh/twostage/removal.hpp"
#include "mesh/twostage/rounds.hpp"

namespace qm::mesh {

void seed_mesh(TwostageMesh& mesh, std::span<const SeedLine> seed_lines) {
  std::vector<std::uint64_t> indices;
  for (const bool fixed_pass : {true, false}) {
    for (const SeedLine& line : seed_lines) {
      if (line.fixed != (fixed_pass ? 1 : 0) || line.points.empty()) continue;
      indices.clear();
      for (const auto& w : line.points) {
        const Point3 p{w[0] - mesh.origin_x, w[1] - mesh.origin_y, w[2]};
        if (const auto existing = mesh.find_key(vertex_key(p[0], p[1]))) {
          indices.push_back(*existing);
          continue;
        }
        const std::uint64_t index = add_vertex(mesh, p, VertexSource::seed(w[0], w[1], w[2]));
        if (fixed_pass) {
          mesh.fixed[index] = 1;
          const double h = reference_height(*mesh.reference, p[0], p[1]);
          if (std::isfinite(h)) mesh.positions[index] = {p[0], p[1], h};
        }
        indices.push_back(index);
      }
      for (std::size_t k = 0; k + 1 < indices.size(); ++k)
        if (indices[k] != indices[k + 1]) add_edge(mesh, indices[k], indices[k + 1], fixed_pass);
    }
  }
}

void remap_triangles(std::vector<MeshTriangle>& triangles, const std::vector<std::uint64_t>& remap) {
  for (MeshTriangle& t : triangles)
    for (std::uint64_t& v : t) {
      check_index(v < remap.size());
      v = remap[static_cast<std::size_t>(v)];
    }
}

void compact_result(const TwostageMesh& mesh, std::vector<MeshTriangle> triangles, TwostageResult& result) {
  const std::size_t n = mesh.vertex_count();
  std::vector<bool> used(n, false);
  for (const MeshTriangle& t : triangles)
    for (const std::uint64_t v : t) {
      check_index(v < n);
      used[static_cast<std::size_t>(v)] = true;
    }
  std::vector<std::uint64_t> remap(n, 0);
  result.vertices.clear();
  result.stages.clear();
  for (std::size_t i = 0; i < n; ++i) {
    if (!used[i]) continue;
    remap[i] = result.vertices.size();
    const VertexSource& source = mesh.sources[i];
    if (source.tag == VertexSource::kSeed) {
      result.vertices.push_back(source.world);
    } else {
      const Point3& v = mesh.vertices[i];
      result.vertices.push_back({v[0] + mesh.origin_x, v[1] + mesh.origin_y, v[2]});
    }
    result.stages.push_back(mesh.stages[i]);
  }
  remap_triangles(triangles, remap);
  result.triangles = std::move(triangles);
}

std::optional<TwostageResult> twostage(const ReferenceModel& reference, std::int32_t origin_x, std::int32_t origin_y,
                                       CreaseSet creases, const CellGrid& grid, std::span<const SeedLine> seed_lines,
                                       const StopCheck& stop) {
  SpanTimer span("twostage");
  TwostageMesh mesh(&reference, grid, static_cast<double>(origin_x), static_cast<double>(origin_y));
  TwostageResult result;

  seed_mesh(mesh, seed_lines);
  if (stop()) return std::nullopt;
  result.seed_vertices = mesh.vertex_count();

  CornerStage corner_stage = twostage_corners(mesh, std::move(creases));
  result.crease_lines = corner_stage.counts.crease_lines;
  result.crease_points = corner_stage.counts.crease_points;
  result.corners = corner_stage.counts.corners;
  result.rejected_clusters = corner_stage.counts.rejected_clusters;
  if (stop()) return std::nullopt;

  DeviationMemo memo;
  std::vector<std::uint32_t> scratch;
  std::optional<RoundsResult> rounds = twostage_rounds(mesh, corner_stage.corners, memo, scratch, stop);
  if (!rounds) return std::nullopt;
  result.last_round = rounds->last_round;
  result.triangles_over = rounds->triangles_over;
  result.worst_error = rounds->worst_error;
  result.fixed_triangles_over = rounds->fixed_triangles_over;
  std::vector<MeshTriangle> triangles = std::move(rounds->triangles);

  {
    SpanTimer remove_span("twostage.remove");
    const std::optional<std::uint64_t> removed = twostage_remove(mesh, triangles, scratch, stop);
    if (!removed) return std::nullopt;
    result.removed_vertices = *removed;
  }
  const std::optional<std::uint64_t> flips = twostage_flips(mesh, triangles, memo, scratch, stop);
  if (!flips) return std::nullopt;
  result.flips = *flips;

  result.refused_edges = mesh.refused;
  compact_result(mesh, std::move(triangles), result);
  return result;
}

}  // namespace qm::mesh
