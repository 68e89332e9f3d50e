#include "mesh/faces/refine_points.hpp"

#include <algorithm>
#include <cmath>
#include <limits>

#include "mesh/grid/dense_table.hpp"
#include "mesh/grid/plane.hpp"

#include "base/fault.hpp"
#include "base/numeric.hpp"

namespace qm::mesh {

HalfUnitKey half_unit_key(double x, double y) {
  return {saturate<std::int64_t>(round_half_away(2.0 * x)), saturate<std::int64_t>(round_half_away(2.0 * y))};
}

bool add_point(RefinePoints& points, double x, double y, double h) {
  const auto [it, inserted] = points.point_keys.try_emplace(half_unit_key(x, y), points.xs.size());
  if (!inserted) return false;
  const std::size_t n = it->second;
  try {
    points.xs.push_back(x);
    points.ys.push_back(y);
    points.hs.push_back(h);
    points.point_faces.emplace_back();
  } catch (...) {
    // Keep the columns and the key map in step when memory runs out half way.
    points.point_keys.erase(it);
    points.xs.resize(n);
    points.ys.resize(n);
    points.hs.resize(n);
    points.point_faces.resize(n);
    throw;
  }
  return true;
}

std::uint32_t next_face_id(RefinePoints& points) {
  check(points.last_face_id < kNoFace - 1, "face ids are used up");
  return ++points.last_face_id;
}

namespace {

constexpr double kStepLimit = 64.000000001;

struct Group {
  PatchPlane plane;
  std::vector<std::uint64_t> members;
};

// Union-find over group numbers with path halving.
struct GroupSets {
  std::vector<std::uint32_t> parent;
  std::uint32_t root(std::uint32_t g) {
    while (parent[g] != g) {
      parent[g] = parent[parent[g]];
      g = parent[g];
    }
    return g;
  }
};

bool groups_agree(const RefinePoints& pts, const Group& g1, const Group& g2) {
  auto agree_at = [&](std::uint64_t p) {
    const double d = std::fabs(g1.plane.height(pts.xs[p], pts.ys[p]) - g2.plane.height(pts.xs[p], pts.ys[p]));
    return d <= 0.05;  // NaN fails
  };
  for (std::uint64_t p : g1.members)
    if (!agree_at(p)) return false;
  for (std::uint64_t p : g2.members)
    if (!agree_at(p)) return false;
  return true;
}

// Which half-unit keys of the levels' samples were met already: a dense table over their box
// when it is not much larger than the samples, else a hash set.
class FirstSeen {
 public:
  explicit FirstSeen(const std::vector<Level>& levels) {
    std::uint64_t count = 0;
    std::int64_t x0 = std::numeric_limits<std::int64_t>::max(), x1 = std::numeric_limits<std::int64_t>::min();
    std::int64_t y0 = x0, y1 = x1;
    for (const Level& level : levels) {
      count += level.keys.size();
      for (const LatticeKey& key : level.keys) {
        const HalfUnitKey k = half_unit_key(key.first * level.step, key.second * level.step);
        x0 = std::min(x0, k.first);
        x1 = std::max(x1, k.first);
        y0 = std::min(y0, k.second);
        y1 = std::max(y1, k.second);
      }
    }
    constexpr std::uint64_t kSideLimit = std::uint64_t{1} << 30;  // keeps the sizes below exact
    if (count == 0 || static_cast<std::uint64_t>(x1) - static_cast<std::uint64_t>(x0) >= kSideLimit ||
        static_cast<std::uint64_t>(y1) - static_cast<std::uint64_t>(y0) >= kSideLimit) {
      return;
    }
    if (!dense_table_fits(x1 - x0 + 1, y1 - y0 + 1, count)) return;
    x0_ = x0;
    y0_ = y0;
    h_ = y1 - y0 + 1;
    marks_.assign(static_cast<std::size_t>((x1 - x0 + 1) * h_), 0);
    dense_ = true;
  }
  // True when the key was not met before.
  bool insert(const HalfUnitKey& k) {
    if (!dense_) return others_.insert(k).second;
    std::uint8_t& mark = marks_[static_cast<std::size_t>((k.first - x0_) * h_ + (k.second - y0_))];
    if (mark != 0) return false;
    mark = 1;
    return true;
  }

