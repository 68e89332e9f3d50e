#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <set>
#include <string>
#include <vector>

#include "base/fault.hpp"
#include "base/span.hpp"
#include "mesh/grid/cell_grid.hpp"
#include "mesh/faces/faces.hpp"
#include "mesh/faces/refine_points.hpp"

namespace qm::mesh {
namespace {

// A hand-made point set over the given cells (origin 0, 0).
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
    for (const auto m : members) {
      auto& ids = w.point_faces[m];
      if (std::find(ids.begin(), ids.end(), id) == ids.end()) ids.insert(std::lower_bound(ids.begin(), ids.end(), id), id);
    }
  }
  // Gives the point the face id without making it a member.
  void tag(std::uint64_t p, std::uint32_t id) {
    auto& ids = w.point_faces[p];
    ids.insert(std::lower_bound(ids.begin(), ids.end(), id), id);
  }
  std::optional<FaceSet> build(std::uint8_t mode, StopCheck stop = {}) { return faces_build(w, mode, stop); }
};

std::uint64_t span_count(const char* name) {
  for (const auto& e : thread_span_table()) {
    if (std::strcmp(e.name, name) == 0) return e.count;
  }
  return 0;
}

double area(const RefinePoints& w, const std::array<std::uint64_t, 3>& t) {
  return 0.5 * ((w.xs[t[1]] - w.xs[t[0]]) * (w.ys[t[2]] - w.ys[t[0]]) - (w.ys[t[1]] - w.ys[t[0]]) * (w.xs[t[2]] - w.xs[t[0]]));
}

// A lattice of points over a rectangle, heights from a function.
template <class F>
void lattice(Work& work, int x0, int y0, int x1, int y1, int step, F height) {
  for (int x = x0; x <= x1; x += step) {
    for (int y = y0; y <= y1; y += step) work.point(x, y, height(x, y));
  }
}

TEST(FacesBuild, EmptyAndFlatPointSetsGiveNoTriangles) {
  Work none;
  const auto empty = none.build(kRefineMode);
  ASSERT_TRUE(empty.has_value());
  EXPECT_TRUE(empty->triangles.empty());
  EXPECT_TRUE(empty->triangle_kinds.empty());
  EXPECT_TRUE(empty->point_candidates.empty());

  Work line;
  for (int i = 0; i < 6; ++i) line.point(i * 3, i * 2, 1.0);
  line.face(5, Plane{1.0, 0, 0}, {0, 1, 2});
  line.face(9, Plane{1.0, 0, 0}, {3, 4, 5});
  const auto flat = line.build(kRefineMode);
  ASSERT_TRUE(flat.has_value());
  EXPECT_TRUE(flat->triangles.empty());
  EXPECT_EQ(line.w.planes.size(), 2u);  // nothing to merge without triangles
  ASSERT_EQ(flat->point_candidates.size(), 6u);
  EXPECT_EQ(flat->point_candidates[4], (std::vector<std::uint32_t>{9}));
}

TEST(FacesBuild, KeepsTrianglesWhoseCentroidLiesInAWantedCell) {
  // Cells (0,0) and (1,1) wanted, (1,0) and (0,1) not: an L of points over all four.
  Work work({{0, 0}, {1, 1}});
  work.w.origin_x = 32;  // positions are relative to (32, -32)
  work.w.origin_y = -32;
  lattice(work, -32, 32, 96, 160, 16, [](int, int) { return 0.0; });
  const auto faces = work.build(kPieceMode);
  ASSERT_TRUE(faces.has_value());
  ASSERT_EQ(faces->triangles.size(), faces->triangle_handles.size());
  double kept = 0.0;
  std::set<std::array<std::uint64_t, 3>> seen;
  for (std::size_t i = 0; i < faces->triangles.size(); ++i) {
    const auto& t = faces->triangles[i];
    EXPECT_TRUE(seen.insert(t).second);
    EXPECT_EQ(faces->triangulation.corners(faces->triangle_handles[i] - 1), t);
    const double cx = (work.w.xs[t[0]] + work.w.xs[t[1]] + work.w.xs[t[2]]) / 3.0 + 32;
    const double cy = (work.w.ys[t[0]] + work.w.ys[t[1]] + work.w.ys[t[2]]) / 3.0 - 32;
    EXPECT_TRUE(work.w.cell_grid.contains(static_cast<std::int64_t>(std::floor(cx / 64)), static_cast<std::int64_t>(std::floor(cy / 64))));
    EXPECT_GT(area(work.w, t), 0.0);
    kept += area(work.w, t);
  }
  EXPECT_EQ(kept, 2 * 4096.0);
  // Every triangle left out lies over an unwanted cell.
  EXPECT_EQ(faces->triangulation.triangle_count(), 2 * faces->triangles.size());
}

