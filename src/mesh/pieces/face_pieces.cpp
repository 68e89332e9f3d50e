// The face pieces: cut (triangles into polygons on one face each), linear (loose triangles into
// groups on a common plane) and split (points on a polygon's edges inserted into them).
#include "mesh/pieces/face_pieces.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <utility>

#include "base/fault.hpp"
#include "base/numeric.hpp"
#include "base/span.hpp"
#include "mesh/grid/dense_table.hpp"
#include "mesh/pieces/face_pieces_stages.hpp"

namespace qm::mesh {

namespace face_pieces_stages {

namespace {

constexpr std::uint32_t kNoPoint = std::numeric_limits<std::uint32_t>::max();

void check_sample(const RefinePoints& work, std::uint64_t i) {
  check_index(i < work.xs.size() && i < work.ys.size() && i < work.hs.size());
}

// The points of the cut by key, each numbered once; the first value given for a key stays.
class PointStore {
 public:
  PointStore(const RefinePoints& work, PieceWork& out) : work_(work), out_(out) {
    sample_ids_.assign(std::min({work.xs.size(), work.ys.size(), work.hs.size()}), kNoPoint);
  }

  // Sample i, with its position and height.
  std::uint32_t sample(std::uint64_t i) {
    check_sample(work_, i);
    std::uint32_t& id = sample_ids_[i];
    if (id == kNoPoint) id = add(PointKey::sample(i), {work_.xs[i], work_.ys[i], work_.hs[i]});
    return id;
  }

  // The point on the edge a-b where the planes of faces A and B cross (an end of the edge when the
  // crossing is at or within 0.02 of it, or the planes are within 0.05 there).
  std::uint32_t crossing(std::uint64_t a, std::uint64_t b, std::uint32_t face_a, std::uint32_t face_b) {
    check_sample(work_, a);
    check_sample(work_, b);
    const double xa = work_.xs[a], ya = work_.ys[a], xb = work_.xs[b], yb = work_.ys[b];
    const double da = plane_height(work_, face_a, xa, ya) - plane_height(work_, face_b, xa, ya);
    const double db = plane_height(work_, face_a, xb, yb) - plane_height(work_, face_b, xb, yb);
    if (std::fabs(da) <= 0.05) return sample(a);
    if (std::fabs(db) <= 0.05) return sample(b);
    double t = da == db ? 0.5 : da / (da - db);
    if (t < 0.0) t = 0.0;
    if (t > 1.0) t = 1.0;
    const double length = std::hypot(xb - xa, yb - ya);
    if (t * length <= 0.02) return sample(a);
    if ((1.0 - t) * length <= 0.02) return sample(b);
    const PointKey key = PointKey::crossing(a, b);
    const auto [it, fresh] = crossing_ids_.try_emplace(std::pair{key.first, key.second}, kNoPoint);
    if (fresh) {
      const double x = xa + t * (xb - xa);
      const double y = ya + t * (yb - ya);
      it->second = add(key, {x, y, plane_height(work_, face_a, x, y)});
    }
    return it->second;
  }

  // The junction point of triangle t (one per triangle).
  std::uint32_t junction(std::uint64_t t, const std::array<double, 3>& value) { return add(PointKey::junction(t), value); }

 private:
  std::uint32_t add(const PointKey& key, const std::array<double, 3>& value) {
    check(out_.keys.size() < kNoPoint, "point numbers fit 32 bits");
    out_.keys.push_back(key);
    out_.values.push_back(value);
    return static_cast<std::uint32_t>(out_.keys.size() - 1);
  }

