#pragma once
// The pieces of the blocks projection that need no host: block keys, the quadratic surfaces of one
// 8000 x 8000 block, their least-squares fit and the evaluation of a map point through a map of fits.
#include <array>
#include <compare>
#include <cstdint>
#include <optional>
#include <unordered_map>
#include <utility>
#include <vector>

#include "base/hashing.hpp"

namespace qm {

constexpr double kBlockSize = 8000.0;

// Block (bx, bz) covers map x from 8000*bx to 8000*(bx+1) and z from 8000*bz to 8000*(bz+1).
struct BlockKey {
  std::int32_t bx = 0;
  std::int32_t bz = 0;
  friend auto operator<=>(const BlockKey&, const BlockKey&) = default;
};

// The block holding map point (x, z) (floors saturated to 32 bits, NaN giving 0).
BlockKey block_of(double x, double z);

// Keyed SipHash-1-3 of a block key under the key pair drawn when the map was made.
struct BlockKeyHash {
  KeyPair key = draw_key_pair();
  std::size_t operator()(const BlockKey& k) const;
};

// Latitude and longitude as quadratics in block-local (u, v) over the terms 1, u, v, u^2, uv, v^2.
struct BlockFit {
  std::array<double, 6> lat{};
  std::array<double, 6> lon{};
  BlockKey key;
};

using BlockFitMap = std::unordered_map<BlockKey, BlockFit, BlockKeyHash>;

// The nine sample positions (s, t) of a block, s outer, t inner.
constexpr std::array<std::array<double, 2>, 9> kBlockSamples{{
    {0.0, 0.0}, {0.0, 0.5}, {0.0, 1.0}, {0.5, 0.0}, {0.5, 0.5}, {0.5, 1.0}, {1.0, 0.0}, {1.0, 0.5}, {1.0, 1.0},
}};

using BlockDesign = std::array<std::array<double, 6>, 9>;

// The design matrix of the nine samples: rows [1, s, t, s^2, s*t, t^2].
const BlockDesign& block_design();

// Least squares by the normal equations and Gauss-Jordan elimination with partial pivoting;
// none when a pivot falls below 1e-12.
std::optional<std::array<double, 6>> fit_block_surface(const BlockDesign& design, const std::array<double, 9>& values);

// Fits one block from its nine (latitude, longitude) samples; none when a value is not finite or a
// fit fails.
std::optional<BlockFit> fit_block(BlockKey key, const std::array<std::array<double, 2>, 9>& samples);

// (latitude, longitude) of map point (x, z) through the fits; none when its block has no fit.
std::optional<std::pair<double, double>> evaluate_blocks(const BlockFitMap* fits, double x, double z);

}  // namespace qm
