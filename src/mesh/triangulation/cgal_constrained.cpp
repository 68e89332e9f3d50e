// The constrained Delaunay triangulation behind constrained.hpp: exact predicates (filtered floating
// point, exact multi-precision fallback, no GMP), built with strict rounding (this file is compiled
// with -frounding-math, see CMakeLists.txt).
//
// The library never constructs a point here: it is told that constraint edges do not cross, and it
// is handed every constraint only in pieces that cross no constraint edge (it still splits them at
// vertices on them). Where a new constraint crosses a constraint edge, this file picks the vertex
// both are split at and replaces them by pieces through it, each piece then added the same way:
// - an end of either within a few units in the last place of the other (a crossing at a very
//   shallow angle, or right next to an end), so that nearly parallel pieces meet at their vertices
//   rather than crossing each other again and again;
// - else the crossing point, computed exactly (in integers) and rounded to the nearest doubles: the
//   vertex there or within a few units in the last place of it, or a new vertex there.
// A rounded crossing lies off the two lines by half a unit in the last place, so the pieces bend by
// that much; a piece that then crosses another edge (one that ends within that sliver) is split in
// turn. The number of crossings one constraint may handle is bounded: running past it is a fault,
// never an endless loop.
#include <CGAL/Constrained_Delaunay_triangulation_2.h>
#include <CGAL/Constrained_triangulation_face_base_2.h>
#include <CGAL/Exact_predicates_inexact_constructions_kernel.h>
#include <CGAL/Triangulation_data_structure_2.h>
#include <CGAL/Triangulation_face_base_with_info_2.h>
#include <CGAL/Triangulation_vertex_base_with_info_2.h>

#include <algorithm>
#include <boost/multiprecision/cpp_int.hpp>
#include <cmath>
#include <numeric>
#include <optional>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "base/fault.hpp"
#include "mesh/triangulation/constrained.hpp"

