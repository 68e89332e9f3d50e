#include <gtest/gtest.h>

#include <atomic>
#include <cmath>
#include <set>
#include <vector>

#include "base/fault.hpp"
#include "mesh/grid/cell_grid.hpp"
#include "mesh/faces/faces.hpp"
#include "mesh/refine/refine_pass.hpp"
#include "mesh/faces/refine_points.hpp"

namespace qm::mesh {
namespace {

struct Points {
  RefinePoints w;
  explicit Points(std::set<Cell> cells = {{0, 0}}, std::int32_t ox = 0, std::int32_t oy = 0) {
    w.cell_grid = lattice_from_cells(cells);
    w.origin_x = ox;
    w.origin_y = oy;
  }
  std::uint64_t point(double x, double y, double h) {
    EXPECT_TRUE(add_point(w, x, y, h));
    return w.xs.size() - 1;
  }
  void face(std::uint32_t id, Plane plane, const std::vector<std::uint64_t>& members) {
    w.planes[id] = plane;
    w.members[id] = members;
    for (const auto m : members) w.point_faces[m].push_back(id);
  }
};

// One unexplained triangle: corner 0 on face 3 (h = 1), corners 1 and 2 on face 5 (h = 0); face
// 3 lies above face 5 at every corner, so no crease; its centroid is off face 3 by 2/3. Both faces
// have more members far off (over unwanted cells), so that no plane fits them together.
Points unexplained(double size, std::set<Cell> cells = {{0, 0}}, std::int32_t ox = 0, std::int32_t oy = 0) {
  Points p(cells, ox, oy);
  const auto a = p.point(0, 0, 1), b = p.point(size, 0, 0), c = p.point(0, size, 0);
  const auto f1 = p.point(1000, 0, 1), f2 = p.point(1000, 20, 1), f3 = p.point(1020, 0, 0);
  p.face(3, Plane{1, 0, 0}, {a, f1, f2});
  p.face(5, Plane{0, 0, 0}, {b, c, f3});
  return p;
}

TEST(RefinePass, AsksForTheCentroidOfAnUnexplainedTriangle) {
  auto work = refine_start(unexplained(8).w, {});
  ASSERT_TRUE(work.has_value());
  ASSERT_TRUE(work->last_faces.has_value());
  EXPECT_EQ(work->last_faces->triangle_kinds, (std::vector<TriangleKind>{TriangleKind::Unexplained}));
  EXPECT_EQ(work->iteration, 1u);
  EXPECT_EQ(work->ask_limit, 3u);  // ceil(6 / 2)
  EXPECT_EQ(work->wanted, (std::vector<TerrainPoint>{{3, 3}}));  // (8/3, 8/3) snapped
  EXPECT_FALSE(work->done);
}

TEST(RefinePass, SnapsHalvesToEven) {
  // The centroid of (0,0), (7.5,0), (0,7.5) is (2.5, 2.5) relative to the origin.
  struct Case {
    std::int32_t origin;
    std::int32_t snapped;
  };
  for (const Case& c : {Case{0, 2}, Case{1, 4}, Case{-5, -2}}) {
    auto work = refine_start(unexplained(7.5, {{-1, -1}, {-1, 0}, {0, -1}, {0, 0}}, c.origin, c.origin).w, {});
    ASSERT_TRUE(work.has_value());
    EXPECT_EQ(work->wanted, (std::vector<TerrainPoint>{{c.snapped, c.snapped}})) << "origin " << c.origin;
  }
}

TEST(RefinePass, StopsAtTheTwelfthIteration) {
  auto work = refine_start(unexplained(8).w, {});
  ASSERT_TRUE(work.has_value());
  // The host never answers: the same centroid is wanted again each iteration.
  for (int i = 2; i <= 12; ++i) {
    EXPECT_FALSE(refine_faces(*work, {}));
    EXPECT_EQ(work->wanted.size(), 1u) << "iteration " << i;
  }
  EXPECT_FALSE(refine_faces(*work, {}));
  EXPECT_EQ(work->iteration, 13u);
  EXPECT_TRUE(work->wanted.empty());
  EXPECT_TRUE(work->done);
  EXPECT_FALSE(work->last_faces.has_value());
}

TEST(RefinePass, NeverAsksBeyondItsLimit) {
  auto work = refine_start(unexplained(8).w, {});
  ASSERT_TRUE(work.has_value());
  work->asked = work->ask_limit;
  EXPECT_FALSE(refine_faces(*work, {}));
  EXPECT_TRUE(work->wanted.empty());
  EXPECT_TRUE(work->done);
}

TEST(RefinePass, AnsweredPointsAreNotAskedAgain) {
  auto work = refine_start(unexplained(8).w, {});
  ASSERT_TRUE(work.has_value());
  ASSERT_EQ(work->wanted.size(), 1u);
  // The sampler adds the answer at the relative position; the new point sits inside the old
  // triangle, whose pieces now all lie on the faces or stay unexplained elsewhere.
  EXPECT_TRUE(add_point(work->points, 3, 3, 1.0 / 3.0));
  work->asked += 1;
  EXPECT_FALSE(refine_faces(*work, {}));
  for (const auto& p : work->wanted) EXPECT_NE(p, (TerrainPoint{3, 3}));
}

TEST(RefinePass, NoKeptTriangleEndsThePass) {
  Points p;
  p.point(0, 0, 0);
  p.point(8, 0, 0);
  auto work = refine_start(p.w, {});
  ASSERT_TRUE(work.has_value());
  EXPECT_TRUE(work->done);
  EXPECT_TRUE(work->wanted.empty());
  EXPECT_FALSE(work->last_faces.has_value());
  EXPECT_EQ(work->ask_limit, 1u);
}

TEST(RefinePass, AStoppedBuildGivesNothing) {
  std::atomic<bool> cancel{true};
  EXPECT_FALSE(refine_start(unexplained(8).w, faces_stop_check(cancel)).has_value());
  cancel = false;
  auto work = refine_start(unexplained(8).w, faces_stop_check(cancel));
  ASSERT_TRUE(work.has_value());
  cancel = true;
  const auto wanted = work->wanted;
  EXPECT_TRUE(refine_faces(*work, faces_stop_check(cancel)));
  EXPECT_EQ(work->wanted, wanted);  // nothing of a stopped iteration is kept
  EXPECT_EQ(work->iteration, 1u);
}

// A junction triangle (planes with slopes (0,0), (3,0), (1,2) meeting at m) scaled by s at (x0, 0).
Points junction(double x0, double s, double mx, double my, std::set<Cell> cells = {{0, 0}}) {
  Points p(cells);
  const double slopes[3][2] = {{0, 0}, {3, 0}, {1, 2}};
  const double px[3] = {x0, x0 + 4 * s, x0}, py[3] = {0, 0, 4 * s};
  for (int k = 0; k < 3; ++k) {
    const Plane plane{10.0 - slopes[k][0] * mx - slopes[k][1] * my, slopes[k][0], slopes[k][1]};
    const auto i = p.point(px[k], py[k], plane.height(px[k], py[k]));
    p.face(static_cast<std::uint32_t>(21 + k), plane, {i});
  }
  return p;
}

TEST(RefinePass, AsksForJunctionPointsInWantedCellsOnly) {
  {
    auto work = refine_start(junction(0, 1, 1.5, 1.0).w, {});
    ASSERT_TRUE(work.has_value());
    EXPECT_EQ(work->last_faces->triangle_kinds[0], TriangleKind::Junction);
    EXPECT_EQ(work->wanted, (std::vector<TerrainPoint>{{2, 1}}));
    EXPECT_EQ(work->seen.size(), 1u);
    EXPECT_TRUE(work->seen.contains(SeenTriangle{0, {0, 1, 2}}));
  }
  {
    // The triangle is kept (its centroid lies in cell 0), but the meeting point lies in cell 1.
    auto work = refine_start(junction(56, 4, 66, 2).w, {});
    ASSERT_TRUE(work.has_value());
    EXPECT_EQ(work->last_faces.has_value(), false);
    EXPECT_TRUE(work->wanted.empty());
  }
  {
    // A meeting point that snaps onto a corner is not asked.
    auto work = refine_start(junction(0, 1, 0.3, 0.2).w, {});
    ASSERT_TRUE(work.has_value());
    EXPECT_TRUE(work->wanted.empty());
  }
}

TEST(RefinePass, SeenAndPlaneOffHelpers) {
  SeenSet seen;
  EXPECT_TRUE(seen_insert(seen, 1, {9, 2, 5}));
  EXPECT_FALSE(seen_insert(seen, 1, {5, 9, 2}));
  EXPECT_TRUE(seen_insert(seen, 2, {2, 5, 9}));
  EXPECT_TRUE(seen.contains(SeenTriangle{1, {2, 5, 9}}));

  Points p = unexplained(8);
  auto faces = faces_build(p.w, kPieceMode, {});
  ASSERT_TRUE(faces.has_value());
  const std::array<std::uint64_t, 3> t{0, 1, 2};
  EXPECT_TRUE(face_plane_off(t, *faces, p.w, 1, 1, 0.5));  // face 5 (h = 0) misses 0.5 by 0.5
  for (auto& list : faces->point_candidates) list = {3};   // only face 3 (h = 1) now
  EXPECT_TRUE(face_plane_off(t, *faces, p.w, 1, 1, 0.74));
  EXPECT_FALSE(face_plane_off(t, *faces, p.w, 1, 1, 0.75));  // exactly 0.25 off is not more
  for (auto& list : faces->point_candidates) list = {};
  EXPECT_FALSE(face_plane_off(t, *faces, p.w, 1, 1, 100.0));
  faces->point_candidates[1].push_back(99);
  EXPECT_THROW(face_plane_off(t, *faces, p.w, 1, 1, 0.75), Fault);
}

}  // namespace
}  // namespace qm::mesh
