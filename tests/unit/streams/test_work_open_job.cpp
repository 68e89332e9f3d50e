// Opening a terrain job for a mesh stream: the reservation within the shared budget, the exact
// refusal, the cells the page or the store already has, and the replacement of an older stream.
#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "base/fault.hpp"
#include "streams/open_job.hpp"
#include "work/worker_message.hpp"
#include "work/store_testing.hpp"

namespace qm {
namespace {

Region region_of(std::initializer_list<std::pair<std::int32_t, RowSpan>> spans) {
  Region r;
  for (const auto& [x, span] : spans) r.columns[x].push_back(span);
  r.refused = {2, 5};
  return r;
}

MeshRequest request_of(const char* page, HaveRanges have = {}) {
  MeshRequest m;
  m.page = page;
  m.theatre = "Caucasus";
  m.have = std::move(have);
  return m;
}

struct OpenFixture : ::testing::Test {
  TerrainStateRef state = std::make_shared<TerrainState>();
  StreamRegistry registry;
  JobOpening open(const MeshRequest& m, const Region& r, std::optional<BlockFitMap> blocks = std::nullopt) {
    return schedule_open_stream(state, m, r, std::move(blocks), false, registry);
  }
};

TEST(WorkOpenJob, TheReservationFollowsTheWidestSquareRow) {
  SquareMask squares;
  // Rows (first square coordinate) 0, 1 and 5 with 1, 4 and 2 squares.
  squares.insert({0, 0});
  for (int y : {0, 32, 64, 96}) squares.insert({32, y});
  squares.insert({160, 0});
  squares.insert({160, -1});
  EXPECT_EQ(job_bytes_needed(squares), 7810968u);
  EXPECT_EQ(job_bytes_needed(SquareMask{}), 4194304u);
  EXPECT_EQ(refusal_text({7810968, 0}), "the store can't hold this area's frontier now: 7810968 bytes needed, 0 free");
}

TEST_F(OpenFixture, AnOpenedJobIsFiledReservedAndRegistered) {
  const Region r = region_of({{0, {0, 1}}, {40, {3, 3}}, {41, {5, 2}}});  // the last span is empty
  auto opening = open(request_of("page-a"), r);
  ASSERT_TRUE(opening.ok());
  JobOpened& o = opening.value();
  EXPECT_FALSE(o.blocks.has_value());  // transverse Mercator
  EXPECT_EQ(o.refused, (std::vector<std::uint64_t>{2, 5}));
  EXPECT_EQ(o.square_count, 2u);
  EXPECT_EQ(o.request_squares.cell_count(), 3u);
  const Schedule& s = state->schedule;
  ASSERT_TRUE(s.jobs.count(o.job_id));
  const Job& job = s.jobs.at(o.job_id);
  EXPECT_EQ(job.wanted.cell_count(), 3u);
  EXPECT_FALSE(job.retry.has_value());
  EXPECT_EQ(job.held_back, 0);
  EXPECT_EQ(*job.theatre, "Caucasus");
  EXPECT_EQ(s.reservations.at(o.job_id), 4194304u + 904166u);
  ASSERT_EQ(registry.open_streams().size(), 1u);
  EXPECT_EQ(registry.open_streams()[0].job_id, o.job_id);
  EXPECT_EQ(registry.open_streams()[0].id, o.stream_id);
  EXPECT_EQ(change_counter(*state), 1u);
  EXPECT_EQ(o.lease.job_id(), o.job_id);
  EXPECT_EQ(o.ticket.stream_id(), o.stream_id);
}

TEST_F(OpenFixture, AnEmptyRequestFilesAJobWithoutSquares) {
  auto opening = open(request_of("page-a"), Region{});
  ASSERT_TRUE(opening.ok());
  const JobOpened& o = opening.value();
  EXPECT_EQ(o.square_count, 0u);
  EXPECT_EQ(state->schedule.reservations.at(o.job_id), 4194304u);
}

TEST_F(OpenFixture, TooLargeARequestIsRefusedWithTheExactBytesAndLeavesNothing) {
  // 107 squares in one row: 4194304 + 107 * 904166 = 100940066 > 96 MiB.
  const Region wide = region_of({{0, {0, 107 * 32 - 1}}});
  auto opening = open(request_of("page-a"), wide);
  ASSERT_FALSE(opening.ok());
  EXPECT_EQ(opening.error().needed, 100940066u);
  EXPECT_EQ(opening.error().free, 100663296u);
  EXPECT_TRUE(state->schedule.jobs.empty());
  EXPECT_TRUE(state->schedule.reservations.empty());
  EXPECT_TRUE(registry.open_streams().empty());
  EXPECT_EQ(change_counter(*state), 0u);
}

TEST_F(OpenFixture, OtherJobsReservationsLeaveNoMoreThanTheRestOfTheCap) {
  state->schedule.reservations[100] = 60000000;
  state->schedule.reservations[101] = 60000000;
  auto opening = open(request_of("page-a"), region_of({{0, {0, 0}}}));
  ASSERT_FALSE(opening.ok());
  EXPECT_EQ(opening.error().needed, 5098470u);
  EXPECT_EQ(opening.error().free, 0u);
  state->schedule.reservations.erase(101);
  opening = open(request_of("page-a"), region_of({{0, {0, 0}}}));
  ASSERT_TRUE(opening.ok());
}

TEST_F(OpenFixture, ANewRequestOfThePageReplacesItsOlderStreamAndReusesItsBytes) {
  // 100 squares in one row: 94610904 bytes, alone within the cap but not twice.
  const Region big = region_of({{0, {0, 100 * 32 - 1}}});
  auto first = open(request_of("page-a"), big);
  ASSERT_TRUE(first.ok());
  JobOpened& old = first.value();
  state->schedule.store.pin(old.job_id, PinRecord{});

  auto other = open(request_of("page-b"), big);  // another page does not fit beside it
  ASSERT_FALSE(other.ok());
  EXPECT_EQ(other.error().free, 100663296u - 94610904u);
  EXPECT_FALSE(old.control->is_replaced());  // a refusal leaves the older stream running
  EXPECT_TRUE(state->schedule.reservations.count(old.job_id));

  auto second = open(request_of("page-a"), big);
  ASSERT_TRUE(second.ok());
  const JobOpened& now = second.value();
  EXPECT_TRUE(old.control->is_replaced());
  EXPECT_FALSE(state->schedule.jobs.count(old.job_id));
  EXPECT_FALSE(state->schedule.reservations.count(old.job_id));
  EXPECT_FALSE(state->schedule.store.pins().count(old.job_id));
  EXPECT_EQ(state->schedule.reservations.size(), 1u);

  // The replaced stream's guards change nothing of the new job.
  old.lease.release();
  old.ticket.close();
  EXPECT_EQ(state->schedule.reservations.at(now.job_id), 94610904u);
  EXPECT_EQ(registry.end_count(EndReason::error), 1u);
}

// A page holds a cell when it names the piece that covers the cell in the store now. What the owner
// table remembers of pieces the store let go, or that newer ones replaced, holds nothing: those
// cells are built or sent anew, as for a fresh page.
TEST_F(OpenFixture, CellsThePageHoldsStayOutAndStoredCellsArePinned) {
  Schedule& s = state->schedule;
  s.store.hold_theatre(std::make_shared<const std::string>("Caucasus"));
  store_parts(s.store).cell_map.set({0, 0}, 7);   // a piece the page names
  store_parts(s.store).cell_map.set({0, 4}, 8);   // another one
  store_parts(s.store).cell_map.set({0, 3}, 21);  // a piece it does not name: pinned
  OwnerSquare& owner = store_parts(s.store).owners["Caucasus"][{0, 0}];
  owner.ids[cell_bit({0, 0})] = {7, kNoOwner};
  owner.ids[cell_bit({0, 1})] = {9, 7};         // 7 was replaced here by 9, which is gone too
  owner.ids[cell_bit({0, 2})] = {8, kNoOwner};  // 8 covered it until the store let it go
  owner.ids[cell_bit({0, 3})] = {21, 8};
  owner.ids[cell_bit({0, 4})] = {8, kNoOwner};
  store_parts(s.store).stamps[21] = 4;
  store_parts(s.store).stamp_counter = 10;
  s.failed_cells["Caucasus"].insert({0, 5});
  const Region r = region_of({{0, {0, 6}}, {40, {0, 0}}});
  auto opening = open(request_of("page-a", {{7, 8}}), r);
  ASSERT_TRUE(opening.ok());
  const JobOpened& o = opening.value();
  EXPECT_EQ(o.kept_ids, (std::set<std::uint64_t>{7, 8}));
  const Job& job = s.jobs.at(o.job_id);
  EXPECT_EQ(job.pins, (std::deque<std::uint64_t>{21}));
  EXPECT_EQ(s.store.stamps().at(21), 11u);
  EXPECT_EQ(job.recorded_cells, (std::set<Cell>{{0, 5}}));
  EXPECT_EQ(job.failed_squares, (std::set<Square>{{0, 0}}));
  SquareMask expected;
  expected.insert({0, 1});
  expected.insert({0, 2});
  expected.insert({0, 6});
  expected.insert({40, 0});
  EXPECT_EQ(job.wanted, expected);
  EXPECT_EQ(o.square_count, 2u);
  EXPECT_EQ(s.reservations.at(o.job_id), 4194304u + 904166u);  // both squares still count

  // A page that holds every requested cell of a square leaves the square out of the job.
  for (std::int32_t y = 32; y < 64; ++y) store_parts(s.store).cell_map.set({32, y}, 8);
  auto held = open(request_of("page-b", {{7, 8}}), region_of({{32, {32, 63}}}));
  ASSERT_TRUE(held.ok());
  EXPECT_EQ(held.value().square_count, 0u);

  // The store's pieces are of its own theatre: a page of another holds none of them.
  MeshRequest elsewhere = request_of("page-c", {{7, 8}});
  elsewhere.theatre = "Desert";
  auto other = open(elsewhere, region_of({{32, {32, 63}}}));
  ASSERT_TRUE(other.ok());
  EXPECT_TRUE(other.value().kept_ids.empty());
  EXPECT_EQ(other.value().square_count, 1u);
}

TEST_F(OpenFixture, ARefusedRequestTouchesNoStampAndUsesNoJobId) {
  Schedule& s = state->schedule;
  s.store.hold_theatre(std::make_shared<const std::string>("Caucasus"));
  store_parts(s.store).cell_map.set({0, 0}, 21);  // a stored piece the request would pin
  store_parts(s.store).stamps[21] = 4;
  store_parts(s.store).stamp_counter = 10;
  s.reservations[100] = s.reservation_cap;  // another job holds every byte
  const std::uint64_t next_id = s.next_job_id;

  auto refused = open(request_of("page-a"), region_of({{0, {0, 1}}}));
  ASSERT_FALSE(refused.ok());
  EXPECT_EQ(s.store.stamps().at(21), 4u);
  EXPECT_EQ(s.store.stamp_counter(), 10u);
  EXPECT_EQ(s.next_job_id, next_id);
  EXPECT_TRUE(s.jobs.empty());

  // Once bytes are free, the same request takes the id the refusal did not use.
  s.reservations.erase(100);
  auto opening = open(request_of("page-a"), region_of({{0, {0, 1}}}));
  ASSERT_TRUE(opening.ok());
  EXPECT_EQ(opening.value().job_id, next_id);
  EXPECT_EQ(s.store.stamps().at(21), 11u);
}

OpeningStep g_strike_at = OpeningStep::Reserved;
void strike(OpeningStep step) {
  if (step == g_strike_at) fault("a fault while the job opens");
}

// A fault past the reservation gives back what the opening made: the new job's reservation (its
// lease also sets its retry instant, so the schedule lets the job go) and the stream's record once
// there is one (its ticket ends it as "error"). Before the page's older stream is replaced, that
// stream keeps its job and its bytes.
TEST(WorkOpenJobFaults, AFaultWhileTheJobOpensGivesBackItsReservationJobAndStream) {
  for (const OpeningStep step : {OpeningStep::Reserved, OpeningStep::Registered, OpeningStep::Unlocked}) {
    SCOPED_TRACE(static_cast<int>(step));
    const TerrainStateRef state = std::make_shared<TerrainState>();
    StreamRegistry registry;
    const Region r = region_of({{0, {0, 1}}});
    auto first = schedule_open_stream(state, request_of("page-a"), r, std::nullopt, false, registry);
    ASSERT_TRUE(first.ok());
    const JobOpened& older = first.value();

    g_strike_at = step;
    bool thrown = false;
    try {
      (void)schedule_open_stream(state, request_of("page-a"), r, std::nullopt, false, registry, &strike);
    } catch (const Fault&) {
      thrown = true;
    }
    EXPECT_TRUE(thrown);
    const Schedule& s = state->schedule;
    const std::uint64_t failed_job = older.job_id + 1;
    ASSERT_TRUE(s.jobs.count(failed_job));
    EXPECT_TRUE(s.jobs.at(failed_job).retry.has_value());
    EXPECT_FALSE(s.reservations.count(failed_job));
    if (step == OpeningStep::Reserved) {
      EXPECT_FALSE(older.control->is_replaced());
      EXPECT_EQ(s.reservations.count(older.job_id), 1u);
      EXPECT_FALSE(s.jobs.at(older.job_id).retry.has_value());
      EXPECT_EQ(registry.open_streams().size(), 1u);
      EXPECT_EQ(registry.end_count(EndReason::error), 0u);
    } else {
      EXPECT_TRUE(older.control->is_replaced());
      EXPECT_TRUE(s.reservations.empty());
      EXPECT_EQ(registry.end_count(EndReason::error), 1u);
      for (const auto& open : registry.open_streams()) EXPECT_EQ(open.id, older.stream_id);
    }

    // The schedule takes the page's next request as if the failed one had not been.
    auto next = schedule_open_stream(state, request_of("page-a"), r, std::nullopt, false, registry);
    ASSERT_TRUE(next.ok());
    EXPECT_EQ(s.reservations.size(), 1u);
  }
}

TEST_F(OpenFixture, BlocksAreHandedOn) {
  BlockFitMap fits;
  auto opening = open(request_of("page-a"), region_of({{0, {0, 0}}}), fits);
  ASSERT_TRUE(opening.ok());
  EXPECT_TRUE(opening.value().blocks.has_value());
}

}  // namespace
}  // namespace qm

