// The asked-points log: the 64 newest batches, read by sequence and theatre.
#include <gtest/gtest.h>

#include <limits>

#include "work/asked_points.hpp"

namespace qm {
namespace {

AskedPointsRef batch(std::int32_t tag) { return std::make_shared<const AskedPoints>(AskedPoints{{tag, -tag}}); }

std::vector<std::int32_t> tags(const AskedBatches& got) {
  std::vector<std::int32_t> out;
  for (const auto& b : got.batches) out.push_back((*b)[0][0]);
  return out;
}

TEST(AskedPointsLog, KeepsTheLastSixtyFourBatches) {
  AskedPointsLog log;
  const auto theatre = std::make_shared<const std::string>("Caucasus");
  for (int i = 1; i <= 65; ++i) log.append(theatre, batch(i));
  const AskedBatches got = asked_batches_since(log, 0, "Caucasus");
  EXPECT_EQ(got.counter, 65u);
  ASSERT_EQ(got.batches.size(), 64u);
  EXPECT_EQ(tags(got).front(), 2);
  EXPECT_EQ(tags(got).back(), 65);
}

TEST(AskedPointsLog, AStreamSeesOnlyNewBatchesOfItsTheatre) {
  AskedPointsLog log;
  const auto caucasus = std::make_shared<const std::string>("Caucasus");
  const auto syria = std::make_shared<const std::string>("Syria");
  for (int i = 1; i <= 10; ++i) log.append(i % 2 ? caucasus : syria, batch(i));
  // The baseline: the largest sequence matches nothing and gives the counter.
  const AskedBatches base = asked_batches_since(log, std::numeric_limits<std::uint64_t>::max(), "Caucasus");
  EXPECT_TRUE(base.batches.empty());
  EXPECT_EQ(base.counter, 10u);
  for (int i = 11; i <= 15; ++i) log.append(i % 2 ? caucasus : syria, batch(i));
  // Another shared text with the same bytes is the same theatre.
  const AskedBatches got = asked_batches_since(log, base.counter, std::string("Caucasus"));
  EXPECT_EQ(tags(got), (std::vector<std::int32_t>{11, 13, 15}));
  EXPECT_EQ(got.counter, 15u);
  EXPECT_TRUE(asked_batches_since(log, got.counter, "Caucasus").batches.empty());
  EXPECT_EQ(tags(asked_batches_since(log, base.counter, "Syria")), (std::vector<std::int32_t>{12, 14}));
  EXPECT_TRUE(asked_batches_since(log, 0, "Caucasu").batches.empty());
}

}  // namespace
}  // namespace qm
