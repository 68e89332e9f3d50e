#pragma once
// The one rule for choosing between a dense table over a bounding box and a hashed one: dense
// while the box has no more than 16 slots per entry it will hold (and 4096 slots whatever the
// count), so that a dense table never costs much more memory than the entries themselves.
#include <cstdint>

namespace qm::mesh {

// Whether a dense table of width × height slots is the one to use for `entries` entries.
inline bool dense_table_fits(std::int64_t width, std::int64_t height, std::uint64_t entries) {
  if (width <= 0 || height <= 0) return false;
  constexpr std::int64_t kSideLimit = std::int64_t{1} << 30;  // keeps the product exact
  if (width > kSideLimit || height > kSideLimit) return false;
  constexpr std::uint64_t kEntryLimit = std::uint64_t{1} << 58;
  const std::uint64_t limit = 16 * (entries < kEntryLimit ? entries : kEntryLimit) + 4096;
  return static_cast<std::uint64_t>(width * height) <= limit;
}

}  // namespace qm::mesh
