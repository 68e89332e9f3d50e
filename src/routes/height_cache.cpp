#include "routes/height_cache.hpp"

#include <utility>

namespace qm {

void HeightCache::reset_on_theatre(const std::shared_ptr<const std::string>& request_theatre, Discarded& discarded) {
  if (same_present_theatre(theatre, request_theatre)) return;
  theatre = request_theatre;
  discarded.push_back(std::exchange(recent, std::make_unique<HeightTable>()));  // fresh seeds each
  discarded.push_back(std::exchange(older, std::make_unique<HeightTable>()));
}

std::optional<double> HeightCache::find(const PointKey& key) const {
  if (const auto it = recent->find(key); it != recent->end()) return it->second;
  if (const auto it = older->find(key); it != older->end()) return it->second;
  return std::nullopt;
}

void HeightCache::store(const PointKey& key, double height, Discarded& discarded) {
  if (recent->size() >= kHeightGenerationSize) {
    discarded.push_back(std::exchange(older, std::move(recent)));
    recent = std::make_unique<HeightTable>();
  }
  (*recent)[key] = height;
}

HeightCache& height_cache() {
  static HeightCache* const cache = new HeightCache();  // never destroyed: threads outlive exit
  return *cache;
}

}  // namespace qm
