#pragma once
// What the worker tests stand in for: the mission phase the sampler reads, and the host answering
// the sampler's height questions (height queue kind 2) from an analytic terrain.
#include <gtest/gtest.h>

#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <string>

#include "module/mission_phase.hpp"
#include "terrain/exchange/height_queue.hpp"
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

}  // namespace qm::work::test_host