 private:
  bool dense_ = false;
  std::int64_t x0_ = 0, y0_ = 0, h_ = 0;
  std::vector<std::uint8_t> marks_;
  HashSet<HalfUnitKey> others_;
};

// The position of the finest level's sample at the lattice key (ci, cj), or -1.
std::int64_t fine_position(const Level& fine, double ci, double cj) {
  const auto it = fine.index.find(LatticeKey{saturate<std::int32_t>(ci), saturate<std::int32_t>(cj)});
  if (it == fine.index.end()) return -1;
  check(it->second < fine.heights.size(), "a sample position is in range");
  return it->second;
}

// A sample whose finest height is not finite, with its key on the finest lattice.
struct Hole {
  double x, y;
  std::int64_t ci, cj;
};

// Adds the levels' samples, each once, with the finest level's height, and gives back the ones
// whose height is not finite.
std::vector<Hole> add_samples(RefinePoints& pts, const std::vector<Level>& levels) {
  const Level& fine = levels.back();
  const double sf = fine.step;
  std::vector<Hole> holes;
  {
    const std::size_t expected = fine.keys.size();
    pts.point_keys.reserve(expected);
    pts.xs.reserve(expected);
    pts.ys.reserve(expected);
    pts.hs.reserve(expected);
    pts.point_faces.reserve(expected);
  }
  FirstSeen seen(levels);
  for (const Level& level : levels) {
    for (const LatticeKey& key : level.keys) {
      const double x = key.first * level.step;
      const double y = key.second * level.step;
      if (!seen.insert(half_unit_key(x, y))) continue;
      const std::int32_t ci = saturate<std::int32_t>(round_half_away(x / sf));
      const std::int32_t cj = saturate<std::int32_t>(round_half_away(y / sf));
      const std::int64_t at = fine_position(fine, ci, cj);
      if (at < 0) continue;
      const double h = fine.heights[static_cast<std::size_t>(at)];
      if (std::isfinite(h)) {
        add_point(pts, x, y, h);
      } else {
        holes.push_back(Hole{x, y, ci, cj});
      }
    }
  }
  return holes;
}

// Holes take the mean of the nearest ring of finite neighbours, never beyond 64 units.
void fill_holes(RefinePoints& pts, const Level& fine, const std::vector<Hole>& holes) {
  const double sf = fine.step;
  if (holes.empty() || !(sf <= kStepLimit)) return;
  static constexpr int kRing[8][2] = {{-1, -1}, {-1, 0}, {-1, 1}, {0, -1}, {0, 1}, {1, -1}, {1, 0}, {1, 1}};
  for (const Hole& hole : holes) {
    for (std::int64_t k = 1; static_cast<double>(k) * sf <= kStepLimit; k *= 2) {
      double sum = 0.0;
      std::uint32_t count = 0;
      for (const auto& o : kRing) {
        const std::int64_t at = fine_position(fine, static_cast<double>(hole.ci + o[0] * k),
                                              static_cast<double>(hole.cj + o[1] * k));
        if (at < 0) continue;
        const double h = fine.heights[static_cast<std::size_t>(at)];
        if (!std::isfinite(h)) continue;
        sum += h;
        count += 1;
      }
      if (count > 0) {
        add_point(pts, hole.x, hole.y, sum / count);
        break;
      }
    }
  }
}

// A point and one of its groups.
struct PointGroup {
  std::uint64_t point;
  std::uint32_t group;
};

// Groups, one per patch label of every level, with the points each explains; and the (point,
// group) pair of every member, sorted and each once, so that a point's groups are a run,
// ascending.
void gather_groups(const RefinePoints& pts, const std::vector<Level>& levels, std::vector<Group>& groups,
                   std::vector<PointGroup>& point_groups) {
  for (const Level& level : levels) {
    check(level.matched.size() == level.keys.size(), "a level's columns have one length");
    std::vector<std::uint32_t> labels;
    for (std::uint32_t m : level.matched)
      if (m < 0x80000000u) labels.push_back(m);
    std::sort(labels.begin(), labels.end());
    labels.erase(std::unique(labels.begin(), labels.end()), labels.end());
    check(groups.size() + labels.size() < kNoFace, "group numbers fit 32 bits");
    HashMap<std::uint32_t, std::uint32_t> group_of;
    group_of.reserve(labels.size());
    for (std::uint32_t label : labels) {
      check(label < level.patches.size(), "a patch label is in range");
      group_of.emplace(label, static_cast<std::uint32_t>(groups.size()));
      groups.push_back(Group{level.patches[label], {}});
    }
    for (std::size_t k = 0; k < level.keys.size(); ++k) {
      const std::uint32_t m = level.matched[k];
      if (m >= 0x80000000u) continue;
      const auto g = group_of.find(m);
      if (g == group_of.end()) fault("no entry found for key");
      const auto p = pts.point_keys.find(half_unit_key(level.keys[k].first * level.step, level.keys[k].second * level.step));
      if (p == pts.point_keys.end()) continue;
      groups[g->second].members.push_back(p->second);
      point_groups.push_back(PointGroup{p->second, g->second});
    }
  }
  std::sort(point_groups.begin(), point_groups.end(), [](const PointGroup& a, const PointGroup& b) {
    return a.point != b.point ? a.point < b.point : a.group < b.group;
  });
  point_groups.erase(std::unique(point_groups.begin(), point_groups.end(),
                                 [](const PointGroup& a, const PointGroup& b) {
                                   return a.point == b.point && a.group == b.group;
                                 }),
                     point_groups.end());
}

// Calls f(point, first, last) for each point with groups, in point order, over its run.
template <typename F>
void each_point(const std::vector<PointGroup>& point_groups, F&& f) {
  for (std::size_t k = 0; k < point_groups.size();) {
    std::size_t e = k + 1;
    while (e < point_groups.size() && point_groups[e].point == point_groups[k].point) ++e;
    f(point_groups[k].point, k, e);
    k = e;
  }
}

// Merges the groups that share a point and whose planes agree at all their members.
GroupSets merge_agreeing_groups(const RefinePoints& pts, const std::vector<Group>& groups,
                                const std::vector<PointGroup>& point_groups) {
  GroupSets sets;
  sets.parent.resize(groups.size());
  for (std::uint32_t g = 0; g < groups.size(); ++g) sets.parent[g] = g;
  HashSet<std::pair<std::uint32_t, std::uint32_t>> tested;
  each_point(point_groups, [&](std::uint64_t, std::size_t first, std::size_t last) {
    for (std::size_t a = first; a != last; ++a) {
      for (std::size_t b = a + 1; b != last; ++b) {
        const std::uint32_t g1 = point_groups[a].group, g2 = point_groups[b].group;
        if (tested.contains({g1, g2})) continue;
        if (sets.root(g1) == sets.root(g2)) continue;
        tested.insert({g1, g2});
        if (groups_agree(pts, groups[g1], groups[g2])) {
          const std::uint32_t r1 = sets.root(g1);
          const std::uint32_t r2 = sets.root(g2);
          sets.parent[r2] = r1;
        }
      }
    }
  });
  return sets;
}

// A face's plane: fitted to its members when they spread in two directions, else the plane of
// its first group's patch.
Plane face_plane(const RefinePoints& pts, const std::vector<std::uint64_t>& members, const PatchPlane& first) {
  double mx = 0.0, my = 0.0;
  for (std::uint64_t p : members) {
    mx += pts.xs[p];
    my += pts.ys[p];
  }
  mx /= static_cast<double>(members.size());
  my /= static_cast<double>(members.size());
  double sxx = 0.0, syy = 0.0, sxy = 0.0;
  for (std::uint64_t p : members) {
    const double dx = pts.xs[p] - mx;
    const double dy = pts.ys[p] - my;
    sxx += dx * dx;
    syy += dy * dy;
    sxy += dx * dy;
  }
  if (members.size() >= 3 && (sxx + syy) * (sxx + syy) * 1e-12 < sxx * syy - sxy * sxy) {
    return fit_face_plane(pts.xs, pts.ys, pts.hs, members).plane;
  }
  return Plane{first.c - first.a * first.x0 - first.b * first.y0, first.a, first.b};
}

// Faces: one per set of groups with members, named by the set's representative. Gives back the
// largest face id.
std::uint32_t add_faces(RefinePoints& pts, const std::vector<Group>& groups, GroupSets& sets) {
  std::map<std::uint32_t, std::vector<std::uint32_t>> face_groups;  // root -> its groups, ascending
  for (std::uint32_t g = 0; g < groups.size(); ++g) {
    if (groups[g].members.empty()) continue;
    face_groups[sets.root(g)].push_back(g);
  }
  std::uint32_t largest = 0;
  for (const auto& [id, gs] : face_groups) {
    std::vector<std::uint64_t> members;
    for (std::uint32_t g : gs) members.insert(members.end(), groups[g].members.begin(), groups[g].members.end());
    std::sort(members.begin(), members.end());
    members.erase(std::unique(members.begin(), members.end()), members.end());
    pts.planes[id] = face_plane(pts, members, groups[gs.front()].plane);
    pts.members[id] = std::move(members);
    largest = std::max(largest, id);
  }
  return largest;
}

// Each point's faces, ascending and each once.
void add_point_faces(RefinePoints& pts, const std::vector<PointGroup>& point_groups, GroupSets& sets) {
  each_point(point_groups, [&](std::uint64_t point, std::size_t first, std::size_t last) {
    auto& faces = pts.point_faces[point];
    for (std::size_t k = first; k != last; ++k) faces.push_back(sets.root(point_groups[k].group));
    std::sort(faces.begin(), faces.end());
    faces.erase(std::unique(faces.begin(), faces.end()), faces.end());
  });
}

}  // namespace

RefinePoints build_refine_points(const RefineOrigin& origin, const CellGrid& cell_grid,
                                 const std::vector<Level>& levels) {
  RefinePoints pts;
  pts.cell_grid = cell_grid;
  pts.origin_x = origin.x;
  pts.origin_y = origin.y;
  pts.radius = origin.radius;
  pts.last_face_id = kFirstGrownFaceBase;
  if (levels.empty()) return pts;

  const std::vector<Hole> holes = add_samples(pts, levels);
  fill_holes(pts, levels.back(), holes);
  std::vector<Group> groups;
  std::vector<PointGroup> point_groups;
  gather_groups(pts, levels, groups, point_groups);
  GroupSets sets = merge_agreeing_groups(pts, groups, point_groups);
  const std::uint32_t largest = add_faces(pts, groups, sets);
  add_point_faces(pts, point_groups, sets);
  // Grown faces take ids above every id in use.
  pts.last_face_id = std::max(kFirstGrownFaceBase, largest);
  return pts;
}

}  // namespace qm::mesh
