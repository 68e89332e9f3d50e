// The worker threads' start and end: names and priority, a start that fails, the exit guard's
// messages; and the terrain status members read from a work state, busy while a lock is held.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <mutex>
#include <nlohmann/json.hpp>
#include <string>
#include <thread>
#include <vector>

#include "base/fault.hpp"
#include "host/terrain_exchange.hpp"
#include "work/terrain_status.hpp"
#include "work/worker_message.hpp"
#include "work/workers.hpp"
#include "thread_wait.hpp"
#include "work/store_testing.hpp"

namespace qm::work {
namespace {

using namespace std::chrono_literals;

TEST(WorkWorkers, StartsBothThreadsAndReportsOneThatCannotStart) {
  auto state = std::make_shared<TerrainState>();
  state->stop = true;  // the loops return at once if a body runs
  std::vector<std::pair<std::string, platform::Priority>> asked;
  start_workers(state,
                [&](const std::string& name, platform::Priority priority,
                    std::function<void()>) -> Result<void, std::string> {
                  asked.emplace_back(name, priority);
                  if (name.ends_with("sampler")) return failure(std::string("no more threads"));
                  return {};
                });
  ASSERT_EQ(asked.size(), 2u);
  EXPECT_EQ(asked[0].first, "quillmarsh-exporter-sampler");
  EXPECT_EQ(asked[1].first, "quillmarsh-exporter-builder");
  EXPECT_EQ(asked[0].second, platform::Priority::below_normal_computing);
  EXPECT_EQ(asked[1].second, platform::Priority::below_normal_computing);
  EXPECT_EQ(worker_message(*state), "could not start the sampler thread: no more threads");
}

TEST(WorkWorkers, TheExitGuardTellsAnEndFromAPanic) {
  auto state = std::make_shared<TerrainState>();
  sampler_asking().store(1);
  state->building = 1;
  {
    WorkerExit exit(state, WorkerRole::Builder);
  }
  EXPECT_EQ(state->building.load(), 0);
  EXPECT_EQ(sampler_asking().load(), 1);
  EXPECT_EQ(worker_message(*state), "the builder thread ended");
  const std::uint64_t changes = change_counter(*state);

  try {
    WorkerExit exit(state, WorkerRole::Sampler);
    fault("listed");
  } catch (const Fault&) {
  }
  EXPECT_EQ(sampler_asking().load(), 0);
  EXPECT_EQ(worker_message(*state), "the builder thread ended");  // the first message stays
  EXPECT_EQ(change_counter(*state), changes + 1);

  auto other = std::make_shared<TerrainState>();
  try {
    WorkerExit exit(other, WorkerRole::Sampler);
    fault("listed");
  } catch (const Fault&) {
  }
  EXPECT_EQ(worker_message(*other), "the sampler thread stopped on a panic (see health.lastPanic)");

  auto stopped = std::make_shared<TerrainState>();
  stopped->stop = true;
  { WorkerExit exit(stopped, WorkerRole::Sampler); }
  EXPECT_FALSE(worker_message(*stopped).has_value());
}

class ThrowingPhases : public PhaseSource {
 public:
  MissionPhase phase() const override { fault("a phase that cannot be read"); }
};

TEST(WorkWorkers, ASamplerFaultEndsItsThreadWithAMessageAndTheBuilderRuns) {
  auto state = std::make_shared<TerrainState>();
  state->idle_park_us = 1000;
  std::atomic<int> ended{0};
  start_workers(state, [&](const std::string& name, platform::Priority priority, std::function<void()> body) {
    if (name.ends_with("sampler")) {
      body = [state, &ended] {
        sampler_thread_main(state, std::make_shared<ThrowingPhases>());
        ++ended;
      };
    }
    return platform::spawn_thread(name, priority, std::move(body));
  });
  const auto deadline = std::chrono::steady_clock::now() + 30s;
  while (ended == 0 && std::chrono::steady_clock::now() < deadline) std::this_thread::sleep_for(1ms);
  ASSERT_EQ(ended, 1);
  EXPECT_EQ(worker_message(*state), "the sampler thread stopped on a panic (see health.lastPanic)");
  EXPECT_EQ(sampler_asking().load(), 0);
  const std::shared_ptr<const std::string> panic = last_panic();
  ASSERT_TRUE(panic);
  EXPECT_NE(panic->find("a phase that cannot be read"), std::string::npos);
  // The builder still runs: it stores its handle and parks; a stop ends it without a message.
  while (state->builder.get() == nullptr && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(1ms);
  }
  EXPECT_NE(state->builder.get(), nullptr);
  state->stop = true;
  state->builder.unpark();
}

TEST(WorkStatus, TheMembersAreReadFromTheWorkState) {
  auto state = std::make_shared<TerrainState>();
  {
    PoisonGuard lock(state->schedule_lock);
    Schedule& schedule = state->schedule;
    schedule.store.hold_theatre(std::make_shared<const std::string>("Plains"));
    mesh::CellMesh mesh;
    mesh.vertices.resize(3);
    mesh.triangles.resize(1);
    mesh.cells = {{0, 0}, {0, 1}};
    store_parts(schedule.store).meshes.put(4, mesh);
    schedule.store.put_sample({0, 0}, StoredSample{});
    store_parts(schedule.store).pinned_bytes = 1u << 30;
    store_parts(schedule.store).owners["Plains"][Square{0, 0}];
    store_parts(schedule.store).owners["Desert"][Square{1, 0}];
    store_parts(schedule.store).owners["Desert"][Square{2, 0}];
    schedule.reservations = {{1, 1000}, {2, 24}};
    Job job;
    job.pins = {4, 4, 77};
    schedule.jobs[1] = job;
    schedule.jobs[2] = job;
    schedule.groups[1].state = kGroupSampling;
    schedule.groups[2].state = kGroupSampled;
    schedule.groups[3].state = kGroupInBuild;
    schedule.counters.held_back = 3;
  }
  state->counters.points_asked = 12;
  record_panic(*state, "the builder thread ended");

  const std::optional<std::string> text = terrain_status_of(*state, false);
  ASSERT_TRUE(text);
  const auto doc = nlohmann::json::parse("{" + *text + "}");
  const std::uint64_t piece = (3 + 1) * 24 + 2 * 16 + 96;
  EXPECT_EQ(doc["store"]["theatre"], "Plains");
  EXPECT_EQ(doc["store"]["pieces"], 1);
  EXPECT_EQ(doc["store"]["samples"], 1);
  EXPECT_EQ(doc["store"]["bytes"], 36 + piece);
  EXPECT_EQ(doc["store"]["pinnedBytes"], 36 + piece);
  EXPECT_EQ(doc["store"]["evictableBytes"], 0);
  EXPECT_EQ(doc["store"]["pinsOver"], false);
  EXPECT_EQ(doc["store"]["reservedBytes"], 1024);
  EXPECT_EQ(doc["store"]["ownerSquares"], 3);
  EXPECT_EQ(doc["work"]["sampling"], 1);
  EXPECT_EQ(doc["work"]["sampled"], 1);
  EXPECT_EQ(doc["work"]["heldBack"], 3);
  EXPECT_EQ(doc["work"]["owedBytes"], 4 * piece);
  EXPECT_EQ(doc["work"]["pointsAsked"], 12);
  EXPECT_EQ(doc["work"]["error"], "the builder thread ended");
}

TEST(WorkStatus, ANoWaitReadIsBusyWhileALockIsHeld) {
  auto state = std::make_shared<TerrainState>();
  auto busy_while = [&](auto& mutex) {
    std::atomic<bool> held{false}, release{false};
    std::thread holder([&] {
      std::lock_guard lock(mutex);
      held = true;
      while (!release) std::this_thread::sleep_for(1ms);
    });
    while (!held) std::this_thread::sleep_for(1ms);
    EXPECT_FALSE(terrain_status_of(*state, false).has_value());
    release = true;
    holder.join();
    EXPECT_TRUE(terrain_status_of(*state, false).has_value());
  };
  busy_while(state->schedule_lock);
  busy_while(state->last_sampled_lock);
  busy_while(state->last_built_lock);
  busy_while(state->message_lock);

  // Waiting, the read answers once the holder lets go.
  std::optional<std::string> waited;
  {
    PoisonGuard lock(state->schedule_lock);
    std::atomic<std::uint64_t> reader_id{0};
    std::thread reader([&] {
      reader_id = test::this_thread_id() + 1;
      waited = terrain_status_of(*state, true);
    });
    while (reader_id.load() == 0) std::this_thread::yield();
    EXPECT_NE(test::wait_until_blocked(reader_id.load() - 1), test::Blocked::ended) << "the read did not wait";
    lock.unlock();
    reader.join();
  }
  EXPECT_TRUE(waited.has_value());
}

}  // namespace
}  // namespace qm::work
