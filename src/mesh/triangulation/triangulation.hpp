#pragma once
// Planar triangulations of terrain samples, with exact predicates.
//
// This header is the whole interface of the triangulation library to the rest of the module: no
// library type appears here, and only the cgal_*.cpp translation units include the library itself.
//
// A triangulation is immutable once made. Its vertices are the input points, vertex i carrying the
// index i. Triangles are numbered 0 .. triangle_count() - 1 in a canonical order that depends only
// on the points (never on the order they were given in, nor on the library's internal layout): each
// triangle's corners run counter-clockwise starting at its smallest index, and the triangles are
// sorted by their corner triples. Exactly cocircular points are resolved by a symbolic perturbation
// (by position), so the same point set always gives the same triangles.
#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <vector>

namespace qm::mesh {

// What a position hits in a triangulation.
enum class LocationKind : std::uint8_t {
  Vertex,   // exactly on a vertex: points[0]
  Edge,     // on an edge, strictly between its ends: points[0] < points[1]
  Face,     // strictly inside a triangle: `triangle`, with its corners in points
  Outside,  // outside the convex hull (or off the line of a flat point set)
};

struct Location {
  LocationKind kind = LocationKind::Outside;
  std::uint32_t triangle = 0xFFFFFFFFu;   // Face only
  std::array<std::uint64_t, 3> points{};  // see LocationKind
};

// Whether a triangulation keeps what point location needs (the library's own triangulation, about
// half of its memory) beyond its triangles and neighbours.
enum class PointLocation : std::uint8_t { Kept, Dropped };

class Triangulation {
 public:
  static constexpr std::uint32_t kNone = 0xFFFFFFFFu;

  // The empty triangulation: no vertex, no triangle; every position is outside.
  Triangulation();
  ~Triangulation();
  Triangulation(Triangulation&&) noexcept;
  Triangulation& operator=(Triangulation&&) noexcept;
  // Copies share the immutable triangulation.
  Triangulation(const Triangulation&);
  Triangulation& operator=(const Triangulation&);

  // The Delaunay triangulation of the points (xs[i], ys[i]) for i < xs.size() (ys may be longer).
  // Every coordinate must be finite and either 0 or of magnitude in [2^-142, 2^201], and no two
  // points may share a position; otherwise the fault "finite, distinct samples" is raised before
  // the library sees any point. Fewer than three points, or points all on one line, give no triangle.
  static Triangulation delaunay(std::span<const double> xs, std::span<const double> ys,
                                PointLocation location = PointLocation::Kept);

  std::size_t vertex_count() const { return vertex_count_; }
  std::size_t triangle_count() const { return corners_.size() / 3; }

  // Corner k (0, 1, 2) of triangle t: counter-clockwise, corner 0 the smallest index.
  std::array<std::uint64_t, 3> corners(std::size_t t) const {
    return {corners_[3 * t], corners_[3 * t + 1], corners_[3 * t + 2]};
  }
  // The triangle across edge k of triangle t (edge k runs from corner k to corner k + 1 mod 3),
  // or kNone on the hull.
  std::uint32_t neighbour(std::size_t t, int k) const { return neighbours_[3 * t + static_cast<std::size_t>(k)]; }

  // The heap bytes it holds (heap_bytes.hpp), its point location included (shared by copies).
  std::uint64_t heap_bytes() const;

  // Where the position (x, y) lies, decided exactly. A non-finite position is outside. Locating in
  // a triangulation made with PointLocation::Dropped is the fault "a triangulation kept for location".
  Location locate(double x, double y) const;

 private:
  struct Library;  // the library's triangulation, kept for point location
  std::shared_ptr<const Library> library_;
  std::size_t vertex_count_ = 0;
  bool locatable_ = true;
  std::vector<std::uint64_t> corners_;     // 3 per triangle
  std::vector<std::uint32_t> neighbours_;  // 3 per triangle
};

// The fault text for points the triangulation cannot take.
inline constexpr const char* kBadSamples = "finite, distinct samples";

}  // namespace qm::mesh
