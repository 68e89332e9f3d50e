#pragma once
// What a heap block costs: the bytes that a request of n bytes takes from a 64-bit glibc heap, its
// header and rounding included (8 bytes of header, 16-byte steps, 32 bytes at least). The group
// memory estimate counts containers in these bytes.
#include <cstdint>
#include <limits>

namespace qm::mesh {

inline constexpr std::uint64_t heap_block_bytes(std::uint64_t n) {
  constexpr std::uint64_t kMost = std::numeric_limits<std::uint64_t>::max() - 32;
  if (n > kMost) return std::numeric_limits<std::uint64_t>::max();
  if (n + 8 <= 32) return 32;
  return (n + 8 + 15) & ~std::uint64_t{15};
}

}  // namespace qm::mesh
