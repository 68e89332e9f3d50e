// The terrain exchange as a host script drives it: questions queued from C++, taken, read and
// answered through the module's Lua functions, delivered by frame_end into the askers' tables.
#include <gtest/gtest.h>

#include <atomic>

#include <chrono>
#include <thread>

#include "lua_test_host.hpp"
#include "base/clock.hpp"
#include "http/settings.hpp"
#include "host/stats.hpp"
#include "host/terrain_exchange.hpp"
#include "host/height_queue.hpp"
#include "host/testing.hpp"

using namespace qm;
using qm::test::LuaTestHost;

namespace {

constexpr const char* own_server = "<< QuillMarsh Server  P-V-E>>";

void clear_queues() {
  for (std::uint8_t kind = 0; kind < terrain::queue_kinds; ++kind) {
    auto& queue = terrain::height_queues()[kind];
    std::lock_guard lock(queue.mutex);
    queue.jobs.clear();
  }
}

// A host on a fresh frame, with a mission on `server` in theatre "Plains".
struct TerrainHost {
  LuaTestHost lua;
  explicit TerrainHost(const std::string& server = own_server) {
    clear_queues();
    store_terrain_budget_micros(2000);
    lua.run("m.mission_start('" + server + "', 'mission', 'Plains')");
    lua.run("m.frame_end()");
  }
  ~TerrainHost() {
    lua.run("m.mission_stop() m.frame_end()");
    clear_queues();
    store_terrain_budget_micros(default_terrain_budget_micros);
  }

