#include "geo/block_fit.hpp"

#include <cmath>

#include "base/numeric.hpp"

namespace qm {

BlockKey block_of(double x, double z) {
  return {saturate<std::int32_t>(std::floor(x / kBlockSize)), saturate<std::int32_t>(std::floor(z / kBlockSize))};
}

std::size_t BlockKeyHash::operator()(const BlockKey& k) const {
  return static_cast<std::size_t>(siphash13_pair(key, k.bx, k.bz));
}

const BlockDesign& block_design() {
  static const BlockDesign design = [] {
    BlockDesign d{};
    for (std::size_t i = 0; i < 9; ++i) {
      const double s = kBlockSamples[i][0];
      const double t = kBlockSamples[i][1];
      d[i] = {1.0, s, t, s * s, s * t, t * t};
    }
    return d;
  }();
  return design;
}

std::optional<std::array<double, 6>> fit_block_surface(const BlockDesign& design, const std::array<double, 9>& values) {
  double m[6][7] = {};
  for (std::size_t r = 0; r < 9; ++r) {
    for (std::size_t i = 0; i < 6; ++i) {
      for (std::size_t j = 0; j < 6; ++j) m[i][j] += design[r][i] * design[r][j];
      m[i][6] += design[r][i] * values[r];
    }
  }
  for (int k = 0; k < 6; ++k) {
    int pivot = k;
    double best = std::fabs(m[k][k]);
    for (int i = k + 1; i < 6; ++i) {
      const double mag = std::fabs(m[i][k]);
      if (mag >= best) {  // the last of equal magnitudes
        best = mag;
        pivot = i;
      }
    }
    if (!(best >= 1e-12)) return std::nullopt;
    if (pivot != k) {
      for (int j = 0; j < 7; ++j) std::swap(m[pivot][j], m[k][j]);
    }
    for (int i = 0; i < 6; ++i) {
      if (i == k) continue;
      const double f = m[i][k] / m[k][k];
      for (int j = k; j < 7; ++j) m[i][j] -= f * m[k][j];
    }
  }
  std::array<double, 6> coefficients{};
  for (int j = 0; j < 6; ++j) coefficients[static_cast<std::size_t>(j)] = m[j][6] / m[j][j];
  return coefficients;
}

std::optional<BlockFit> fit_block(BlockKey key, const std::array<std::array<double, 2>, 9>& samples) {
  std::array<double, 9> lat{};
  std::array<double, 9> lon{};
  for (std::size_t i = 0; i < 9; ++i) {
    lat[i] = samples[i][0];
    lon[i] = samples[i][1];
    if (!std::isfinite(lat[i]) || !std::isfinite(lon[i])) return std::nullopt;
  }
  const auto a = fit_block_surface(block_design(), lat);
  if (!a) return std::nullopt;
  const auto b = fit_block_surface(block_design(), lon);
  if (!b) return std::nullopt;
  return BlockFit{*a, *b, key};
}

std::optional<std::pair<double, double>> evaluate_blocks(const BlockFitMap* fits, double x, double z) {
  const double s = x / kBlockSize;
  const double t = z / kBlockSize;
  if (fits == nullptr) return std::nullopt;
  const BlockKey key{saturate<std::int32_t>(std::floor(s)), saturate<std::int32_t>(std::floor(t))};
  const auto it = fits->find(key);
  if (it == fits->end()) return std::nullopt;
  const BlockFit& f = it->second;
  const double u = s - f.key.bx;
  const double v = t - f.key.bz;
  const auto& a = f.lat;
  const auto& b = f.lon;
  const double lat = ((((a[0] + a[1] * u) + a[2] * v) + a[3] * (u * u)) + a[4] * (u * v)) + a[5] * (v * v);
  const double lon = ((((b[0] + b[1] * u) + b[2] * v) + b[3] * (u * u)) + b[4] * (u * v)) + b[5] * (v * v);
  return std::pair{lat, lon};
}

}  // namespace qm
