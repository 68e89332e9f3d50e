#include "mesh/twostage/creases.hpp"

#include <algorithm>
#include <cmath>
#include <map>
#include <set>
#include <utility>

#include "base/fault.hpp"
#include "base/hashing.hpp"
#include "base/numeric.hpp"

namespace qm::mesh {

namespace {


// One side of a ring edge: the edge's point indices and the kind of the piece whose ring holds it.
struct EdgeSide {
  std::uint32_t lo = 0;
  std::uint32_t hi = 0;
  PieceOwner kind;
  friend auto operator<=>(const EdgeSide&, const EdgeSide&) = default;
  friend bool operator==(const EdgeSide&, const EdgeSide&) = default;
};

using PlanePair = std::pair<std::uint32_t, std::uint32_t>;
using KeyEdge = std::pair<PointKey, PointKey>;

bool planes_crease(const PlaneMap& planes, PlanePair pair) {
  const Plane& p1 = face_plane(planes, pair.first);
  const Plane& p2 = face_plane(planes, pair.second);
  double cos = ((p1.a * p2.a + p1.b * p2.b) + 1.0) / std::sqrt(p1.a * p1.a + p1.b * p1.b + 1.0) /
               std::sqrt(p2.a * p2.a + p2.b * p2.b + 1.0);
  if (std::isnan(cos) || cos > 1.0) cos = 1.0;
  return std::acos(cos) * kDegreesPerRadian > kCreaseDegrees;
}

// Chains the crease edges of one plane pair into lines, appending those of positive plan length.
void chain_pair(const std::vector<KeyEdge>& edges, const std::map<PointKey, std::array<double, 3>>& positions,
                std::vector<CreaseLine>& out) {
  std::map<PointKey, std::set<PointKey>> neighbours;
  for (const auto& [u, v] : edges) {
    neighbours[u].insert(v);
    neighbours[v].insert(u);
  }
  std::vector<PointKey> starts;
  for (const auto& [p, set] : neighbours)
    if (set.size() != 2) starts.push_back(p);
  if (starts.empty()) starts.push_back(neighbours.begin()->first);
  for (const auto& [p, _] : neighbours) starts.push_back(p);

  std::set<KeyEdge> used;
  auto edge = [](const PointKey& a, const PointKey& b) { return a < b ? KeyEdge{a, b} : KeyEdge{b, a}; };
  for (const PointKey& s : starts) {
    for (const PointKey& n : neighbours.at(s)) {
      if (used.contains(edge(s, n))) continue;
      std::vector<PointKey> line{s, n};
      used.insert(edge(s, n));
      for (;;) {
        const PointKey c = line.back();
        const std::set<PointKey>& around = neighbours.at(c);
        if (around.size() != 2 || c == s) break;
        const auto next = std::find_if(around.begin(), around.end(),
                                       [&](const PointKey& m) { return !used.contains(edge(c, m)); });
        if (next == around.end()) break;
        used.insert(edge(c, *next));
        line.push_back(*next);
      }
      CreaseLine crease;
      crease.points.reserve(line.size());
      double length = 0.0;
      for (const PointKey& k : line) {
        const auto it = positions.find(k);
        check(it != positions.end(), "no entry found for key");
        if (!crease.points.empty()) {
          const auto& prev = crease.points.back();
          length += std::hypot(it->second[0] - prev[0], it->second[1] - prev[1]);
        }
        crease.points.push_back(it->second);
      }
      if (length > 0.0) out.push_back(std::move(crease));
    }
  }
}

}  // namespace

CreaseSet twostage_creases(const RefinePoints& work, const FacePieces& pieces) {
  CreaseSet result;

  // Point indices: positions in the ascending key list, found by bisection.
  using Entry = const std::pair<const PointKey, std::array<double, 3>>*;
  std::vector<Entry> entries;
  entries.reserve(pieces.points.size());
  for (const auto& entry : pieces.points) entries.push_back(&entry);
  auto index_of = [&](const PointKey& key) {
    const auto it = std::lower_bound(entries.begin(), entries.end(), key,
                                     [](Entry e, const PointKey& k) { return e->first < k; });
    check(it != entries.end() && (*it)->first == key, "no entry found for key");
    return static_cast<std::uint32_t>(it - entries.begin());
  };

  std::size_t ring_edges = 0;
  for (const FacePiece& piece : pieces.pieces) ring_edges += piece.ring.size();
  std::vector<EdgeSide> sides;
  sides.reserve(ring_edges);
  for (const FacePiece& piece : pieces.pieces) {
    const std::size_t n = piece.ring.size();
    for (std::size_t i = 0; i < n; ++i) {
      const PointKey& p = piece.ring[(i + n - 1) % n];
      const PointKey& q = piece.ring[i];
      if (p == q) continue;
      const std::uint32_t a = index_of(p);
      const std::uint32_t b = index_of(q);
      sides.push_back({std::min(a, b), std::max(a, b), piece.owner});
    }
  }
  if (sides.empty()) return result;
  std::sort(sides.begin(), sides.end());
  sides.erase(std::unique(sides.begin(), sides.end()), sides.end());

  std::map<PlanePair, bool> decided;
  std::map<PlanePair, std::vector<KeyEdge>> crease_edges;
  for (std::size_t i = 0; i < sides.size();) {
    std::size_t j = i + 1;
    while (j < sides.size() && sides[j].lo == sides[i].lo && sides[j].hi == sides[i].hi) ++j;
    const bool candidate = j - i == 2 && sides[i].kind.kind == PieceOwner::Kind::Face &&
                           sides[i + 1].kind.kind == PieceOwner::Kind::Face;
    if (candidate) {
      const PlanePair pair{static_cast<std::uint32_t>(sides[i].kind.value),
                           static_cast<std::uint32_t>(sides[i + 1].kind.value)};
      auto known = decided.find(pair);
      if (known == decided.end()) known = decided.emplace(pair, planes_crease(work.planes, pair)).first;
      if (known->second) {
        auto on_both_planes = [&](std::uint32_t point) {
          const auto& [x, y, z] = entries[point]->second;
          return std::fabs(plane_height(work.planes, pair.first, x, y) - z) <= kCreasePlaneTolerance &&
                 std::fabs(plane_height(work.planes, pair.second, x, y) - z) <= kCreasePlaneTolerance;
        };
        if (on_both_planes(sides[i].lo) && on_both_planes(sides[i].hi))
          crease_edges[pair].emplace_back(entries[sides[i].lo]->first, entries[sides[i].hi]->first);
      }
    }
    i = j;
  }

  for (const auto& [pair, edges] : crease_edges) chain_pair(edges, pieces.points, result.lines);
  return result;
}

}  // namespace qm::mesh
