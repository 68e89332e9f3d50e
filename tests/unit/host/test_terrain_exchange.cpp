// The host's side of the height queues, with a fake clock: batches, the budget rules, cold batches,
// the sampler's share, refusals and the deliveries of frame_end.
#include <gtest/gtest.h>

#include <cmath>
#include <atomic>
#include <limits>
#include <thread>

#include "host/terrain_exchange.hpp"
#include "host/testing.hpp"

using namespace qm;
using namespace qm::terrain;

namespace {

constexpr std::uint64_t us = 1000;
constexpr std::uint64_t ms = 1000000;

SharedText text(const char* s) { return std::make_shared<const std::string>(s); }

std::vector<QuestionItem> items(int n, std::uint8_t point_kind = 1) {
  std::vector<QuestionItem> out;
  for (int i = 0; i < n; ++i) out.push_back({double(i), double(100 + i), point_kind});
  return out;
}

struct Host {
  HeightQueues queues;
  TerrainExchange ex;
  std::string theatre = "A";
  bool mission = true;
  std::uint64_t now = 1'000'000'000;
  std::uint64_t budget = 300 * us;
  bool asking = false;

  TakeResult take() {
    TakeInputs in{mission ? &theatre : nullptr, now, budget, asking};
    return exchange_take(ex, in, queues);
  }
  std::uint64_t take_count() { return take().count; }
  FrameEndResult end() { return exchange_frame_end(ex, asking); }
};

}  // namespace

TEST(TerrainExchange, EmptyQueuesGiveNothingSetDryAndLookAgain) {
  Host h;
  h.asking = true;
  EXPECT_EQ(h.take_count(), 0u);
  EXPECT_TRUE(h.ex.dry);
  EXPECT_FALSE(h.ex.done);
  auto table = ask_heights(0, items(2), text("A"), nullptr, h.queues);
  h.now += 10 * us;
  EXPECT_EQ(h.take_count(), 2u);
  auto end = h.end();
  EXPECT_TRUE(end.sampling);
  EXPECT_TRUE(end.dry);
  EXPECT_FALSE(h.ex.dry);
}

TEST(TerrainExchange, TwelvePagePointsComeAsFiveFiveTwoThenNothing) {
  Host h;
  auto table = ask_heights(0, items(12), text("A"), nullptr, h.queues);
  std::vector<std::uint64_t> counts;
  std::vector<double> xs;
  for (int call = 0; call < 4; ++call) {
    counts.push_back(h.take_count());
    for (const auto& e : h.ex.batch) xs.push_back(e.job.x);
    h.now += 5 * us;
  }
  EXPECT_EQ(counts, (std::vector<std::uint64_t>{5, 5, 2, 0}));
  ASSERT_EQ(xs.size(), 12u);
  for (int i = 0; i < 12; ++i) EXPECT_EQ(xs[i], double(i));
  EXPECT_EQ(h.ex.deliveries.size(), 12u);  // each call closed the batch before it
  auto end = h.end();
  ASSERT_TRUE(end.cost_ns);
  EXPECT_EQ(*end.cost_ns, 15 * us);  // last hand-out (the empty call) minus the first take
  EXPECT_EQ(table->pending(), 0u);
}

TEST(TerrainExchange, QueuesAreServedInKindOrderOneQueuePerBatch) {
  Host h;
  ask_heights(2, items(1, 1), text("A"), nullptr, h.queues);
  ask_heights(1, items(2, 3), text("A"), nullptr, h.queues);
  ask_heights(0, items(1, 4), text("A"), nullptr, h.queues);
  std::vector<int> kinds;
  for (int call = 0; call < 3; ++call) {
    h.take_count();
    kinds.push_back(h.ex.last_kind);
    kinds.push_back(int(h.ex.batch.size()));
    h.now += 2 * us;
  }
  EXPECT_EQ(kinds, (std::vector<int>{0, 1, 1, 2, 2, 1}));
}

