// The one place that includes the triangulation library: Delaunay triangulations with exact
// predicates (filtered floating point, exact multi-precision fallback, no GMP), built with strict
// rounding (this file is compiled with -frounding-math, see CMakeLists.txt).
#include <CGAL/Delaunay_triangulation_2.h>
#include <CGAL/Exact_predicates_inexact_constructions_kernel.h>
#include <CGAL/Triangulation_data_structure_2.h>
#include <CGAL/Triangulation_face_base_with_info_2.h>
#include <CGAL/Triangulation_vertex_base_with_info_2.h>

#include <algorithm>
#include <cmath>
#include <numeric>
#include <utility>
#include <vector>

#include "base/fault.hpp"
#include "mesh/grid/heap_bytes.hpp"
#include "mesh/triangulation/triangulation.hpp"

namespace qm::mesh {

namespace {

using Kernel = CGAL::Exact_predicates_inexact_constructions_kernel;
using VertexBase = CGAL::Triangulation_vertex_base_with_info_2<std::uint64_t, Kernel>;
using FaceBase = CGAL::Triangulation_face_base_with_info_2<std::uint32_t, Kernel>;
using Tds = CGAL::Triangulation_data_structure_2<VertexBase, FaceBase>;
using Delaunay = CGAL::Delaunay_triangulation_2<Kernel, Tds>;
using LibraryPoint = Kernel::Point_2;

// Coordinates the triangulation takes: finite, and 0 or of a magnitude whose squares and products
// stay far from overflow and underflow.
bool takes_coordinate(double v) {
  if (v == 0.0) return true;
  const double m = std::fabs(v);
  return m >= 0x1p-142 && m <= 0x1p201;  // false for NaN
}

struct Corners {
  std::array<std::uint64_t, 3> c;
  Delaunay::Face_handle face;
};

}  // namespace

struct Triangulation::Library {
  Delaunay dt;
};

Triangulation::Triangulation() = default;
Triangulation::~Triangulation() = default;
Triangulation::Triangulation(Triangulation&&) noexcept = default;
Triangulation& Triangulation::operator=(Triangulation&&) noexcept = default;
Triangulation::Triangulation(const Triangulation&) = default;
Triangulation& Triangulation::operator=(const Triangulation&) = default;

Triangulation Triangulation::delaunay(std::span<const double> xs, std::span<const double> ys,
                                      PointLocation location) {
  const std::size_t n = xs.size();
  check_index(ys.size() >= n);
  if (n > 0xFFFFFFFFull) fault("Index too big - at most 2^32 elements supported");

  // Refuse what the library would loop on, merge silently or compute wrongly, before it sees a point.
  for (std::size_t i = 0; i < n; ++i) {
    if (!takes_coordinate(xs[i]) || !takes_coordinate(ys[i])) fault(kBadSamples);
  }
  // Position order finds duplicates; inserting in it also keeps the library's internal layout
  // independent of the order the points came in (the triangles are independent of it anyway: the
  // library breaks cocircular ties by a symbolic perturbation).
  std::vector<std::uint32_t> order(n);
  std::iota(order.begin(), order.end(), 0u);
  std::sort(order.begin(), order.end(), [&](std::uint32_t a, std::uint32_t b) {
    if (xs[a] != xs[b]) return xs[a] < xs[b];
    return ys[a] < ys[b];
  });
  for (std::size_t k = 1; k < n; ++k) {
    if (xs[order[k]] == xs[order[k - 1]] && ys[order[k]] == ys[order[k - 1]]) fault(kBadSamples);
  }

  std::vector<std::pair<LibraryPoint, std::uint64_t>> points;
  points.reserve(n);
  for (const std::uint32_t i : order) points.emplace_back(LibraryPoint(xs[i] + 0.0, ys[i] + 0.0), i);

  auto library = std::make_shared<Library>();
  Delaunay& dt = library->dt;
  dt.insert(points.begin(), points.end());
  points = {};
  check(dt.number_of_vertices() == n, kBadSamples);

  // Canonical triangles: corners counter-clockwise from the smallest index, sorted by corners.
  std::vector<Corners> faces;
  faces.reserve(dt.number_of_faces());
  for (auto f = dt.finite_faces_begin(); f != dt.finite_faces_end(); ++f) {
    std::array<std::uint64_t, 3> c{f->vertex(0)->info(), f->vertex(1)->info(), f->vertex(2)->info()};
    const auto smallest = std::min_element(c.begin(), c.end());
    std::rotate(c.begin(), smallest, c.end());
    faces.push_back(Corners{c, f});
  }
  if (faces.size() >= 0xFFFFFFFFull) fault("Index too big - at most 2^32 elements supported");
  std::sort(faces.begin(), faces.end(), [](const Corners& a, const Corners& b) { return a.c < b.c; });
  for (std::size_t t = 0; t < faces.size(); ++t) faces[t].face->info() = static_cast<std::uint32_t>(t);

  Triangulation result;
  result.vertex_count_ = n;
  result.corners_.reserve(3 * faces.size());
  result.neighbours_.reserve(3 * faces.size());
  for (const Corners& t : faces) {
    for (int k = 0; k < 3; ++k) result.corners_.push_back(t.c[static_cast<std::size_t>(k)]);
    for (int k = 0; k < 3; ++k) {
      // The edge from corner k to corner k + 1 lies opposite corner k + 2.
      const std::uint64_t apex = t.c[static_cast<std::size_t>((k + 2) % 3)];
      int opposite = 0;
      while (t.face->vertex(opposite)->info() != apex) ++opposite;
      const auto across = t.face->neighbor(opposite);
      result.neighbours_.push_back(dt.is_infinite(across) ? kNone : across->info());
    }
  }
  if (location == PointLocation::Kept) {
    result.library_ = std::move(library);
  } else {
    result.locatable_ = false;
  }
  return result;
}

namespace {

// The blocks of a compact container of `capacity` items of `item` bytes: 14 items at first, then 16
// more in each block than in the last, each with two more for its ends; and the list of blocks.
std::uint64_t compact_container_bytes(std::uint64_t capacity, std::uint64_t item) {
  std::uint64_t bytes = 0, blocks = 0, held = 0;
  for (std::uint64_t size = 14; held < capacity; size += 16, ++blocks) {
    bytes += heap_block_bytes((size + 2) * item);
    held += size;
  }
  std::uint64_t list = 1;
  while (list < blocks) list *= 2;
  return bytes + (blocks != 0 ? heap_block_bytes(list * 16) : 0);
}

}  // namespace

std::uint64_t Triangulation::heap_bytes() const {
  std::uint64_t bytes = heap_bytes_of_vector(corners_) + heap_bytes_of_vector(neighbours_);
  if (library_) {
    const Tds& tds = library_->dt.tds();
    bytes += heap_block_bytes(sizeof(Library) + 16);  // with the shared count
    bytes += compact_container_bytes(tds.vertices().capacity(), sizeof(Tds::Vertex));
    bytes += compact_container_bytes(tds.faces().capacity(), sizeof(Tds::Face));
  }
  return bytes;
}

Location Triangulation::locate(double x, double y) const {
  check(locatable_, "a triangulation kept for location");
  Location out;
  if (!library_ || !std::isfinite(x) || !std::isfinite(y)) return out;
  const Delaunay& dt = library_->dt;
  if (dt.number_of_vertices() == 0) return out;
  Delaunay::Locate_type type;
  int li = 0;
  const auto face = dt.locate(LibraryPoint(x, y), type, li);
  switch (type) {
    case Delaunay::VERTEX:
      out.kind = LocationKind::Vertex;
      out.points[0] = face->vertex(li)->info();
      break;
    case Delaunay::EDGE: {
      const auto a = face->vertex(Delaunay::cw(li));
      const auto b = face->vertex(Delaunay::ccw(li));
      if (dt.is_infinite(a) || dt.is_infinite(b)) break;
      out.kind = LocationKind::Edge;
      out.points[0] = std::min(a->info(), b->info());
      out.points[1] = std::max(a->info(), b->info());
      break;
    }
    case Delaunay::FACE:
      if (dt.is_infinite(face)) break;
      out.kind = LocationKind::Face;
      out.triangle = face->info();
      out.points = corners(face->info());
      break;
    default:
      break;
  }
  return out;
}

}  // namespace qm::mesh
