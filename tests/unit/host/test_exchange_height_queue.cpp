// Height queues and answer tables: submission, withdrawal, delivery and the waits of askers.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "base/fault.hpp"
#include "platform/park.hpp"
#include "host/height_queue.hpp"
#include "host/testing.hpp"
#include "thread_wait.hpp"

using namespace qm::terrain;

namespace {

SharedText text(const char* s) { return std::make_shared<const std::string>(s); }

std::vector<QuestionItem> items(int n, std::uint8_t point_kind = 1) {
  std::vector<QuestionItem> out;
  for (int i = 0; i < n; ++i) out.push_back({double(i), double(-i), point_kind});
  return out;
}

}  // namespace

TEST(HeightQueue, OneQuestionMakesOneJobWithIndexZeroAndOnePending) {
  HeightQueues queues;
  auto table = ask_heights(0, {{3.5, -4.25, 4}}, text("A"), nullptr, queues);
  ASSERT_EQ(queues[0].jobs.size(), 1u);
  const HeightJob& job = queues[0].jobs.front();
  EXPECT_EQ(job.table, table);
  EXPECT_EQ(job.index, 0u);
  EXPECT_EQ(job.x, 3.5);
  EXPECT_EQ(job.y, -4.25);
  EXPECT_EQ(job.point_kind, 4);
  EXPECT_EQ(*job.theatre, "A");
  EXPECT_EQ(table->pending(), 1u);
  EXPECT_EQ(queued_count(1, queues), 0u);
}

TEST(HeightQueue, WithdrawKeepsTheOtherBatchesInOrder) {
  HeightQueues queues;
  auto first = ask_heights(2, items(3), text("A"), nullptr, queues);
  auto second = ask_heights(2, items(2), text("A"), nullptr, queues);
  auto third = ask_heights(2, items(3), text("A"), nullptr, queues);
  withdraw_heights(2, second, queues);
  ASSERT_EQ(queued_count(2, queues), 6u);
  for (std::size_t i = 0; i < 6; ++i) {
    const HeightJob& job = queues[2].jobs[i];
    EXPECT_EQ(job.table, i < 3 ? first : third);
    EXPECT_EQ(job.index, i % 3);
  }
  // A table with nothing queued leaves the queue as it is; its own slots are untouched.
  withdraw_heights(2, second, queues);
  withdraw_heights(0, first, queues);
  EXPECT_EQ(queued_count(2, queues), 6u);
  EXPECT_EQ(second->pending(), 2u);
}

TEST(HeightQueue, UnknownKindIsAFault) {
  HeightQueues queues;
  EXPECT_THROW(ask_heights(3, items(1), text("A"), nullptr, queues), qm::Fault);
}

TEST(AnswerTable, FirstDeliveryWinsAndSeenIsKept) {
  AnswerTable table(3, nullptr);
  EXPECT_EQ(table.try_deliver(1, 5.0, std::nullopt, true), Delivery::stored);
  EXPECT_EQ(table.try_deliver(1, 7.0, 8.0, true), Delivery::dropped);
  EXPECT_EQ(table.try_deliver(2, std::nullopt, std::nullopt, false), Delivery::stored);
  EXPECT_EQ(table.try_deliver(9, 1.0, 1.0, true), Delivery::dropped);
  auto view = table.view();
  EXPECT_EQ(view.pending, 1u);
  EXPECT_FALSE(view.slots[0].answered);
  EXPECT_EQ(view.slots[1], (AnswerSlot{true, 5.0, std::nullopt}));
  EXPECT_EQ(view.slots[2], (AnswerSlot{true, std::nullopt, std::nullopt}));
  EXPECT_EQ(view.seen, (std::vector<std::uint8_t>{0, 1, 0}));
}

TEST(AnswerTable, WaitThatTimesOutReturnsTheSlotsAnsweredSoFar) {
  AnswerTable table(2, nullptr);
  table.try_deliver(0, 1.0, 2.0, true);
  auto [all, slots] = wait_answers(table, 20'000'000);
  EXPECT_FALSE(all);
  ASSERT_EQ(slots.size(), 2u);
  EXPECT_EQ(slots[0], (AnswerSlot{true, 1.0, 2.0}));
  EXPECT_FALSE(slots[1].answered);
}

TEST(AnswerTable, LastDeliveryWakesEveryWaiterOnOtherThreads) {
  constexpr std::uint64_t limit = 60'000'000'000ull;  // only a waiter that nobody wakes reaches it
  auto table = std::make_shared<AnswerTable>(2, nullptr);
  std::atomic<int> woken{0};
  std::vector<std::atomic<std::uint64_t>> ids(3);
  std::vector<std::thread> waiters;
  for (auto& id : ids) {
    waiters.emplace_back([&] {
      id = qm::test::this_thread_id() + 1;
      const auto start = std::chrono::steady_clock::now();
      auto [all, slots] = wait_answers(*table, limit);
      const bool before_limit = std::chrono::steady_clock::now() - start < std::chrono::nanoseconds(limit);
      if (all && before_limit && slots[0].a == 1.0 && slots[1].b == 4.0) woken += 1;
    });
  }
  // Every waiter waits (where the system shows it) before the deliveries come.
  for (auto& id : ids) {
    while (id.load() == 0) std::this_thread::yield();
    (void)qm::test::wait_until_blocked(id.load() - 1);
  }
  EXPECT_EQ(table->try_deliver(0, 1.0, std::nullopt, true), Delivery::stored);
  EXPECT_EQ(table->try_deliver(1, std::nullopt, 4.0, true), Delivery::stored);
  for (auto& t : waiters) t.join();
  EXPECT_EQ(woken.load(), 3);
}

TEST(AnswerTable, BusyTableRefusesWithoutWaiting) {
  AnswerTable table(1, nullptr);
  {
    auto held = TestAccess::hold(table);
    EXPECT_EQ(table.try_deliver(0, 2.0, std::nullopt, true), Delivery::busy);
  }
  EXPECT_EQ(table.pending(), 1u);
  EXPECT_EQ(table.try_deliver(0, 2.0, std::nullopt, true), Delivery::stored);
}

TEST(AnswerTable, CompletionUnparksTheWaker) {
  // The asker (a sampler-like thread) parks and is unparked by the last delivery.
  std::shared_ptr<AnswerTable> table;
  std::atomic<bool> ready{false};
  std::atomic<std::uint64_t> pending_after_park{99};
  std::shared_ptr<qm::platform::Parker> parker;
  std::atomic<std::uint64_t> asker_id{0};
  std::atomic<bool> woken_before_the_limit{false};
  std::thread asker([&] {
    parker = qm::platform::current_parker();
    table = std::make_shared<AnswerTable>(1, parker);
    asker_id = qm::test::this_thread_id();
    ready = true;
    // A park that nobody ends runs to its limit, and the answer is there by then: only an end
    // before the limit shows the unpark.
    const auto limit = std::chrono::seconds(60);
    const auto start = std::chrono::steady_clock::now();
    while (table->pending() != 0 && std::chrono::steady_clock::now() - start < limit) {
      parker->park(60'000'000'000ull);
    }
    woken_before_the_limit = std::chrono::steady_clock::now() - start < limit;
    pending_after_park = table->pending();
  });
  while (!ready) std::this_thread::yield();
  (void)qm::test::wait_until_blocked(asker_id.load());
  EXPECT_EQ(table->try_deliver(0, 1.0, std::nullopt, true), Delivery::stored);
  asker.join();
  EXPECT_EQ(pending_after_park.load(), 0u);
  EXPECT_TRUE(woken_before_the_limit.load());
}