TEST(TerrainExchange, ColdBatchEndsTheFrameAndCountsItsPoints) {
  struct Case {
    std::uint64_t gap;
    bool cold;
  };
  for (const Case c : {Case{5 * ms, false}, Case{5 * ms + 1, true}, Case{40 * ms, true}}) {
    Host h;
    h.budget = 2000 * us;  // the gap alone must not exhaust it... the cold rule comes first anyway
    ask_heights(0, items(8), text("A"), nullptr, h.queues);
    EXPECT_EQ(h.take_count(), 5u);
    h.now += c.gap;
    auto r = h.take();
    EXPECT_EQ(r.cold, c.cold) << c.gap;
    if (c.cold) {
      EXPECT_EQ(r.count, 0u);
      EXPECT_EQ(r.cold_points, 5u);
      EXPECT_TRUE(h.ex.done);
      h.now += 1 * us;
      EXPECT_EQ(h.take_count(), 0u);
      EXPECT_FALSE(h.take().cold);
    }
  }
}

TEST(TerrainExchange, TakeMoreThan5msAfterAnEmptyCallIsCold) {
  // The host came back later than that after a call that handed nothing out: a cold take with no
  // points, which ends the frame's terrain work.
  struct Case {
    std::uint64_t gap;
    bool cold;
  };
  for (const Case c : {Case{5 * ms, false}, Case{5 * ms + 1, true}, Case{8 * ms, true}}) {
    Host h;
    h.budget = 2000 * us;
    EXPECT_EQ(h.take_count(), 0u);
    ask_heights(0, items(3), text("A"), nullptr, h.queues);
    h.now += c.gap;
    auto r = h.take();
    EXPECT_EQ(r.cold, c.cold) << c.gap;
    EXPECT_EQ(r.cold_points, 0u) << c.gap;
    EXPECT_EQ(r.count, 0u) << c.gap;  // cold, or stopped by the budget: the frame started that long ago
    EXPECT_TRUE(h.ex.done) << c.gap;
    EXPECT_EQ(h.end().cost_ns, std::nullopt);  // nothing was handed out
  }
}

TEST(TerrainExchange, EmptyCallThenALoopWithinTheBudgetHandsOut) {
  Host h;
  EXPECT_EQ(h.take_count(), 0u);
  ask_heights(0, items(3), text("A"), nullptr, h.queues);
  h.now += 100 * us;
  EXPECT_EQ(h.take_count(), 3u);
}

TEST(TerrainExchange, BudgetAndMarginStopTheFrame) {
  {
    Host h;  // elapsed reaches the budget
    ask_heights(0, items(20), text("A"), nullptr, h.queues);
    EXPECT_EQ(h.take_count(), 5u);
    h.now += 300 * us;
    EXPECT_EQ(h.take_count(), 0u);
    EXPECT_TRUE(h.ex.done);
  }
  {
    Host h;  // five more points at the last pace would overrun: 151 + 151 > 300
    ask_heights(0, items(40), text("A"), nullptr, h.queues);
    EXPECT_EQ(h.take_count(), 5u);
    h.now += 151 * us;
    EXPECT_EQ(h.take_count(), 0u);
    EXPECT_TRUE(h.ex.done);
  }
  {
    Host h;
    ask_heights(0, items(40), text("A"), nullptr, h.queues);
    EXPECT_EQ(h.take_count(), 5u);
    h.now += 150 * us;  // elapsed 150, margin 150: exactly the budget, allowed
    EXPECT_EQ(h.take_count(), 5u);
    h.now += 151 * us;  // elapsed 301
    EXPECT_EQ(h.take_count(), 0u);
    EXPECT_TRUE(h.ex.done);
    auto end = h.end();
    EXPECT_EQ(*end.cost_ns, 301 * us);
  }
}