TEST(FacesBuild, MergesTwoFacesThatOnePlaneFits) {
  // A saddle of four points, heights +e, -e, -e, +e: the best plane is flat with residual e.
  for (const auto& [e, merges] : {std::pair{0.05, true}, std::pair{0.0500001, false}}) {
    Work work;
    const auto a = work.point(0, 0, e), b = work.point(8, 0, -e), c = work.point(0, 8, -e), d = work.point(8, 8, e);
    work.face(12, Plane{0, 0, 0}, {a, d});
    work.face(7, Plane{0, 0, 0}, {b, c});
    const auto faces = work.build(kRefineMode);
    ASSERT_TRUE(faces.has_value());
    if (merges) {
      EXPECT_EQ(work.w.planes.size(), 1u);
      EXPECT_EQ(work.w.members.size(), 1u);
      EXPECT_EQ(work.w.members.at(7), (std::vector<std::uint64_t>{b, c, a, d}));
      for (auto p : {a, b, c, d}) EXPECT_EQ(work.w.point_faces[p], (std::vector<std::uint32_t>{7}));
      for (auto k : faces->triangle_kinds) EXPECT_EQ(k, TriangleKind::Flat);
    } else {
      EXPECT_EQ(work.w.planes.size(), 2u);
      EXPECT_EQ(work.w.point_faces[a], (std::vector<std::uint32_t>{12}));
    }
  }
}

TEST(FacesBuild, MergeNeedsThreePointsAndSkipsTriedPairs) {
  // Too few points together: two faces of one point each never merge.
  {
    Work work;
    const auto a = work.point(0, 0, 0), b = work.point(8, 0, 0);
    work.point(0, 8, 0);
    work.face(3, Plane{0, 0, 0}, {a});
    work.face(4, Plane{0, 0, 0}, {b});
    ASSERT_TRUE(work.build(kRefineMode).has_value());
    EXPECT_EQ(work.w.planes.size(), 2u);
  }
  // Three triangles in a row see the face pairs {1, 2}, {2, 3} and {1, 3}. Faces 1 and 2 do not
  // fit one plane; 2 and 3 do and merge into 2; then 1 and the grown 2 would fit, but the pair
  // (1, 2) was tried already. The members lie far off in an unwanted cell; the triangle corners
  // only carry the ids.
  Work work;
  const auto p0 = work.point(0, 0, 0), p1 = work.point(16, 0, 0), p2 = work.point(8, 12, 0), p3 = work.point(24, 12, 0),
             p4 = work.point(16, 24, 0);
  std::vector<std::uint64_t> square, centre, near_centre;
  for (auto [x, y] : {std::pair{0, 0}, {4, 0}, {0, 4}, {4, 4}}) square.push_back(work.point(1000 + x, y, 0.0));
  centre.push_back(work.point(1002, 2, 0.08));
  for (auto [x, y] : {std::pair{1.5, 2.0}, {2.5, 2.0}, {2.0, 2.5}}) near_centre.push_back(work.point(1000 + x, y, 0.08));
  work.face(1, Plane{0, 0, 0}, square);
  work.face(2, Plane{0.08, 0, 0}, centre);
  work.face(3, Plane{0.08, 0, 0}, near_centre);
  work.tag(p0, 1);
  work.tag(p1, 2);
  work.tag(p3, 3);
  work.tag(p4, 1);
  const auto faces = work.build(kRefineMode);
  ASSERT_TRUE(faces.has_value());
  ASSERT_GE(faces->triangles.size(), 3u);
  EXPECT_EQ(faces->triangles[0], (std::array<std::uint64_t, 3>{p0, p1, p2}));
  EXPECT_EQ(faces->triangles[1], (std::array<std::uint64_t, 3>{p1, p3, p2}));
  EXPECT_EQ(faces->triangles[2], (std::array<std::uint64_t, 3>{p2, p3, p4}));
  EXPECT_EQ(work.w.planes.size(), 2u);
  EXPECT_TRUE(work.w.planes.contains(1));
  EXPECT_TRUE(work.w.planes.contains(2));
  EXPECT_EQ(work.w.point_faces[p3], (std::vector<std::uint32_t>{2}));
  // The pair would have merged had it been tried again.
  std::vector<std::uint64_t> all = square;
  for (auto p : work.w.members.at(2)) all.push_back(p);
  EXPECT_LE(fit_face_plane(work.w.xs, work.w.ys, work.w.hs, all).residual, 0.05);
  std::vector<std::uint64_t> first = square;
  first.push_back(centre[0]);
  EXPECT_GT(fit_face_plane(work.w.xs, work.w.ys, work.w.hs, first).residual, 0.05);
}

