// The constrained Delaunay triangulation behind constrained.hpp: exact predicates (filtered floating
// point, exact multi-precision fallback, no GMP), built with strict rounding (this file is compiled
// with -frounding-math, see CMakeLists.txt). Crossing points of constraint edges are constructed in
// floating point.
#include <CGAL/Constrained_Delaunay_triangulation_2.h>
#include <CGAL/Constrained_triangulation_face_base_2.h>
#include <CGAL/Exact_predicates_inexact_constructions_kernel.h>
#include <CGAL/Triangulation_data_structure_2.h>
#include <CGAL/Triangulation_face_base_with_info_2.h>
#include <CGAL/Triangulation_vertex_base_with_info_2.h>

#include <algorithm>
#include <cmath>
#include <numeric>
#include <string>
#include <utility>
#include <vector>

#include "module/fault.hpp"
#include "terrain/mesh/constrained.hpp"

namespace qm::mesh {

namespace {

constexpr std::uint64_t kNoVertex = ConstrainedTriangulation::kNoVertex;
constexpr std::uint64_t kMostElements = 0xFFFFFFFFull;
constexpr const char* kTooMany = "Index too big - at most 2^32 elements supported";

struct VertexInfo {
  std::uint64_t id = kNoVertex;  // kNoVertex: made by the library at a crossing, not adopted yet
  double x = 0.0;
  double y = 0.0;
  double z = 0.0;
};

using Kernel = CGAL::Exact_predicates_inexact_constructions_kernel;
using VertexBase = CGAL::Triangulation_vertex_base_with_info_2<VertexInfo, Kernel>;
using FaceInfoBase = CGAL::Triangulation_face_base_with_info_2<std::uint64_t, Kernel>;
using FaceBase = CGAL::Constrained_triangulation_face_base_2<Kernel, FaceInfoBase>;
using Tds = CGAL::Triangulation_data_structure_2<VertexBase, FaceBase>;
using Cdt = CGAL::Constrained_Delaunay_triangulation_2<Kernel, Tds, CGAL::Exact_predicates_tag>;
using LibraryPoint = Kernel::Point_2;
using VertexHandle = Cdt::Vertex_handle;
using FaceHandle = Cdt::Face_handle;

bool takes_coordinate(double v) {
  if (v == 0.0) return true;
  const double m = std::fabs(v);
  return m >= 0x1p-142 && m <= 0x1p201;
}

const char* coordinate_refusal(double v) {
  if (std::isnan(v)) return "NaN";
  if (takes_coordinate(v)) return nullptr;
  return std::fabs(v) < 0x1p-142 ? "too small" : "too large";
}

void check_position(double x, double y) {
  if (const char* why = constrained_position_refusal(x, y)) fault(std::string("finite points: ") + why);
}

}  // namespace

const char* constrained_position_refusal(double x, double y) {
  if (const char* why = coordinate_refusal(x)) return why;
  return coordinate_refusal(y);
}

struct ConstrainedTriangulation::Library {
  Cdt cdt;
  std::vector<VertexHandle> by_id;  // the vertex of every id handed out
  VertexHandle last;                // the vertex inserted last: where the next point is looked for

  VertexHandle handle(std::uint64_t id) const {
    if (id >= by_id.size()) fault("index out of range");
    return by_id[id];
  }

  std::uint64_t next_id() {
    if (by_id.size() >= kMostElements) fault(kTooMany);
    return by_id.size();
  }

  // Gives ids to the vertices the library made at crossings since it held `before` vertices.
  void adopt_new_vertices(std::size_t before, const std::function<double(double, double)>* crossing_height) {
    std::size_t missing = cdt.number_of_vertices() - before;
    for (auto v = cdt.finite_vertices_begin(); missing > 0 && v != cdt.finite_vertices_end(); ++v) {
      VertexInfo& info = v->info();
      if (info.id != kNoVertex) continue;
      info.id = next_id();
      info.x = v->point().x();
      info.y = v->point().y();
      info.z = crossing_height != nullptr && *crossing_height ? (*crossing_height)(info.x, info.y) : std::nan("");
      by_id.push_back(v);
      --missing;
    }
    check(missing == 0, "every vertex of the triangulation has an id");
  }