namespace qm::mesh {

namespace {

constexpr std::uint64_t kNoVertex = ConstrainedTriangulation::kNoVertex;
constexpr std::uint64_t kMostElements = 0xFFFFFFFFull;
constexpr const char* kTooMany = "Index too big - at most 2^32 elements supported";
// How close "a few units in the last place" is: 2^kSnapExponent times the largest coordinate
// magnitude among the four ends of two crossing edges (16 to 32 units in the last place there).
constexpr int kSnapExponent = -48;

struct VertexInfo {
  std::uint64_t id = kNoVertex;  // kNoVertex: just inserted, no id given yet
  double x = 0.0;
  double y = 0.0;
  double z = 0.0;
};

using Kernel = CGAL::Exact_predicates_inexact_constructions_kernel;
using VertexBase = CGAL::Triangulation_vertex_base_with_info_2<VertexInfo, Kernel>;
using FaceInfoBase = CGAL::Triangulation_face_base_with_info_2<std::uint64_t, Kernel>;
using FaceBase = CGAL::Constrained_triangulation_face_base_2<Kernel, FaceInfoBase>;
using Tds = CGAL::Triangulation_data_structure_2<VertexBase, FaceBase>;
// Constraints that would cross make the library throw instead of constructing a crossing point;
// constraints through vertices and along constraint edges are split there as usual.
using NoConstructions = CGAL::No_constraint_intersection_requiring_constructions_tag;
using Cdt = CGAL::Constrained_Delaunay_triangulation_2<Kernel, Tds, NoConstructions>;
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

// The distance of v from the segment ab, in floating point.
double distance_to_segment(const LibraryPoint& v, const LibraryPoint& a, const LibraryPoint& b) {
  const double dx = b.x() - a.x(), dy = b.y() - a.y();
  const double length2 = dx * dx + dy * dy;
  const double t =
      length2 > 0.0 ? std::clamp(((v.x() - a.x()) * dx + (v.y() - a.y()) * dy) / length2, 0.0, 1.0) : 0.0;
  return std::hypot(v.x() - (a.x() + t * dx), v.y() - (a.y() + t * dy));
}

using Integer = boost::multiprecision::cpp_int;

// The nearest double to n / d * 2^e (d non-zero); only the normal range matters here, values far
// below it are refused as positions anyway.
double nearest_double(const Integer& n, const Integer& d, long e) {
  if (n == 0) return 0.0;
  const bool negative = (n < 0) != (d < 0);
  const Integer a = abs(n), b = abs(d);
  // q = floor(a * 2^s / b) with 63 or 64 bits, its lowest bit set when the division is inexact:
  // the conversion to double then rounds as the exact quotient would.
  const long s = 63 - (static_cast<long>(msb(a)) - static_cast<long>(msb(b)));
  Integer q, r;
  if (s >= 0) {
    divide_qr(Integer(a << static_cast<unsigned>(s)), b, q, r);
  } else {
    divide_qr(a, Integer(b << static_cast<unsigned>(-s)), q, r);
  }
  std::uint64_t bits = q.convert_to<std::uint64_t>();
  if (r != 0) bits |= 1u;
  const double v = std::ldexp(static_cast<double>(bits), static_cast<int>(e - s));
  return negative ? -v : v;
}

// The crossing point of the segments pq and cd, which cross at one point inside both, each
// coordinate rounded to the nearest double. Computed exactly: every coordinate is an integer
// multiple of 2^low, the lowest unit among them.
std::array<double, 2> rounded_crossing(const LibraryPoint& p, const LibraryPoint& q, const LibraryPoint& c,
                                       const LibraryPoint& d) {
  const double coordinates[8] = {p.x(), p.y(), q.x(), q.y(), c.x(), c.y(), d.x(), d.y()};
  long low = 0;
  bool any = false;
  for (const double v : coordinates) {
    if (v == 0.0) continue;
    int e = 0;
    std::frexp(v, &e);
    low = any ? std::min(low, static_cast<long>(e) - 53) : static_cast<long>(e) - 53;
    any = true;
  }
  Integer k[8];
  for (int i = 0; i < 8; ++i) {
    const double v = coordinates[i];
    if (v == 0.0) continue;
    int e = 0;
    const double f = std::frexp(v, &e);
    const auto mantissa = static_cast<std::int64_t>(std::ldexp(f, 53));  // exact: 53 bits
    k[i] = Integer(mantissa) << static_cast<unsigned>(e - 53 - low);
  }
  const Integer &px = k[0], &py = k[1], &qx = k[2], &qy = k[3], &cx = k[4], &cy = k[5], &dx = k[6], &dy = k[7];
  // p + t (q - p) with t = cross(c - p, d - c) / cross(q - p, d - c).
  const Integer ex = dx - cx, ey = dy - cy;
  const Integer num = (cx - px) * ey - (cy - py) * ex;
  const Integer den = (qx - px) * ey - (qy - py) * ex;
  check(den != 0, "crossing constraint edges are not parallel");
  return {nearest_double(px * den + (qx - px) * num, den, low), nearest_double(py * den + (qy - py) * num, den, low)};
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
    if (id >= by_id.size()) fault(kIndexOutOfRange);
    return by_id[id];
  }

  std::uint64_t next_id() {
    if (by_id.size() >= kMostElements) fault(kTooMany);
    return by_id.size();
  }

  // Makes the segment between two vertices a constraint edge; the caller has made sure it crosses
  // no constraint edge (it may pass through vertices and along constraint edges).
  void constrain(VertexHandle va, VertexHandle vb) {
    const std::size_t before = cdt.number_of_vertices();
    try {
      cdt.insert_constraint(va, vb);
    } catch (const Cdt::Intersection_of_constraints_exception&) {
      fault("a constraint edge handed to the triangulation crosses none");
    }
    check(cdt.number_of_vertices() == before, "every vertex of the triangulation has an id");
  }

  // Where the segment from `from` towards some vertex first crosses a constraint edge (c, d),
  // `from` being the last vertex on the segment before it. `face` is valid until the triangulation
  // changes.
  struct Crossing {
    VertexHandle from, c, d;
    FaceHandle face;
  };