TEST(FacesBuild, PieceModeLeavesTheFacesAsTheyCame) {
  Work work;
  const auto a = work.point(0, 0, 0), b = work.point(8, 0, 0), c = work.point(0, 8, 0), d = work.point(8, 8, 0);
  work.point(4, 20, 0.0);
  work.point(12, 20, 0.0);
  work.face(12, Plane{0, 0, 0}, {a, d});
  work.face(7, Plane{0, 0, 0}, {b, c});
  const RefinePoints before = work.w;
  const auto merges = span_count("faces.merge"), grows = span_count("faces.grow");
  const auto faces = work.build(kPieceMode);
  ASSERT_TRUE(faces.has_value());
  EXPECT_EQ(work.w.point_faces, before.point_faces);
  EXPECT_EQ(work.w.members, before.members);
  EXPECT_EQ(work.w.planes.size(), before.planes.size());
  EXPECT_EQ(work.w.last_face_id, before.last_face_id);
  EXPECT_EQ(span_count("faces.merge"), merges);
  EXPECT_EQ(span_count("faces.grow"), grows);
  EXPECT_GT(span_count("faces.explain"), 0u);
}

TEST(FacesBuild, FaultsOnBrokenPointSets) {
  {
    Work work;
    work.point(0, 0, 0);
    work.point(8, 0, 0);
    work.point(0, 8, 0);
    work.tag(1, 44);  // no plane
    try {
      work.build(kRefineMode);
      ADD_FAILURE();
    } catch (const Fault& f) {
      EXPECT_EQ(f.message(), "no entry found for key");
    }
  }
  {
    Work work;
    work.point(0, 0, 0);
    work.point(8, 0, 0);
    work.w.xs.push_back(8.0);  // a duplicate position
    work.w.ys.push_back(0.0);
    work.w.hs.push_back(0.0);
    work.w.point_faces.emplace_back();
    try {
      work.build(kPieceMode);
      ADD_FAILURE();
    } catch (const Fault& f) {
      EXPECT_EQ(f.message(), "finite, distinct samples");
    }
  }
  {
    Work work;
    work.point(0, 0, 0);
    work.w.hs.clear();
    EXPECT_THROW(work.build(kPieceMode), Fault);
  }
}

TEST(FacesFaceIndex, FindsRootsAndHalvesPaths) {
  HashMap<std::uint32_t, std::uint32_t> parent{{1, 1}, {2, 1}, {3, 2}, {4, 3}, {5, 4}};
  EXPECT_EQ(face_index(parent, 5), 1u);
  EXPECT_EQ(parent[5], 3u);  // each visited id now points at its former grandparent
  EXPECT_EQ(parent[3], 1u);
  EXPECT_EQ(face_index(parent, 1), 1u);
  try {
    face_index(parent, 6);
    ADD_FAILURE();
  } catch (const Fault& f) {
    EXPECT_EQ(f.message(), "no entry found for key");
  }
}

}  // namespace
}  // namespace qm::mesh