namespace qm {
namespace {

// Pages opening jobs on many threads at once never reserve more than the cap together.
TEST(WorkOpenJobThreads, ConcurrentOpeningsStayWithinTheCap) {
  TerrainStateRef state = std::make_shared<TerrainState>();
  StreamRegistry registry;
  const Region r = region_of({{0, {0, 40 * 32 - 1}}});  // 40 squares in a row: 40361544 bytes
  std::vector<std::thread> threads;
  std::atomic<int> opened{0}, refused{0};
  std::vector<JobOpened> kept(8);
  for (int i = 0; i < 8; ++i)
    threads.emplace_back([&, i] {
      auto opening = schedule_open_stream(state, request_of(("page-" + std::to_string(i)).c_str()), r,
                                          std::nullopt, false, registry);
      if (opening) {
        opened.fetch_add(1);
        kept[i] = std::move(opening).value();
      } else {
        refused.fetch_add(1);
      }
    });
  for (auto& t : threads) t.join();
  EXPECT_EQ(opened.load(), 2);
  EXPECT_EQ(refused.load(), 6);
  EXPECT_EQ(state->schedule.reservations.size(), 2u);
  EXPECT_EQ(state->schedule.jobs.size(), 2u);
  kept.clear();  // every lease and ticket gives back
  EXPECT_TRUE(state->schedule.reservations.empty());
  EXPECT_EQ(registry.end_count(EndReason::error), 2u);
}

}  // namespace
}  // namespace qm
