#include <gtest/gtest.h>

#include <cmath>
#include <vector>

#include "faces_pipeline.hpp"
#include "base/fault.hpp"
#include "mesh/twostage/creases.hpp"

namespace qm::mesh {
namespace {

using P3 = std::array<double, 3>;

// Planes by id over a handful of sample points. Crease edges are made as two-point rings of two
// face pieces (or of one face piece and one loose piece), which is all the edge walk looks at.
struct Creases {
  RefinePoints work;
  FacePieces pieces;

  void plane(std::uint32_t id, double c, double a, double b) { work.planes[id] = Plane{c, a, b}; }
  void point(std::uint64_t key, double x, double y, double z) { pieces.points[PointKey::sample(key)] = {x, y, z}; }
  void ring(PieceOwner owner, std::vector<std::uint64_t> keys) {
    FacePiece piece{owner, {}};
    for (auto k : keys) piece.ring.push_back(PointKey::sample(k));
    pieces.pieces.push_back(piece);
  }
  void edge(std::uint64_t u, std::uint64_t v, std::uint32_t p1, std::uint32_t p2) {
    ring(PieceOwner::face(p1), {u, v});
    ring(PieceOwner::face(p2), {v, u});
  }
  std::vector<std::vector<P3>> lines() const {
    std::vector<std::vector<P3>> out;
    for (const auto& l : twostage_creases(work, pieces).lines) out.push_back(l.points);
    return out;
  }
};

// Planes 1 and 5 (z = 0 and z = 0.06 x, 3.4 degrees apart), 2 and 3 (z = 0 and z = 0.06 y): every
// point near the origin at height 0 lies within 0.1 of all four.
Creases near_origin() {
  Creases c;
  c.plane(1, 0, 0, 0);
  c.plane(5, 0, 0.06, 0);
  c.plane(2, 0, 0, 0);
  c.plane(3, 0, 0, 0.06);
  return c;
}

TEST(Creases, NothingWithoutEdges) {
  Creases c = near_origin();
  EXPECT_TRUE(c.lines().empty());
  c.point(0, 0, 0, 0);
  c.ring(PieceOwner::face(1), {0});
  c.ring(PieceOwner::face(5), {0, 0, 0});
  EXPECT_TRUE(c.lines().empty());
}

// Two face pieces along the edge x = 0 from (0, 0) to (0, 10): the west one on z = 0, the east one
// rising at the given angle.
TEST(Creases, PlanePairAngleAndHeightTolerance) {
  struct Case {
    const char* name;
    double degrees;
    double end_height;  // of the edge's upper end
    bool crease;
  };
  for (const Case& k : {Case{"2 degrees", 2.0, 0.0, false}, Case{"3.01 degrees", 3.01, 0.0, true},
                        Case{"10 degrees", 10.0, 0.0, true}, Case{"0.1 above both", 10.0, 0.1, true},
                        Case{"0.1001 above both", 10.0, 0.1001, false}}) {
    SCOPED_TRACE(k.name);
    Creases c;
    c.plane(1, 0, 0, 0);
    c.plane(2, 0, std::tan(k.degrees / 57.29577951308232), 0);
    c.point(0, 0, 0, 0);
    c.point(1, 0, 10, k.end_height);
    c.point(2, -10, 5, 0);
    c.point(3, 10, 5, 10 * c.work.planes[2].a);
    c.ring(PieceOwner::face(1), {0, 1, 2});
    c.ring(PieceOwner::face(2), {0, 3, 1});
    const auto lines = c.lines();
    if (!k.crease) {
      EXPECT_TRUE(lines.empty());
      continue;
    }
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0], (std::vector<P3>{{0, 0, 0}, {0, 10, k.end_height}}));
  }
}

TEST(Creases, OnlyEdgesBetweenTwoFacesCount) {
  Creases c = near_origin();
  c.point(0, 0, 0, 0);
  c.point(1, 1, 0, 0);
  c.point(2, 0, 1, 0);
  c.ring(PieceOwner::face(1), {0, 1});  // on one outline only
  c.ring(PieceOwner::face(1), {0, 2});  // a face and a loose piece
  c.ring(PieceOwner::loose(0), {2, 0});
  c.ring(PieceOwner::face(1), {1, 2});  // three distinct sides
  c.ring(PieceOwner::face(5), {2, 1});
  c.ring(PieceOwner::face(3), {2, 1});
  EXPECT_TRUE(c.lines().empty());
  // A second side of plane 5 along 1-2 merges with the first: still three distinct sides.
  c.ring(PieceOwner::face(5), {1, 2});
  EXPECT_TRUE(c.lines().empty());
}

