#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <optional>
#include <set>
#include <tuple>

#include "base/fault.hpp"
#include "mesh/faces/refine_points.hpp"
#include "terrain_fixture.hpp"

namespace qm::mesh {
namespace {

constexpr double nan = std::numeric_limits<double>::quiet_NaN();
constexpr double inf = std::numeric_limits<double>::infinity();

using namespace fixture;

TEST(RefineAddPoint, HalfUnitKeysRoundHalvesAwayFromZero) {
  struct Case {
    double x, y;
    HalfUnitKey key;
  };
  const Case cases[] = {
      {0.0, 0.0, {0, 0}},       {0.2, 0.2, {0, 0}},       {0.3, 0.0, {1, 0}},
      {0.25, -0.25, {1, -1}},   {-0.25, 0.25, {-1, 1}},   {0.24, -0.24, {0, 0}},
      {-0.75, -1.25, {-2, -3}}, {1.75, 2.25, {4, 5}},     {-0.2499, 0.7499, {0, 1}},
      {nan, 1.0, {0, 2}},       {inf, -inf, {INT64_MAX, INT64_MIN}},
      {1e300, -1e300, {INT64_MAX, INT64_MIN}},
  };
  for (const Case& c : cases) EXPECT_EQ(half_unit_key(c.x, c.y), c.key) << c.x << "," << c.y;
}

TEST(RefineAddPoint, OnePointPerKey) {
  RefinePoints p;
  EXPECT_TRUE(add_point(p, 0.0, 0.0, 5.0));
  EXPECT_FALSE(add_point(p, 0.2, 0.2, 6.0));
  EXPECT_TRUE(add_point(p, 0.3, 0.0, 7.0));
  EXPECT_TRUE(add_point(p, -0.3, 0.0, 8.0));
  EXPECT_FALSE(add_point(p, -0.26, -0.1, 9.0));
  ASSERT_EQ(p.xs.size(), 3u);
  EXPECT_EQ(p.hs, (std::vector<double>{5.0, 7.0, 8.0}));
  EXPECT_EQ(p.point_faces.size(), 3u);
  EXPECT_EQ(p.point_keys.size(), 3u);
  EXPECT_EQ(p.point_keys.at(HalfUnitKey{1, 0}), 1u);
  EXPECT_EQ(p.point_keys.at(HalfUnitKey{-1, 0}), 2u);
}

TEST(RefineFaceIds, NextIdStartsAboveTheLastAndRunningOutIsAFault) {
  RefinePoints p;
  EXPECT_EQ(next_face_id(p), kFirstGrownFaceBase + 1);
  EXPECT_EQ(p.last_face_id, kFirstGrownFaceBase + 1);
  p.last_face_id = kNoFace - 2;
  EXPECT_EQ(next_face_id(p), kNoFace - 1);
  EXPECT_THROW(next_face_id(p), Fault);
  EXPECT_EQ(p.last_face_id, kNoFace - 1);
}


struct Finished {
  SamplingRun run;
  RefinePoints points;
};

Finished finish(const std::set<Cell>& cells, const Terrain& t) {
  Finished f{new_run(cells), {}};
  FakeHost host(t);
  AnswerStore store;
  drive_run(f.run, host, store);
  f.points = build_refine_points(refine_origin(f.run.lattice), f.run.cover, f.run.lattice.levels);
  return f;
}

void check_point_set(const Finished& f) {
  const RefinePoints& p = f.points;
  const std::size_t n = p.xs.size();
  ASSERT_EQ(p.ys.size(), n);
  ASSERT_EQ(p.hs.size(), n);
  ASSERT_EQ(p.point_faces.size(), n);
  // The key map is a bijection onto the points.
  ASSERT_EQ(p.point_keys.size(), n);
  std::set<std::uint64_t> indices;
  for (const auto& [key, index] : p.point_keys) {
    ASSERT_LT(index, n);
    EXPECT_EQ(key, half_unit_key(p.xs[index], p.ys[index]));
    indices.insert(index);
  }
  EXPECT_EQ(indices.size(), n);
  // Face lists: sorted, unique, every id with a plane and members holding the point.
  for (std::size_t i = 0; i < n; ++i) {
    const auto& faces = p.point_faces[i];
    EXPECT_TRUE(std::is_sorted(faces.begin(), faces.end()));
    EXPECT_EQ(std::adjacent_find(faces.begin(), faces.end()), faces.end());
    for (std::uint32_t id : faces) {
      ASSERT_TRUE(p.planes.contains(id));
      ASSERT_TRUE(p.members.contains(id));
      const auto& m = p.members.at(id);
      EXPECT_TRUE(std::binary_search(m.begin(), m.end(), std::uint64_t{i}));
      EXPECT_LE(id, p.last_face_id);
    }
  }
  for (const auto& [id, m] : p.members) {
    EXPECT_TRUE(p.planes.contains(id));
    EXPECT_FALSE(m.empty());
    EXPECT_TRUE(std::is_sorted(m.begin(), m.end()));
    for (std::uint64_t i : m) {
      const auto& faces = p.point_faces[i];
      EXPECT_TRUE(std::binary_search(faces.begin(), faces.end(), id));
    }
  }
  EXPECT_EQ(p.planes.size(), p.members.size());
  EXPECT_GE(p.last_face_id, kFirstGrownFaceBase);
  // Each finest-level sample with a finite height appears once, with the finest height.
  const Level& fine = f.run.lattice.levels.back();
  for (std::size_t k = 0; k < fine.keys.size(); ++k) {
    const double x = fine.keys[k].first * fine.step;
    const double y = fine.keys[k].second * fine.step;
    const auto it = p.point_keys.find(half_unit_key(x, y));
    if (!std::isfinite(fine.heights[k])) continue;
    ASSERT_NE(it, p.point_keys.end());
    EXPECT_EQ(p.xs[it->second], x);
    EXPECT_EQ(p.ys[it->second], y);
    EXPECT_EQ(p.hs[it->second], fine.heights[k]);
  }
  EXPECT_EQ(p.origin_x, f.run.lattice.centre_x);
  EXPECT_EQ(p.origin_y, f.run.lattice.centre_y);
  EXPECT_EQ(p.radius, static_cast<std::uint32_t>(f.run.lattice.radius));
  EXPECT_EQ(p.cell_grid.cells, f.run.cover.cells);
}

TEST(RefinePointSet, InvariantsOnEveryTerrain) {
  for (const auto& [name, shape] : cover_shapes()) {
    for (const Terrain& t : all_terrains()) {
      SCOPED_TRACE(name + " / " + t.name);
      check_point_set(finish(shift_cells(shape, -3, 2), t));
      if (HasFatalFailure()) return;
    }
  }
  // A pond of one point in high land: its non-finite height is filled from its land neighbours.
  const Terrain pond{"pond", [](double x, double y) -> std::optional<double> {
                       if (x == 0.0 && y == 0.0) return std::nullopt;
                       return 80.0 + 0.01 * x;
                     }};
  const Finished coast_run = finish(rect_cells(-1, -1, 2, 2), pond);
  check_point_set(coast_run);
  bool filled = false;
  for (const Level& lv : coast_run.run.lattice.levels)
    for (double h : lv.heights) filled = filled || std::isnan(h);
  EXPECT_TRUE(filled);
  for (double h : coast_run.points.hs) EXPECT_TRUE(std::isfinite(h));
  const auto pond_point = coast_run.points.point_keys.find(HalfUnitKey{0, 0});
  ASSERT_NE(pond_point, coast_run.points.point_keys.end());
  EXPECT_NEAR(coast_run.points.hs[pond_point->second], 80.0, 1e-9);
}

TEST(RefinePointSet, PlaneAndRidgeMakeOneAndTwoFaces) {
  struct Case {
    Terrain terrain;
    std::size_t faces;
  };
  for (const Case& c : {Case{tilted_plane(), 1}, Case{ridge(), 2}}) {
    SCOPED_TRACE(c.terrain.name);
    const Finished f = finish(rect_cells(-2, -1, 4, 3), c.terrain);
    ASSERT_EQ(f.run.history.size(), 1u);
    EXPECT_LT(f.run.history[0].second, 0.01);
    EXPECT_EQ(f.points.planes.size(), c.faces);
    check_point_set(f);
    for (std::size_t i = 0; i < f.points.xs.size(); ++i) {
      for (std::uint32_t id : f.points.point_faces[i]) {
        const Plane& pl = f.points.planes.at(id);
        EXPECT_LE(std::fabs(pl.height(f.points.xs[i], f.points.ys[i]) - f.points.hs[i]), 0.05);
      }
    }
  }
}

TEST(RefinePointSet, SeaIsOneFlatFaceAtZero) {
  const Finished f = finish(rect_cells(0, 0, 3, 2), sea());
  ASSERT_EQ(f.points.planes.size(), 1u);
  const auto& [id, plane] = *f.points.planes.begin();
  EXPECT_EQ(plane.c, 0.0);
  EXPECT_EQ(plane.a, 0.0);
  EXPECT_EQ(plane.b, 0.0);
  EXPECT_EQ(f.points.members.at(id).size(), f.points.xs.size());
  for (double h : f.points.hs) EXPECT_EQ(h, 0.0);
}

TEST(RefinePointSet, NoLevelsGiveAnEmptySet) {
  const CellGrid g = lattice_from_cells({{1, 1}});
  const RefinePoints p = build_refine_points(RefineOrigin{64, 128, 64}, g, {});
  EXPECT_TRUE(p.xs.empty());
  EXPECT_TRUE(p.planes.empty());
  EXPECT_TRUE(p.members.empty());
  EXPECT_EQ(p.origin_x, 64);
  EXPECT_EQ(p.origin_y, 128);
  EXPECT_EQ(p.radius, 64u);
  EXPECT_EQ(p.last_face_id, kFirstGrownFaceBase);
  EXPECT_EQ(p.cell_grid.cells, g.cells);
}

// A hand-made level: keys along y = 0 at the given step with heights and patch labels.
Level row_level(double step, const std::vector<std::tuple<int, double, std::uint32_t>>& rows,
                std::vector<PatchPlane> patches) {
  Level lv;
  lv.step = step;
  for (const auto& [i, h, m] : rows) {
    lv.index[{i, 0}] = static_cast<std::uint32_t>(lv.keys.size());
    lv.keys.emplace_back(i, 0);
    lv.heights.push_back(h);
    lv.matched.push_back(m);
  }
  lv.patches = std::move(patches);
  return lv;
}

TEST(RefinePointSet, HolesTakeTheNearestRingOfFiniteNeighbours) {
  const CellGrid g = lattice_from_cells({{0, 0}});
  struct Case {
    double step;
    std::vector<std::tuple<int, double, std::uint32_t>> rows;
    std::optional<double> filled;  // the hole at key 0
  };
  const std::uint32_t none = kNoPatch;
  const Case cases[] = {
      // Ring 1 has two finite heights: their mean.
      {1.0, {{-1, 10.0, none}, {0, nan, none}, {1, 20.0, none}}, 15.0},
      // Ring 1 is empty or non-finite, ring 2 holds one: it.
      {1.0, {{-1, nan, none}, {0, nan, none}, {2, 30.0, none}, {-2, nan, none}}, 30.0},
      // The nearest finite neighbour at 64 units is still used (step 1, ring 64)...
      {1.0, {{0, nan, none}, {64, 7.0, none}}, 7.0},
      // ...but one at 65 units or beyond 64 is never reached.
      {1.0, {{0, nan, none}, {65, 7.0, none}, {128, 9.0, none}}, std::nullopt},
      // Only distances of 1, 2, 4, ... steps are searched.
      {1.0, {{0, nan, none}, {3, 7.0, none}}, std::nullopt},
      // Step 64: only the ring at distance 1.
      {64.0, {{0, nan, none}, {1, 5.0, none}}, 5.0},
      {64.0, {{0, nan, none}, {2, 5.0, none}}, std::nullopt},
      // A step beyond 64 fills nothing.
      {128.0, {{0, nan, none}, {1, 5.0, none}}, std::nullopt},
  };
  for (const Case& c : cases) {
    const RefinePoints p = build_refine_points(RefineOrigin{}, g, {row_level(c.step, c.rows, {})});
    const auto it = p.point_keys.find(HalfUnitKey{0, 0});
    if (c.filled) {
      ASSERT_NE(it, p.point_keys.end()) << c.step;
      EXPECT_EQ(p.hs[it->second], *c.filled);
    } else {
      EXPECT_EQ(it, p.point_keys.end()) << c.step;
    }
  }
}

TEST(RefinePointSet, SamplesEnterOnceWithTheFinestHeight) {
  const CellGrid g = lattice_from_cells({{0, 0}});
  const std::uint32_t none = kNoPatch;
  const Level coarse = row_level(2.0, {{0, 1.0, none}, {1, 2.0, none}}, {});
  const Level fine = row_level(1.0, {{0, 5.0, none}, {1, 6.0, none}, {2, 7.0, none}}, {});
  const RefinePoints p = build_refine_points(RefineOrigin{}, g, {coarse, fine});
  ASSERT_EQ(p.xs.size(), 3u);
  EXPECT_EQ(p.xs, (std::vector<double>{0.0, 2.0, 1.0}));  // coarse level's points first
  EXPECT_EQ(p.hs, (std::vector<double>{5.0, 7.0, 6.0}));
}

TEST(RefinePointSet, MergeChainsKeepTheRepresentativeOfTheLaterJoin) {
  const CellGrid g = lattice_from_cells({{0, 0}});
  const std::uint32_t none = kNoPatch;
  const PatchPlane flat{0, 0, 10.0, 0, 0};
  const PatchPlane nearly{0, 0, 10.01, 0, 0};
  // Level A (step 4): groups 0..3; level B (step 2): groups 4, 5; level C (step 1): groups 6, 7.
  const Level a = row_level(4.0, {{0, 10, 3}, {1, 10, 0}, {2, 10, 1}, {3, 10, 2}}, {flat, flat, flat, nearly});
  const Level b = row_level(2.0, {{10, 10, 1}, {11, 10, 0}}, {flat, flat});
  auto make_c = [&](const PatchPlane& seven) {
    return row_level(1.0,
                     {{0, 10, 1}, {4, 10, none}, {8, 10, none}, {12, 10, none}, {20, 10, 1}, {22, 10, none},
                      {30, 10, 0}},
                     {flat, seven});
  };
  // Groups 3 and 7 share the point at x = 0 (joined, representative 3); groups 5 and 7 share
  // x = 20 (7's representative 3 goes under 5): one face with id 5.
  const RefinePoints p = build_refine_points(RefineOrigin{}, g, {a, b, make_c(flat)});
  EXPECT_TRUE(p.planes.contains(5));
  EXPECT_FALSE(p.planes.contains(3));
  EXPECT_FALSE(p.planes.contains(7));
  EXPECT_EQ(p.members.at(5), (std::vector<std::uint64_t>{0, 4}));
  // Fewer than three members: the plane of the lowest-numbered group (3), in global form.
  EXPECT_EQ(p.planes.at(5).c, 10.01);
  EXPECT_EQ(p.point_faces[0], std::vector<std::uint32_t>{5});
  EXPECT_EQ(p.planes.size(), 6u);  // 0, 1, 2, 4, 5, 6
  // Group 7 off by more than 0.05 at a member keeps them apart.
  const RefinePoints apart = build_refine_points(RefineOrigin{}, g, {a, b, make_c(PatchPlane{0, 0, 10.07, 0, 0})});
  EXPECT_TRUE(apart.planes.contains(3));
  EXPECT_TRUE(apart.planes.contains(5));
  EXPECT_TRUE(apart.planes.contains(7));
  EXPECT_EQ(apart.point_faces[0], (std::vector<std::uint32_t>{3, 7}));
}

TEST(RefinePointSet, FaceWithSpreadMembersTakesTheFittedPlane) {
  const CellGrid g = lattice_from_cells({{0, 0}});
  // Members off one line: the face plane is fitted over them, not the patch plane.
  Level lv;
  lv.step = 1.0;
  const std::vector<std::tuple<int, int, double>> pts{{0, 0, 1.0}, {1, 0, 2.0}, {0, 1, 4.0}, {1, 1, 5.0}};
  for (const auto& [i, j, h] : pts) {
    lv.index[{i, j}] = static_cast<std::uint32_t>(lv.keys.size());
    lv.keys.emplace_back(i, j);
    lv.heights.push_back(h);
    lv.matched.push_back(0);
  }
  lv.patches = {PatchPlane{5, 5, 100.0, 0, 0}};
  const RefinePoints p = build_refine_points(RefineOrigin{}, g, {lv});
  ASSERT_EQ(p.planes.size(), 1u);
  EXPECT_NEAR(p.planes.at(0).c, 1.0, 1e-12);
  EXPECT_NEAR(p.planes.at(0).a, 1.0, 1e-12);
  EXPECT_NEAR(p.planes.at(0).b, 3.0, 1e-12);
  // On one line: the patch plane of the group in global form (c - a*x0 - b*y0).
  Level line = row_level(1.0, {{0, 1.0, 0}, {1, 2.0, 0}, {2, 3.0, 0}}, {PatchPlane{1, 2, 10.0, 0.5, 0.25}});
  const RefinePoints q = build_refine_points(RefineOrigin{}, g, {line});
  EXPECT_EQ(q.planes.at(0).c, 10.0 - 0.5 * 1 - 0.25 * 2);
  EXPECT_EQ(q.planes.at(0).a, 0.5);
  EXPECT_EQ(q.planes.at(0).b, 0.25);
}

}  // namespace
}  // namespace qm::mesh