  const RefinePoints& work_;
  PieceWork& out_;
  std::vector<std::uint32_t> sample_ids_;
  HashMap<std::pair<std::uint64_t, std::uint64_t>, std::uint32_t> crossing_ids_;
};

// Appends the ring without cyclic repeats as a piece of the owner, unless fewer than three points
// are left.
void add_piece(PieceWork& out, PieceOwner owner, const std::uint32_t* ring, std::size_t n) {
  if (n == 0) return;
  std::size_t p = 0;
  while (p < n && ring[p] == ring[(p + n - 1) % n]) ++p;
  if (p == n) return;  // all points equal
  const std::size_t start = out.ring_ids.size();
  out.ring_ids.push_back(ring[p]);
  for (std::size_t j = p + 1; j < n; ++j) {
    if (ring[j] != ring[j - 1]) out.ring_ids.push_back(ring[j]);
  }
  if (out.ring_ids.size() - start < 3) {
    out.ring_ids.resize(start);
    return;
  }
  out.owners.push_back(owner);
  out.ring_starts.push_back(out.ring_ids.size());
}

}  // namespace

PieceWork cut(const RefinePoints& work, const FaceSet& faces) {
  SpanTimer span("faces.pieces.cut");
  const std::size_t count = std::min({faces.triangles.size(), faces.triangle_kinds.size(), faces.triangle_faces.size()});
  PieceWork out;
  out.owners.reserve(count + count / 4);
  out.ring_starts.reserve(count + count / 4 + 1);
  out.ring_starts.push_back(0);
  out.ring_ids.reserve(3 * count + count / 2);
  PointStore store(work, out);
  for (std::size_t i = 0; i < count; ++i) {
    const auto& tri = faces.triangles[i];
    for (const std::uint64_t p : tri) check_sample(work, p);
    const TriangleFaces& tf = faces.triangle_faces[i];
    std::array<std::uint64_t, 3> v = tri;
    std::array<std::uint32_t, 3> f = tf.faces;
    const double xa = work.xs[v[0]], ya = work.ys[v[0]];
    if ((work.ys[v[1]] - ya) * (work.xs[v[2]] - xa) > (work.xs[v[1]] - xa) * (work.ys[v[2]] - ya)) {
      std::swap(v[1], v[2]);
      std::swap(f[1], f[2]);
    }
    switch (faces.triangle_kinds[i]) {
      case TriangleKind::Faceless:
      case TriangleKind::Unexplained: {
        const std::uint32_t ring[3] = {store.sample(v[0]), store.sample(v[1]), store.sample(v[2])};
        add_piece(out, PieceOwner::loose(i), ring, 3);
        break;
      }
      case TriangleKind::Flat: {
        if (!tf.present) fault("a flat triangle's face");
        const std::uint32_t ring[3] = {store.sample(v[0]), store.sample(v[1]), store.sample(v[2])};
        add_piece(out, PieceOwner::face(f[0]), ring, 3);
        break;
      }
      case TriangleKind::Crease: {
        if (!tf.present) fault("a crease's faces");
        const std::uint32_t lo = std::min({f[0], f[1], f[2]});
        const std::uint32_t hi = std::max({f[0], f[1], f[2]});
        std::uint32_t low[6], high[6];
        std::size_t nl = 0, nh = 0;
        for (int k = 0; k < 3; ++k) {
          const auto ku = static_cast<std::size_t>(k), next = static_cast<std::size_t>((k + 1) % 3);
          const std::uint32_t corner = store.sample(v[ku]);
          if (f[ku] == lo) {
            low[nl++] = corner;
          } else {
            high[nh++] = corner;
          }
          if (f[ku] != f[next]) {
            const std::uint32_t x = store.crossing(v[ku], v[next], lo, hi);
            low[nl++] = x;
            high[nh++] = x;
          }
        }
        add_piece(out, PieceOwner::face(lo), low, nl);
        add_piece(out, PieceOwner::face(hi), high, nh);
        break;
      }
      case TriangleKind::Junction: {
        if (!tf.present) fault("a junction's faces");
        const auto meet = planes_meet_in_triangle(work, tri, tf.faces);
        if (!meet) fault("a junction's point");
        const std::uint32_t j = store.junction(i, {meet->x, meet->y, plane_height(work, f[0], meet->x, meet->y)});
        const std::uint32_t x01 = store.crossing(v[0], v[1], f[0], f[1]);
        const std::uint32_t x12 = store.crossing(v[1], v[2], f[1], f[2]);
        const std::uint32_t x20 = store.crossing(v[2], v[0], f[2], f[0]);
        const std::uint32_t v0 = store.sample(v[0]);
        const std::uint32_t v1 = store.sample(v[1]);
        const std::uint32_t v2 = store.sample(v[2]);
        const std::uint32_t r0[4] = {v0, x01, j, x20}, r1[4] = {v1, x12, j, x01}, r2[4] = {v2, x20, j, x12};
        add_piece(out, PieceOwner::face(f[0]), r0, 4);
        add_piece(out, PieceOwner::face(f[1]), r1, 4);
        add_piece(out, PieceOwner::face(f[2]), r2, 4);
        break;
      }
    }
  }
  return out;
}

// Loose pieces joined, edge to edge, into groups whose corners lie within 0.05 of the plane through
// the group's first piece's first three corners.
void linear(PieceWork& pieces) {
  SpanTimer span("faces.pieces.linear");
  const std::size_t count = pieces.piece_count();
  std::vector<std::uint32_t> loose;
  for (std::size_t r = 0; r < count; ++r) {
    if (pieces.owners[r].kind == PieceOwner::Kind::Loose) loose.push_back(static_cast<std::uint32_t>(r));
  }
  if (loose.empty()) return;
  check(count < kNoPoint, "piece numbers fit 32 bits");
  // (edge, piece) for every edge of a loose ring, the edge as its two point numbers, smaller first.
  struct EdgeEntry {
    std::uint64_t edge;
    std::uint32_t piece;
  };
  auto edge_of = [](std::uint32_t a, std::uint32_t b) {
    return a < b ? (std::uint64_t{a} << 32) | b : (std::uint64_t{b} << 32) | a;
  };
  std::vector<EdgeEntry> by_edge;
  for (const std::uint32_t r : loose) {
    const std::size_t s = pieces.ring_starts[r], n = pieces.ring_starts[r + 1] - s;
    for (std::size_t j = 0; j < n; ++j) {
      by_edge.push_back(EdgeEntry{edge_of(pieces.ring_ids[s + (j + n - 1) % n], pieces.ring_ids[s + j]), r});
    }
  }
  std::sort(by_edge.begin(), by_edge.end(),
            [](const EdgeEntry& a, const EdgeEntry& b) { return a.edge != b.edge ? a.edge < b.edge : a.piece < b.piece; });

  constexpr std::uint64_t kNoGroup = std::numeric_limits<std::uint64_t>::max();
  std::vector<std::uint64_t> group(count, kNoGroup);
  std::vector<std::uint32_t> stack;
  const auto& at = pieces.values;
  for (const std::uint32_t r : loose) {
    if (group[r] != kNoGroup) continue;
    group[r] = r;
    const std::uint32_t* seed = &pieces.ring_ids[pieces.ring_starts[r]];
    const auto& p0 = at[seed[0]];
    const auto& p1 = at[seed[1]];
    const auto& p2 = at[seed[2]];
    const double x0 = p0[0], y0 = p0[1], h0 = p0[2];
    const double x1 = p1[0], y1 = p1[1], h1 = p1[2];
    const double x2 = p2[0], y2 = p2[1], h2 = p2[2];
    const double det = (x0 - x2) * (y1 - y2) + (y0 - y2) * (x2 - x1);
    if (std::fabs(det) < 1e-12) continue;
    const double a = (h0 * (y1 - y2) + h1 * (y2 - y0) + h2 * (y0 - y1)) / det;
    const double b = (h0 * (x2 - x1) + h1 * (x0 - x2) + h2 * (x1 - x0)) / det;
    const double c = h0 - a * x0 - b * y0;
    stack.assign(1, r);
    while (!stack.empty()) {
      const std::uint32_t q = stack.back();
      stack.pop_back();
      const std::size_t qs = pieces.ring_starts[q], qn = pieces.ring_starts[q + 1] - qs;
      for (std::size_t j = 0; j < qn; ++j) {
        const std::uint64_t edge = edge_of(pieces.ring_ids[qs + (j + qn - 1) % qn], pieces.ring_ids[qs + j]);
        auto it = std::lower_bound(by_edge.begin(), by_edge.end(), edge,
                                   [](const EdgeEntry& e, std::uint64_t key) { return e.edge < key; });
        for (; it != by_edge.end() && it->edge == edge; ++it) {
          const std::uint32_t s = it->piece;
          if (group[s] != kNoGroup) continue;
          bool on_plane = true;
          for (std::size_t k = pieces.ring_starts[s]; k < pieces.ring_starts[s + 1] && on_plane; ++k) {
            const auto& p = at[pieces.ring_ids[k]];
            on_plane = std::fabs(c + a * p[0] + b * p[1] - p[2]) <= 0.05;
          }
          if (!on_plane) continue;
          group[s] = r;
          stack.push_back(s);
        }
      }
    }
  }
  for (const std::uint32_t r : loose) pieces.owners[r] = PieceOwner::loose(group[r]);
}

namespace {


// The number of cells from lo to hi, both included (saturated).
std::int64_t extent(std::int64_t lo, std::int64_t hi) {
  const std::uint64_t d = static_cast<std::uint64_t>(hi) - static_cast<std::uint64_t>(lo);
  constexpr auto kMax = static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max());
  return d >= kMax ? std::numeric_limits<std::int64_t>::max() : static_cast<std::int64_t>(d) + 1;
}

struct CellEntry {
  std::uint32_t id;
  double x, y;
};

// The points of the rings by square cells: they only find candidates, so any cell size gives the
// same answers. Cells are as small as keeps about one point per cell (1 to 8 units); over a box
// with too few points for a dense table the cells are 8 units and hashed.
class CellIndex {
 public:
  CellIndex(const std::vector<std::uint32_t>& ids, const std::vector<std::array<double, 3>>& at) {
    const auto n = static_cast<std::uint64_t>(ids.size());
    if (n == 0) return;
    for (const double scale : {1.0, 0.5, 0.25, 0.125}) {
      scale_ = scale;
      std::int64_t cx0 = std::numeric_limits<std::int64_t>::max(), cx1 = std::numeric_limits<std::int64_t>::min();
      std::int64_t cy0 = cx0, cy1 = cx1;
      for (const std::uint32_t id : ids) {
        const std::int64_t cx = cell(at[id][0]), cy = cell(at[id][1]);
        cx0 = std::min(cx0, cx);
        cx1 = std::max(cx1, cx);
        cy0 = std::min(cy0, cy);
        cy1 = std::max(cy1, cy);
      }
      const std::int64_t w = extent(cx0, cx1), h = extent(cy0, cy1);
      if (dense_table_fits(w, h, n) && (w * h <= static_cast<std::int64_t>(n) || scale == 0.125)) {
        cx0_ = cx0;
        cy0_ = cy0;
        w_ = w;
        h_ = h;
        dense_ = true;
        break;
      }
    }
    // Entries sorted by cell; a cell's entries are a run.
    std::vector<std::pair<std::pair<std::int64_t, std::int64_t>, std::uint32_t>> sorted;
    sorted.reserve(ids.size());
    for (const std::uint32_t id : ids) sorted.push_back({{cell(at[id][0]), cell(at[id][1])}, id});
    std::sort(sorted.begin(), sorted.end());
    entries_.reserve(sorted.size());
    if (dense_) starts_.assign(static_cast<std::size_t>(w_ * h_) + 1, 0);
    for (std::size_t k = 0; k < sorted.size(); ++k) {
      const auto& [key, id] = sorted[k];
      entries_.push_back(CellEntry{id, at[id][0], at[id][1]});
      if (dense_) {
        starts_[slot(key.first, key.second) + 1] += 1;
      } else if (k == 0 || sorted[k - 1].first != key) {
        runs_.emplace(key, std::pair<std::uint32_t, std::uint32_t>{static_cast<std::uint32_t>(k), 1});
      } else {
        runs_[key].second += 1;
      }
    }
    if (dense_) {
      for (std::size_t s = 1; s < starts_.size(); ++s) starts_[s] += starts_[s - 1];
    }
  }

