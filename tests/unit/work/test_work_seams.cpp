// Pieces that border each other, built the whole way a page's areas are: the schedule pass plans a
// group, the sampler samples it from an analytic terrain through height queue kind 2, and the
// builder builds it with the real piece build and commits it together with the re-cut of every
// older piece it takes cells from. Any two stored pieces must then meet along every side they share
// at the same points with the same heights, and no border vertex of one may lie inside a border
// edge of the other. And the builder's check before commit covers every cell the build looked at.
#include <gtest/gtest.h>

#include <cmath>
#include <functional>
#include <map>
#include <memory>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "mesh/grid/cell_grid.hpp"
#include "work/builder_run.hpp"
#include "work/sampler_run.hpp"
#include "terrain_fixture.hpp"
#include "work_host.hpp"
#include "work/store_testing.hpp"

namespace qm::work {
namespace {

using mesh::fixture::rect_cells;
using mesh::fixture::Terrain;
using test_host::Road;
using test_host::text;

using Vertex = std::array<double, 3>;
using Edge = std::pair<std::uint64_t, std::uint64_t>;

std::string at(const Vertex& v) {
  std::ostringstream out;
  out.precision(17);
  out << "(" << v[0] << ", " << v[1] << ", " << v[2] << ")";
  return out.str();
}

// The edges that only one triangle of the mesh has.
std::set<Edge> border_edges(const mesh::CellMesh& m) {
  std::map<Edge, int> uses;
  for (const auto& [a, b, c] : m.triangles)
    for (const Edge& e : {Edge{a, b}, Edge{b, c}, Edge{c, a}}) ++uses[{std::min(e.first, e.second), std::max(e.first, e.second)}];
  std::set<Edge> out;
  for (const auto& [e, n] : uses)
    if (n == 1) out.insert(e);
  return out;
}

// What is wrong with one stored piece on its own: triangles that are not counter-clockwise, or
// stray out of its cells, or do not add up to its cells' area.
void piece_faults(const mesh::CellMesh& m, std::vector<std::string>& faults) {
  const mesh::CellGrid grid = mesh::lattice_from_cells(m.cells);
  double area = 0.0;
  for (const auto& t : m.triangles) {
    const Vertex &a = m.vertices.at(t[0]), &b = m.vertices.at(t[1]), &c = m.vertices.at(t[2]);
    const double twice = (b[0] - a[0]) * (c[1] - a[1]) - (b[1] - a[1]) * (c[0] - a[0]);
    if (!(twice > 0.0)) faults.push_back("piece " + std::to_string(m.id) + ": a triangle that is not counter-clockwise");
    area += 0.5 * twice;
    for (const Vertex* v : {&a, &b, &c}) {
      if ((mesh::lattice_cells_at(grid, (*v)[0], (*v)[1]) & 0x1010101u) == 0 || !std::isfinite((*v)[2]))
        faults.push_back("piece " + std::to_string(m.id) + ": vertex " + at(*v) + " off its cells or without height");
    }
  }
  const double want = 4096.0 * static_cast<double>(m.cells.size());
  if (std::fabs(area - want) > 1e-6)
    faults.push_back("piece " + std::to_string(m.id) + ": area " + std::to_string(area) + " of " + std::to_string(want));
}

// The vertices of a mesh on one cell side, by their position along it.
std::map<double, double> on_side(const mesh::CellMesh& m, const mesh::PieceSide& side) {
  std::map<double, double> out;
  for (const Vertex& v : m.vertices) {
    const double fix = side.axis == 0 ? v[0] : v[1], pos = side.axis == 0 ? v[1] : v[0];
    if (fix == side.c && pos >= side.a && pos <= side.a + 64.0) out[pos] = v[2];
  }
  return out;
}

// Where two stored pieces do not meet: a side they share with other points or heights on it, a
// border vertex of one inside a border edge of the other (a T-junction), or two border vertices
// that nearly, but not exactly, coincide.
void pair_faults(const mesh::CellMesh& p, const mesh::CellMesh& q, std::vector<std::string>& faults) {
  const std::string names = "pieces " + std::to_string(p.id) + " and " + std::to_string(q.id);
  for (const auto& [cx, cy] : p.cells) {
    const double x0 = 64.0 * cx, y0 = 64.0 * cy;
    const struct {
      Cell neighbour;
      mesh::PieceSide side;
    } sides[4] = {{{cx - 1, cy}, {x0, y0, 0}}, {{cx + 1, cy}, {x0 + 64, y0, 0}},
                  {{cx, cy - 1}, {y0, x0, 1}}, {{cx, cy + 1}, {y0 + 64, x0, 1}}};
    for (const auto& s : sides) {
      if (!q.cells.contains(s.neighbour)) continue;
      const auto a = on_side(p, s.side), b = on_side(q, s.side);
      if (a == b) continue;
      std::ostringstream out;
      out.precision(17);
      out << names << " differ on the side " << (s.side.axis == 0 ? "x = " : "y = ") << s.side.c << " from "
          << s.side.a << ":";
      for (const auto* m : {&a, &b}) {
        out << " {";
        for (const auto& [pos, z] : *m) out << " " << pos << ":" << z;
        out << " }";
      }
      faults.push_back(out.str());
    }
  }
  for (const auto& [m, other] : {std::pair{&p, &q}, std::pair{&q, &p}}) {
    std::set<std::uint64_t> border;
    for (const auto& [i, j] : border_edges(*other)) border.insert({i, j});
    for (const auto& [i, j] : border_edges(*m)) {
      const Vertex &u = m->vertices[i], &v = m->vertices[j];
      const double dx = v[0] - u[0], dy = v[1] - u[1], len2 = dx * dx + dy * dy;
      for (const std::uint64_t k : border) {
        const Vertex& w = other->vertices[k];
        if ((w[0] == u[0] && w[1] == u[1]) || (w[0] == v[0] && w[1] == v[1])) continue;
        const double near_u = std::hypot(w[0] - u[0], w[1] - u[1]);
        if (near_u < 0.001) faults.push_back(names + ": border vertices " + at(u) + " and " + at(w) + " nearly meet");
        const double t = ((w[0] - u[0]) * dx + (w[1] - u[1]) * dy) / len2;
        const double off = std::fabs(dx * (w[1] - u[1]) - dy * (w[0] - u[0])) / std::sqrt(len2);
        if (t > 0.0 && t < 1.0 && off < 0.001) {
          faults.push_back(names + ": border vertex " + at(w) + " inside the border edge " + at(u) + " - " + at(v) +
                           ", height gap " + std::to_string(std::fabs(w[2] - (u[2] + t * (v[2] - u[2])))));
        }
      }
    }
  }
}

std::vector<std::string> store_faults(const Store& store) {
  std::vector<std::string> faults;
  for (const auto& [key, m] : store.meshes()) piece_faults(m, faults);
  for (auto p = store.meshes().begin(); p != store.meshes().end(); ++p)
    for (auto q = std::next(p); q != store.meshes().end(); ++q) pair_faults(p->second, q->second, faults);
  return faults;
}

std::set<Cell> minus(std::set<Cell> a, const std::set<Cell>& b) {
  for (const Cell& c : b) a.erase(c);
  return a;
}

TEST(WorkSeams, NeighbouringPiecesMeetAtTheSamePointsWhateverTheOrder) {
  struct Scenario {
    const char* name;
    std::vector<std::set<Cell>> areas;  // built one after another
  };
  const Scenario scenarios[] = {
      {"side by side", {rect_cells(0, 0, 4, 2), rect_cells(4, 0, 3, 2)}},
      {"a third in the corner between two", {rect_cells(0, 0, 6, 3), rect_cells(0, 3, 3, 3), rect_cells(3, 3, 3, 3)}},
      {"one extending an area on two sides", {rect_cells(0, 0, 4, 4), minus(rect_cells(0, 0, 6, 6), rect_cells(0, 0, 4, 4))}},
      {"one between two older pieces", {rect_cells(0, 0, 4, 2), rect_cells(7, 0, 4, 2), rect_cells(4, 0, 3, 2)}},
      {"to the left, then below both",
       {rect_cells(1, 2, 4, 3), rect_cells(-3, 2, 4, 3), rect_cells(-3, -1, 8, 3)}},
      {"around a corner of three", {rect_cells(0, 0, 3, 3), rect_cells(3, 3, 3, 3), rect_cells(0, 3, 3, 3),
                                    rect_cells(3, 0, 3, 3)}},
  };
  for (const Terrain& terrain : {mesh::fixture::cone(), mesh::fixture::ridge(), mesh::fixture::pyramid(),
                                 mesh::fixture::triangle_mesh(), mesh::fixture::triangle_mesh(3)}) {
    for (const Scenario& s : scenarios) {
      SCOPED_TRACE(terrain.name + ", " + s.name);
      Road road(terrain);
      for (const std::set<Cell>& area : s.areas) road.build_area(area);
      const Schedule& schedule = road.state->schedule;
      EXPECT_EQ(schedule.counters.built, s.areas.size());
      EXPECT_EQ(schedule.counters.conflicts, 0u);
      EXPECT_EQ(schedule.counters.failed, 0u);
      std::set<Cell> covered;
      for (const auto& [key, m] : road.store().meshes()) covered.insert(m.cells.begin(), m.cells.end());
      std::set<Cell> asked;
      for (const auto& area : s.areas) asked.insert(area.begin(), area.end());
      EXPECT_EQ(covered, asked);
      EXPECT_GE(road.store().meshes().size(), 2u);
      const std::vector<std::string> faults = store_faults(road.store());
      EXPECT_TRUE(faults.empty()) << faults.size() << " faults, the first: " << faults.front();
    }
  }
}

// A stored piece over the cells (the stand-in build below reads no mesh), the newest.
void store_piece(Store& store, const std::set<Cell>& cells, std::uint64_t id) {
  StoreParts parts = store_parts(store);
  for (const Cell& c : cells) parts.cell_map.set(c, id);
  mesh::CellMesh m;
  m.cells = cells;
  m.id = id;
  parts.meshes.put(id, std::move(m));
  parts.next_key = std::max(parts.next_key, id + 1);
  parts.stamps[id] = ++parts.stamp_counter;
}

// The store, and what happens to it while the stand-in build below runs.
Store* g_store = nullptr;
std::function<void(Store&)> g_during_build;
std::uint64_t g_builds = 0;

// A stand-in for the piece build: the store changes first (the schedule lock is free meanwhile),
// then comes a flat piece over the request's cells, every older piece cut back to the cells it keeps.
mesh::MeshPiece changing_build(const mesh::BuildRequest& request, const mesh::BuildSnapshot& snapshot,
                               const mesh::StopCheck&) {
  ++g_builds;
  // The build reads every cell around its frame as the store holds it when the build starts.
  for (const Cell& c : halo_of(request.cells)) {
    const std::optional<std::uint64_t> stored = g_store->cell_map().key_of(c);
    const auto read = snapshot.holder_map.find(c);
    EXPECT_EQ(stored.has_value(), read != snapshot.holder_map.end()) << c.first << "," << c.second;
    if (stored && read != snapshot.holder_map.end()) {
      EXPECT_EQ(*stored, read->second);
    }
  }
  if (g_during_build) g_during_build(*g_store);
  mesh::MeshPiece piece;
  piece.kind = mesh::MeshPiece::Kind::Built;
  piece.holders = request.holders;
  mesh::CellMesh mesh;
  mesh.cells = request.cells;
  piece.mesh = std::move(mesh);
  std::set<std::uint64_t> older;
  for (const Cell& c : request.ring) older.insert(snapshot.holder_map.at(c));
  for (const std::uint64_t id : older) {
    mesh::CellMesh kept;
    for (const Cell& c : snapshot.meshes.at(id).cells)
      if (!request.ring.contains(c)) kept.cells.insert(c);
    piece.recut.push_back({id, snapshot.meshes.at(id).cells, kept});
  }
  return piece;
}

TEST(WorkSeams, ACellTheBuildReadsThatChangesMeanwhileIsAConflict) {
  // The new cell (0, 0) takes in (1, 0) and (2, 0) of piece 1, whose kept cell (3, 0) it borders;
  // piece 2 holds (3, 1) and (4, 1), across the corner at (192, 64); (-1, 0) is free.
  // While the group waits to be built, only its own frame matters: a cell of it that is built or
  // emptied meanwhile costs the sampling; the build reads the neighbours as they are when it
  // starts. While it is built, any change to a cell the build read is a conflict.
  struct Case {
    const char* name;
    std::function<void(Store&)> change;
    bool before_build;  // while the group is sampled, else while it is built
    bool conflict;
  };
  const auto evict = [](Store& store, std::uint64_t id) { store.evict_entry(id); };
  const auto give_up = [](Store& store, std::uint64_t id, Cell cell) {  // as another build's re-cut does
    store_parts(store).cell_map.erase(cell);
    mesh::CellMesh mesh = store.meshes().at(id);
    mesh.cells.erase(cell);
    store_parts(store).meshes.put(id, std::move(mesh));
  };
  const auto recut_under = [](Store& store, std::uint64_t id, std::uint64_t key) {  // a re-cut's new key
    StoreParts parts = store_parts(store);
    mesh::CellMesh mesh = *parts.meshes.take(id);
    mesh.id = key;
    for (const Cell& c : mesh.cells) parts.cell_map.set(c, key);
    parts.meshes.put(key, std::move(mesh));
    parts.next_key = std::max(parts.next_key, key + 1);
    parts.stamps.erase(id);
    parts.stamps[key] = ++parts.stamp_counter;
  };
  const Case cases[] = {
      {"nothing changes", [](Store&) {}, false, false},
      {"the group's new cell gets a piece", [](Store& s) { store_piece(s, {{0, 0}}, 9); }, true, true},
      {"the piece the group re-cuts is evicted", [&](Store& s) { evict(s, 1); }, true, true},
      {"the piece the group re-cuts is stored under a new key", [&](Store& s) { recut_under(s, 1, 9); }, true, false},
      {"the piece the group re-cuts is stored under a new key", [&](Store& s) { recut_under(s, 1, 9); }, false, true},
      {"a free cell next to the group gets a piece", [](Store& s) { store_piece(s, {{-1, 0}}, 9); }, true, false},
      {"a free cell next to the group gets a piece", [](Store& s) { store_piece(s, {{-1, 0}}, 9); }, false, true},
      {"a free corner cell gets a piece", [](Store& s) { store_piece(s, {{-1, -1}}, 9); }, false, true},
      {"the piece across the corner is evicted", [&](Store& s) { evict(s, 2); }, true, false},
      {"the piece across the corner is evicted", [&](Store& s) { evict(s, 2); }, false, true},
      {"the piece across the corner gives a cell up", [&](Store& s) { give_up(s, 2, {4, 1}); }, true, false},
      {"the piece across the corner gives a cell up", [&](Store& s) { give_up(s, 2, {4, 1}); }, false, true},
      {"a piece away from the group changes", [&](Store& s) { store_piece(s, {{9, 9}}, 9); }, false, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.name) + (c.before_build ? ", before the build" : ", during the build"));
    Road road(mesh::fixture::tilted_plane());
    road.build = &changing_build;
    Store& store = road.state->schedule.store;
    g_store = &store;
    g_builds = 0;
    g_during_build = nullptr;
    {
      PoisonGuard lock(road.state->schedule_lock);
      store.hold_theatre(text("Plains"));
      store_piece(store, rect_cells(1, 0, 3, 1), 1);
      store_piece(store, {{3, 1}, {4, 1}}, 2);
    }
    const std::uint64_t job = road.file_job({{0, 0}});
    road.sample_one();
    {
      PoisonGuard lock(road.state->schedule_lock);
      const SampledGroup& group = road.state->schedule.groups.begin()->second;
      ASSERT_EQ(group.request->cells, (std::set<Cell>{{0, 0}, {1, 0}, {2, 0}}));
      ASSERT_EQ(group.request->ring, (std::set<Cell>{{1, 0}, {2, 0}}));
      if (c.before_build) c.change(store);
    }
    if (!c.before_build) g_during_build = c.change;
    // A conflict seen before the build drops the group, and nothing else is ready.
    const bool dropped_early = c.conflict && c.before_build;
    EXPECT_EQ(builder_step(*road.state, road.build), dropped_early ? BuilderStep::Idle : BuilderStep::Built);
    const Schedule& schedule = road.state->schedule;
    EXPECT_EQ(schedule.counters.conflicts, c.conflict ? 1u : 0u);
    EXPECT_EQ(schedule.counters.built, c.conflict ? 0u : 1u);
    EXPECT_EQ(g_builds, dropped_early ? 0u : 1u);
    EXPECT_EQ(schedule.jobs.at(job).wanted.empty(), !c.conflict);
  }
  g_during_build = nullptr;
}

}  // namespace
}  // namespace qm::work
