#pragma once
// Constrained Delaunay triangulations of terrain points, with exact predicates.
//
// This header is the whole interface of the constrained triangulation to the rest of the module: no
// library type appears here, and only cgal_constrained.cpp includes the library itself.
//
// Vertices are named by ids. A bulk load gives point i the id i (a point at exactly the position
// of an earlier one shares that earlier point's vertex and id); incremental insertion hands out
// the next free id to each new vertex, and so does a crossing of two constraint edges. Every vertex
// carries x, y and z; z is the caller's (the triangulation itself works in x and y only).
//
// Accepted positions: x and y each 0 or of magnitude within [2^-142, 2^201] (no NaN, no infinity);
// anything else is the fault "finite points: " followed by the kind of refusal. At most 2^32
// vertices, edges and faces.
#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <span>
#include <utility>
#include <vector>

namespace qm::mesh {

// Why the triangulation refuses a position: "NaN", "too small" or "too large"; nullptr when it takes it.
const char* constrained_position_refusal(double x, double y);

// The inner faces of a triangulation in its own face order.
struct ConstrainedFaces {
  static constexpr std::uint64_t kNone = ~std::uint64_t{0};
  std::vector<std::array<std::uint64_t, 3>> corners;  // vertex ids, counter-clockwise
  // The inner face across the sides (c0, c1), (c1, c2) and (c2, c0) of each face, or kNone where
  // the side borders the outside.
  std::vector<std::array<std::uint64_t, 3>> across;
};

class ConstrainedTriangulation {
 public:
  static constexpr std::uint64_t kNoVertex = ~std::uint64_t{0};
  using Edge = std::pair<std::uint64_t, std::uint64_t>;

  // The empty triangulation.
  ConstrainedTriangulation();
  ~ConstrainedTriangulation();
  ConstrainedTriangulation(ConstrainedTriangulation&&) noexcept;
  ConstrainedTriangulation& operator=(ConstrainedTriangulation&&) noexcept;
  ConstrainedTriangulation(const ConstrainedTriangulation&) = delete;
  ConstrainedTriangulation& operator=(const ConstrainedTriangulation&) = delete;

  // One bulk load: the points (vertex i is point i, z 0) and then the constraint edges in list
  // order, each between the vertices of its two points. An edge that would cross a constraint edge
  // already inserted is left out and reported by its position in `edges` to `on_conflict` (which
  // may be empty); an edge along existing constraint edges or through a vertex is split there.
  // An edge whose two points share one vertex is skipped. An edge index beyond the points is the
  // fault "index out of range".
  static ConstrainedTriangulation bulk_load(std::span<const std::array<double, 2>> points, std::span<const Edge> edges,
                                            const std::function<void(std::size_t edge)>& on_conflict);
  static ConstrainedTriangulation bulk_load(std::span<const std::array<double, 3>> points, std::span<const Edge> edges,
                                            const std::function<void(std::size_t edge)>& on_conflict);

  // Inserts a point and returns its vertex id. A point at exactly the position of an existing
  // vertex takes that vertex over: the vertex keeps its id and gets this point's x, y and z.
  // A point on a constraint edge splits the edge there.
  std::uint64_t insert(double x, double y, double z);

  // Adds the constraint edge between two vertices. Where it meets a vertex, it is split there;
  // where it crosses an existing constraint edge, both are split at one vertex: the crossing point
  // computed exactly and rounded to the nearest doubles, a new vertex whose z is
  // `crossing_height(x, y)`; or an existing vertex (keeping its x, y and z) within a few units in
  // the last place of that point, or an end of either edge that close to the other edge (a crossing
  // at a very shallow angle or next to an end). The split edges bend through it by that much at
  // most, and every vertex stays where it is. A crossing whose rounded position is refused
  // (a non-zero coordinate below 2^-142) is the fault "finite points: too small", raised before
  // the vertex is made; the constraint then stays incomplete. Equal ids add nothing.
  void add_constraint_splitting(std::uint64_t a, std::uint64_t b,
                                const std::function<double(double x, double y)>& crossing_height);

  // Adds the constraint edge unless it would cross an existing constraint edge: then false, and
  // nothing changes. Splits at vertices as above. Equal ids add nothing (true).
  bool try_add_constraint(std::uint64_t a, std::uint64_t b);

  std::size_t vertex_count() const;  // distinct vertices
  std::size_t id_count() const;      // ids handed out (the vertex of an id may be shared)
  // The vertex id of an id handed out: itself, or the id of the vertex it shares.
  std::uint64_t vertex_of(std::uint64_t id) const;
  // x, y, z of a vertex id.
  std::array<double, 3> position(std::uint64_t id) const;
  // Whether a constraint edge joins the two vertices.
  bool is_constraint(std::uint64_t a, std::uint64_t b) const;
  // The constraint edges as (smaller id, larger id), ascending.
  std::vector<Edge> constraint_edges() const;
  // The inner faces, counter-clockwise, in the triangulation's own (fixed) face order.
  ConstrainedFaces faces() const;

 private:
  struct Library;
  // The bulk load over n points of `stride` coordinates each (x, y and, with a stride of 3, z).
  static ConstrainedTriangulation load(std::size_t n, const double* coordinates, std::size_t stride,
                                       std::span<const Edge> edges,
                                       const std::function<void(std::size_t edge)>& on_conflict);
  std::unique_ptr<Library> library_;
};

}  // namespace qm::mesh
