// The piece build's driver: its outcomes, its request checks and its stop polls.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>
#include <cmath>
#include <cstring>
#include <functional>
#include <memory>
#include <string>

#include "faces_pipeline.hpp"
#include "base/fault.hpp"
#include "base/span.hpp"
#include "mesh/outline/outline.hpp"
#include "mesh/build/piece_build.hpp"
#include "terrain_fixture.hpp"
#include "fault_text.hpp"

namespace qm::mesh {
namespace {

using fixture::FakeHost;
using fixture::rect_cells;
using fixture::sampled_request;

std::uint64_t span_count(const char* name) {
  for (const auto& e : thread_span_table()) {
    if (std::strcmp(e.name, name) == 0) return e.count;
  }
  return 0;
}

using qm::testing::fault_text;

struct Flags {
  std::atomic<bool> cancel{false};
  std::atomic<bool> stop{false};
  StopFlags flags{&cancel, &stop};
  StopCheck poll() const { return scheme_stop_check(flags); }
};

TEST(SchemeBuild, StopPollReadsTheCancelFlagThenTheStopFlag) {
  struct Case {
    bool cancel, stop, stopped;
  };
  for (const Case c : {Case{false, false, false}, Case{true, false, true}, Case{false, true, true}, Case{true, true, true}}) {
    Flags f;
    f.cancel = c.cancel;
    f.stop = c.stop;
    EXPECT_EQ(scheme_cancelled(f.flags), c.stopped) << c.cancel << c.stop;
    EXPECT_EQ(scheme_stop_check(f.flags)(), c.stopped);
  }
  EXPECT_FALSE(scheme_cancelled(StopFlags{}));
}

TEST(SchemeBuild, ARequestWithoutSamplingIsPlainAndOpensNoSpan) {
  BuildRequest r;
  r.holders = {CellHolder{1, 2, std::nullopt}, CellHolder{1, 3, 7}};
  r.cells = {{1, 2}, {1, 3}};
  r.ring = {{1, 3}};
  BuildSnapshot snapshot;
  Flags f;
  f.stop = true;  // a Plain request polls nothing
  const auto spans = span_count("scheme.build");
  const MeshPiece piece = scheme_build(r, snapshot, f.poll());
  EXPECT_TRUE(piece.is_plain());
  EXPECT_EQ(piece.holders, r.holders);
  EXPECT_TRUE(piece.recut.empty());
  EXPECT_FALSE(piece.mesh.has_value());
  EXPECT_EQ(span_count("scheme.build"), spans);
}

TEST(SchemeBuild, AnUnfinishedRequestIsAFaultBeforeAnySpan) {
  const BuildRequest good = sampled_request(rect_cells(0, 0, 1, 1), fixture::tilted_plane());
  struct Case {
    const char* name;
    void (*spoil)(BuildRequest&);
  };
  const Case cases[] = {
      {"phase not sampled", [](BuildRequest& r) { r.phase = 0; }},
      {"phase beyond sampled", [](BuildRequest& r) { r.phase = 2; }},
      {"no refined state", [](BuildRequest& r) { r.refined.reset(); }},
      {"refine pass not done", [](BuildRequest& r) { r.refine_done = 0; }},
  };
  for (const Case& c : cases) {
    BuildRequest r = good;
    c.spoil(r);
    const auto spans = span_count("scheme.build");
    Flags f;
    try {
      scheme_build(r, BuildSnapshot{}, f.poll());
      ADD_FAILURE() << c.name << ": no fault";
    } catch (const Fault& e) {
      EXPECT_EQ(std::string(e.what()), "a request is built once sampled") << c.name;
    }
    EXPECT_EQ(span_count("scheme.build"), spans) << c.name;
  }
}

TEST(SchemeBuild, AStopBeforeTheBuildIsSeenBeforeThePieces) {
  const BuildRequest r = sampled_request(rect_cells(0, 0, 2, 1), fixture::ridge());
  for (const bool cancel : {true, false}) {
    Flags f;
    (cancel ? f.cancel : f.stop) = true;
    const auto pieces = span_count("faces.pieces");
    const auto builds = span_count("scheme.build");
    const MeshPiece piece = scheme_build(r, BuildSnapshot{}, f.poll());
    EXPECT_TRUE(piece.is_stopped());
    EXPECT_TRUE(piece.holders.empty());
    EXPECT_FALSE(piece.mesh.has_value());
    EXPECT_EQ(span_count("faces.pieces"), pieces);
    EXPECT_EQ(span_count("scheme.build"), builds + 1);  // closed on the way out
  }
}

double signed_area(const CellMesh& m, const std::array<std::uint64_t, 3>& t) {
  const auto &a = m.vertices.at(t[0]), &b = m.vertices.at(t[1]), &c = m.vertices.at(t[2]);
  return 0.5 * ((b[0] - a[0]) * (c[1] - a[1]) - (b[1] - a[1]) * (c[0] - a[0]));
}

// The mesh covers exactly its cells: counter-clockwise triangles with every corner in or on a
// cell of the set, areas adding up to the cells' area.
void expect_covers(const CellMesh& mesh, const std::set<Cell>& cells) {
  EXPECT_EQ(mesh.cells, cells);
  const CellGrid grid = lattice_from_cells(cells);
  double area = 0.0;
  for (const auto& t : mesh.triangles) {
    const double a = signed_area(mesh, t);
    EXPECT_GT(a, 0.0);
    area += a;
    for (const auto i : t) EXPECT_NE(lattice_cells_at(grid, mesh.vertices[i][0], mesh.vertices[i][1]) & 0x1010101u, 0u);
  }
  EXPECT_NEAR(area, 4096.0 * static_cast<double>(cells.size()), 1e-6);
}

// The vertices of a mesh on the segment x = c, y in [y0, y1].
std::set<std::array<double, 3>> points_on_line_x(const CellMesh& mesh, double c, double y0, double y1) {
  std::set<std::array<double, 3>> out;
  for (const auto& v : mesh.vertices) {
    if (v[0] == c && v[1] >= y0 && v[1] <= y1) out.insert(v);
  }
  return out;
}

// A synthetic stored mesh over the cells: each cell two triangles at height 10.
CellMesh flat_piece(const std::set<Cell>& cells, std::uint64_t id) {
  CellMesh m;
  for (const auto& [cx, cy] : cells) {
    const double x = 64.0 * cx, y = 64.0 * cy;
    const std::uint64_t k = m.vertices.size();
    m.vertices.insert(m.vertices.end(), {{x, y, 10}, {x + 64, y, 10}, {x + 64, y + 64, 10}, {x, y + 64, 10}});
    m.triangles.push_back({k, k + 1, k + 2});
    m.triangles.push_back({k, k + 2, k + 3});
  }
  m.cells = cells;
  m.id = id;
  return m;
}

TEST(SchemeBuild, ASampledGroupBuildsOneMeshOverItsCells) {
  const auto terrain = fixture::ridge();
  const std::set<Cell> cells = rect_cells(0, 0, 2, 2);
  const BuildRequest r = sampled_request(cells, terrain);
  const BuildRequest before = r;
  const char* spans[] = {"scheme.build", "twostage.reference", "twostage.creases", "scheme.build.outline",
                         "scheme.build.cut", "twostage"};
  std::vector<std::uint64_t> counts;
  for (const char* s : spans) counts.push_back(span_count(s));
  Flags f;
  const MeshPiece piece = scheme_build(r, BuildSnapshot{}, f.poll());
  ASSERT_TRUE(piece.is_built());
  for (std::size_t i = 0; i < counts.size(); ++i) EXPECT_EQ(span_count(spans[i]), counts[i] + 1) << spans[i];
  EXPECT_EQ(piece.holders, r.holders);
  EXPECT_TRUE(piece.recut.empty());
  ASSERT_TRUE(piece.mesh.has_value());
  EXPECT_EQ(piece.mesh->id, 0u);
  expect_covers(*piece.mesh, cells);
  // The ridge is two planes: the reference surface is exact, and so is every vertex height.
  for (const auto& v : piece.mesh->vertices) EXPECT_NEAR(v[2], *terrain.height(v[0], v[1]), 1e-6);
  EXPECT_LE(piece.counters.worst_error, 0.25);
  EXPECT_GE(piece.counters.seed_vertices, 8u);  // the border's corners at least
  // The request is only read.
  EXPECT_EQ(r.holders, before.holders);
  EXPECT_EQ(r.refined->points.xs, before.refined->points.xs);
  EXPECT_EQ(r.refined->points.hs, before.refined->points.hs);
}

TEST(SchemeBuild, ANewPieceAndTheRecutOlderPieceShareTheirBorderPoints) {
  const auto terrain = fixture::pyramid();
  // The older piece A over (0, 0) and (1, 0), built and stored as piece 5.
  Flags f;
  const BuildRequest ra = sampled_request(rect_cells(0, 0, 2, 1), terrain);
  MeshPiece a = scheme_build(ra, BuildSnapshot{}, f.poll());
  ASSERT_TRUE(a.is_built());
  CellMesh stored = *a.mesh;
  stored.id = 5;
  // The new group takes (1, 0) over from A and adds (2, 0); A keeps (0, 0).
  BuildRequest rb = sampled_request(rect_cells(1, 0, 2, 1), terrain);
  rb.holders = {CellHolder{0, 0, 5}, CellHolder{1, 0, 5}, CellHolder{2, 0, std::nullopt}};
  rb.ring = {{1, 0}};
  BuildSnapshot snapshot;
  snapshot.holder_map[{0, 0}] = 5;
  snapshot.holder_map[{1, 0}] = 5;
  snapshot.meshes[5] = stored;
  const MeshPiece b = scheme_build(rb, snapshot, f.poll());
  ASSERT_TRUE(b.is_built());
  expect_covers(*b.mesh, rect_cells(1, 0, 2, 1));
  ASSERT_EQ(b.recut.size(), 1u);
  EXPECT_EQ(b.recut[0].id, 5u);
  EXPECT_EQ(b.recut[0].cells_before, stored.cells);
  ASSERT_TRUE(b.recut[0].mesh.has_value());
  const CellMesh& kept = *b.recut[0].mesh;
  expect_covers(kept, {{0, 0}});
  // Along x = 64 both meshes have exactly the same points, bit for bit: the older piece's outline.
  const auto outline = build_outline(stored, PieceSide{64, 0, 0});
  const std::set<std::array<double, 3>> expected(outline.begin(), outline.end());
  EXPECT_EQ(points_on_line_x(*b.mesh, 64, 0, 64), expected);
  EXPECT_EQ(points_on_line_x(kept, 64, 0, 64), expected);
  EXPECT_GE(expected.size(), 2u);
}

TEST(SchemeBuild, APieceSeededFromANeighboursPlainSideMeetsItThere) {
  // A was built alone: its side x = 64 is a plain line that the refinement may split. B, built
  // later across that side without taking a cell of A, is seeded from A's points there.
  for (const auto& terrain : {fixture::cone(), fixture::triangle_mesh()}) {
    SCOPED_TRACE(terrain.name);
    Flags f;
    MeshPiece a = scheme_build(sampled_request({{0, 0}}, terrain), BuildSnapshot{}, f.poll());
    ASSERT_TRUE(a.is_built());
    a.mesh->id = 5;
    BuildSnapshot snapshot;
    snapshot.holder_map[{0, 0}] = 5;
    snapshot.meshes[5] = *a.mesh;
    const MeshPiece b = scheme_build(sampled_request({{1, 0}}, terrain), snapshot, f.poll());
    ASSERT_TRUE(b.is_built());
    EXPECT_TRUE(b.recut.empty());
    const auto on_a = points_on_line_x(*a.mesh, 64, 0, 64);
    EXPECT_GE(on_a.size(), 3u);
    EXPECT_EQ(points_on_line_x(*b.mesh, 64, 0, 64), on_a);
  }
}

TEST(SchemeBuild, RecutListsEveryOlderPieceOnceInAscendingId) {
  const BuildRequest base = sampled_request(rect_cells(0, 0, 3, 1), fixture::tilted_plane());
  // Piece 9 holds (0, 0) and (1, 0) (and keeps (0, 1)); piece 3 holds only (2, 0), which it gives up.
  BuildRequest r = base;
  r.ring = {{0, 0}, {1, 0}, {2, 0}};
  BuildSnapshot snapshot;
  snapshot.holder_map[{0, 0}] = 9;
  snapshot.holder_map[{1, 0}] = 9;
  snapshot.holder_map[{0, 1}] = 9;
  snapshot.holder_map[{2, 0}] = 3;
  snapshot.meshes[9] = flat_piece({{0, 0}, {1, 0}, {0, 1}}, 9);
  snapshot.meshes[3] = flat_piece({{2, 0}}, 3);
  Flags f;
  const MeshPiece piece = scheme_build(r, snapshot, f.poll());
  ASSERT_TRUE(piece.is_built());
  ASSERT_EQ(piece.recut.size(), 2u);
  EXPECT_EQ(piece.recut[0], (RecutPiece{3, {{2, 0}}, std::nullopt}));
  EXPECT_EQ(piece.recut[1].id, 9u);
  EXPECT_EQ(piece.recut[1].cells_before, (std::set<Cell>{{0, 0}, {0, 1}, {1, 0}}));
  ASSERT_TRUE(piece.recut[1].mesh.has_value());
  expect_covers(*piece.recut[1].mesh, {{0, 1}});
  // The side the new piece shares with what piece 9 keeps (y = 64 over x 0..64) is fixed and
  // copied from piece 9's mesh.
  for (const auto& v : piece.mesh->vertices) {
    if (v[1] == 64.0 && v[0] <= 64.0) {
      EXPECT_EQ(v[2], 10.0);
    }
  }
}

TEST(SchemeBuild, BrokenSnapshotsAreFaults) {
  const BuildRequest base = sampled_request(rect_cells(0, 0, 2, 1), fixture::tilted_plane());
  Flags f;
  {
    BuildRequest r = base;
    r.ring = {{1, 0}};  // held by nobody in the snapshot
    EXPECT_EQ(fault_text([&] { scheme_build(r, BuildSnapshot{}, f.poll()); }), "a ring cell is held");
  }
  {
    BuildRequest r = base;
    r.ring = {{1, 0}};
    BuildSnapshot snapshot;
    snapshot.holder_map[{1, 0}] = 4;  // no stored mesh for piece 4
    EXPECT_EQ(fault_text([&] { scheme_build(r, snapshot, f.poll()); }), "no entry found for key");
  }
  {
    BuildSnapshot snapshot;
    snapshot.holder_map[{2, 0}] = 4;  // a held neighbour without its mesh: the outline stage
    EXPECT_EQ(fault_text([&] { scheme_build(base, snapshot, f.poll()); }), "no entry found for key");
  }
}

TEST(SchemeBuild, AStopAtAnyMomentGivesStoppedOrTheWholePiece) {
  // Another thread sets a flag while the build runs, at moments spread over a build's length.
  const BuildRequest r = sampled_request(rect_cells(0, 0, 2, 2), fixture::pyramid());
  Flags unstopped;
  const MeshPiece whole = scheme_build(r, BuildSnapshot{}, unstopped.poll());
  ASSERT_TRUE(whole.is_built());
  for (int k = 0; k < 12; ++k) {
    Flags f;
    std::thread setter([&f, k] {
      std::this_thread::sleep_for(std::chrono::microseconds(500 * k));
      (k % 2 == 0 ? f.cancel : f.stop) = true;
    });
    const MeshPiece piece = scheme_build(r, BuildSnapshot{}, f.poll());
    setter.join();
    if (piece.is_stopped()) {
      EXPECT_FALSE(piece.mesh.has_value());
      EXPECT_TRUE(piece.holders.empty() && piece.recut.empty());
    } else {
      ASSERT_TRUE(piece.is_built());
      EXPECT_EQ(piece.mesh, whole.mesh);  // a build is deterministic
    }
  }
}

TEST(SchemeBuild, EmptyRequestsBuildWithoutFailing) {
  // A sampled request without a single sample: no reference surface, so the border's corners
  // have no height; with no cell at all there is nothing to mesh.
  for (const bool one_cell : {false, true}) {
    BuildRequest r;
    r.sampling = fixture::new_run({{0, 0}});
    r.phase = 1;
    r.refined = FaceWork{};
    r.refine_done = 1;
    if (one_cell) r.cells = {{0, 0}};
    Flags f;
    const MeshPiece piece = scheme_build(r, BuildSnapshot{}, f.poll());
    ASSERT_TRUE(piece.is_built());
    ASSERT_TRUE(piece.mesh.has_value());
    EXPECT_EQ(piece.mesh->cells, r.cells);
    if (!one_cell) {
      EXPECT_TRUE(piece.mesh->vertices.empty());
      EXPECT_TRUE(piece.mesh->triangles.empty());
      continue;
    }
    expect_covers(*piece.mesh, r.cells);
    EXPECT_EQ(piece.mesh->vertices.size(), 4u);
    for (const auto& v : piece.mesh->vertices) EXPECT_TRUE(std::isnan(v[2]));
  }
}

}  // namespace
}  // namespace qm::mesh
