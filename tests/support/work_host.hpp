#pragma once
// What the worker tests stand in for: the mission phase the sampler reads, and the host answering
// the sampler's height questions (height queue kind 2) from an analytic terrain; and both workers
// over one store, driven from the test's thread.
#include <gtest/gtest.h>

#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <set>
#include <string>

#include "host/mission_phase.hpp"
#include "platform/park.hpp"
#include "work/builder_run.hpp"
#include "work/sampler_run.hpp"
#include "host/height_queue.hpp"
#include "terrain_fixture.hpp"

namespace qm::work::test_host {

inline SharedText text(const char* s) { return std::make_shared<const std::string>(s); }

// A mission phase that a test sets; a running mission in "Plains" as made.
class TestPhases : public PhaseSource {
 public:
  MissionPhase phase() const override {
    std::lock_guard lock(mutex_);
    return phase_;
  }
  void set(MissionPhase::Code code, const char* theatre) {
    std::lock_guard lock(mutex_);
    phase_ = MissionPhase{code, theatre ? text(theatre) : nullptr};
  }

 private:
  mutable std::mutex mutex_;
  MissionPhase phase_{MissionPhase::running, text("Plains")};
};

// Answers every question queued on kind 2 from the terrain; returns how many it answered.
inline std::uint64_t answer_queue(terrain::HeightQueues& queues, const mesh::fixture::Terrain& terrain) {
  decltype(terrain::HeightQueue::jobs) jobs;
  {
    std::lock_guard lock(queues[terrain::queue_sampler].mutex);
    jobs.swap(queues[terrain::queue_sampler].jobs);
  }
  for (const terrain::HeightJob& job : jobs) {
    EXPECT_EQ(job.point_kind, 1);
    const std::optional<double> h = terrain.height(job.x, job.y);
    while (job.table->try_deliver(job.index, h, std::nullopt, true) == terrain::Delivery::busy) {
    }
  }
  return jobs.size();
}

// The sampler and the builder over one store, driven turn by turn from the test's thread, with a
// host that answers every question at once.
struct Road {
  std::shared_ptr<TerrainState> state = std::make_shared<TerrainState>();
  TestPhases phases;
  terrain::HeightQueues queues;
  Sampler sampler{*state, phases, queues, std::make_shared<platform::Parker>()};
  mesh::fixture::Terrain terrain;
  PieceBuild build = &mesh::scheme_build;
  std::uint64_t next_job = 1;

  explicit Road(mesh::fixture::Terrain t) : terrain(std::move(t)) {}

  std::uint64_t file_job(const std::set<Cell>& cells) {
    PoisonGuard lock(state->schedule_lock);
    Job job;
    job.theatre = text("Plains");
    for (const Cell& c : cells) {
      job.wanted.insert(c);
      job.squares.insert(c);
    }
    job.square_count = job.squares.square_count();
    const std::uint64_t id = next_job++;
    state->schedule.jobs[id] = std::move(job);
    return id;
  }

  bool settled(std::uint64_t job) {
    PoisonGuard lock(state->schedule_lock);
    return state->schedule.jobs.at(job).wanted.empty() && state->schedule.groups.empty();
  }

  // Sampler turns with their answers until a group waits for the builder.
  void sample_one() {
    for (int turn = 0; turn < 2000; ++turn) {
      sampler.turn();
      answer_queue(queues, terrain);
      PoisonGuard lock(state->schedule_lock);
      check_invariants(state->schedule);
      for (const auto& [id, group] : state->schedule.groups)
        if (group.state == kGroupSampled) return;
    }
    ADD_FAILURE() << "no group was sampled";
  }

  // One group sampled, then built with whatever else waits for the builder.
  void build_round() {
    sample_one();
    while (builder_step(*state, build) == BuilderStep::Built) {
      PoisonGuard lock(state->schedule_lock);
      check_invariants(state->schedule);
    }
  }

  // Files a job for the cells and runs both workers until the job wants nothing more.
  void build_area(const std::set<Cell>& cells) {
    const std::uint64_t job = file_job(cells);
    for (int round = 0; round < 50 && !settled(job); ++round) build_round();
    EXPECT_TRUE(settled(job)) << "the area was not built";
  }

  const Store& store() const { return state->schedule.store; }
};

}  // namespace qm::work::test_host
