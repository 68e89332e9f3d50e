// The blocks projection: quadratic block fits against a Lambert conformal conic map converted by
// PROJ, the block set of a region, the fit cache with batched asks, and the evaluation.
#include <gtest/gtest.h>

#include <atomic>
#include <cmath>
#include <limits>
#include <map>
#include <set>
#include <thread>

#include "base/fault.hpp"
#include "base/clock.hpp"
#include "geo/blocks.hpp"
#include "host/height_queue.hpp"
#include "geo/projection.hpp"
#include "test_projection_proj.hpp"

using namespace qm;
using qm_test::Point2;

namespace {

const char* kLambert = "+proj=lcc +ellps=WGS84 +lat_1=40 +lat_2=48 +lat_0=44 +lon_0=35 +x_0=0 +y_0=0 +units=m";

// A host converting map points to geographic ones with PROJ, recording every batch.
struct ProjHost {
  std::vector<std::vector<std::array<double, 2>>> asked;
  std::set<std::pair<double, double>> no_pair;
  std::size_t answer_batches = std::numeric_limits<std::size_t>::max();  // later batches time out
  bool answer_half = false;  // in a timed-out batch, answer the first half

  ConvertPoints converter() {
    return [this](const std::vector<std::array<double, 2>>& points, PointKind kind, const TheatreRef&,
                  std::chrono::nanoseconds) {
      EXPECT_EQ(kind, PointKind::kMapToGeographic);
      EXPECT_LE(points.size(), kConversionQueueLimit);
      asked.push_back(points);
      const bool times_out = asked.size() > answer_batches;
      Conversions out;
      const auto ll = qm_test::proj_from_map(kLambert, points);
      for (std::size_t i = 0; i < points.size(); ++i) {
        ConversionResult r;
        if (times_out && !(answer_half && i < points.size() / 2)) {
          out.some_unanswered = true;
        } else if (no_pair.count({points[i][0], points[i][1]})) {
          r.state = ConversionResult::State::kNoPair;
        } else {
          r = {ConversionResult::State::kPair, ll[i][0], ll[i][1]};
        }
        out.results.push_back(r);
      }
      return out;
    };
  }
};

TheatreRef theatre(const char* name) { return std::make_shared<const std::string>(name); }

Region region_of_spans(std::map<std::int32_t, std::vector<RowSpan>> columns) {
  Region region;
  region.columns = std::move(columns);
  return region;
}

}  // namespace

TEST(FitBlockSurface, ReproducesExactQuadratics) {
  const std::array<double, 6> cases[] = {
      {1.0, 0.0, 0.0, 0.0, 0.0, 0.0},
      {44.123456, 0.0712, -0.0031, 1.5e-6, -2.25e-6, 3.0e-7},
      {-120.5, -0.09, 0.08, -0.001, 0.002, -0.003},
  };
  for (const auto& c : cases) {
    std::array<double, 9> values{};
    for (std::size_t i = 0; i < 9; ++i) {
      const double s = kBlockSamples[i][0], t = kBlockSamples[i][1];
      values[i] = c[0] + c[1] * s + c[2] * t + c[3] * s * s + c[4] * s * t + c[5] * t * t;
    }
    const auto fit = fit_block_surface(block_design(), values);
    ASSERT_TRUE(fit.has_value());
    for (std::size_t j = 0; j < 6; ++j) EXPECT_NEAR((*fit)[j], c[j], 1e-12 * (1.0 + std::fabs(c[0]))) << j;
  }
  BlockDesign flat{};
  for (auto& row : flat) row = {1.0, 0.5, 0.5, 0.25, 0.25, 0.25};
  EXPECT_FALSE(fit_block_surface(flat, {}).has_value()) << "a singular design fails";
  const double nan = std::numeric_limits<double>::quiet_NaN();
  std::array<std::array<double, 2>, 9> samples{};
  EXPECT_TRUE(fit_block({0, 0}, samples).has_value());
  samples[4][1] = nan;
  EXPECT_FALSE(fit_block({0, 0}, samples).has_value()) << "a value that is not finite fails";
}

