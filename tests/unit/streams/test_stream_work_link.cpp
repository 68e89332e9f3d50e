// A mesh stream's look at the process-wide terrain work: the turn that takes its job's pieces from
// the store, and a job-less stream of a page replacing the page's job stream.
#include <gtest/gtest.h>

#include "base/clock.hpp"
#include "host/stats.hpp"
#include "streams/registry.hpp"
#include "streams/work_link.hpp"
#include "work/terrain_state.hpp"
#include "work/worker_message.hpp"
#include "work/store_testing.hpp"

namespace qm {
namespace {

// The process-wide terrain work with an empty schedule (earlier tests of this process may have
// left theirs).
TerrainStateRef fresh_state() {
  TerrainStateRef state = init_terrain_state();
  PoisonGuard guard(state->schedule_lock);
  state->schedule = Schedule{};
  return state;
}

// A stored entry whose piece frame is estimated at `bytes` (a multiple of 12 plus 40).
mesh::CellMesh entry_of(std::uint64_t bytes) {
  mesh::CellMesh m;
  const std::uint64_t count = (bytes - 40) / 12;
  m.vertices.assign(count - 1, {0, 0, 0});
  m.triangles.assign(1, {0, 0, 0});
  return m;
}

constexpr std::uint64_t kMiB = 1048576;
constexpr std::uint64_t kJob = 7;

struct StreamJobTurn : ::testing::Test {
  TerrainStateRef state = fresh_state();
  StreamControlRef control = new_stream_control();
  WorkStreamTerrain terrain{module_stats()};

  Schedule& schedule() { return state->schedule; }
  Job& job() { return schedule().jobs[kJob]; }

