#pragma once
// The nine anchor conversions that tie the simulator's map plane to latitude and longitude: the
// host converts nine fixed map points and hands the 18 results to `projection_anchors`. They live
// in the mission state and the published snapshot, and the map projection is fitted from them.
#include <array>
#include <cstdint>
#include <cstring>

namespace qm {

struct Anchors {
  // Map points (x, z) in metres of the nine anchors: x outer, z inner. Anchor 4 is the map origin.
  static constexpr std::array<std::array<double, 2>, 9> kMapPoints{{
      {-200000.0, -200000.0}, {-200000.0, 0.0}, {-200000.0, 200000.0},
      {0.0, -200000.0},       {0.0, 0.0},       {0.0, 200000.0},
      {200000.0, -200000.0},  {200000.0, 0.0},  {200000.0, 200000.0},
  }};
  static constexpr int kOrigin = 4;

  // 1 when all 18 values came from the host as numbers, 0 otherwise.
  std::uint64_t present = 0;
  // Argument order: values[2k] is the latitude, values[2k + 1] the longitude (degrees) of anchor k.
  // Kept exactly as the host passed them (NaN and infinities included): the projection cache
  // compares them byte for byte.
  std::array<double, 18> values{};

  bool is_present() const { return present == 1; }
  double latitude(int k) const { return values[static_cast<std::size_t>(2 * k)]; }
  double longitude(int k) const { return values[static_cast<std::size_t>(2 * k + 1)]; }

  // The 18 values compared as bytes (so NaNs with equal bits are equal and -0 differs from +0).
  bool same_values(const Anchors& other) const {
    return std::memcmp(values.data(), other.values.data(), sizeof values) == 0;
  }
};

}  // namespace qm
