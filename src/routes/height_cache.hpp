#pragma once
// The terrain route's cache of answered heights, per theatre, in two generations: the recent one
// takes new heights; at 25000 entries it becomes the older one and the previous older is dropped.
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "base/hashing.hpp"
#include "base/shared_text.hpp"
#include "geo/terrain_points.hpp"

namespace qm {

inline constexpr std::size_t kHeightGenerationSize = 25000;

using HeightTable = HashMap<PointKey, double>;

// Threads: connection threads, under its lock; never held while the host is asked, no other lock
// taken under it.
struct HeightCache {
  std::mutex lock;
  std::unique_ptr<HeightTable> recent = std::make_unique<HeightTable>();
  std::unique_ptr<HeightTable> older = std::make_unique<HeightTable>();
  std::shared_ptr<const std::string> theatre;  // none until the first request

  // Tables replaced under the lock go here and are freed after it is released.
  using Discarded = std::vector<std::unique_ptr<HeightTable>>;

  // With the lock held: a theatre of other bytes (or the first one) empties both generations.
  void reset_on_theatre(const std::shared_ptr<const std::string>& request_theatre, Discarded& discarded);
  // With the lock held: the recent generation's height, else the older one's.
  std::optional<double> find(const PointKey& key) const;
  // With the lock held: stores a height, rolling the generations over when the recent one is full.
  void store(const PointKey& key, double height, Discarded& discarded);
};

// The process-wide cache (made on first use, never destroyed).
HeightCache& height_cache();

}  // namespace qm
