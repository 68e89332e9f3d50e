// The builder loop with the real schedule and store and a stand-in piece build: commit, conflicts,
// stopped and faulted builds, the one-build-at-a-time rule, and the owner table's square limit.
#include <gtest/gtest.h>

#include <array>
#include <deque>
#include <functional>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "base/fault.hpp"
#include "work/builder_run.hpp"
#include "work/sampler_run.hpp"
#include "work/worker_message.hpp"
#include "work/store_testing.hpp"

namespace qm::work {
namespace {

std::function<mesh::MeshPiece(const mesh::BuildRequest&, const mesh::BuildSnapshot&, const mesh::StopCheck&)> g_build;
std::uint64_t g_builds = 0;

mesh::MeshPiece stand_in(const mesh::BuildRequest& request, const mesh::BuildSnapshot& snapshot,
                         const mesh::StopCheck& poll) {
  ++g_builds;
  return g_build(request, snapshot, poll);
}

// A piece over the request's cells: one triangle per cell.
mesh::MeshPiece built_piece(const mesh::BuildRequest& request) {
  mesh::MeshPiece piece;
  piece.kind = mesh::MeshPiece::Kind::Built;
  piece.holders = request.holders;
  mesh::CellMesh mesh;
  for (const Cell& c : request.cells) {
    const double x = 64.0 * c.first, y = 64.0 * c.second;
    const std::uint64_t v = mesh.vertices.size();
    mesh.vertices.push_back({x, y, 1.0});
    mesh.vertices.push_back({x + 64, y, 2.0});
    mesh.vertices.push_back({x, y + 64, 3.0});
    mesh.triangles.push_back({v, v + 1, v + 2});
  }
  mesh.cells = request.cells;
  piece.mesh = std::move(mesh);
  return piece;
}

SharedText text(const char* s) { return std::make_shared<const std::string>(s); }

struct BuilderFixture {
  std::shared_ptr<TerrainState> state = std::make_shared<TerrainState>();
  Schedule& schedule = state->schedule;

  BuilderFixture() {
    g_builds = 0;
    g_build = [](const mesh::BuildRequest& r, const mesh::BuildSnapshot&, const mesh::StopCheck&) {
      return built_piece(r);
    };
    schedule.store.hold_theatre(text("Plains"));
  }

  // A job of the theatre that wants the cells.
  void add_job(std::uint64_t id, const std::set<Cell>& cells, const char* theatre = "Plains") {
    Job job;
    job.theatre = text(theatre);
    for (const Cell& c : cells) {
      job.wanted.insert(c);
      job.squares.insert(c);
      job.requested.insert(c);
    }
    job.square_count = job.squares.square_count();
    schedule.jobs[id] = std::move(job);
  }