  // Every entry whose cell lies within one cell of the box of the two points.
  template <class F>
  void visit(double px, double py, double qx, double qy, F&& f) const {
    if (entries_.empty()) return;
    std::int64_t cx0 = saturating_add<std::int64_t>(cell(std::min(px, qx)), -1);
    std::int64_t cx1 = saturating_add<std::int64_t>(cell(std::max(px, qx)), 1);
    std::int64_t cy0 = saturating_add<std::int64_t>(cell(std::min(py, qy)), -1);
    std::int64_t cy1 = saturating_add<std::int64_t>(cell(std::max(py, qy)), 1);
    if (dense_) {
      cx0 = std::max(cx0, cx0_);
      cy0 = std::max(cy0, cy0_);
      cx1 = std::min(cx1, cx0_ + (w_ - 1));
      cy1 = std::min(cy1, cy0_ + (h_ - 1));
      if (cx0 > cx1 || cy0 > cy1) return;
      for (std::int64_t cx = cx0;; ++cx) {
        const std::size_t first = starts_[slot(cx, cy0)], last = starts_[slot(cx, cy1) + 1];
        for (std::size_t k = first; k < last; ++k) f(entries_[k]);
        if (cx == cx1) break;  // cx1 may be the largest number
      }
      return;
    }
    // A range wider than the table is searched through the table itself.
    const long double span_cells = (static_cast<long double>(cx1) - cx0 + 1) * (static_cast<long double>(cy1) - cy0 + 1);
    if (span_cells > static_cast<long double>(runs_.size())) {
      for (const auto& [key, run] : runs_) {
        if (key.first < cx0 || key.first > cx1 || key.second < cy0 || key.second > cy1) continue;
        for (std::uint32_t k = run.first; k < run.first + run.second; ++k) f(entries_[k]);
      }
      return;
    }
    for (std::int64_t cx = cx0;; ++cx) {
      for (std::int64_t cy = cy0;; ++cy) {
        const auto it = runs_.find({cx, cy});
        if (it != runs_.end()) {
          for (std::uint32_t k = it->second.first; k < it->second.first + it->second.second; ++k) f(entries_[k]);
        }
        if (cy == cy1) break;
      }
      if (cx == cx1) break;
    }
  }