TEST(TerrainExchange, SamplerKeepsAThirdOfTheBudget) {
  Host h;
  ask_heights(0, items(40), text("A"), nullptr, h.queues);
  ask_heights(2, items(10), text("A"), nullptr, h.queues);
  EXPECT_EQ(h.take_count(), 5u);
  h.now += 101 * us;  // page time 101, margin 101: 202 > two thirds of 300
  EXPECT_EQ(h.take_count(), 5u);
  EXPECT_EQ(h.ex.last_kind, 2);
  // Without sampler questions the page queue keeps the whole budget.
  Host p;
  ask_heights(0, items(40), text("A"), nullptr, p.queues);
  EXPECT_EQ(p.take_count(), 5u);
  p.now += 101 * us;
  EXPECT_EQ(p.take_count(), 5u);
  EXPECT_EQ(p.ex.last_kind, 0);
}

TEST(TerrainExchange, SamplerShareBelowTwoThirdsStillServesThePage) {
  Host h;
  ask_heights(0, items(40), text("A"), nullptr, h.queues);
  ask_heights(2, items(10), text("A"), nullptr, h.queues);
  EXPECT_EQ(h.take_count(), 5u);
  h.now += 100 * us;  // page time 100 + margin 100 = 200, not above two thirds
  EXPECT_EQ(h.take_count(), 5u);
  EXPECT_EQ(h.ex.last_kind, 0);
}

TEST(TerrainExchange, OtherTheatreAndNoMissionAreRefusedUnseen) {
  for (bool mission : {true, false}) {
    Host h;
    h.mission = mission;
    auto other = ask_heights(0, items(2), text("B"), nullptr, h.queues);
    auto mine = ask_heights(0, items(1), text("A"), nullptr, h.queues);
    const std::uint64_t count = h.take_count();
    EXPECT_EQ(count, mission ? 1u : 0u);
    EXPECT_EQ(queued_count(0, h.queues), 0u);
    EXPECT_EQ(other->pending(), 2u);  // nothing reaches a table before frame_end
    if (mission) exchange_answer(h.ex, 0, 7.0, std::nullopt);
    h.end();
    auto v = other->view();
    EXPECT_EQ(v.pending, 0u);
    for (int i = 0; i < 2; ++i) {
      EXPECT_EQ(v.slots[i], (AnswerSlot{true, std::nullopt, std::nullopt}));
      EXPECT_EQ(v.seen[i], 0);
    }
    auto m = mine->view();
    EXPECT_EQ(m.pending, 0u);
    EXPECT_EQ(m.seen[0], mission ? 1 : 0);
    EXPECT_EQ(m.slots[0].a, mission ? std::optional<double>(7.0) : std::nullopt);
  }
}

TEST(TerrainExchange, FrameEndDeliversAnswersAndNoneForUnanswered) {
  Host h;
  auto table = ask_heights(0, items(3), text("A"), nullptr, h.queues);
  EXPECT_EQ(h.take_count(), 3u);
  exchange_answer(h.ex, 0, 5.0, std::nullopt);
  exchange_answer(h.ex, 1, std::numeric_limits<double>::infinity(), 2.0);
  exchange_answer(h.ex, 0, 6.0, std::nan(""));  // replaces the earlier answer of the entry
  EXPECT_EQ(table->pending(), 3u);
  auto end = h.end();
  EXPECT_EQ(end.delivered, 3u);
  auto v = table->view();
  EXPECT_EQ(v.pending, 0u);
  EXPECT_EQ(v.slots[0], (AnswerSlot{true, 6.0, std::nullopt}));
  EXPECT_EQ(v.slots[1], (AnswerSlot{true, std::nullopt, 2.0}));
  EXPECT_EQ(v.slots[2], (AnswerSlot{true, std::nullopt, std::nullopt}));
  EXPECT_EQ(v.seen, (std::vector<std::uint8_t>{1, 1, 1}));
  EXPECT_TRUE(h.ex.batch.empty());
  EXPECT_TRUE(h.ex.deliveries.empty());
}