  // A sampled group over the cells, its holders read from the store now.
  void add_group(std::uint64_t id, const std::set<Cell>& cells, std::uint8_t state_byte = kGroupSampled,
                 const std::set<Cell>& ring = {}) {
    SampledGroup group;
    group.theatre = text("Plains");
    group.set_cells(cells);
    group.frame_cells = cells;
    mesh::BuildRequest request;
    for (const Cell& c : cells) {
      const std::optional<std::uint64_t> held = schedule.store.cell_map().key_of(c);
      request.holders.push_back({c.first, c.second, held});
    }
    request.cells = cells;
    request.ring = ring;
    group.request = std::move(request);
    group.state = state_byte;
    schedule.groups[id] = std::move(group);
    schedule.store.pin(group_pin_id(id), PinRecord{});
  }
};

TEST(WorkBuilder, ASampledGroupIsBuiltAndCommitted) {
  BuilderFixture f;
  const std::set<Cell> cells = {{0, 0}, {0, 1}, {1, 0}};
  f.add_job(1, {{0, 0}, {0, 1}, {1, 0}, {5, 5}});
  f.add_group(7, cells);
  const std::uint64_t changes = change_counter(*f.state);

  EXPECT_EQ(builder_step(*f.state, &stand_in), BuilderStep::Built);
  check_invariants(f.schedule);
  const Store& store = f.schedule.store;
  ASSERT_EQ(store.meshes().size(), 1u);
  const std::uint64_t key = store.meshes().begin()->first;
  EXPECT_EQ(store.meshes().at(key).id, key);
  EXPECT_EQ(store.meshes().at(key).cells, cells);
  for (const Cell& c : cells) EXPECT_EQ(store.cell_map().at(c), key);
  EXPECT_EQ(store.stamps().at(key), 2u);
  EXPECT_EQ(f.schedule.counters.built, 1u);
  EXPECT_TRUE(f.schedule.groups.empty());
  EXPECT_FALSE(store.pins().contains(group_pin_id(7)));
  EXPECT_EQ(f.schedule.measured_groups, 1u);
  EXPECT_EQ(f.schedule.measured_bytes, entry_bytes(store.meshes().at(key)));

  // The job pins the new piece and no longer waits for its cells.
  const Job& job = f.schedule.jobs.at(1);
  ASSERT_EQ(job.pins.size(), 1u);
  EXPECT_EQ(job.pins.front(), key);
  EXPECT_EQ(job.wanted.cell_count(), 1u);
  EXPECT_TRUE(job.wanted.contains({5, 5}));

  // The owner table names the piece for each of its cells.
  const OwnerSquare& square = store.owners().at("Plains").at(Square{0, 0});
  EXPECT_EQ(square.ids[cell_bit({0, 1})][0], static_cast<std::uint32_t>(key));
  EXPECT_EQ(square.ids[cell_bit({0, 1})][1], kNoOwner);
  EXPECT_EQ(square.ids[cell_bit({3, 3})][0], kNoOwner);

  ASSERT_TRUE(f.state->last_built.has_value());
  EXPECT_EQ(f.state->last_built->cells, 3u);
  EXPECT_EQ(change_counter(*f.state), changes + 1);
  EXPECT_EQ(f.state->building.load(), 0);
}

TEST(WorkBuilder, ALeaseReleasedJobGetsNoPinsButStopsWaiting) {
  BuilderFixture f;
  f.add_job(1, {{0, 0}});
  f.schedule.jobs.at(1).retry = 12345;
  f.add_group(2, {{0, 0}});
  builder_step(*f.state, &stand_in);
  EXPECT_TRUE(f.schedule.jobs.at(1).pins.empty());
  EXPECT_TRUE(f.schedule.jobs.at(1).wanted.empty());
}

TEST(WorkBuilder, NothingReadyOrOneInBuildLeavesTheBuilderIdle) {
  BuilderFixture f;
  EXPECT_EQ(builder_step(*f.state, &stand_in), BuilderStep::Idle);
  f.add_job(1, {{0, 0}, {9, 9}});
  f.add_group(1, {{0, 0}}, kGroupSampling);
  EXPECT_EQ(builder_step(*f.state, &stand_in), BuilderStep::Idle);
  f.add_group(2, {{9, 9}}, kGroupInBuild);
  f.add_group(3, {{9, 9}}, kGroupSampled);
  EXPECT_EQ(builder_step(*f.state, &stand_in), BuilderStep::Idle);
  EXPECT_EQ(g_builds, 0u);
  EXPECT_EQ(f.schedule.groups.size(), 3u);
}

TEST(WorkBuilder, AStoreThatChangedUnderTheRequestIsAConflictBeforeAnyBuild) {
  BuilderFixture f;
  f.add_job(1, {{0, 0}, {4, 4}});
  f.add_group(1, {{0, 0}});
  f.add_group(2, {{4, 4}});
  // Meanwhile a piece covers (0, 0): group 1's request still says nothing does.
  store_parts(f.schedule.store).cell_map.set({0, 0}, 99);
  mesh::CellMesh other;
  other.cells = {{0, 0}};
  store_parts(f.schedule.store).meshes.put(99, other);

  EXPECT_EQ(builder_step(*f.state, &stand_in), BuilderStep::Built);
  EXPECT_EQ(f.schedule.counters.conflicts, 1u);
  EXPECT_EQ(f.schedule.counters.built, 1u);
  EXPECT_EQ(g_builds, 1u);
  EXPECT_TRUE(f.schedule.groups.empty());
}

TEST(WorkBuilder, ABuildThatFinishesAfterATheatreChangeIsAConflict) {
  BuilderFixture f;
  f.add_job(1, {{0, 0}});
  f.add_group(1, {{0, 0}});
  g_build = [&f](const mesh::BuildRequest& r, const mesh::BuildSnapshot&, const mesh::StopCheck&) {
    f.schedule.store.hold_theatre(text("Desert"));  // as the sampler would, while the lock is free
    return built_piece(r);
  };
  builder_step(*f.state, &stand_in);
  EXPECT_EQ(f.schedule.counters.conflicts, 1u);
  EXPECT_EQ(f.schedule.counters.built, 0u);
  EXPECT_TRUE(f.schedule.store.meshes().empty());
}

TEST(WorkBuilder, AStoppedBuildCountsAndCancels) {
  BuilderFixture f;
  f.add_job(1, {{0, 0}});
  f.add_group(1, {{0, 0}});
  CancelFlag cancel = f.schedule.groups.at(1).cancel;
  g_build = [](const mesh::BuildRequest&, const mesh::BuildSnapshot& s, const mesh::StopCheck& poll) {
    // The poll reads the group's cancel flag.
    EXPECT_FALSE(poll());
    s.cancel->store(true);
    EXPECT_TRUE(poll());
    s.cancel->store(false);
    return mesh::MeshPiece::stopped();
  };
  builder_step(*f.state, &stand_in);
  check_invariants(f.schedule);
  EXPECT_EQ(f.state->counters.builds_stopped.load(), 1u);
  EXPECT_EQ(f.schedule.counters.cancelled, 1u);
  EXPECT_TRUE(cancel->load());
  EXPECT_TRUE(f.schedule.groups.empty());

  // A group pruned while it was built: only the stopped build counts.
  f.add_group(2, {{0, 0}});
  g_build = [&f](const mesh::BuildRequest&, const mesh::BuildSnapshot&, const mesh::StopCheck&) {
    f.schedule.groups.erase(2);
    return mesh::MeshPiece::stopped();
  };
  builder_step(*f.state, &stand_in);
  EXPECT_EQ(f.state->counters.builds_stopped.load(), 2u);
  EXPECT_EQ(f.schedule.counters.cancelled, 1u);
}

TEST(WorkBuilder, AFaultInTheBuildGivesTheGroupUpAndTheBuilderGoesOn) {
  BuilderFixture f;
  f.add_job(1, {{0, 0}, {8, 8}});
  f.add_group(1, {{0, 0}});
  f.add_group(2, {{8, 8}});
  g_build = [](const mesh::BuildRequest& r, const mesh::BuildSnapshot&, const mesh::StopCheck&) {
    if (r.cells.contains({0, 0})) fault("a ring cell is held");
    return built_piece(r);
  };
  EXPECT_EQ(builder_step(*f.state, &stand_in), BuilderStep::Built);
  check_invariants(f.schedule);
  EXPECT_EQ(f.schedule.counters.failed, 1u);
  EXPECT_FALSE(f.schedule.groups.contains(1));
  EXPECT_TRUE(f.schedule.jobs.at(1).failed_squares.contains(Square{0, 0}));
  EXPECT_EQ(f.state->building.load(), 0);

  EXPECT_EQ(builder_step(*f.state, &stand_in), BuilderStep::Built);
  check_invariants(f.schedule);
  EXPECT_EQ(f.schedule.counters.built, 1u);
}

TEST(WorkBuilder, ARecutPieceTakesANewKeyAndEveryJobOverItsCellsPinsIt) {
  BuilderFixture f;
  Store& store = f.schedule.store;
  // Two older pieces: 0 over (1,0),(2,0); 1 over (3,0); both owned in the owner table.
  mesh::CellMesh a;
  a.id = 0;
  a.cells = {{1, 0}, {2, 0}};
  mesh::CellMesh b;
  b.id = 1;
  b.cells = {{3, 0}};
  store_parts(store).meshes.put(0, a);
  store_parts(store).meshes.put(1, b);
  store_parts(store).cell_map.set({1, 0}, 0);
  store_parts(store).cell_map.set({2, 0}, 0);
  store_parts(store).cell_map.set({3, 0}, 1);
  OwnerSquare& owned = store_parts(store).owners[*store.theatre()][Square{0, 0}];
  owned.ids[cell_bit({1, 0})] = {0, kNoOwner};
  owned.ids[cell_bit({2, 0})] = {0, kNoOwner};
  owned.ids[cell_bit({3, 0})] = {1, kNoOwner};
  store_parts(store).next_key = 2;
  store_parts(store).stamps[0] = 1;
  store_parts(store).stamps[1] = 2;
  store_parts(store).stamp_counter = 2;
  check_invariants(f.schedule);
  // Job 1's page holds piece 0 already (its cells are not in the job's squares); job 2 still
  // has key 0 on its pins, unsent; job 3 asked only for cell (0,0); job 4 only for (1,0).
  f.add_job(1, {{0, 0}});
  f.schedule.jobs.at(1).requested.insert({1, 0});
  f.schedule.jobs.at(1).requested.insert({2, 0});
  f.add_job(2, {{1, 0}});
  f.schedule.jobs.at(2).pins = {0};
  f.add_job(3, {{0, 0}});
  f.add_job(4, {{1, 0}});
  f.add_group(5, {{0, 0}, {2, 0}, {3, 0}}, kGroupSampled, {{2, 0}, {3, 0}});
  g_build = [](const mesh::BuildRequest& r, const mesh::BuildSnapshot& s, const mesh::StopCheck&) {
    EXPECT_EQ(s.holder_map.size(), 3u);  // the ring and the neighbour (1,0) across its side
    EXPECT_EQ(s.meshes.size(), 2u);
    mesh::MeshPiece piece = built_piece(r);
    mesh::CellMesh kept;
    kept.cells = {{1, 0}};
    piece.recut.push_back({0, {{1, 0}, {2, 0}}, kept});
    piece.recut.push_back({1, {{3, 0}}, std::nullopt});
    return piece;
  };
  builder_step(*f.state, &stand_in);
  check_invariants(f.schedule);
  EXPECT_EQ(f.schedule.counters.built, 1u);

  // The re-cut of piece 0 is key 2, the new piece key 3; keys 0 and 1 are gone with their stamps.
  ASSERT_EQ(store.meshes().size(), 2u);
  EXPECT_EQ(store.meshes().at(2).cells, (std::set<Cell>{{1, 0}}));
  EXPECT_EQ(store.meshes().at(2).id, 2u);
  EXPECT_EQ(store.meshes().at(3).cells, (std::set<Cell>{{0, 0}, {2, 0}, {3, 0}}));
  EXPECT_EQ(store.meshes().at(3).id, 3u);
  EXPECT_EQ(store.next_key(), 4u);
  for (const std::uint64_t gone : {0u, 1u}) {
    EXPECT_FALSE(store.meshes().contains(gone));
    EXPECT_FALSE(store.stamps().contains(gone));
  }
  EXPECT_EQ(store.cell_map().at({1, 0}), 2u);
  EXPECT_EQ(store.cell_map().at({2, 0}), 3u);
  EXPECT_EQ(store.cell_map().at({3, 0}), 3u);
  // The new piece is stamped before the re-cut.
  EXPECT_LT(store.stamps().at(3), store.stamps().at(2));
  // Each cell names the mesh that covers it now, and second the piece it replaced there, which
  // the store no longer holds: a page keeps neither old piece.
  const OwnerSquare& square = store.owners().at("Plains").at(Square{0, 0});
  using Ids = std::array<std::uint32_t, 2>;
  EXPECT_EQ(square.ids[cell_bit({1, 0})], (Ids{2, 0}));
  EXPECT_EQ(square.ids[cell_bit({2, 0})], (Ids{3, 0}));
  EXPECT_EQ(square.ids[cell_bit({3, 0})], (Ids{3, 1}));
  EXPECT_EQ(square.ids[cell_bit({0, 0})], (Ids{3, kNoOwner}));  // nothing covered it before
  // Every job whose request covers a cell of a stored mesh pins it, the new piece first.
  const auto pins = [&](std::uint64_t job) {
    const std::deque<std::uint64_t>& p = f.schedule.jobs.at(job).pins;
    return std::vector<std::uint64_t>(p.begin(), p.end());
  };
  EXPECT_EQ(pins(1), (std::vector<std::uint64_t>{3, 2}));
  EXPECT_EQ(pins(2), (std::vector<std::uint64_t>{0, 2}));  // the dead key is skipped when taken
  EXPECT_EQ(pins(3), (std::vector<std::uint64_t>{3}));
  EXPECT_EQ(pins(4), (std::vector<std::uint64_t>{2}));
  // Only the new piece is measured as a group.
  EXPECT_EQ(f.schedule.measured_groups, 1u);
  EXPECT_EQ(f.schedule.measured_bytes, entry_bytes(store.meshes().at(3)));
}

// A cell names the new piece first, and second the piece it named before when the store no longer
// holds that one (evicted): a page that still holds it must drop it.
TEST(WorkBuilder, ACellNamesThePieceItReplacedSecondOnlyWhenTheStoreLetItGo) {
  BuilderFixture f;
  Store& store = f.schedule.store;
  mesh::CellMesh elsewhere;  // a stored piece named by a cell it does not cover
  elsewhere.id = 6;
  elsewhere.cells = {{9, 9}};
  store_parts(store).meshes.put(6, elsewhere);
  store_parts(store).cell_map.set({9, 9}, 6);
  store_parts(store).next_key = 7;
  store_parts(store).stamps[6] = 1;
  store_parts(store).stamp_counter = 1;
  OwnerSquare& owned = store_parts(store).owners[*store.theatre()][Square{0, 0}];
  owned.ids[cell_bit({0, 0})] = {5, kNoOwner};  // piece 5 was evicted
  owned.ids[cell_bit({0, 1})] = {5, 4};         // and had replaced 4 there
  owned.ids[cell_bit({1, 0})] = {6, kNoOwner};
  f.add_job(1, {{0, 0}, {0, 1}, {1, 0}, {1, 1}});
  f.add_group(2, {{0, 0}, {0, 1}, {1, 0}, {1, 1}});
  ASSERT_EQ(builder_step(*f.state, &stand_in), BuilderStep::Built);
  check_invariants(f.schedule);
  ASSERT_EQ(f.schedule.counters.built, 1u);
  const OwnerSquare& square = store.owners().at("Plains").at(Square{0, 0});
  using Ids = std::array<std::uint32_t, 2>;
  EXPECT_EQ(square.ids[cell_bit({0, 0})], (Ids{7, 5}));
  EXPECT_EQ(square.ids[cell_bit({0, 1})], (Ids{7, 5}));
  EXPECT_EQ(square.ids[cell_bit({1, 0})], (Ids{7, kNoOwner}));
  EXPECT_EQ(square.ids[cell_bit({1, 1})], (Ids{7, kNoOwner}));
}

TEST(WorkBuilder, ARecutOfAPieceThatChangedMeanwhileIsAConflict) {
  BuilderFixture f;
  Store& store = f.schedule.store;
  mesh::CellMesh a;
  a.cells = {{1, 0}, {2, 0}};
  store_parts(store).meshes.put(0, a);
  store_parts(store).cell_map.set({1, 0}, 0);
  store_parts(store).cell_map.set({2, 0}, 0);
  store_parts(store).next_key = 1;
  f.add_job(1, {{2, 0}});
  f.add_group(5, {{2, 0}}, kGroupSampled, {{2, 0}});
  g_build = [&store](const mesh::BuildRequest& r, const mesh::BuildSnapshot&, const mesh::StopCheck&) {
    mesh::CellMesh changed = store.meshes().find(0)->second;
    changed.cells.insert({7, 7});
    store_parts(store).meshes.put(0, std::move(changed));
    mesh::MeshPiece piece = built_piece(r);
    piece.recut.push_back({0, {{1, 0}, {2, 0}}, std::nullopt});
    return piece;
  };
  builder_step(*f.state, &stand_in);
  EXPECT_EQ(f.schedule.counters.conflicts, 1u);
  EXPECT_EQ(f.schedule.counters.built, 0u);
}

TEST(WorkBuilder, TheOwnerTableForgetsItsOldestSquaresBeyondItsLimit) {
  BuilderFixture f;
  Store& store = f.schedule.store;
  f.schedule.owner_square_limit = 3;
  // Three squares of another theatre with stamps 5, 1, 1; the new commit adds a fourth.
  store_parts(store).owners["Desert"][Square{4, 4}].stamp = 5;
  store_parts(store).owners["Desert"][Square{2, 9}].stamp = 1;
  store_parts(store).owners["Desert"][Square{2, -3}].stamp = 1;
  store_parts(store).stamp_counter = 10;
  f.add_job(1, {{0, 0}});
  f.add_group(1, {{0, 0}});
  builder_step(*f.state, &stand_in);
  check_invariants(f.schedule);
  EXPECT_EQ(store.squares_forgotten(), 1u);
  EXPECT_FALSE(store.owners().at("Desert").contains(Square{2, -3}));
  EXPECT_TRUE(store.owners().at("Desert").contains(Square{2, 9}));
  EXPECT_TRUE(store.owners().at("Plains").contains(Square{0, 0}));
}

TEST(WorkBuilder, ItemsMatchTheCellMap) {
  Store store;
  const std::vector<mesh::CellHolder> none = {{0, 0, std::nullopt}, {1, 0, std::nullopt}};
  const std::vector<mesh::CellHolder> held = {{0, 0, 4}, {1, 0, std::nullopt}};
  EXPECT_TRUE(snapshot_matches(store, {}));
  EXPECT_TRUE(snapshot_matches(store, none));
  EXPECT_FALSE(snapshot_matches(store, held));
  store_parts(store).cell_map.set({0, 0}, 4);
  EXPECT_TRUE(snapshot_matches(store, held));
  EXPECT_FALSE(snapshot_matches(store, none));
  store_parts(store).cell_map.set({0, 0}, 5);
  EXPECT_FALSE(snapshot_matches(store, held));
  try {
    make_build_snapshot(store, held, nullptr, 1);
    FAIL();
  } catch (const Fault& fault) {
    EXPECT_EQ(fault.message(), "no entry found for key");
  }
}

}  // namespace
}  // namespace qm::work