  // A job pinning keys 1 to 5: each key's entry is estimated at 1 MiB, key 3 has no entry left.
  void pin_five() {
    Store& store = schedule().store;
    for (std::uint64_t key : {1, 2, 4, 5}) {
      store_parts(store).meshes.put(key, entry_of(kMiB));
      store_parts(store).stamps[key] = key;  // older than any renewal
    }
    store_parts(store).stamps[3] = 3;
    store_parts(store).stamp_counter = 10;
    job().pins = {1, 2, 3, 4, 5};
  }
  std::vector<std::uint64_t> ids(const JobTurn& turn) {
    std::vector<std::uint64_t> out;
    for (const PieceCopy& p : turn.taken) out.push_back(p.id);
    return out;
  }
};

TEST_F(StreamJobTurn, PiecesAreTakenFrontFirstWhileThePendingEstimateIsBelowTwoMiB) {
  ASSERT_EQ(piece_estimate(entry_of(kMiB).vertices.size(), 1), kMiB);
  struct Case {
    std::uint64_t pending;
    std::vector<std::uint64_t> taken;
    std::deque<std::uint64_t> left;
  };
  const std::vector<Case> cases = {
      {0, {1, 2}, {3, 4, 5}},                // 0, then 1 MiB: both below
      {kMiB + 1, {1}, {2, 3, 4, 5}},         // 2 MiB + 1 after the first
      {2 * kMiB - 1, {1}, {2, 3, 4, 5}},     // just below: one more
      {2 * kMiB, {}, {1, 2, 3, 4, 5}},       // at the limit: none
  };
  for (const Case& c : cases) {
    {
      PoisonGuard guard(state->schedule_lock);
      schedule() = Schedule{};
      pin_five();
    }
    const JobTurn turn = terrain.job_turn(kJob, *control, c.pending);
    EXPECT_FALSE(turn.gone);
    EXPECT_EQ(ids(turn), c.taken) << c.pending;
    EXPECT_EQ(job().pins, c.left) << c.pending;
    EXPECT_EQ(turn.pins_left, c.left.size());
  }
}

TEST_F(StreamJobTurn, APinWithoutItsEntryIsPoppedAndEveryTakenKeyBecomesTheNewest) {
  pin_five();
  Store& store = schedule().store;
  store_parts(store).meshes.put(1, entry_of(52));
  store_parts(store).meshes.put(2, entry_of(52));
  store_parts(store).meshes.put(4, entry_of(kMiB));
  // 1 MiB pending, 52 + 52 bytes, key 3 without its entry, then key 4 reaches the limit: 5 stays.
  const JobTurn turn = terrain.job_turn(kJob, *control, kMiB);
  EXPECT_EQ(ids(turn), (std::vector<std::uint64_t>{1, 2, 4}));
  EXPECT_EQ(job().pins, (std::deque<std::uint64_t>{5}));
  ASSERT_EQ(turn.taken.size(), 3u);
  EXPECT_EQ(turn.taken[2].vertices, store.meshes().at(4).vertices);
  EXPECT_EQ(turn.taken[2].triangles, store.meshes().at(4).triangles);
  // Each popped key with a stamp (the missing entry's too) is renewed in the order taken; the key
  // left pinned keeps its stamp.
  EXPECT_EQ(store.stamp_counter(), 14u);
  EXPECT_EQ(store.stamps().at(1), 11u);
  EXPECT_EQ(store.stamps().at(2), 12u);
  EXPECT_EQ(store.stamps().at(3), 13u);
  EXPECT_EQ(store.stamps().at(4), 14u);
  EXPECT_EQ(store.stamps().at(5), 5u);
}

TEST_F(StreamJobTurn, CountsAndWhatThePageMayKeepForTheRequestedCellsOnceNothingIsLeft) {
  const auto theatre = std::make_shared<const std::string>("Caucasus");
  Store& store = schedule().store;
  store.hold_theatre(theatre);
  // Cells (0,0) and (1,0) requested, (0,0) held by the page already (so not in the job's squares);
  // (2,0) is not requested.
  job().requested.insert({0, 0});
  job().requested.insert({1, 0});
  job().squares.insert({1, 0});
  job().square_count = 1;
  OwnerSquare& owners = store_parts(store).owners["Caucasus"][square_of({0, 0})];
  owners.ids[cell_bit({0, 0})] = {21, 22};  // 22 is a piece that 21 replaced
  owners.ids[cell_bit({1, 0})] = {23, kNoOwner};
  owners.ids[cell_bit({2, 0})] = {24, kNoOwner};

  // A cell still wanted: the square is not done and the owner table is not read.
  job().wanted.insert({1, 0});
  JobTurn turn = terrain.job_turn(kJob, *control, 0);
  EXPECT_EQ(turn.total, 1u);
  EXPECT_EQ(turn.done, 0u);
  EXPECT_FALSE(turn.keepable.has_value());

  job().wanted = SquareMask{};
  turn = terrain.job_turn(kJob, *control, 0);
  EXPECT_EQ(turn.done, 1u);
  ASSERT_TRUE(turn.keepable.has_value());
  EXPECT_EQ(*turn.keepable, (std::set<std::uint32_t>{21, 23}));

  // A failed square, or a pin left, reads nothing of the owner table either.
  job().failed_squares.insert(square_of({1, 0}));
  turn = terrain.job_turn(kJob, *control, 0);
  EXPECT_EQ(turn.failed, 1u);
  EXPECT_FALSE(turn.keepable.has_value());
  job().failed_squares.clear();
  job().pins = {99};
  turn = terrain.job_turn(kJob, *control, 2 * kMiB);
  EXPECT_EQ(turn.pins_left, 1u);
  EXPECT_FALSE(turn.keepable.has_value());
}

TEST_F(StreamJobTurn, AJobGoneOrAStreamReplacedTakesNothing) {
  pin_five();
  EXPECT_TRUE(terrain.job_turn(kJob + 1, *control, 0).gone);
  control->mark_replaced();
  const JobTurn turn = terrain.job_turn(kJob, *control, 0);
  EXPECT_TRUE(turn.gone);
  EXPECT_TRUE(turn.taken.empty());
  EXPECT_EQ(job().pins.size(), 5u);
  EXPECT_EQ(schedule().store.stamp_counter(), 10u);
}

TEST(StreamWorkLink, AJobLessStreamOfThePageDropsItsJobStreamsJobReservationAndPins) {
  const TerrainStateRef state = fresh_state();
  const StreamControlRef job_control = new_stream_control();
  const StreamControlRef other_control = new_stream_control();
  const std::uint64_t job_stream = stream_open("work-link-page", false, kJob, job_control, now_ns());
  const std::uint64_t other_stream = stream_open("work-link-other", false, kJob + 1, other_control, now_ns());
  {
    PoisonGuard guard(state->schedule_lock);
    Schedule& s = state->schedule;
    for (std::uint64_t id : {kJob, kJob + 1}) {
      s.jobs[id].pins = {1};
      s.reservations[id] = 5098470;
      s.store.pin(id, PinRecord{});
    }
  }
  const std::uint64_t changes = change_counter(*state);

  const StreamControlRef control = new_stream_control();
  const std::uint64_t id = open_jobless_stream("work-link-page", false, control);
  EXPECT_TRUE(job_control->is_replaced());
  EXPECT_FALSE(other_control->is_replaced());
  {
    PoisonGuard guard(state->schedule_lock);
    const Schedule& s = state->schedule;
    EXPECT_FALSE(s.jobs.count(kJob));
    EXPECT_FALSE(s.reservations.count(kJob));
    EXPECT_FALSE(s.store.pins().count(kJob));
    EXPECT_TRUE(s.jobs.count(kJob + 1));
    EXPECT_TRUE(s.reservations.count(kJob + 1));
    EXPECT_TRUE(s.store.pins().count(kJob + 1));
  }
  EXPECT_GT(change_counter(*state), changes);  // the replaced stream is woken
  bool found = false;
  for (const StreamRecord& r : stream_registry().open_streams()) {
    if (r.id != id) continue;
    found = true;
    EXPECT_EQ(r.page, "work-link-page");
    EXPECT_FALSE(r.job_id.has_value());
  }
  EXPECT_TRUE(found);
  for (std::uint64_t ended : {job_stream, other_stream, id}) stream_ended(ended, EndReason::closed, now_ns());
}

}  // namespace
}  // namespace qm