 private:
  std::int64_t cell(double v) const { return saturate<std::int64_t>(std::floor(v * scale_)); }
  // Cells of one column are consecutive, so a column's range of cells is one run of entries.
  std::size_t slot(std::int64_t cx, std::int64_t cy) const {
    return static_cast<std::size_t>((cx - cx0_) * h_ + (cy - cy0_));
  }

  double scale_ = 0.125;
  bool dense_ = false;
  std::int64_t cx0_ = 0, cy0_ = 0, w_ = 0, h_ = 0;
  std::vector<CellEntry> entries_;
  std::vector<std::uint64_t> starts_;  // dense: per slot, its first entry; one more at the end
  HashMap<std::pair<std::int64_t, std::int64_t>, std::pair<std::uint32_t, std::uint32_t>> runs_;  // hashed
};

}  // namespace

// Every kept point that lies on a ring edge (within 0.001, strictly between its ends) becomes a
// vertex of that ring, in order along the edge.
void split(PieceWork& pieces) {
  SpanTimer span("faces.pieces.split");
  const auto& at = pieces.values;
  const auto& keys = pieces.keys;
  std::vector<std::uint32_t> used;
  {
    std::vector<std::uint8_t> in_use(keys.size(), 0);
    for (const std::uint32_t id : pieces.ring_ids) in_use[id] = 1;
    for (std::uint32_t id = 0; id < in_use.size(); ++id) {
      if (in_use[id]) used.push_back(id);
    }
  }
  const CellIndex cells(used, at);

  struct Hit {
    double t;
    std::uint32_t id;
  };
  std::vector<Hit> hits;
  std::vector<std::size_t> starts{0};
  starts.reserve(pieces.ring_starts.size());
  std::vector<std::uint32_t> ids;
  ids.reserve(pieces.ring_ids.size() + pieces.ring_ids.size() / 8);
  // The ring each point was last put in, plus one: whether the ring being built holds it.
  std::vector<std::size_t> in_ring(keys.size(), 0);
  for (std::size_t r = 0; r < pieces.piece_count(); ++r) {
    const std::uint32_t* old = &pieces.ring_ids[pieces.ring_starts[r]];
    const std::size_t n = pieces.ring_starts[r + 1] - pieces.ring_starts[r];
    for (std::size_t j = 0; j < n; ++j) in_ring[old[j]] = r + 1;
    for (std::size_t j = 0; j < n; ++j) {
      const std::uint32_t from = old[(j + n - 1) % n];
      const std::uint32_t to = old[j];
      const double px = at[from][0], py = at[from][1];
      const double qx = at[to][0], qy = at[to][1];
      const double dx = qx - px, dy = qy - py;
      const double length = std::hypot(dx, dy);
      hits.clear();
      if (length > 0.0) {
        cells.visit(px, py, qx, qy, [&](const CellEntry& e) {
          if (e.id == from || e.id == to) return;
          const double vx = e.x - px, vy = e.y - py;
          const double t = (dx * vx + dy * vy) / (length * length);
          const double dist = std::fabs(dx * vy - dy * vx) / length;
          if (dist < 0.001 && 1e-6 < t && t < 0.999999) hits.push_back(Hit{t, e.id});
        });
      }
      std::sort(hits.begin(), hits.end(), [&](const Hit& a, const Hit& b) {
        if (total_order_key(a.t) != total_order_key(b.t)) return total_order_less(a.t, b.t);
        return keys[a.id] < keys[b.id];
      });
      for (std::size_t h = 0; h < hits.size(); ++h) {
        if (h > 0 && hits[h].id == hits[h - 1].id) continue;
        // A key the ring already holds is never inserted again: it would make the ring non-simple.
        if (in_ring[hits[h].id] == r + 1) continue;
        in_ring[hits[h].id] = r + 1;
        ids.push_back(hits[h].id);
      }
      ids.push_back(to);
    }
    starts.push_back(ids.size());
  }
  pieces.ring_starts = std::move(starts);
  pieces.ring_ids = std::move(ids);
}

FacePieces finish(const PieceWork& pieces) {
  FacePieces out;
  out.pieces.reserve(pieces.piece_count());
  for (std::size_t r = 0; r < pieces.piece_count(); ++r) {
    FacePiece piece{pieces.owners[r], {}};
    piece.ring.reserve(pieces.ring_starts[r + 1] - pieces.ring_starts[r]);
    for (std::size_t k = pieces.ring_starts[r]; k < pieces.ring_starts[r + 1]; ++k) {
      piece.ring.push_back(pieces.keys[pieces.ring_ids[k]]);
    }
    out.pieces.push_back(std::move(piece));
  }
  std::vector<std::uint32_t> order(pieces.keys.size());
  for (std::uint32_t id = 0; id < order.size(); ++id) order[id] = id;
  std::sort(order.begin(), order.end(), [&](std::uint32_t a, std::uint32_t b) { return pieces.keys[a] < pieces.keys[b]; });
  for (const std::uint32_t id : order) out.points.emplace_hint(out.points.end(), pieces.keys[id], pieces.values[id]);
  return out;
}

}  // namespace face_pieces_stages

FacePieces faces_pieces(const RefinePoints& work, const FaceSet& faces) {
  SpanTimer span("faces.pieces");
  face_pieces_stages::PieceWork pieces = face_pieces_stages::cut(work, faces);
  face_pieces_stages::linear(pieces);
  face_pieces_stages::split(pieces);
  return face_pieces_stages::finish(pieces);
}

}  // namespace qm::mesh