  // Whether the segment between two vertices would cross a constraint edge (at a point that is not
  // a vertex). It walks from va towards vb through the faces the segment crosses, hopping over the
  // vertices that lie on it.
  bool crosses_constraint(VertexHandle va, VertexHandle vb) const {
    if (cdt.dimension() < 2) return false;  // all on one line: constraints can only overlap
    const LibraryPoint& pb = vb->point();
    VertexHandle v = va;
    while (v != vb) {
      VertexHandle along;
      FaceHandle f;
      int i = 0;
      if (cdt.includes_edge(v, vb, along, f, i)) {
        v = along;
        continue;
      }
      const LibraryPoint& pa = v->point();
      Cdt::Line_face_circulator current(v, &cdt, pb);
      int ind = current->index(v);
      if (current->is_constrained(ind)) return true;
      FaceHandle previous = current;
      ++current;
      ind = current->index(previous);
      VertexHandle next = current->vertex(ind);
      while (next != vb) {
        const CGAL::Orientation o = cdt.geom_traits().orientation_2_object()(pa, pb, next->point());
        if (o == CGAL::COLLINEAR) break;  // the segment passes through `next`: go on from there
        const int crossed = o == CGAL::LEFT_TURN ? Cdt::ccw(ind) : Cdt::cw(ind);
        if (current->is_constrained(crossed)) return true;
        previous = current;
        ++current;
        ind = current->index(previous);
        next = current->vertex(ind);
      }
      v = next;
    }
    return false;
  }
};

ConstrainedTriangulation::ConstrainedTriangulation() : library_(std::make_unique<Library>()) {}
ConstrainedTriangulation::~ConstrainedTriangulation() = default;
ConstrainedTriangulation::ConstrainedTriangulation(ConstrainedTriangulation&&) noexcept = default;
ConstrainedTriangulation& ConstrainedTriangulation::operator=(ConstrainedTriangulation&&) noexcept = default;

ConstrainedTriangulation ConstrainedTriangulation::bulk_load(std::span<const std::array<double, 2>> points,
                                                             std::span<const Edge> edges,
                                                             const std::function<void(std::size_t)>& on_conflict) {
  return load(points.size(), points.empty() ? nullptr : points.data()->data(), 2, edges, on_conflict);
}

ConstrainedTriangulation ConstrainedTriangulation::bulk_load(std::span<const std::array<double, 3>> points,
                                                             std::span<const Edge> edges,
                                                             const std::function<void(std::size_t)>& on_conflict) {
  return load(points.size(), points.empty() ? nullptr : points.data()->data(), 3, edges, on_conflict);
}

ConstrainedTriangulation ConstrainedTriangulation::load(std::size_t n, const double* coordinates, std::size_t stride,
                                                        std::span<const Edge> edges,
                                                        const std::function<void(std::size_t)>& on_conflict) {
  if (n > kMostElements || edges.size() > kMostElements) fault(kTooMany);
  std::vector<VertexInfo> infos(n);
  for (std::size_t i = 0; i < n; ++i) {
    const double* c = coordinates + i * stride;
    infos[i] = VertexInfo{i, c[0], c[1], stride > 2 ? c[2] : 0.0};
    check_position(infos[i].x, infos[i].y);
  }
  for (const auto& [a, b] : edges) {
    if (a >= n || b >= n) fault("index out of range");
  }
  // Points at one position share the vertex of the first of them.
  std::vector<std::uint64_t> order(n);
  std::iota(order.begin(), order.end(), std::uint64_t{0});
  std::sort(order.begin(), order.end(), [&](std::uint64_t a, std::uint64_t b) {
    if (infos[a].x != infos[b].x) return infos[a].x < infos[b].x;
    if (infos[a].y != infos[b].y) return infos[a].y < infos[b].y;
    return a < b;
  });
  std::vector<std::uint64_t> first(n);
  std::vector<std::pair<LibraryPoint, VertexInfo>> unique;
  unique.reserve(n);
  for (std::size_t k = 0; k < n; ++k) {
    const std::uint64_t i = order[k];
    const std::uint64_t p = k > 0 ? order[k - 1] : 0;
    if (k > 0 && infos[i].x == infos[p].x && infos[i].y == infos[p].y) {
      first[i] = first[p];
      continue;
    }
    first[i] = i;
    unique.emplace_back(LibraryPoint(infos[i].x + 0.0, infos[i].y + 0.0), infos[i]);
  }
  order = {};
  infos = {};

  ConstrainedTriangulation out;
  Library& lib = *out.library_;
  lib.cdt.insert(unique.begin(), unique.end());
  check(lib.cdt.number_of_vertices() == unique.size(), "every point of the bulk load has its vertex");
  unique = {};
  lib.by_id.assign(n, VertexHandle());
  for (auto v = lib.cdt.finite_vertices_begin(); v != lib.cdt.finite_vertices_end(); ++v) lib.by_id[v->info().id] = v;
  for (std::size_t i = 0; i < n; ++i) lib.by_id[i] = lib.by_id[first[i]];

  for (std::size_t k = 0; k < edges.size(); ++k) {
    const VertexHandle va = lib.by_id[edges[k].first];
    const VertexHandle vb = lib.by_id[edges[k].second];
    if (va == vb) continue;
    if (lib.crosses_constraint(va, vb)) {
      if (on_conflict) on_conflict(k);
      continue;
    }
    const std::size_t before = lib.cdt.number_of_vertices();
    lib.cdt.insert_constraint(va, vb);
    lib.adopt_new_vertices(before, nullptr);
  }
  return out;
}

std::uint64_t ConstrainedTriangulation::insert(double x, double y, double z) {
  check_position(x, y);
  Library& lib = *library_;
  const std::size_t before = lib.cdt.number_of_vertices();
  if (before >= kMostElements) fault(kTooMany);
  const FaceHandle start = lib.last != VertexHandle() ? lib.last->face() : FaceHandle();
  const VertexHandle v = lib.cdt.insert(LibraryPoint(x + 0.0, y + 0.0), start);
  lib.last = v;
  VertexInfo& info = v->info();
  if (info.id == kNoVertex) {
    info.id = lib.next_id();
    lib.by_id.push_back(v);
  }
  info.x = x;
  info.y = y;
  info.z = z;
  check(lib.cdt.number_of_vertices() <= before + 1, "every vertex of the triangulation has an id");
  return info.id;
}

void ConstrainedTriangulation::add_constraint_splitting(std::uint64_t a, std::uint64_t b,
                                                        const std::function<double(double, double)>& crossing_height) {
  Library& lib = *library_;
  const VertexHandle va = lib.handle(a);
  const VertexHandle vb = lib.handle(b);
  if (va == vb) return;
  const std::size_t before = lib.cdt.number_of_vertices();
  lib.cdt.insert_constraint(va, vb);
  lib.adopt_new_vertices(before, &crossing_height);
}

bool ConstrainedTriangulation::try_add_constraint(std::uint64_t a, std::uint64_t b) {
  Library& lib = *library_;
  const VertexHandle va = lib.handle(a);
  const VertexHandle vb = lib.handle(b);
  if (va == vb) return true;
  if (lib.crosses_constraint(va, vb)) return false;
  const std::size_t before = lib.cdt.number_of_vertices();
  lib.cdt.insert_constraint(va, vb);
  lib.adopt_new_vertices(before, nullptr);
  return true;
}

std::size_t ConstrainedTriangulation::vertex_count() const { return library_->cdt.number_of_vertices(); }

std::size_t ConstrainedTriangulation::id_count() const { return library_->by_id.size(); }

std::uint64_t ConstrainedTriangulation::vertex_of(std::uint64_t id) const { return library_->handle(id)->info().id; }

std::array<double, 3> ConstrainedTriangulation::position(std::uint64_t id) const {
  const VertexInfo& info = library_->handle(id)->info();
  return {info.x, info.y, info.z};
}

bool ConstrainedTriangulation::is_constraint(std::uint64_t a, std::uint64_t b) const {
  const Library& lib = *library_;
  const VertexHandle va = lib.handle(a);
  const VertexHandle vb = lib.handle(b);
  FaceHandle f;
  int i = 0;
  return va != vb && lib.cdt.is_edge(va, vb, f, i) && f->is_constrained(i);
}

std::vector<ConstrainedTriangulation::Edge> ConstrainedTriangulation::constraint_edges() const {
  const Library& lib = *library_;
  std::vector<Edge> out;
  for (auto e = lib.cdt.finite_edges_begin(); e != lib.cdt.finite_edges_end(); ++e) {
    if (!e->first->is_constrained(e->second)) continue;
    const std::uint64_t a = e->first->vertex(Cdt::cw(e->second))->info().id;
    const std::uint64_t b = e->first->vertex(Cdt::ccw(e->second))->info().id;
    out.emplace_back(std::min(a, b), std::max(a, b));
  }
  std::sort(out.begin(), out.end());
  return out;
}

ConstrainedFaces ConstrainedTriangulation::faces() const {
  Library& lib = *library_;
  ConstrainedFaces out;
  std::uint64_t k = 0;
  for (auto f = lib.cdt.finite_faces_begin(); f != lib.cdt.finite_faces_end(); ++f) f->info() = k++;
  if (k > kMostElements) fault(kTooMany);
  out.corners.reserve(k);
  out.across.reserve(k);
  for (auto f = lib.cdt.finite_faces_begin(); f != lib.cdt.finite_faces_end(); ++f) {
    out.corners.push_back({f->vertex(0)->info().id, f->vertex(1)->info().id, f->vertex(2)->info().id});
    // The side (c0, c1) lies opposite corner 2, (c1, c2) opposite corner 0, (c2, c0) opposite corner 1.
    std::array<std::uint64_t, 3> across{};
    const int opposite[3] = {2, 0, 1};
    for (int s = 0; s < 3; ++s) {
      const FaceHandle g = f->neighbor(opposite[s]);
      across[static_cast<std::size_t>(s)] = lib.cdt.is_infinite(g) ? ConstrainedFaces::kNone : g->info();
    }
    out.across.push_back(across);
  }
  return out;
}

}  // namespace qm::mesh