TEST(EvaluateBlocks, BlockLocalCoordinates) {
  BlockFitMap fits;
  // latitude = u, longitude = v in every block.
  for (BlockKey key : {BlockKey{-1, 0}, BlockKey{0, 0}, BlockKey{1, 0}, BlockKey{0, -1}})
    fits[key] = BlockFit{{0, 1, 0, 0, 0, 0}, {0, 0, 1, 0, 0, 0}, key};
  struct Case {
    double x, z;
    std::optional<std::pair<double, double>> uv;
  };
  const Case cases[] = {
      {-1.0, 0.0, std::pair{0.999875, 0.0}},
      {8000.0, 4000.0, std::pair{0.0, 0.5}},  // on the boundary: the block to the right
      {7999.0, 0.0, std::pair{0.999875, 0.0}},
      {100.0, -8000.0, std::pair{0.0125, 0.0}},
      {100.0, 8000.0, std::nullopt},          // block (0, 1) has no fit
      {16000.0, 0.0, std::nullopt},
      {std::numeric_limits<double>::quiet_NaN(), 0.0, std::pair{std::numeric_limits<double>::quiet_NaN(), 0.0}},
  };
  for (const auto& c : cases) {
    const auto got = tm_inverse(MapConversion::of_blocks(&fits), c.x, c.z);
    ASSERT_EQ(got.has_value(), c.uv.has_value()) << c.x << "," << c.z;
    if (!got) continue;
    if (std::isnan(c.uv->first)) {
      EXPECT_TRUE(std::isnan(got->first));  // NaN lands in block 0 and stays NaN
      continue;
    }
    EXPECT_NEAR(got->first, c.uv->first, 1e-12) << c.x;
    EXPECT_NEAR(got->second, c.uv->second, 1e-12) << c.z;
  }
  EXPECT_FALSE(evaluate_blocks(nullptr, 1.0, 1.0).has_value());
  EXPECT_EQ(block_of(1e300, -1e300), (BlockKey{std::numeric_limits<std::int32_t>::max(), std::numeric_limits<std::int32_t>::min()}));
}

TEST(RegionBlocks, TheBlocksOfTheCellsWithTheirNeighbours) {
  const auto keys = [](std::vector<std::pair<int, int>> v) {
    std::vector<BlockKey> k;
    for (auto [x, z] : v) k.push_back({x, z});
    return k;
  };
  EXPECT_EQ(region_blocks(region_of_spans({{3, {{5, 9}}}, {124, {{0, 124}}}})),
            keys({{-1, -1}, {-1, 0}, {-1, 1}, {0, -1}, {0, 0}, {0, 1}, {1, -1}, {1, 0}, {1, 1}}));
  EXPECT_EQ(region_blocks(region_of_spans({{0, {{120, 125}}}})),
            keys({{-1, -1}, {-1, 0}, {-1, 1}, {-1, 2}, {0, -1}, {0, 0}, {0, 1}, {0, 2}, {1, -1}, {1, 0}, {1, 1}, {1, 2}}));
  EXPECT_EQ(region_blocks(region_of_spans({{-1, {{-1, -1}}}})),
            keys({{-2, -2}, {-2, -1}, {-2, 0}, {-1, -2}, {-1, -1}, {-1, 0}, {0, -2}, {0, -1}, {0, 0}}));
  EXPECT_TRUE(region_blocks(Region{}).empty());
  const std::int32_t big = std::numeric_limits<std::int32_t>::max();
  const auto edge = region_blocks(region_of_spans({{big, {{big, big}}}}));
  EXPECT_FALSE(edge.empty());  // no overflow at the ends of the cell range
}

