#include "mesh/refine/group_bytes.hpp"

#include "mesh/grid/heap_bytes.hpp"

namespace qm::mesh {

namespace {

template <class Table>
std::uint64_t optional_hash(const std::optional<Table>& t) {
  return t ? heap_bytes_of_hash(*t) : 0;
}

}  // namespace

std::uint64_t heap_bytes(const CellGrid& grid) { return heap_bytes_of_vector(grid.grid) + heap_bytes_of_hash(grid.cells); }

std::uint64_t heap_bytes(const Level& level) {
  return heap_bytes_of_vector(level.keys) + heap_bytes_of_vector(level.heights) + heap_bytes_of_hash(level.index) +
         heap_bytes_of_vector(level.matched) + heap_bytes_of_vector(level.patches) +
         heap_bytes_of_hash(level.settled) + optional_hash(level.area);
}

std::uint64_t heap_bytes(const Lattice& lattice) {
  std::uint64_t bytes = heap_bytes(lattice.cover) + heap_bytes_of_vector(lattice.pending) +
                        heap_bytes_of_vector(lattice.levels) + heap_bytes_of_hash(lattice.samples) +
                        optional_hash(lattice.refined);
  for (const Level& level : lattice.levels) bytes += heap_bytes(level);
  return bytes;
}

std::uint64_t heap_bytes(const SamplingRun& run) {
  return heap_bytes(run.cover) + heap_bytes(run.lattice) + heap_bytes_of_vector(run.history);
}

std::uint64_t heap_bytes(const RefinePoints& points) {
  std::uint64_t bytes = heap_bytes(points.cell_grid) + heap_bytes_of_vector(points.xs) +
                        heap_bytes_of_vector(points.ys) + heap_bytes_of_vector(points.hs) +
                        heap_bytes_of_nested(points.point_faces) + heap_bytes_of_hash(points.point_keys) +
                        heap_bytes_of_hash(points.planes) + heap_bytes_of_tree(points.members);
  for (const auto& [id, members] : points.members) bytes += heap_bytes_of_vector(members);
  return bytes;
}

std::uint64_t heap_bytes(const FaceSet& faces) {
  return heap_bytes_of_vector(faces.triangles) + heap_bytes_of_vector(faces.triangle_kinds) +
         heap_bytes_of_vector(faces.triangle_faces) + heap_bytes_of_nested(faces.point_candidates) +
         heap_bytes_of_vector(faces.triangle_handles) + faces.triangulation.heap_bytes();
}

std::uint64_t heap_bytes(const FaceWork& work) {
  return heap_bytes(work.points) + heap_bytes_of_vector(work.wanted) +
         (work.last_faces ? heap_bytes(*work.last_faces) : 0) + heap_bytes_of_hash(work.seen);
}

}  // namespace qm::mesh