  // The first constraint edge that the segment between two vertices crosses at a point that is not
  // a vertex. It walks from va towards vb through the faces the segment crosses, hopping over the
  // vertices that lie on it.
  std::optional<Crossing> first_crossing(VertexHandle va, VertexHandle vb) const {
    if (cdt.dimension() < 2) return std::nullopt;  // all on one line: constraints can only overlap
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
      const auto crossing = [&](FaceHandle g, int side) {
        return Crossing{v, g->vertex(Cdt::cw(side)), g->vertex(Cdt::ccw(side)), g};
      };
      const LibraryPoint& pa = v->point();
      Cdt::Line_face_circulator current(v, &cdt, pb);
      int ind = current->index(v);
      if (current->is_constrained(ind)) return crossing(current, ind);
      FaceHandle previous = current;
      ++current;
      ind = current->index(previous);
      VertexHandle next = current->vertex(ind);
      while (next != vb) {
        const CGAL::Orientation o = cdt.geom_traits().orientation_2_object()(pa, pb, next->point());
        if (o == CGAL::COLLINEAR) break;  // the segment passes through `next`: go on from there
        const int crossed = o == CGAL::LEFT_TURN ? Cdt::ccw(ind) : Cdt::cw(ind);
        if (current->is_constrained(crossed)) return crossing(current, crossed);
        previous = current;
        ++current;
        ind = current->index(previous);
        next = current->vertex(ind);
      }
      v = next;
    }
    return std::nullopt;
  }

  bool crosses_constraint(VertexHandle va, VertexHandle vb) const { return first_crossing(va, vb).has_value(); }

  // The vertex where the segment from k.from to `to` and the constraint edge (k.c, k.d) that it
  // crosses are split. Where an end of one lies within a few units in the last place of the other
  // (a crossing at a shallow angle or next to a vertex), it is that end: nearly parallel pieces
  // then meet at their vertices instead of crossing each other over and over. Otherwise it is the
  // crossing point rounded to doubles: the vertex there or within a few units in the last place of
  // it, else a new vertex with the height `crossing_height` gives. A refused position is a fault
  // before the library sees it.
  VertexHandle crossing_vertex(const Crossing& k, VertexHandle to,
                               const std::function<double(double, double)>& crossing_height) {
    const LibraryPoint& p = k.from->point();
    const LibraryPoint& q = to->point();
    const LibraryPoint& c = k.c->point();
    const LibraryPoint& d = k.d->point();
    double magnitude = 0.0;
    for (const LibraryPoint* e : {&p, &q, &c, &d}) {
      magnitude = std::max({magnitude, std::fabs(e->x()), std::fabs(e->y())});
    }
    const double reach = std::ldexp(magnitude, kSnapExponent);
    VertexHandle best;
    double best_distance = reach;
    const auto consider = [&](VertexHandle w, const LibraryPoint& a, const LibraryPoint& b) {
      const double distance = distance_to_segment(w->point(), a, b);
      if (distance <= best_distance) {
        best = w;
        best_distance = distance;
      }
    };
    consider(k.c, p, q);
    consider(k.d, p, q);
    consider(k.from, c, d);
    consider(to, c, d);
    if (best != VertexHandle()) return best;

    const auto [x, y] = rounded_crossing(p, q, c, d);
    check_position(x, y);
    const LibraryPoint point(x + 0.0, y + 0.0);
    Cdt::Locate_type type{};
    int index = 0;
    const FaceHandle f = cdt.locate(point, type, index, k.face);
    if (type == Cdt::VERTEX) return f->vertex(index);
    if (const VertexHandle near = vertex_near(point, reach, f); near != VertexHandle()) return near;
    const std::uint64_t id = next_id();
    const double z = crossing_height ? crossing_height(x, y) : std::nan("");
    const VertexHandle v = cdt.insert(point, type, f, index);
    check(v->info().id == kNoVertex, "a crossing vertex is new");
    v->info() = VertexInfo{id, x, y, z};
    by_id.push_back(v);
    return v;
  }