TEST(BlockFits, ReproduceTheHostConversionsOfALambertMap) {
  BlockFitCache cache;
  ProjHost host;
  const std::vector<BlockKey> keys{{-3, 2}, {0, 0}, {5, -7}, {-1, -1}};
  const auto fits = block_fits(theatre("Marsh"), keys, std::chrono::seconds(10), host.converter(), cache);
  ASSERT_TRUE(fits.has_value());
  ASSERT_EQ(fits->size(), 4u);
  const auto conversion = MapConversion::of_blocks(&*fits);
  for (const BlockKey& key : keys) {
    // At the block's nine points the fit gives back the host's conversions.
    std::vector<Point2> samples, inside;
    for (const auto& [s, t] : kBlockSamples) samples.push_back({(key.bx + s) * 8000.0, (key.bz + t) * 8000.0});
    const auto at_samples = qm_test::proj_from_map(kLambert, samples);
    double sample_residual = 0.0;
    for (std::size_t i = 0; i < 9; ++i) {
      // (Sample points on the far edges belong to the next block; evaluate them with this block's fit.)
      const auto& fit = fits->at(key);
      const double u = kBlockSamples[i][0], v = kBlockSamples[i][1];
      const double lat = fit.lat[0] + fit.lat[1] * u + fit.lat[2] * v + fit.lat[3] * u * u + fit.lat[4] * u * v + fit.lat[5] * v * v;
      const double lon = fit.lon[0] + fit.lon[1] * u + fit.lon[2] * v + fit.lon[3] * u * u + fit.lon[4] * u * v + fit.lon[5] * v * v;
      sample_residual = std::max(sample_residual, qm_test::ground_metres(lat, lat - at_samples[i][0], lon - at_samples[i][1]));
    }
    EXPECT_LT(sample_residual, 0.005) << "metres at the samples of block " << key.bx << "," << key.bz;
    // Inside the block the evaluation stays within that residual of PROJ (with a margin).
    for (int i = 0; i < 16; ++i)
      for (int j = 0; j < 16; ++j) inside.push_back({(key.bx + (i + 0.37) / 16.0) * 8000.0, (key.bz + (j + 0.61) / 16.0) * 8000.0});
    const auto reference = qm_test::proj_from_map(kLambert, inside);
    double worst = 0.0;
    for (std::size_t i = 0; i < inside.size(); ++i) {
      const auto ll = tm_inverse(conversion, inside[i][0], inside[i][1]);
      ASSERT_TRUE(ll.has_value());
      worst = std::max(worst, qm_test::ground_metres(ll->first, ll->first - reference[i][0], ll->second - reference[i][1]));
    }
    EXPECT_LT(worst, 1.5 * sample_residual) << "block " << key.bx << "," << key.bz;
  }
}

TEST(BlockFits, CachedPerTheatreAndAskedOnce) {
  BlockFitCache cache;
  ProjHost host;
  const std::vector<BlockKey> keys{{1, 1}, {0, 0}, {1, 1}};
  ASSERT_TRUE(block_fits(theatre("Marsh"), keys, std::chrono::seconds(1), host.converter(), cache).has_value());
  ASSERT_EQ(host.asked.size(), 1u);
  EXPECT_EQ(host.asked[0].size(), 18u) << "duplicates asked once";
  EXPECT_EQ(host.asked[0][0], (std::array<double, 2>{0.0, 0.0})) << "missing blocks in ascending order";
  EXPECT_EQ(host.asked[0][1], (std::array<double, 2>{0.0, 4000.0}));
  EXPECT_EQ(host.asked[0][3], (std::array<double, 2>{4000.0, 0.0}));
  const auto again = block_fits(theatre("Marsh"), keys, std::chrono::seconds(1), host.converter(), cache);
  ASSERT_TRUE(again.has_value());
  EXPECT_EQ(again->size(), 2u);
  EXPECT_EQ(host.asked.size(), 1u) << "the second call needs no conversion";
  ASSERT_TRUE(block_fits(theatre("Fen"), keys, std::chrono::seconds(1), host.converter(), cache).has_value());
  EXPECT_EQ(host.asked.size(), 2u) << "another theatre has its own fits";
  EXPECT_TRUE(block_fits(theatre("Fen"), {}, std::chrono::seconds(1), host.converter(), cache)->empty());
}

