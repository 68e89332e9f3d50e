#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <set>

#include "faces_pipeline.hpp"

namespace qm::mesh::fixture {
namespace {

std::set<std::uint64_t> face_owners(const Pipeline& p) {
  std::set<std::uint64_t> faces;
  for (const auto& piece : p.pieces.pieces) {
    if (piece.owner.kind == PieceOwner::Kind::Face) faces.insert(piece.owner.value);
  }
  return faces;
}

double ring_area(const FacePieces& pieces, const std::vector<PointKey>& ring) {
  double twice = 0.0;
  for (std::size_t j = 0; j < ring.size(); ++j) {
    const auto& u = pieces.points.at(ring[j]);
    const auto& v = pieces.points.at(ring[(j + 1) % ring.size()]);
    twice += u[0] * v[1] - u[1] * v[0];
  }
  return 0.5 * twice;
}

// The pieces cover the cells (their kept triangles) once, ring by ring counter-clockwise.
void expect_cover(const Pipeline& p, double cells_area) {
  double total = 0.0;
  for (const auto& piece : p.pieces.pieces) {
    const double a = ring_area(p.pieces, piece.ring);
    EXPECT_GT(a, 0.0);
    total += a;
    EXPECT_EQ(std::set<PointKey>(piece.ring.begin(), piece.ring.end()).size(), piece.ring.size());
  }
  // Points inserted into edges may sit up to 0.001 off them.
  EXPECT_NEAR(total, cells_area, 1e-6 * cells_area);
}

// Groups of cells that touch (also at a corner, where they share lattice points).
std::size_t regions(const std::set<Cell>& cells) {
  std::set<Cell> left = cells;
  std::size_t count = 0;
  while (!left.empty()) {
    ++count;
    std::vector<Cell> stack{*left.begin()};
    left.erase(left.begin());
    while (!stack.empty()) {
      const Cell c = stack.back();
      stack.pop_back();
      for (int dx = -1; dx <= 1; ++dx) {
        for (int dy = -1; dy <= 1; ++dy) {
          const auto it = left.find(Cell{c.first + dx, c.second + dy});
          if (it == left.end()) continue;
          stack.push_back(*it);
          left.erase(it);
        }
      }
    }
  }
  return count;
}

TEST(FacesPipeline, ATiltedPlaneIsOneFacePerRegion) {
  for (const auto& [name, cells] : cover_shapes()) {
    FakeHost host(tilted_plane());
    const Pipeline p = run_pipeline(cells, host);
    SCOPED_TRACE(name);
    EXPECT_EQ(p.refine_questions, 0u);
    EXPECT_EQ(face_owners(p).size(), regions(cells));
    for (const auto& piece : p.pieces.pieces) EXPECT_EQ(piece.owner.kind, PieceOwner::Kind::Face);
    expect_cover(p, 4096.0 * static_cast<double>(cells.size()));
    EXPECT_LT(surface_error(p, host.terrain()).worst, 1e-9);
  }
}

// The fixture's ridge line.
constexpr double kRidgeX = 36.5;

TEST(FacesPipeline, ARidgeIsTwoFacesMeetingAlongIt) {
  FakeHost host(ridge());
  const Pipeline p = run_pipeline(rect_cells(0, 0, 3, 3), host);
  ASSERT_EQ(face_owners(p).size(), 2u);
  // Every piece lies on one side of the ridge line, west on one face, east on the other.
  std::set<std::uint64_t> west, east;
  for (const auto& piece : p.pieces.pieces) {
    bool any_west = false, any_east = false;
    for (const auto& k : piece.ring) {
      const double x = p.pieces.points.at(k)[0] + p.refined.points.origin_x;
      any_west |= x < kRidgeX - 1e-6;
      any_east |= x > kRidgeX + 1e-6;
    }
    EXPECT_FALSE(any_west && any_east) << "a piece crosses the ridge";
    if (any_west) west.insert(piece.owner.value);
    if (any_east) east.insert(piece.owner.value);
  }
  EXPECT_EQ(west.size(), 1u);
  EXPECT_EQ(east.size(), 1u);
  EXPECT_NE(west, east);
  expect_cover(p, 9 * 4096.0);
  EXPECT_LT(surface_error(p, host.terrain()).worst, 1e-9);
}

TEST(FacesPipeline, ReproducesTheAnalyticTerrains) {
  struct Case {
    Terrain terrain;
    double worst;  // largest vertical error allowed
    double rms;
  };
  // Planar faces are exact; a pyramid's faces meet in creases and one apex within the refine
  // pass's 0.25; curved and meshed ground within the refine tolerance on average.
  for (const Case& c : {Case{pyramid(), 0.25, 0.01}, Case{cone(), 1.0, 0.05}, Case{triangle_mesh(), 1.0, 0.05},
                        Case{elevation_grid(), 1.0, 0.05}}) {
    FakeHost host(c.terrain);
    const Pipeline p = run_pipeline(rect_cells(0, 0, 3, 3), host);
    SCOPED_TRACE(c.terrain.name);
    expect_cover(p, 9 * 4096.0);
    const SurfaceError e = surface_error(p, c.terrain);
    EXPECT_LE(e.worst, c.worst);
    EXPECT_LE(e.rms, c.rms);
    EXPECT_LE(p.refine_iterations, 13u);
    EXPECT_LE(p.refine_questions, p.refined.ask_limit);
  }
}

// The elevation grid is what a simulator's terrain looks like from outside: whole metres at the
// points of a 90-unit grid, one plane on each half of a grid square, and hills and valleys that
// rise and fall by hundreds of metres over a few kilometres.
TEST(TerrainFixture, TheElevationGridIsWholeMetresOnTrianglesOfItsGrid) {
  const Terrain t = elevation_grid();
  const double x0 = 17.0, y0 = -29.0, d = 90.0;
  double low = 1e9, high = -1e9;
  for (int i = -30; i < 30; ++i) {
    for (int j = -30; j < 30; ++j) {
      const double x = x0 + d * i, y = y0 + d * j;
      const double h = *t.height(x, y);
      EXPECT_EQ(h, std::round(h));
      low = std::min(low, h);
      high = std::max(high, h);
      // Planar halves split along the diagonal from (x + d, y) to (x, y + d).
      const double right = *t.height(x + d, y), up = *t.height(x, y + d), corner = *t.height(x + d, y + d);
      EXPECT_NEAR(*t.height(x + d / 3, y + d / 3), (h + right + up) / 3, 1e-9);
      EXPECT_NEAR(*t.height(x + 2 * d / 3, y + 2 * d / 3), (corner + right + up) / 3, 1e-9);
    }
  }
  EXPECT_GT(high - low, 300.0);
  EXPECT_LT(high - low, 1000.0);
}

}  // namespace
}  // namespace qm::mesh::fixture
