// The worker message slot and the change signal of the terrain work state.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

#include "base/clock.hpp"
#include "work/worker_message.hpp"

namespace qm {
namespace {

TEST(WorkMessage, TheFirstMessageStaysAndEveryRecordBumpsTheSignal) {
  TerrainState state;
  EXPECT_FALSE(worker_message(state).has_value());
  record_panic(state, "the sampler thread ended");
  record_panic(state, "the builder thread ended");
  EXPECT_EQ(worker_message(state), "the sampler thread ended");
  EXPECT_EQ(change_counter(state), 2u);
  EXPECT_EQ(state.wake_word.load(), 2u);
  notify_all(state);
  EXPECT_EQ(change_counter(state), 3u);
  EXPECT_EQ(state.wake_word.load(), 3u);
}

TEST(WorkMessage, AWaitEndsAtItsDeadlineWhenNothingChanges) {
  TerrainState state;
  const std::uint64_t start = now_ns();
  EXPECT_EQ(wait_for_change(state, 0, start + 20000000), 0u);
  EXPECT_GE(now_ns(), start + 20000000);
  notify_all(state);
  EXPECT_EQ(wait_for_change(state, 0, now_ns() + 60000000000ull), 1u);  // changed already: at once
}

// Every waiter wakes on one notify, whoever comes first; none sleeps through it.
TEST(WorkMessage, OneNotifyWakesEveryWaiter) {
  for (int round = 0; round < 20; ++round) {
    TerrainState state;
    std::atomic<int> woken{0};
    std::vector<std::thread> waiters;
    for (int i = 0; i < 4; ++i)
      waiters.emplace_back([&] {
        // A deadline that only a waiter that nobody wakes reaches; by then the counter has changed
        // anyway, so only a return before it shows the wake.
        const std::uint64_t deadline = now_ns() + 60000000000ull;
        if (wait_for_change(state, 0, deadline) == 1 && now_ns() < deadline) woken.fetch_add(1);
      });
    std::thread messenger([&] { record_panic(state, "could not start the builder thread: no memory"); });
    messenger.join();
    for (auto& t : waiters) t.join();
    EXPECT_EQ(woken.load(), 4);
    EXPECT_EQ(worker_message(state), "could not start the builder thread: no memory");
  }
}

TEST(WorkMessage, OnlyTheFirstOfManyConcurrentMessagesIsKept) {
  TerrainState state;
  std::vector<std::thread> threads;
  for (int i = 0; i < 8; ++i) threads.emplace_back([&, i] { record_panic(state, "message " + std::to_string(i)); });
  for (auto& t : threads) t.join();
  const auto kept = worker_message(state);
  ASSERT_TRUE(kept.has_value());
  EXPECT_EQ(kept->rfind("message ", 0), 0u);
  EXPECT_EQ(change_counter(state), 8u);
  EXPECT_EQ(state.wake_word.load(), 8u);
}

TEST(WorkState, MadeOnceAndEmptyAtFirst) {
  const TerrainStateRef first = init_terrain_state();
  EXPECT_EQ(init_terrain_state(), first);
  EXPECT_EQ(terrain_state(), first);
  EXPECT_EQ(first->idle_park_ns(), 100000000u);
  EXPECT_EQ(first->schedule.eviction_limit, 67108864u);
  EXPECT_EQ(first->schedule.reservation_cap, 100663296u);
  EXPECT_EQ(first->schedule.owner_square_limit, 4096u);
  EXPECT_FALSE(first->schedule.byte_limit.has_value());
  EXPECT_EQ(first->sampler.get(), nullptr);
  unpark_workers(*first);  // no handle stored: nothing to wake, no failure
}

TEST(WorkState, AFaultWhileHoldingTheScheduleLockPoisonsItButLeavesItUsable) {
  TerrainState state;
  try {
    PoisonGuard hold(state.schedule_lock);
    state.schedule.next_group_id = 5;
    throw std::runtime_error("fault while held");
  } catch (const std::runtime_error&) {
  }
  EXPECT_TRUE(state.schedule_lock.poisoned());
  PoisonGuard again(state.schedule_lock);
  EXPECT_EQ(state.schedule.next_group_id, 5u);
}

}  // namespace
}  // namespace qm