TEST(BlockFits, ABlockWithoutAUsablePairGetsNoFit) {
  BlockFitCache cache;
  ProjHost host;
  host.no_pair.insert({12000.0, 4000.0});  // the middle sample of block (1, 0)
  const auto fits =
      block_fits(theatre("Marsh"), {{0, 0}, {1, 0}, {2, 0}}, std::chrono::seconds(1), host.converter(), cache);
  ASSERT_TRUE(fits.has_value());
  EXPECT_TRUE(fits->contains({0, 0}));
  EXPECT_FALSE(fits->contains({1, 0}));
  EXPECT_TRUE(fits->contains({2, 0}));
  EXPECT_FALSE(tm_inverse(MapConversion::of_blocks(&*fits), 9000.0, 100.0).has_value());
}

TEST(BlockFits, UnansweredBatchesKeepWhatArrivedAndRetryTheRest) {
  BlockFitCache cache;
  ProjHost host;
  host.answer_batches = 0;
  host.answer_half = true;
  std::vector<BlockKey> keys;
  for (int i = 0; i < 10; ++i) keys.push_back({i, 0});
  EXPECT_FALSE(block_fits(theatre("Marsh"), keys, std::chrono::seconds(1), host.converter(), cache).has_value());
  ASSERT_EQ(host.asked.size(), 1u);
  host.answer_batches = 100;
  const auto fits = block_fits(theatre("Marsh"), keys, std::chrono::seconds(1), host.converter(), cache);
  ASSERT_TRUE(fits.has_value());
  EXPECT_EQ(fits->size(), 10u);
  ASSERT_EQ(host.asked.size(), 2u);
  EXPECT_EQ(host.asked[1].size(), 9u * 5) << "only the blocks still missing are asked again";
}

// More blocks than one conversion batch can hold: asked in batches within the queue's limit; a
// batch that times out keeps the batches before it.
TEST(BlockFits, ManyBlocksGoInBatchesWithinTheQueueLimit) {
  BlockFitCache cache;
  std::vector<BlockKey> keys;
  for (int i = 0; i < 6000; ++i) keys.push_back({i % 100 - 50, i / 100 - 30});
  std::size_t calls = 0, points = 0;
  std::size_t fail_at = 2;  // the third batch times out
  const ConvertPoints synthetic = [&](const std::vector<std::array<double, 2>>& batch, PointKind,
                                      const TheatreRef&, std::chrono::nanoseconds) {
    EXPECT_LE(batch.size(), kConversionQueueLimit);
    Conversions out;
    for (const auto& p : batch) {
      ConversionResult r{ConversionResult::State::kPair, 40.0 + p[0] * 1e-5, 30.0 + p[1] * 1e-5};
      if (calls == fail_at) {
        r.state = ConversionResult::State::kUnanswered;
        out.some_unanswered = true;
      }
      out.results.push_back(r);
    }
    ++calls;
    points += batch.size();
    return out;
  };
  ASSERT_LT(3 * kBlocksPerBatch, 6000u);
  EXPECT_FALSE(block_fits(theatre("Marsh"), keys, std::chrono::seconds(5), synthetic, cache).has_value());
  EXPECT_EQ(calls, 3u);
  EXPECT_EQ(points, 9u * 3 * kBlocksPerBatch);
  fail_at = 99;
  calls = points = 0;
  const auto fits = block_fits(theatre("Marsh"), keys, std::chrono::seconds(5), synthetic, cache);
  ASSERT_TRUE(fits.has_value());
  EXPECT_EQ(fits->size(), 6000u);
  const std::size_t left = 6000 - 2 * kBlocksPerBatch;  // the first two batches were kept
  EXPECT_EQ(calls, (left + kBlocksPerBatch - 1) / kBlocksPerBatch);
  EXPECT_EQ(points, 9u * left);
  const auto ll = evaluate_blocks(&*fits, 1234.0, -5678.0);
  ASSERT_TRUE(ll.has_value());
  EXPECT_NEAR(ll->first, 40.0 + 1234.0 * 1e-5, 1e-9);
  EXPECT_NEAR(ll->second, 30.0 - 5678.0 * 1e-5, 1e-9);
}

