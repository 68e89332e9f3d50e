#include "geo/blocks.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <set>

#include "base/clock.hpp"
#include "base/fault.hpp"
#include "base/numeric.hpp"

namespace qm {

namespace {

// Stores the fits of one answered batch. Missing blocks [begin, end) own points 9i .. 9i + 8.
void store_fits(BlockFitCache& cache, const TheatreRef& theatre, const std::vector<BlockKey>& missing,
                std::size_t begin, std::size_t end, const Conversions& answers) {
  std::vector<BlockFit> fits;
  for (std::size_t i = begin; i < end; ++i) {
    std::array<std::array<double, 2>, 9> samples{};
    bool answered = true;
    for (std::size_t k = 0; k < 9; ++k) {
      const std::size_t at = (i - begin) * 9 + k;
      const ConversionResult& r = at < answers.results.size() ? answers.results[at] : ConversionResult{};
      if (r.state == ConversionResult::State::kUnanswered) {
        answered = false;
        break;
      }
      const double nan = std::numeric_limits<double>::quiet_NaN();
      samples[k] = r.state == ConversionResult::State::kPair ? std::array{r.a, r.b} : std::array{nan, nan};
    }
    if (!answered) continue;
    if (auto fit = fit_block(missing[i], samples)) fits.push_back(*fit);
  }
  std::lock_guard guard(cache.lock);
  if (!cache.theatres) cache.theatres.emplace();
  BlockFitMap& map = (*cache.theatres)[*theatre];
  for (const BlockFit& fit : fits) map.insert_or_assign(fit.key, fit);
}

}  // namespace

std::size_t TheatreHash::operator()(const std::string& theatre) const {
  return static_cast<std::size_t>(siphash13(key, theatre.data(), theatre.size()));
}

BlockFitCache& block_fit_cache() {
  static BlockFitCache* const cache = new BlockFitCache();  // never destroyed: threads outlive exit
  return *cache;
}

std::optional<BlockFitMap> block_fits(const TheatreRef& theatre, const std::vector<BlockKey>& keys,
                                      std::chrono::nanoseconds wait, const ConvertPoints& convert,
                                      BlockFitCache& cache) {
  const std::uint64_t start = now_ns();
  const auto wait_ns = static_cast<std::uint64_t>(std::max<std::chrono::nanoseconds::rep>(wait.count(), 0));
  const std::uint64_t deadline = start + std::min(wait_ns, std::numeric_limits<std::uint64_t>::max() - start);

  std::vector<BlockKey> missing;
  {
    std::lock_guard guard(cache.lock);
    const BlockFitMap* known = nullptr;
    if (cache.theatres) {
      const auto it = cache.theatres->find(*theatre);
      if (it != cache.theatres->end()) known = &it->second;
    }
    for (const BlockKey& key : keys)
      if (known == nullptr || !known->contains(key)) missing.push_back(key);
  }
  std::sort(missing.begin(), missing.end());
  missing.erase(std::unique(missing.begin(), missing.end()), missing.end());

  bool unanswered = false;
  for (std::size_t begin = 0; begin < missing.size(); begin += kBlocksPerBatch) {
    const std::size_t end = std::min(missing.size(), begin + kBlocksPerBatch);
    std::vector<std::array<double, 2>> points;
    points.reserve((end - begin) * 9);
    for (std::size_t i = begin; i < end; ++i)
      for (const auto& [s, t] : kBlockSamples)
        points.push_back({(missing[i].bx + s) * kBlockSize, (missing[i].bz + t) * kBlockSize});
    const auto remaining = std::chrono::nanoseconds(saturating_sub(deadline, now_ns()));
    const Conversions answers = convert(points, PointKind::kMapToGeographic, theatre, remaining);
    store_fits(cache, theatre, missing, begin, end, answers);
    if (answers.some_unanswered || answers.results.size() != points.size()) {
      unanswered = true;  // what was answered stays cached for the retry
      break;
    }
  }

  std::lock_guard guard(cache.lock);
  if (!cache.theatres) cache.theatres.emplace();
  const BlockFitMap& known = (*cache.theatres)[*theatre];
  if (unanswered) return std::nullopt;
  BlockFitMap result;  // a newly drawn key pair
  for (const BlockKey& key : keys) {
    const auto it = known.find(key);
    if (it != known.end()) result.insert_or_assign(key, it->second);
  }
  return result;
}

std::vector<BlockKey> region_blocks(const Region& region) {
  std::set<BlockKey> blocks;
  for (const auto& [c, spans] : region.columns) {
    const std::int64_t bx = saturate<std::int32_t>(std::floor(static_cast<double>(c) * 64.0 / kBlockSize));
    for (const RowSpan& span : spans) {
      const std::int64_t bz0 = saturate<std::int32_t>(std::floor(static_cast<double>(span.first) * 64.0 / kBlockSize));
      const std::int64_t bz1 = saturate<std::int32_t>(
          std::floor(((static_cast<double>(span.last) + 1.0) * 64.0 - 1e-6) / kBlockSize));
      for (std::int64_t bz = bz0; bz <= bz1; ++bz)
        for (std::int64_t dx = -1; dx <= 1; ++dx)
          for (std::int64_t dz = -1; dz <= 1; ++dz)
            blocks.insert({saturate<std::int32_t>(static_cast<double>(bx + dx)),
                           saturate<std::int32_t>(static_cast<double>(bz + dz))});
    }
  }
  return {blocks.begin(), blocks.end()};
}

std::optional<BlocksView> page_blocks(std::uint64_t start_ns, std::chrono::nanoseconds wait, const TheatreRef& theatre,
                                      Region region, const ConvertPoints& convert, BlockFitCache& cache) {
  const auto wait_ns = static_cast<std::uint64_t>(std::max<std::chrono::nanoseconds::rep>(wait.count(), 0));
  if (wait_ns > std::numeric_limits<std::uint64_t>::max() - start_ns) fault("overflow when adding duration to instant");
  const std::uint64_t deadline = start_ns + wait_ns;
  const auto remaining = std::chrono::nanoseconds(saturating_sub(deadline, now_ns()));
  auto fits = block_fits(theatre, region_blocks(region), remaining, convert, cache);
  if (!fits) return std::nullopt;
  return BlocksView{std::move(region), theatre, std::move(*fits)};
}

std::vector<BlockKey> missing_block_keys(const BlockFitMap& fits, const std::vector<std::array<double, 2>>& points) {
  std::vector<BlockKey> missing;
  for (const auto& p : points) {
    const BlockKey key = block_of(p[0], p[1]);
    if (!fits.contains(key)) missing.push_back(key);
  }
  return missing;
}

}  // namespace qm
