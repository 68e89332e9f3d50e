// The guards of a stream's job: the lease gives the job's reservation and pins back on every path
// and sets its retry instant; the ticket records an unfinished end as "error", once.
#include <gtest/gtest.h>

#include <atomic>
#include <stdexcept>
#include <thread>
#include <vector>

#include "base/clock.hpp"
#include "streams/job_lease.hpp"

namespace qm {
namespace {

struct LeaseFixture : ::testing::Test {
  TerrainStateRef state = std::make_shared<TerrainState>();
  StreamControlRef control = new_stream_control();
  LeaseFixture() {
    Schedule& s = state->schedule;
    s.jobs[4].theatre = std::make_shared<const std::string>("Caucasus");
    s.reservations[4] = 5000000;
    s.reservations[5] = 6000000;
    s.store.pin(4, PinRecord{{{1, 1}}, {3}, 1});
    s.store.pin(5, PinRecord{});
  }
  void expect_given_back() {
    const Schedule& s = state->schedule;
    EXPECT_FALSE(s.reservations.count(4));
    EXPECT_FALSE(s.store.pins().count(4));
    EXPECT_TRUE(s.reservations.count(5));
    EXPECT_TRUE(s.store.pins().count(5));
    ASSERT_TRUE(s.jobs.count(4));  // the job stays listed until dropped
    ASSERT_TRUE(s.jobs.at(4).retry.has_value());
  }
};

TEST_F(LeaseFixture, ANormalEndGivesTheClaimsBackAndSetsTheRetryInstant) {
  const std::uint64_t before = now_ns();
  { JobLease lease(state, control, 4); }
  expect_given_back();
  const std::uint64_t retry = *state->schedule.jobs.at(4).retry;
  EXPECT_GE(retry, before + 5000000000ull);
  EXPECT_LE(retry, now_ns() + 5000000000ull);
}

TEST_F(LeaseFixture, AnEarlyEndAndAMoveGiveBackOnce) {
  JobLease lease(state, control, 4);
  JobLease moved(std::move(lease));
  EXPECT_FALSE(lease.held());
  moved.release();
  expect_given_back();
  const auto retry = state->schedule.jobs.at(4).retry;
  state->schedule.reservations[4] = 1;  // a second release must not take it again
  moved.release();
  EXPECT_TRUE(state->schedule.reservations.count(4));
  EXPECT_EQ(state->schedule.jobs.at(4).retry, retry);
}

TEST_F(LeaseFixture, AFaultUnwindingTheStreamGivesBackToo) {
  try {
    JobLease lease(state, control, 4);
    throw std::runtime_error("fault in the stream");
  } catch (const std::runtime_error&) {
  }
  expect_given_back();
  EXPECT_FALSE(state->schedule_lock.poisoned());  // the lock was not held while unwinding
}

TEST_F(LeaseFixture, ASetRetryInstantStaysAndAGoneJobOnlyLosesItsClaims) {
  state->schedule.jobs.at(4).retry = 17;
  { JobLease lease(state, control, 4); }
  EXPECT_EQ(state->schedule.jobs.at(4).retry, 17u);
  EXPECT_FALSE(state->schedule.reservations.count(4));
  state->schedule.jobs.clear();
  state->schedule.reservations[4] = 9;
  { JobLease lease(state, control, 4); }
  EXPECT_FALSE(state->schedule.reservations.count(4));
  EXPECT_TRUE(state->schedule.jobs.empty());
}

TEST_F(LeaseFixture, AReplacedStreamsLeaseChangesNothing) {
  control->mark_replaced();
  const auto reservations = state->schedule.reservations;
  { JobLease lease(state, control, 4); }
  EXPECT_EQ(state->schedule.reservations, reservations);
  EXPECT_FALSE(state->schedule.jobs.at(4).retry.has_value());
  EXPECT_TRUE(state->schedule.store.pins().count(4));
}

TEST_F(LeaseFixture, ReleasingTakesTheLockEvenAfterAFaultingHolderAndWakesTheWorkers) {
  try {
    PoisonGuard hold(state->schedule_lock);
    throw std::runtime_error("fault while held");
  } catch (const std::runtime_error&) {
  }
  ASSERT_TRUE(state->schedule_lock.poisoned());
  std::atomic<bool> woke{false};
  std::thread sampler([&] {
    state->sampler.set(platform::current_parker());
    state->sampler.get()->park(30000000000ull);  // a generous limit that only catches a hang
    woke = true;
  });
  while (!state->sampler.get()) std::this_thread::yield();
  { JobLease lease(state, control, 4); }
  sampler.join();
  EXPECT_TRUE(woke.load());
  expect_given_back();
}

TEST_F(LeaseFixture, LeasesReleasedOnManyThreadsAtOnceAllGiveBack) {
  for (std::uint64_t id = 10; id < 18; ++id) {
    state->schedule.jobs[id].theatre = state->schedule.jobs.at(4).theatre;
    state->schedule.reservations[id] = id;
  }
  std::vector<std::thread> threads;
  for (std::uint64_t id = 10; id < 18; ++id)
    threads.emplace_back([&, id] { JobLease lease(state, new_stream_control(), id); });
  for (auto& t : threads) t.join();
  for (std::uint64_t id = 10; id < 18; ++id) {
    EXPECT_FALSE(state->schedule.reservations.count(id));
    EXPECT_TRUE(state->schedule.jobs.at(id).retry.has_value());
  }
}

TEST(WorkJobTicket, AnUnfinishedStreamEndsWithErrorAndARegularEndCountsOnce) {
  StreamRegistry registry;
  const std::uint64_t early = registry.stream_open("page-a", false, 1, new_stream_control(), now_ns());
  const std::uint64_t regular = registry.stream_open("page-b", false, 2, new_stream_control(), now_ns());
  try {
    JobTicket ticket(early, registry);
    throw std::runtime_error("fault in the stream");
  } catch (const std::runtime_error&) {
  }
  EXPECT_EQ(registry.end_count(EndReason::error), 1u);
  {
    JobTicket ticket(regular, registry);
    registry.stream_ended(regular, EndReason::complete, now_ns());
  }
  EXPECT_EQ(registry.end_count(EndReason::complete), 1u);
  EXPECT_EQ(registry.end_count(EndReason::error), 1u);
  EXPECT_TRUE(registry.open_streams().empty());
  JobTicket moved;
  {
    const std::uint64_t third = registry.stream_open("page-c", false, 3, new_stream_control(), now_ns());
    JobTicket ticket(third, registry);
    moved = std::move(ticket);
  }
  EXPECT_EQ(registry.end_count(EndReason::error), 1u);  // the moved-from ticket recorded nothing
  moved.close();
  EXPECT_EQ(registry.end_count(EndReason::error), 2u);
}

}  // namespace
}  // namespace qm
