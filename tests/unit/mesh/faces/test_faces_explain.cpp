#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <random>
#include <set>
#include <vector>

#include "base/fault.hpp"
#include "mesh/grid/cell_grid.hpp"
#include "mesh/faces/faces.hpp"
#include "mesh/faces/refine_points.hpp"

namespace qm::mesh {
namespace {

struct Work {
  RefinePoints w;
  explicit Work(std::set<Cell> cells = {{0, 0}}) { w.cell_grid = lattice_from_cells(cells); }
  std::uint64_t point(double x, double y, double h) {
    EXPECT_TRUE(add_point(w, x, y, h));
    return w.xs.size() - 1;
  }
  void face(std::uint32_t id, Plane plane, const std::vector<std::uint64_t>& members) {
    w.planes[id] = plane;
    w.members[id] = members;
    for (const auto m : members) tag(m, id);
  }
  void tag(std::uint64_t p, std::uint32_t id) {
    auto& ids = w.point_faces[p];
    if (std::find(ids.begin(), ids.end(), id) == ids.end()) ids.insert(std::lower_bound(ids.begin(), ids.end(), id), id);
  }
  FaceSet build(std::uint8_t mode) {
    auto faces = faces_build(w, mode, {});
    EXPECT_TRUE(faces.has_value());
    return faces ? std::move(*faces) : FaceSet{};
  }
};

using Ids = std::vector<std::uint32_t>;

TEST(FacesSpread, FollowsChainsOfPointsOnThePlane) {
  // Two rows of points; face 5 (h = 0) starts at the first point. The column at x = 40 is off the
  // plane and blocks the way; a point exactly 0.05 off joins and passes the face on; a point with
  // a NaN height never joins.
  Work work;
  std::vector<std::uint64_t> bottom, top;
  for (int x = 0; x <= 64 - 8; x += 8) {
    const double wall = x == 40 ? 0.2 : 0.0;
    bottom.push_back(work.point(x, 1, x == 16 ? 0.05 : wall));
    top.push_back(work.point(x + 4, 9, x == 24 ? std::nan("") : wall));
  }
  work.face(5, Plane{0, 0, 0}, {bottom[0]});
  const FaceSet faces = work.build(kPieceMode);
  for (std::size_t i = 0; i < bottom.size(); ++i) {
    const int x = static_cast<int>(i) * 8;
    const Ids expected = x < 40 ? Ids{5} : Ids{};
    EXPECT_EQ(faces.point_candidates[bottom[i]], expected) << "bottom x " << x;
    const Ids expected_top = x < 40 && x != 24 ? Ids{5} : Ids{};
    EXPECT_EQ(faces.point_candidates[top[i]], expected_top) << "top x " << x;
  }
}

TEST(FacesSpread, PointsOutsideKeptTrianglesKeepTheirOwnFaces) {
  Work work;  // only cell (0, 0) is wanted
  const auto a = work.point(10, 10, 0), b = work.point(20, 10, 0), c = work.point(10, 20, 0);
  const auto far = work.point(200, 10, 0);  // its triangles lie over unwanted cells
  work.face(3, Plane{0, 0, 0}, {a});
  work.face(8, Plane{0, 0, 0}, {far});
  const FaceSet faces = work.build(kPieceMode);
  EXPECT_EQ(faces.point_candidates[b], (Ids{3}));
  EXPECT_EQ(faces.point_candidates[c], (Ids{3}));
  EXPECT_EQ(faces.point_candidates[far], (Ids{8}));
  EXPECT_EQ(faces.point_candidates[a], (Ids{3}));
}

TEST(FacesGrow, TwoFlatUncoveredTrianglesBecomeOneFace) {
  // On h = 3 + x/2 + y/4, with the fourth corner lifted: 0.04 joins, 0.06 does not.
  for (const auto& [lift, joins] : {std::pair{0.04, true}, std::pair{0.06, false}}) {
    Work work;
    const auto a = work.point(0, 0, 3), b = work.point(8, 0, 7), c = work.point(0, 8, 5);
    const auto d = work.point(8, 8, 9 + lift);
    const FaceSet faces = work.build(kRefineMode);
    ASSERT_EQ(faces.triangles.size(), 2u);
    if (joins) {
      EXPECT_EQ(work.w.last_face_id, kFirstGrownFaceBase + 1);
      const std::uint32_t id = kFirstGrownFaceBase + 1;
      ASSERT_TRUE(work.w.planes.contains(id));
      ASSERT_EQ(work.w.members.at(id).size(), 4u);
      EXPECT_EQ(std::set<std::uint64_t>(work.w.members.at(id).begin(), work.w.members.at(id).end()),
                (std::set<std::uint64_t>{a, b, c, d}));
      // Refitted over the four points: each misses the plane by lift / 4.
      EXPECT_NEAR(work.w.planes.at(id).height(8, 8), 9 + 0.75 * lift, 1e-9);
      for (auto p : {a, b, c, d}) EXPECT_EQ(work.w.point_faces[p], (Ids{id}));
      for (auto k : faces.triangle_kinds) EXPECT_EQ(k, TriangleKind::Flat);
    } else {
      EXPECT_EQ(work.w.last_face_id, kFirstGrownFaceBase);
      EXPECT_TRUE(work.w.planes.empty());
      for (auto k : faces.triangle_kinds) EXPECT_EQ(k, TriangleKind::Faceless);
    }
  }
}

TEST(FacesGrow, ARefitThatMissesKeepsThePreviousPlane) {
  // A strip of three squares; heights 0, 0, then 0.05 and -0.05 by columns: each point joins
  // within 0.05 of the flat plane of the first square. The refit over all eight points misses
  // the third column by 0.055, so the face keeps the flat plane.
  Work work;
  const double heights[4] = {0, 0, 0.05, -0.05};
  for (int col = 0; col < 4; ++col) {
    work.point(col * 8, 0, heights[col]);
    work.point(col * 8, 8, heights[col]);
  }
  const FaceSet faces = work.build(kRefineMode);
  const std::uint32_t id = kFirstGrownFaceBase + 1;
  ASSERT_EQ(work.w.last_face_id, id);
  EXPECT_EQ(work.w.members.at(id).size(), 8u);
  const Plane& plane = work.w.planes.at(id);
  EXPECT_EQ(plane.a, 0.0);
  EXPECT_EQ(plane.b, 0.0);
  EXPECT_EQ(plane.c, 0.0);
  for (auto k : faces.triangle_kinds) EXPECT_EQ(k, TriangleKind::Flat);
}

TEST(FacesGrow, ALoneTriangleMakesNoFaceAndPieceModeGrowsNothing) {
  Work lone;
  lone.point(0, 0, 0);
  lone.point(8, 0, 0);
  lone.point(0, 8, 0);
  const FaceSet one = lone.build(kRefineMode);
  EXPECT_TRUE(lone.w.planes.empty());
  EXPECT_EQ(one.triangle_kinds, (std::vector<TriangleKind>{TriangleKind::Faceless}));
  EXPECT_EQ(one.triangle_faces[0].present, 0u);

  Work square;
  square.point(0, 0, 0);
  square.point(8, 0, 0);
  square.point(0, 8, 0);
  square.point(8, 8, 0);
  square.build(kPieceMode);
  EXPECT_TRUE(square.w.planes.empty());
  EXPECT_EQ(square.w.last_face_id, kFirstGrownFaceBase);
}

TEST(FacesExplain, FlatTakesTheBestCommonFace) {
  Work work;
  const auto a = work.point(0, 0, 0), b = work.point(8, 0, 0), c = work.point(0, 8, 0);
  work.face(9, Plane{0, 0, 0}, {a, b, c});
  work.face(4, Plane{0, 0, 0}, {a, b, c});
  FaceSet faces = work.build(kPieceMode);
  EXPECT_EQ(faces.triangle_kinds[0], TriangleKind::Flat);
  EXPECT_EQ(faces.triangle_faces[0].present, 1u);
  EXPECT_EQ(faces.triangle_faces[0].faces, (std::array<std::uint32_t, 3>{4, 4, 4}));  // equal errors

  work.w.planes[4] = Plane{0.01, 0, 0};  // face 4 now misses by 0.01
  faces = work.build(kPieceMode);
  EXPECT_EQ(faces.triangle_faces[0].faces, (std::array<std::uint32_t, 3>{9, 9, 9}));
}

TEST(FacesExplain, CreaseWhenTheFacesLieOnOppositeSides) {
  // Corner 0 only on face 3, corners 1 and 2 only on face 5 (h = 0).
  for (const auto& [plane3, kind] : {std::pair{Plane{1, -0.25, -0.25}, TriangleKind::Crease},
                                     std::pair{Plane{1, 0, 0}, TriangleKind::Unexplained}}) {
    Work work;
    const auto a = work.point(0, 0, 1), b = work.point(8, 0, 0), c = work.point(0, 8, 0);
    work.face(3, plane3, {a});
    work.face(5, Plane{0, 0, 0}, {b, c});
    const FaceSet faces = work.build(kPieceMode);
    EXPECT_EQ(faces.triangle_kinds[0], kind);
    if (kind == TriangleKind::Crease) {
      EXPECT_EQ(faces.triangle_faces[0].faces, (std::array<std::uint32_t, 3>{3, 5, 5}));
    } else {
      EXPECT_EQ(faces.triangle_faces[0].present, 0u);
    }
  }
}

// Three planes through height 10 at (1.5, 1) with the slopes (0, 0), (3, 0) and (1, 2), one per
// corner of the triangle (0,0), (4,0), (0,4); each pair crosses the edge between its corners.
struct JunctionWork : Work {
  std::array<std::uint64_t, 3> corners;
  JunctionWork() {
    const double slopes[3][2] = {{0, 0}, {3, 0}, {1, 2}};
    const double px[3] = {0, 4, 0}, py[3] = {0, 0, 4};
    for (int k = 0; k < 3; ++k) {
      const double a = slopes[k][0], b = slopes[k][1];
      const Plane plane{10.0 - a * 1.5 - b * 1.0, a, b};
      corners[static_cast<std::size_t>(k)] = point(px[k], py[k], plane.height(px[k], py[k]));
      face(static_cast<std::uint32_t>(11 + k), plane, {corners[static_cast<std::size_t>(k)]});
    }
  }
};

TEST(FacesExplain, JunctionWhereThreePlanesMeetInside) {
  JunctionWork work;
  const FaceSet faces = work.build(kPieceMode);
  EXPECT_EQ(faces.triangle_kinds[0], TriangleKind::Junction);
  EXPECT_EQ(faces.triangle_faces[0].faces, (std::array<std::uint32_t, 3>{11, 12, 13}));
}

TEST(FacesExplain, ACreaseFoundLaterWinsOverAJunction) {
  // Corner 0 also carries face 13: the choice (11, 12, 13) passes as a junction first, then
  // (13, 12, 13) passes the crease test.
  JunctionWork work;
  work.tag(work.corners[0], 13);
  const FaceSet faces = work.build(kPieceMode);
  EXPECT_EQ(faces.triangle_kinds[0], TriangleKind::Crease);
  EXPECT_EQ(faces.triangle_faces[0].faces, (std::array<std::uint32_t, 3>{13, 12, 13}));
}

// A terrain of faces, creases, a bump and noise, with its starting faces in a given order.
Work rough_terrain(unsigned face_order_seed) {
  Work work({{0, 0}, {1, 0}, {0, 1}});
  auto height = [](double x, double y) {
    double h = 0.5 * std::fabs(x - 40) + 0.3 * y;                      // a valley along x = 40
    if (y > 70) h = 0.3 * 70 + 0.5 * std::fabs(x - 40) - 0.2 * (y - 70);  // a ridge across
    if (x > 90 && y < 40) h += 0.02 * std::sin(x * 1.7) * std::cos(y * 2.3) * 50;  // rough patch
    return h;
  };
  std::vector<std::uint64_t> pts;
  for (int x = 0; x <= 128; x += 4) {
    for (int y = 0; y <= 128; y += 4) {
      if (x >= 64 && y >= 64) continue;
      pts.push_back(work.point(x, y, height(x, y)));
    }
  }
  // Starting faces: the four planes, each over the points well inside its part, split in two
  // halves so that the merge has work to do.
  struct Part {
    std::uint32_t id;
    Plane plane;
    bool (*inside)(double, double);
  };
  const Part parts[] = {
      {1, Plane{20, -0.5, 0.3}, [](double x, double y) { return x < 36 && y < 66; }},
      {2, Plane{-20, 0.5, 0.3}, [](double x, double y) { return x > 44 && x < 88 && y < 66; }},
      {3, Plane{20 + 21 + 14, -0.5, -0.2}, [](double x, double y) { return x < 36 && y > 74; }},
      {4, Plane{-20 + 21 + 14, 0.5, -0.2}, [](double x, double y) { return x > 44 && y > 74; }},
  };
  std::vector<std::pair<std::uint32_t, std::vector<std::uint64_t>>> faces;
  for (const Part& part : parts) {
    std::vector<std::uint64_t> low, high;
    for (auto p : pts) {
      if (!part.inside(work.w.xs[p], work.w.ys[p])) continue;
      (work.w.ys[p] < 30 ? low : high).push_back(p);
    }
    if (!low.empty()) faces.emplace_back(part.id, low);
    if (!high.empty()) faces.emplace_back(part.id + 100, high);
  }
  std::mt19937 rng(face_order_seed);
  std::shuffle(faces.begin(), faces.end(), rng);
  for (const auto& [id, members] : faces) {
    const PlaneFit fit = fit_face_plane(work.w.xs, work.w.ys, work.w.hs, members);
    work.face(id, fit.plane, members);
  }
  return work;
}

// What every verdict means, checked against the candidates the build reports.
void expect_verdicts_hold(const RefinePoints& w, const FaceSet& faces) {
  ASSERT_EQ(faces.triangle_kinds.size(), faces.triangles.size());
  ASSERT_EQ(faces.triangle_faces.size(), faces.triangles.size());
  auto holds = [](const Ids& ids, std::uint32_t id) { return std::find(ids.begin(), ids.end(), id) != ids.end(); };
  for (std::size_t t = 0; t < faces.triangles.size(); ++t) {
    const auto& c = faces.triangles[t];
    const auto& f = faces.triangle_faces[t].faces;
    const Ids* lists[3] = {&faces.point_candidates[c[0]], &faces.point_candidates[c[1]], &faces.point_candidates[c[2]]};
    const bool common = std::any_of(lists[0]->begin(), lists[0]->end(),
                                    [&](std::uint32_t id) { return holds(*lists[1], id) && holds(*lists[2], id); });
    switch (faces.triangle_kinds[t]) {
      case TriangleKind::Flat:
        EXPECT_TRUE(f[0] == f[1] && f[1] == f[2]);
        for (int k = 0; k < 3; ++k) EXPECT_TRUE(holds(*lists[k], f[0]));
        break;
      case TriangleKind::Crease: {
        EXPECT_FALSE(common);
        const std::set<std::uint32_t> distinct(f.begin(), f.end());
        EXPECT_EQ(distinct.size(), 2u);
        for (int k = 0; k < 3; ++k) EXPECT_TRUE(holds(*lists[k], f[static_cast<std::size_t>(k)]));
        // The corners of the two faces are on opposite sides of the crossing (or on it).
        const std::uint32_t g = *distinct.begin(), g2 = *distinct.rbegin();
        std::set<int> sides_g, sides_g2;
        for (int k = 0; k < 3; ++k) {
          const double d = plane_height(w, g, w.xs[c[k]], w.ys[c[k]]) - plane_height(w, g2, w.xs[c[k]], w.ys[c[k]]);
          if (!(std::fabs(d) > 0.05)) continue;
          (f[static_cast<std::size_t>(k)] == g ? sides_g : sides_g2).insert(d > 0 ? 1 : -1);
        }
        EXPECT_LE(sides_g.size(), 1u);
        EXPECT_LE(sides_g2.size(), 1u);
        if (!sides_g.empty() && !sides_g2.empty()) {
          EXPECT_NE(sides_g, sides_g2);
        }
        break;
      }
      case TriangleKind::Junction:
        EXPECT_FALSE(common);
        EXPECT_EQ(std::set<std::uint32_t>(f.begin(), f.end()).size(), 3u);
        EXPECT_TRUE(planes_meet_in_triangle(w, c, f).has_value());
        break;
      case TriangleKind::Faceless:
        EXPECT_TRUE(lists[0]->empty() || lists[1]->empty() || lists[2]->empty());
        EXPECT_EQ(faces.triangle_faces[t].present, 0u);
        break;
      case TriangleKind::Unexplained:
        EXPECT_FALSE(common);
        EXPECT_FALSE(lists[0]->empty() || lists[1]->empty() || lists[2]->empty());
        EXPECT_EQ(faces.triangle_faces[t].present, 0u);
        break;
    }
  }
  // Spread is closed: no neighbour through a kept triangle lies on a candidate's plane without
  // holding it, and every candidate is a starting face or lies on its plane.
  for (const auto& c : faces.triangles) {
    for (auto p : c) {
      for (auto id : faces.point_candidates[p]) {
        const bool own = holds(w.point_faces[p], id);
        EXPECT_TRUE(own || std::fabs(plane_height(w, id, w.xs[p], w.ys[p]) - w.hs[p]) <= 0.05);
        for (auto q : c) {
          if (std::fabs(plane_height(w, id, w.xs[q], w.ys[q]) - w.hs[q]) <= 0.05) {
            EXPECT_TRUE(holds(faces.point_candidates[q], id));
          }
        }
      }
    }
  }
}

TEST(FacesBuild, VerdictsHoldOnARoughTerrain) {
  for (std::uint8_t mode : {kPieceMode, kRefineMode}) {
    Work work = rough_terrain(1);
    const FaceSet faces = work.build(mode);
    expect_verdicts_hold(work.w, faces);
    std::set<TriangleKind> kinds(faces.triangle_kinds.begin(), faces.triangle_kinds.end());
    EXPECT_TRUE(kinds.contains(TriangleKind::Flat));
    EXPECT_TRUE(kinds.contains(TriangleKind::Crease));
    const auto starting = std::count_if(work.w.planes.begin(), work.w.planes.end(),
                                        [](const auto& entry) { return entry.first < kFirstGrownFaceBase; });
    EXPECT_EQ(starting, mode == kRefineMode ? 4 : 6);  // the refine mode merges the halves
  }
}

TEST(FacesBuild, ResultsDoNotDependOnHashSeedsOrFaceOrder) {
  Work first = rough_terrain(1);
  const FaceSet a = first.build(kRefineMode);
  for (unsigned seed : {2u, 3u}) {
    Work other = rough_terrain(seed);  // new tables, new seeds, faces entered in another order
    const FaceSet b = other.build(kRefineMode);
    EXPECT_EQ(a.triangles, b.triangles);
    EXPECT_EQ(a.triangle_kinds, b.triangle_kinds);
    ASSERT_EQ(a.triangle_faces.size(), b.triangle_faces.size());
    for (std::size_t t = 0; t < a.triangle_faces.size(); ++t) {
      EXPECT_EQ(a.triangle_faces[t].present, b.triangle_faces[t].present);
      if (a.triangle_faces[t].present) {
        EXPECT_EQ(a.triangle_faces[t].faces, b.triangle_faces[t].faces);
      }
    }
    EXPECT_EQ(a.point_candidates, b.point_candidates);
    EXPECT_EQ(first.w.members, other.w.members);
    EXPECT_EQ(first.w.point_faces, other.w.point_faces);
    EXPECT_EQ(first.w.last_face_id, other.w.last_face_id);
    ASSERT_EQ(first.w.planes.size(), other.w.planes.size());
    for (const auto& [id, plane] : first.w.planes) {
      ASSERT_TRUE(other.w.planes.contains(id));
      EXPECT_EQ(plane.c, other.w.planes.at(id).c);
      EXPECT_EQ(plane.a, other.w.planes.at(id).a);
      EXPECT_EQ(plane.b, other.w.planes.at(id).b);
    }
  }
}

struct StopAt {
  int calls = 0;
  int stop_at = 0;
  static bool poll(const void* self) {
    auto* s = const_cast<StopAt*>(static_cast<const StopAt*>(self));
    return ++s->calls == s->stop_at;
  }
};

TEST(FacesBuild, AStopAtEveryPollGivesNoResult) {
  // 60 by 60 points: more than 4096 kept triangles, so explain polls once. Two halves of one
  // plane make two faces that the refine mode merges.
  auto make = [] {
    Work work;
    std::vector<std::uint64_t> left, right;
    for (int x = 0; x < 60; ++x) {
      for (int y = 0; y < 60; ++y) (x < 30 ? left : right).push_back(work.point(x, y, 0.25 * x));
    }
    work.face(1, Plane{0, 0.25, 0}, left);
    work.face(2, Plane{0, 0.25, 0}, right);
    return work;
  };
  for (std::uint8_t mode : {kPieceMode, kRefineMode}) {
    {
      Work work = make();
      StopAt never;
      ASSERT_TRUE(faces_build(work.w, mode, StopCheck{&never, &StopAt::poll}).has_value());
      EXPECT_EQ(never.calls, 4);
    }
    for (int at = 1; at <= 4; ++at) {
      Work work = make();
      StopAt stop{0, at};
      EXPECT_FALSE(faces_build(work.w, mode, StopCheck{&stop, &StopAt::poll}).has_value()) << "poll " << at;
      EXPECT_EQ(stop.calls, at);
      // The piece mode never changes the faces; the refine mode has merged once past poll 1.
      const bool merged = mode == kRefineMode && at >= 2;
      EXPECT_EQ(work.w.planes.size(), merged ? 1u : 2u) << "poll " << at;
      EXPECT_EQ(work.w.point_faces[3599], merged ? Ids{1} : Ids{2});
    }
  }
}

}  // namespace
}  // namespace qm::mesh