TEST(Creases, ChainsEdgesIntoLines) {
  struct Case {
    const char* name;
    std::vector<std::pair<std::uint64_t, std::uint64_t>> edges;
    std::vector<std::vector<std::uint64_t>> lines;
  };
  const std::vector<Case> cases = {
      {"a path U-V-W", {{2, 1}, {0, 1}}, {{0, 1, 2}}},
      {"a junction with the smallest key", {{0, 1}, {0, 2}, {0, 3}}, {{0, 1}, {0, 2}, {0, 3}}},
      {"a junction with the largest key", {{3, 0}, {3, 1}, {3, 2}}, {{0, 3}, {1, 3}, {2, 3}}},
      {"a junction and a path through it", {{4, 0}, {0, 1}, {1, 2}, {0, 3}}, {{0, 1, 2}, {0, 3}, {0, 4}}},
      {"a closed square", {{0, 2}, {2, 1}, {1, 3}, {3, 0}}, {{0, 2, 1, 3, 0}}},
  };
  const std::vector<std::array<double, 2>> at = {{0, 0}, {0.5, 0}, {0.5, 0.5}, {0, 0.5}, {-0.5, 0}};
  for (const Case& k : cases) {
    SCOPED_TRACE(k.name);
    Creases c = near_origin();
    for (std::uint64_t i = 0; i < at.size(); ++i) c.point(i, at[i][0], at[i][1], 0);
    for (const auto& [u, v] : k.edges) c.edge(u, v, 1, 5);
    std::vector<std::vector<P3>> want;
    for (const auto& line : k.lines) {
      want.emplace_back();
      for (auto i : line) want.back().push_back({at[i][0], at[i][1], 0});
    }
    EXPECT_EQ(c.lines(), want);
  }
}

TEST(Creases, DropsLinesWithoutPlanLengthAndOrdersByPlanePair) {
  Creases c = near_origin();
  c.point(0, 0, 0, 0);
  c.point(1, -0.5, 0, 0);
  c.point(2, 0.5, 0, 0);
  c.point(3, 0.5, 0.5, 0);
  c.point(4, -0.5, 0, 0.05);  // right above point 1: a vertical step
  c.edge(1, 4, 1, 5);
  c.edge(2, 3, 2, 3);  // the pair (2, 3) sorts after (1, 5)
  c.edge(0, 2, 1, 5);
  EXPECT_EQ(c.lines(), (std::vector<std::vector<P3>>{{{0, 0, 0}, {0.5, 0, 0}}, {{0.5, 0, 0}, {0.5, 0.5, 0}}}));
}

TEST(Creases, MissingKeysAreFaults) {
  for (int which = 0; which < 2; ++which) {
    Creases c = near_origin();
    c.point(0, 0, 0, 0);
    c.point(1, 0.5, 0, 0);
    if (which == 0) {
      c.ring(PieceOwner::face(1), {0, 7});
    } else {
      c.edge(0, 1, 1, 9);  // plane 9 is not in the map
    }
    try {
      (void)c.lines();
      ADD_FAILURE() << "no fault";
    } catch (const Fault& f) {
      EXPECT_EQ(f.message(), "no entry found for key");
    }
  }
}

// End to end: a tilted plane has no crease, the ridge one line along its crest.
TEST(Creases, SampledTerrains) {
  {
    fixture::FakeHost host(fixture::tilted_plane());
    const fixture::Pipeline p = fixture::run_pipeline(fixture::rect_cells(0, 0, 3, 3), host);
    EXPECT_TRUE(twostage_creases(p.refined.points, p.pieces).lines.empty());
  }
  fixture::FakeHost host(fixture::ridge());
  const fixture::Pipeline p = fixture::run_pipeline(fixture::rect_cells(0, 0, 3, 3), host);
  const CreaseSet set = twostage_creases(p.refined.points, p.pieces);
  ASSERT_EQ(set.lines.size(), 1u);
  const auto& line = set.lines[0].points;
  const double ox = p.refined.points.origin_x;
  const double oy = p.refined.points.origin_y;
  for (const auto& q : line) {
    EXPECT_NEAR(q[0] + ox, 36.5, 1e-6);
    EXPECT_NEAR(q[2], *host.terrain().height(q[0] + ox, q[1] + oy), 1e-6);
  }
  // From one side of the cells to the other.
  const double y0 = line.front()[1] + oy;
  const double y1 = line.back()[1] + oy;
  EXPECT_NEAR(std::min(y0, y1), 0.0, 1e-6);
  EXPECT_NEAR(std::max(y0, y1), 192.0, 1e-6);
}

}  // namespace
}  // namespace qm::mesh
