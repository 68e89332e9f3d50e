// The group memory estimate against the heap the group really takes, step by step through the
// sampling run, the refine pass and the piece build's face build and face pieces, on every fixture
// terrain and on covers of other shapes than the benchmark's: the estimate of the state a step
// starts from is never below the step's peak, nor far above the group's peak; and the estimate of
// the sampler's last check before a step (the one the group was let on with) is not below it either.
#include <gtest/gtest.h>

#include <algorithm>

#include "faces_pipeline.hpp"
#include "heap_meter.hpp"

namespace qm::mesh::fixture {
namespace {

TEST(GroupMemory, TheEstimateCoversEveryStepOfTheGroup) {
  ASSERT_TRUE(heap_counting());
  std::set<Cell> notched = rect_cells(-3, 2, 5, 4);
  notched.erase(Cell{-1, 3});
  notched.erase(Cell{1, 5});
  const std::vector<std::pair<std::string, std::set<Cell>>> covers = {
      {"4 by 4", rect_cells(2, -7, 4, 4)}, {"notched 5 by 4", notched}, {"L-shape", cover_shapes()[1].second}};
  for (const Terrain& terrain : all_terrains()) {
    for (const auto& [name, cells] : covers) {
      SCOPED_TRACE(terrain.name + " / " + name);
      FakeHost host(terrain);
      const Pipeline p = run_pipeline(cells, host);
      ASSERT_FALSE(p.memory.empty());
      std::uint64_t peak = 0, estimate_then = 0;
      std::uint64_t checked = 0;  // the estimate of the sampler's last check before the step
      for (const MemoryStep& step : p.memory) {
        const bool built = step.stage == "faces" || step.stage == "pieces";
        if (!built) checked = step.estimate;
        EXPECT_GE(step.estimate, step.peak) << step.stage;
        EXPECT_GE(checked, step.peak) << step.stage << ", against the last check";
        if (step.peak > peak) {
          peak = step.peak;
          estimate_then = step.estimate;
        }
      }
      EXPECT_LE(estimate_then, 2 * peak);
    }
  }
}

}  // namespace
}  // namespace qm::mesh::fixture