TEST(TerrainExchange, BusyTableWaitsForTheNextFrameEnd) {
  Host h;
  auto busy = ask_heights(0, items(1), text("A"), nullptr, h.queues);
  auto free = ask_heights(0, items(1), text("A"), nullptr, h.queues);
  EXPECT_EQ(h.take_count(), 2u);
  exchange_answer(h.ex, 0, 1.0, std::nullopt);
  exchange_answer(h.ex, 1, 2.0, std::nullopt);
  {
    auto held = TestAccess::hold(*busy);
    auto end = h.end();
    EXPECT_EQ(end.deferred, 1u);
    EXPECT_EQ(end.delivered, 1u);
  }
  EXPECT_EQ(busy->pending(), 1u);
  EXPECT_EQ(free->pending(), 0u);
  // The next frame's deliveries come after the deferred one.
  auto later = ask_heights(0, items(1), text("A"), nullptr, h.queues);
  h.now += 16 * ms;
  EXPECT_EQ(h.take_count(), 1u);
  auto end = h.end();
  EXPECT_EQ(end.delivered, 2u);
  EXPECT_EQ(busy->view().slots[0].a, 1.0);
  EXPECT_EQ(later->pending(), 0u);
}

TEST(TerrainExchange, FirstDeliveryWins) {
  Host h;
  auto table = ask_heights(0, items(1), text("A"), nullptr, h.queues);
  // The same question queued again (an asker resubmitting a job to the same table).
  h.queues[0].jobs.push_back(h.queues[0].jobs.front());
  EXPECT_EQ(h.take_count(), 2u);
  exchange_answer(h.ex, 0, 1.0, std::nullopt);
  exchange_answer(h.ex, 1, 2.0, std::nullopt);
  h.end();
  EXPECT_EQ(table->view().slots[0].a, 1.0);
}

TEST(TerrainExchange, FrameEndWakesAWaitingAsker) {
  Host h;
  auto table = ask_heights(0, items(2), text("A"), nullptr, h.queues);
  std::atomic<bool> all{false};
  std::thread asker([&] { all = wait_answers(*table, 30'000'000'000ull).first; });
  EXPECT_EQ(h.take_count(), 2u);
  exchange_answer(h.ex, 1, 3.0, 4.0);
  h.end();
  asker.join();
  EXPECT_TRUE(all.load());
}

TEST(TerrainExchange, IndexRules) {
  Host h;
  ask_heights(0, items(3), text("A"), nullptr, h.queues);
  h.take_count();
  struct Case {
    std::optional<double> i;
    std::optional<std::size_t> entry;
  };
  const Case cases[] = {{std::nullopt, std::nullopt}, {0.0, std::nullopt}, {1.5, std::nullopt},
                        {1001.0, std::nullopt},      {4.0, std::nullopt}, {-1.0, std::nullopt},
                        {std::nan(""), std::nullopt}, {1.0, 0},           {3.0, 2}};
  for (const auto& c : cases) EXPECT_EQ(exchange_index(h.ex, c.i), c.entry) << (c.i ? *c.i : -99);
}

TEST(TerrainExchange, FrameMeasuresAndResets) {
  Host h;
  h.asking = true;
  ask_heights(2, items(7), text("A"), nullptr, h.queues);
  EXPECT_EQ(h.take_count(), 5u);
  h.now += 40 * us;
  EXPECT_EQ(h.take_count(), 2u);
  h.now += 20 * us;
  EXPECT_EQ(h.take_count(), 0u);
  auto end = h.end();
  EXPECT_EQ(end.cost_ns, 60 * us);
  EXPECT_TRUE(end.sampling);
  EXPECT_TRUE(end.dry);
  EXPECT_FALSE(h.ex.frame_start);
  EXPECT_FALSE(h.ex.last_hand_out);
  EXPECT_EQ(h.ex.frame_points, 0u);
  EXPECT_EQ(h.ex.page_time_ns, 0u);
  h.asking = false;
  auto idle = h.end();
  EXPECT_FALSE(idle.cost_ns);
  EXPECT_FALSE(idle.sampling);
}