  // One frame of the host's terrain loop: answers kind-1 questions with a = 2x, b = y; returns the
  // batch sizes of the frame.
  std::vector<int> frame() {
    lua.run(R"(
      local sizes = {}
      local n = m.terrain_take()
      while n > 0 do
        sizes[#sizes + 1] = n
        for i = 1, n do
          local x, y, kind = m.terrain_point(i)
          m.terrain_answer(i, 2 * x, y)
        end
        n = m.terrain_take()
      end
      m.frame_end()
      return unpack(sizes)
    )");
    std::vector<int> sizes;
    for (int i = 1; i <= lua.results(); ++i) sizes.push_back(static_cast<int>(lua.number(i)));
    return sizes;
  }
};

terrain::SharedText theatre(const char* name) { return std::make_shared<const std::string>(name); }

std::vector<terrain::QuestionItem> items(int n) {
  std::vector<terrain::QuestionItem> out;
  for (int i = 0; i < n; ++i) out.push_back({double(10 * i), double(-i), 1});
  return out;
}

}  // namespace

TEST(TerrainHost, QuestionsReachTheHostAndAnswersTheirTablesAtFrameEnd) {
  TerrainHost host;
  auto table = terrain::ask_heights(0, items(12), theatre("Plains"), nullptr);
  int taken = 0;
  for (int frames = 0; frames < 100 && taken < 12; ++frames) {
    for (int size : host.frame()) {
      EXPECT_GE(size, 1);
      EXPECT_LE(size, 5);
      taken += size;
    }
  }
  EXPECT_EQ(taken, 12);
  auto view = table->view();
  EXPECT_EQ(view.pending, 0u);
  for (int i = 0; i < 12; ++i) {
    EXPECT_EQ(view.slots[i], (terrain::AnswerSlot{true, 20.0 * i, double(-i)})) << i;
    EXPECT_EQ(view.seen[i], 1);
  }
}

TEST(TerrainHost, AnswersWaitForFrameEnd) {
  TerrainHost host;
  auto table = terrain::ask_heights(1, {{1.0, 2.0, 3}}, theatre("Plains"), nullptr);
  host.lua.run("local n = m.terrain_take() local x, y, k = m.terrain_point(1) m.terrain_answer(1, x + y, k) "
               "return n, x, y, k, m.terrain_take()");
  ASSERT_EQ(host.lua.results(), 5);
  EXPECT_EQ(host.lua.number(1), 1);
  EXPECT_EQ(host.lua.number(2), 1.0);
  EXPECT_EQ(host.lua.number(3), 2.0);
  EXPECT_EQ(host.lua.number(4), 3);
  EXPECT_EQ(host.lua.number(5), 0);
  EXPECT_EQ(table->pending(), 1u);  // the batch is closed, not yet delivered
  host.lua.run("m.frame_end()");
  EXPECT_EQ(table->view().slots[0], (terrain::AnswerSlot{true, 3.0, 3.0}));
}

TEST(TerrainHost, RefusedQuestionsAreDeliveredEmptyAndUnseen) {
  struct Case {
    const char* server;
    const char* asked_theatre;
  };
  for (const Case c : {Case{own_server, "Islands"}, Case{"Another server", "Plains"}}) {
    TerrainHost host(c.server);
    auto table = terrain::ask_heights(0, items(2), theatre(c.asked_theatre), nullptr);
    EXPECT_TRUE(host.frame().empty());
    auto view = table->view();
    EXPECT_EQ(view.pending, 0u);
    for (int i = 0; i < 2; ++i) {
      EXPECT_EQ(view.slots[i], (terrain::AnswerSlot{true, std::nullopt, std::nullopt}));
      EXPECT_EQ(view.seen[i], 0);
    }
  }
}

TEST(TerrainHost, PointAndAnswerIndexRules) {
  TerrainHost host;
  auto table = terrain::ask_heights(0, items(3), theatre("Plains"), nullptr);
  host.lua.run(R"(
    assert(m.terrain_take() == 3)
    local bad = {}
    for _, i in ipairs { 0, 1.5, 1001, 4, -1, 0/0 } do
      if m.terrain_point(i) ~= nil then bad[#bad + 1] = tostring(i) end
    end
    if m.terrain_point("1") ~= nil or m.terrain_point() ~= nil then bad[#bad + 1] = "not a number" end
    m.terrain_answer(1, 5.0)
    m.terrain_answer(2, 1/0, 2)
    m.terrain_answer(3, 7, 8)
    m.terrain_answer(4, 9, 9)
    m.terrain_answer("3", 1, 1)
    m.terrain_answer(3, "1", 0/0)
    return table.concat(bad, ",")
  )");
  EXPECT_EQ(host.lua.text(1), "");
  host.lua.run("m.frame_end()");
  auto view = table->view();
  EXPECT_EQ(view.slots[0], (terrain::AnswerSlot{true, 5.0, std::nullopt}));
  EXPECT_EQ(view.slots[1], (terrain::AnswerSlot{true, std::nullopt, 2.0}));
  EXPECT_EQ(view.slots[2], (terrain::AnswerSlot{true, std::nullopt, std::nullopt}));  // replaced
}

TEST(TerrainHost, UnansweredPointIsDeliveredEmptyButSeen) {
  TerrainHost host;
  auto table = terrain::ask_heights(0, items(1), theatre("Plains"), nullptr);
  host.lua.run("return m.terrain_take()");
  EXPECT_EQ(host.lua.number(1), 1);
  host.lua.run("m.frame_end()");
  auto view = table->view();
  EXPECT_EQ(view.slots[0], (terrain::AnswerSlot{true, std::nullopt, std::nullopt}));
  EXPECT_EQ(view.seen[0], 1);
}

TEST(TerrainHost, BusyTableIsDeliveredAtTheNextFrameEnd) {
  TerrainHost host;
  auto table = terrain::ask_heights(0, items(1), theatre("Plains"), nullptr);
  host.lua.run("m.terrain_take() m.terrain_answer(1, 4, 5)");
  {
    auto held = terrain::TestAccess::hold(*table);
    host.lua.run("m.frame_end()");  // must not wait for the lock
  }
  EXPECT_EQ(table->pending(), 1u);
  host.lua.run("m.frame_end()");
  EXPECT_EQ(table->view().slots[0], (terrain::AnswerSlot{true, 4.0, 5.0}));
}

// The answers are taken in one frame; a frame end that finds the asker holding its table's lock
// (on its way into the wait) keeps them for the next frame end, so the host goes on ending frames,
// as a real host does, until the asker has its answers.
TEST(TerrainHost, FrameEndWakesAnAskerWaitingOnAnotherThread) {
  TerrainHost host;
  auto table = terrain::ask_heights(0, items(2), theatre("Plains"), nullptr);
  std::atomic<bool> all{false}, done{false};
  constexpr std::uint64_t limit = 60'000'000'000ull;  // only an asker that nobody wakes reaches it
  std::thread asker([&] {
    const std::uint64_t start = now_ns();
    const bool answered = terrain::wait_answers(*table, limit).first;
    all = answered && now_ns() - start < limit;
    done = true;
  });
  EXPECT_EQ(host.frame(), std::vector<int>{2});
  for (int frames = 0; frames < 10000 && !done; ++frames) {
    host.lua.run("m.frame_end()");
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  asker.join();
  EXPECT_TRUE(all);
}

TEST(TerrainHost, CostStatisticsCountFramesColdBatchesAndSamplingFrames) {
  TerrainHost host;
  TerrainCostStats& stats = terrain_cost_stats();
  const auto frames0 = stats.cost.count.load();
  const auto sampling0 = stats.sampling_frames.load(), dry0 = stats.dry_frames.load();

  terrain::ask_heights(0, items(2), theatre("Plains"), nullptr);
  host.frame();
  EXPECT_EQ(stats.cost.count.load(), frames0 + 1);
  host.frame();  // nothing handed out: not measured
  EXPECT_EQ(stats.cost.count.load(), frames0 + 1);

  // A batch that keeps the host busy for more than 5 ms ends the frame's terrain work. The sampler
  // is asking meanwhile: the frame counts as sampling, not dry (taking stopped before running dry).
  sampler_asking().store(1);
  const auto cold_frames0 = stats.cold_frames.load(), cold_points0 = stats.cold_points.load();
  terrain::ask_heights(0, items(8), theatre("Plains"), nullptr);
  host.lua.run("return m.terrain_take()");
  EXPECT_EQ(host.lua.number(1), 5);
  std::this_thread::sleep_for(std::chrono::milliseconds(6));
  host.lua.run("return m.terrain_take(), m.terrain_take()");
  EXPECT_EQ(host.lua.number(1), 0);
  EXPECT_EQ(host.lua.number(2), 0);
  EXPECT_EQ(stats.cold_frames.load(), cold_frames0 + 1);
  EXPECT_EQ(stats.cold_points.load(), cold_points0 + 5);
  host.lua.run("m.frame_end()");
  EXPECT_EQ(stats.sampling_frames.load(), sampling0 + 1);
  EXPECT_EQ(stats.dry_frames.load(), dry0);

  host.frame();  // the three questions left are taken, then the queues run dry
  sampler_asking().store(0);
  host.frame();  // not sampling
  EXPECT_EQ(stats.sampling_frames.load(), sampling0 + 2);
  EXPECT_EQ(stats.dry_frames.load(), dry0 + 1);
}
