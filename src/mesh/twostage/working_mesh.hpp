#pragma once
// The working mesh of the two-stage refinement of one piece: its vertices with their attributes,
// the index from rounded position to vertex, the set of mesh edges (the constraint edges of every
// triangulation of the piece) with its fixed subset, and two spatial indexes over 8-unit cells,
// one of edges and one of vertices. Triangles are not kept here: the stages triangulate the mesh
// afresh or keep their own triangle lists.
//
// All coordinates are local to the piece origin (local = world - origin). Vertices are only ever
// appended: a vertex index stays valid for the life of the mesh.
#include <array>
#include <cstdint>
#include <optional>
#include <set>
#include <utility>
#include <vector>

#include "base/hashing.hpp"
#include "mesh/grid/cell_grid.hpp"
#include "mesh/reference/reference.hpp"

namespace qm::mesh {

struct ReferenceModel;

// A position rounded to thousandths: (round(x * 1000), round(y * 1000)), halves away from zero,
// saturating at the ends of i64, NaN giving 0.
struct VertexKey {
  std::int64_t kx = 0;
  std::int64_t ky = 0;
  friend bool operator==(const VertexKey&, const VertexKey&) = default;
  friend auto operator<=>(const VertexKey&, const VertexKey&) = default;
};

inline void hash_write(SeededHasher& h, const VertexKey& k) {
  hash_write(h, k.kx);
  hash_write(h, k.ky);
}

VertexKey vertex_key(double x, double y);


// Where a vertex came from. Seed: `world` is its point exactly as its seed line gave it.
// Inserted: made by a stage; `world` carries nothing.
struct VertexSource {
  static constexpr std::uint64_t kInserted = 0;
  static constexpr std::uint64_t kSeed = 1;
  std::uint64_t tag = kInserted;
  std::array<double, 3> world{0.0, 0.0, 0.0};

  static VertexSource inserted() { return {}; }
  static VertexSource seed(double x, double y, double z) { return {kSeed, {x, y, z}}; }
};

// An edge as (smaller index, larger index).
using MeshEdge = std::pair<std::uint64_t, std::uint64_t>;
using EdgeSet = std::set<MeshEdge>;

inline MeshEdge mesh_edge(std::uint64_t a, std::uint64_t b) { return a < b ? MeshEdge{a, b} : MeshEdge{b, a}; }

// The spatial index of edges: every edge is filed under each 8-unit cell that its box, widened
// by 0.001, overlaps. A set that becomes empty stays in the map.
using EdgeCells = HashMap<Cell, EdgeSet>;

// Stage codes recorded per vertex.
namespace vertex_stage {
inline constexpr std::uint8_t kSeed = 0;
inline constexpr std::uint8_t kCorner = 1;
inline constexpr std::uint8_t kReferencePoint = 2;
inline constexpr std::uint8_t kReferenceEdgeEnd = 3;
inline constexpr std::uint8_t kReferenceEdgeCrossing = 4;
}  // namespace vertex_stage

using Point3 = std::array<double, 3>;

// Twice the signed area of the triangle p, q, r in the (x, y) plane: positive when it turns
// counter-clockwise.
inline double orient(const Point3& p, const Point3& q, const Point3& r) {
  return (q[0] - p[0]) * (r[1] - p[1]) - (q[1] - p[1]) * (r[0] - p[0]);
}
// A triangle as three vertex indices of the working mesh.
using MeshTriangle = std::array<std::uint64_t, 3>;

struct TwostageMesh {
  // The piece's reference surface (never null in a build) and the occupancy grid of the group's
  // 64-unit cells (world coordinates); both borrowed for the life of the mesh.
  TwostageMesh(const ReferenceModel* reference, const CellGrid& grid, double origin_x, double origin_y);

  std::vector<Point3> vertices;        // x, y local; z the vertex's own height
  std::vector<VertexSource> sources;   // one per vertex
  std::vector<Point3> positions;       // the vertex as the deviation probes see it
  std::vector<std::uint8_t> fixed;     // 1 for a vertex of a fixed seed line
  std::vector<std::uint8_t> stages;    // `stage` when the vertex was appended
  const ReferenceModel* reference;
  const CellGrid* grid;
  HashMap<VertexKey, std::uint64_t> keys;
  EdgeCells edge_cells;
  HashMap<Cell, std::vector<std::uint64_t>> vertex_cells;  // each list in order of appending
  double origin_x;
  double origin_y;
  EdgeSet edges;
  EdgeSet fixed_edges;  // left only when a triangulation drops the edge as conflicting
  std::uint64_t refused = 0;
  std::uint8_t stage = 0;

  std::size_t vertex_count() const { return vertices.size(); }
  // The vertex at an index; an index beyond the list is a fault.
  const Point3& vertex(std::uint64_t index) const;
  // The vertex index of a key, if any.
  std::optional<std::uint64_t> find_key(const VertexKey& key) const;
};

// Appends a vertex (never deduplicating: `keys` then names the newest vertex of its key) and
// returns its index.
std::uint64_t add_vertex(TwostageMesh& mesh, const Point3& p, const VertexSource& source);

// Adds the edge (min, max) to `edges` (and `fixed_edges` when fixed) and files it in `edge_cells`.
// An edge already present changes nothing.
void add_edge(TwostageMesh& mesh, std::uint64_t a, std::uint64_t b, bool fixed);

// The 8-unit cells of the box of the segment a-b widened by 0.001, x outer, y inner, ascending.
std::vector<Cell> register_edge(const std::vector<Point3>& vertices, std::uint64_t a, std::uint64_t b);

// Removes the edge from `edges` and from `edge_cells`; `fixed_edges` keeps it.
void remove_edge(TwostageMesh& mesh, std::uint64_t a, std::uint64_t b);

// Every edge filed under the cells from (x - r, y - r) to (x + r, y + r), each once, ascending.
// No distance test.
EdgeSet edges_in_radius(const TwostageMesh& mesh, double x, double y, double r);

// Whether a fixed edge passes strictly closer than r to (x, y).
bool edges_near(const TwostageMesh& mesh, double x, double y, double r);

struct EdgeHit {
  std::uint64_t a;
  std::uint64_t b;
  double t;  // where along a-b the point projects, strictly between 0 and 1
};

// The first edge (ascending) whose interior passes within 0.001 of (x, y).
std::optional<EdgeHit> edge_at(const TwostageMesh& mesh, double x, double y);

}  // namespace qm::mesh