  // The vertex nearest to p among those within `reach` of it in x and in y, or none: a walk over
  // the faces whose bounding boxes meet that square, from the face `start` that holds p.
  VertexHandle vertex_near(const LibraryPoint& p, double reach, FaceHandle start) const {
    const double x0 = p.x() - reach, x1 = p.x() + reach, y0 = p.y() - reach, y1 = p.y() + reach;
    VertexHandle best;
    double best_distance = 0.0;
    std::vector<FaceHandle> todo{start};
    std::set<FaceHandle> seen{start};
    while (!todo.empty()) {
      const FaceHandle f = todo.back();
      todo.pop_back();
      for (int i = 0; i < 3; ++i) {
        const VertexHandle v = f->vertex(i);
        if (cdt.is_infinite(v)) continue;
        const LibraryPoint& q = v->point();
        if (q.x() < x0 || q.x() > x1 || q.y() < y0 || q.y() > y1) continue;
        const double distance = std::hypot(q.x() - p.x(), q.y() - p.y());
        if (best == VertexHandle() || distance < best_distance) {
          best = v;
          best_distance = distance;
        }
      }
      for (int i = 0; i < 3; ++i) {
        const FaceHandle g = f->neighbor(i);
        if (cdt.is_infinite(g) || seen.count(g) != 0) continue;
        double gx0 = g->vertex(0)->point().x(), gx1 = gx0, gy0 = g->vertex(0)->point().y(), gy1 = gy0;
        for (int j = 1; j < 3; ++j) {
          const LibraryPoint& q = g->vertex(j)->point();
          gx0 = std::min(gx0, q.x());
          gx1 = std::max(gx1, q.x());
          gy0 = std::min(gy0, q.y());
          gy1 = std::max(gy1, q.y());
        }
        if (gx1 < x0 || gx0 > x1 || gy1 < y0 || gy0 > y1) continue;
        seen.insert(g);
        todo.push_back(g);
      }
    }
    return best;
  }

  // Takes the constraint off the edge (c, d) if there is one.
  void unconstrain(VertexHandle c, VertexHandle d) {
    FaceHandle f;
    int i = 0;
    if (cdt.is_edge(c, d, f, i) && f->is_constrained(i)) cdt.remove_constrained_edge(f, i);
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
    if (a >= n || b >= n) fault(kIndexOutOfRange);
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
    lib.constrain(va, vb);
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
  // The pieces still to add, each straight between two vertices: the constraint's own and those of
  // the constraint edges it crosses, split at the crossing vertices.
  std::vector<std::pair<VertexHandle, VertexHandle>> pieces{{va, vb}};
  // A constraint crosses each constraint edge at most once; splits of pieces that bend past a vertex
  // come on top but stay few. Far more than that is a fault, never an endless loop.
  const std::size_t most = 4 * lib.cdt.number_of_vertices() + 1024;
  std::size_t crossings = 0;
  while (!pieces.empty()) {
    const auto [u, v] = pieces.back();
    pieces.pop_back();
    if (u == v) continue;
    const std::optional<Library::Crossing> k = lib.first_crossing(u, v);
    if (!k) {
      lib.constrain(u, v);
      continue;
    }
    check(++crossings <= most, "the crossings of a constraint come to an end");
    const VertexHandle x = lib.crossing_vertex(*k, v, crossing_height);
    pieces.emplace_back(x, v);
    if (x != k->c && x != k->d) {
      lib.unconstrain(k->c, k->d);
      pieces.emplace_back(x, k->d);
      pieces.emplace_back(k->c, x);
    }
    pieces.emplace_back(k->from, x);
    pieces.emplace_back(u, k->from);
  }
}

bool ConstrainedTriangulation::try_add_constraint(std::uint64_t a, std::uint64_t b) {
  Library& lib = *library_;
  const VertexHandle va = lib.handle(a);
  const VertexHandle vb = lib.handle(b);
  if (va == vb) return true;
  if (lib.crosses_constraint(va, vb)) return false;
  lib.constrain(va, vb);
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