// Two requests for many new blocks at once, through the real conversion queue. The host holds its
// answers until both have a batch queued (or one has given up), so the second request meets the
// first one's batch in the queue whatever the timing; each must leave room for the other.
TEST(BlockFits, TwoLargeRequestsAtOnceBothGetTheirFits) {
  terrain::HeightQueues queues;
  BlockFitCache cache;
  std::vector<BlockKey> west, east;
  for (int i = 0; i < 3000; ++i) {
    west.push_back({i % 60 - 100, i / 60});
    east.push_back({i % 60 + 100, i / 60});
  }
  std::atomic<int> finished{0};
  std::optional<BlockFitMap> west_fits, east_fits;
  const auto ask = [&](const std::vector<BlockKey>& keys, std::optional<BlockFitMap>& out) {
    return std::thread([&, keys = &keys, out = &out] {
      *out = block_fits(theatre("Marsh"), *keys, std::chrono::seconds(60), host_converter(queues), cache);
      finished.fetch_add(1);
    });
  };
  std::thread host([&] {
    auto& queue = queues[terrain::queue_conversions];
    while (finished.load() == 0 && terrain::queued_count(terrain::queue_conversions, queues) < 2 * 9 * kBlocksPerBatch)
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    while (finished.load() < 2) {
      std::vector<terrain::HeightJob> taken;
      {
        std::lock_guard lock(queue.mutex);
        taken.assign(queue.jobs.begin(), queue.jobs.end());
        queue.jobs.clear();
      }
      for (const auto& job : taken) {
        while (job.table->try_deliver(job.index, 40.0 + job.x * 1e-6, 30.0 + job.y * 1e-6, true) ==
               terrain::Delivery::busy) {
        }
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
  });
  std::thread first = ask(west, west_fits);
  // The second request starts once the first has its batch queued, so that it finds that batch there.
  while (terrain::queued_count(terrain::queue_conversions, queues) == 0)
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  std::thread second = ask(east, east_fits);
  first.join();
  second.join();
  host.join();
  ASSERT_TRUE(west_fits.has_value());
  ASSERT_TRUE(east_fits.has_value());
  EXPECT_EQ(west_fits->size(), west.size());
  EXPECT_EQ(east_fits->size(), east.size());
}

TEST(PageBlocks, EmptyRegionAsksNothingAndAnOverflowingDeadlineFaults) {
  BlockFitCache cache;
  ProjHost host;
  const auto view = page_blocks(now_ns(), std::chrono::seconds(10), theatre("Marsh"), Region{}, host.converter(), cache);
  ASSERT_TRUE(view.has_value());
  EXPECT_TRUE(view->fits.empty());
  EXPECT_TRUE(host.asked.empty());
  EXPECT_THROW(page_blocks(std::numeric_limits<std::uint64_t>::max() - 5, std::chrono::nanoseconds(6),
                           theatre("Marsh"), Region{}, host.converter(), cache),
               Fault);

  Region region = region_of_spans({{10, {{10, 20}}}});
  region.cells = 11;
  const auto fitted = page_blocks(now_ns(), std::chrono::seconds(10), theatre("Marsh"), region, host.converter(), cache);
  ASSERT_TRUE(fitted.has_value());
  EXPECT_EQ(fitted->fits.size(), 9u);
  EXPECT_EQ(fitted->region.cells, 11u);
  EXPECT_EQ(*fitted->theatre, "Marsh");
  EXPECT_EQ(missing_block_keys(fitted->fits, {{100.0, 100.0}, {-8001.0, 0.0}, {16000.0, 5.0}, {16000.0, 6.0}}),
            (std::vector<BlockKey>{{-2, 0}, {2, 0}, {2, 0}}));
}

// The real conversion queue, with a thread that plays the host.
TEST(ConvertPoints, ThroughTheConversionQueue) {
  terrain::HeightQueues queues;
  std::atomic<bool> stop{false};
  std::thread host([&] {
    while (!stop.load()) {
      std::vector<terrain::HeightJob> taken;
      {
        std::lock_guard lock(queues[terrain::queue_conversions].mutex);
        auto& jobs = queues[terrain::queue_conversions].jobs;
        while (!jobs.empty()) {
          taken.push_back(jobs.front());
          jobs.pop_front();
        }
      }
      for (const auto& job : taken) {
        EXPECT_EQ(job.point_kind, 2);
        // x < 0: no usable pair; x == 1: refused (never seen); otherwise a pair.
        std::optional<double> a = job.x * 2.0, b = job.y + 1.0;
        if (job.x < 0) b.reset();
        while (job.table->try_deliver(job.index, a, b, job.x != 1.0) == terrain::Delivery::busy) {
        }
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
  });
  const auto answers = convert_points({{3.0, 4.0}, {-1.0, 0.0}, {1.0, 2.0}}, PointKind::kMapToGeographic,
                                      theatre("Marsh"), std::chrono::seconds(60), queues);
  stop = true;
  host.join();
  ASSERT_EQ(answers.results.size(), 3u);
  EXPECT_TRUE(answers.some_unanswered);
  EXPECT_EQ(answers.results[0].state, ConversionResult::State::kPair);
  EXPECT_EQ(answers.results[0].a, 6.0);
  EXPECT_EQ(answers.results[0].b, 5.0);
  EXPECT_EQ(answers.results[1].state, ConversionResult::State::kNoPair);
  EXPECT_EQ(answers.results[2].state, ConversionResult::State::kUnanswered);
  EXPECT_EQ(terrain::queued_count(terrain::queue_conversions, queues), 0u);
}

TEST(ConvertPoints, LimitAndTimeOut) {
  terrain::HeightQueues queues;
  EXPECT_FALSE(convert_points({}, PointKind::kGeographicToMap, theatre("Marsh"), std::chrono::seconds(1), queues)
                   .some_unanswered);
  std::vector<terrain::QuestionItem> filler(kConversionQueueLimit, terrain::QuestionItem{0.0, 0.0, 3});
  const auto held = terrain::ask_heights(terrain::queue_conversions, filler, theatre("Marsh"), nullptr, queues);
  const auto over = convert_points({{1.0, 2.0}}, PointKind::kGeographicToMap, theatre("Marsh"),
                                   std::chrono::seconds(1), queues);
  EXPECT_TRUE(over.some_unanswered);
  ASSERT_EQ(over.results.size(), 1u);
  EXPECT_EQ(over.results[0].state, ConversionResult::State::kUnanswered);
  EXPECT_EQ(terrain::queued_count(terrain::queue_conversions, queues), kConversionQueueLimit) << "nothing queued";
  terrain::withdraw_heights(terrain::queue_conversions, held, queues);

  // Nobody answers: after the wait the questions are withdrawn.
  const auto late = convert_points({{1.0, 2.0}, {3.0, 4.0}}, PointKind::kGeographicToMap, theatre("Marsh"),
                                   std::chrono::milliseconds(30), queues);
  EXPECT_TRUE(late.some_unanswered);
  EXPECT_EQ(terrain::queued_count(terrain::queue_conversions, queues), 0u);
}
