#include "mesh/sampling/rebuild.hpp"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>
#include <optional>

#include "base/fault.hpp"
#include "base/numeric.hpp"
#include "mesh/grid/dense_table.hpp"

namespace qm::mesh {

namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

// Key to position, as the table's index says: through a dense grid over the keys' bounding box
// when that box is not much larger than the table, else through the index itself.
class KeyLookup {
 public:
  explicit KeyLookup(const SampleTable& t) : t_(t) {
    if (t.index.empty()) return;
    std::int64_t i0 = INT64_MAX, i1 = INT64_MIN, j0 = INT64_MAX, j1 = INT64_MIN;
    for (const auto& [key, pos] : t.index) {
      i0 = std::min<std::int64_t>(i0, key.first);
      i1 = std::max<std::int64_t>(i1, key.first);
      j0 = std::min<std::int64_t>(j0, key.second);
      j1 = std::max<std::int64_t>(j1, key.second);
    }
    const std::int64_t w = i1 - i0 + 1, h = j1 - j0 + 1;
    if (!dense_table_fits(w, h, t.index.size())) return;
    i0_ = i0;
    j0_ = j0;
    w_ = w;
    h_ = h;
    dense_.assign(static_cast<std::size_t>(w * h), kNoPatch);
    for (const auto& [key, pos] : t.index) {
      dense_[static_cast<std::size_t>((key.first - i0) * h + (key.second - j0))] = pos;
    }
    use_dense_ = true;
  }

  // The position of a key, or -1.
  std::int64_t find(std::int64_t i, std::int64_t j) const {
    std::uint32_t pos;
    if (use_dense_) {
      const std::int64_t c = i - i0_, r = j - j0_;
      if (c < 0 || c >= w_ || r < 0 || r >= h_) return -1;
      pos = dense_[static_cast<std::size_t>(c * h_ + r)];
      if (pos == kNoPatch) return -1;
    } else {
      if (i < INT32_MIN || i > INT32_MAX || j < INT32_MIN || j > INT32_MAX) return -1;
      const auto it = t_.index.find(LatticeKey{static_cast<std::int32_t>(i), static_cast<std::int32_t>(j)});
      if (it == t_.index.end()) return -1;
      pos = it->second;
    }
    check(pos < t_.keys.size() && pos < t_.heights.size(), "a sample position is in range");
    return pos;
  }

 private:
  const SampleTable& t_;
  bool use_dense_ = false;
  std::int64_t i0_ = 0, j0_ = 0, w_ = 0, h_ = 0;
  std::vector<std::uint32_t> dense_;
};

// Least squares z = c + a*x + b*y over accumulated sums, by Cramer's rule on the normal equations.
struct PlaneSums {
  double n = 0, sx = 0, sy = 0, sxx = 0, sxy = 0, syy = 0, sz = 0, sxz = 0, syz = 0;
  void add(double x, double y, double z) {
    n += 1.0;
    sx += x;
    sy += y;
    sxx += x * x;
    sxy += x * y;
    syy += y * y;
    sz += z;
    sxz += x * z;
    syz += y * z;
  }
  // Leaves c, a, b unchanged when the system is singular.
  void solve(double& c, double& a, double& b) const {
    const double det = n * (sxx * syy - sxy * sxy) - sx * (sx * syy - sxy * sy) + sy * (sx * sxy - sxx * sy);
    if (det == 0.0 || !std::isfinite(det)) return;
    const double dc = sz * (sxx * syy - sxy * sxy) - sx * (sxz * syy - sxy * syz) + sy * (sxz * sxy - sxx * syz);
    const double da = n * (sxz * syy - syz * sxy) - sz * (sx * syy - sxy * sy) + sy * (sx * syz - sxz * sy);
    const double db = n * (sxx * syz - sxy * sxz) - sx * (sx * syz - sxz * sy) + sz * (sx * sxy - sxx * sy);
    c = dc / det;
    a = da / det;
    b = db / det;
  }
};

std::vector<PatchPlane> refit(const SampleTable& t, std::span<const std::uint32_t> match, std::size_t count) {
  const double s = t.step;
  std::vector<double> n(count, 0.0), mx(count, 0.0), my(count, 0.0), mz(count, 0.0);
  for (std::size_t k = 0; k < t.keys.size(); ++k) {
    const std::uint32_t q = match[k];
    if (q == kNoPatch) continue;
    check(q < count, "a matched patch is in range");
    n[q] += 1.0;
    mx[q] += t.keys[k].first * s;
    my[q] += t.keys[k].second * s;
    mz[q] += t.heights[k];
  }
  for (std::size_t q = 0; q < count; ++q) {
    mx[q] /= n[q];
    my[q] /= n[q];
    mz[q] /= n[q];
  }
  std::vector<double> sxx(count, 0.0), sxy(count, 0.0), syy(count, 0.0), sxz(count, 0.0), syz(count, 0.0);
  for (std::size_t k = 0; k < t.keys.size(); ++k) {
    const std::uint32_t q = match[k];
    if (q == kNoPatch) continue;
    const double dx = t.keys[k].first * s - mx[q];
    const double dy = t.keys[k].second * s - my[q];
    const double dz = t.heights[k] - mz[q];
    sxx[q] += dx * dx;
    sxy[q] += dx * dy;
    syy[q] += dy * dy;
    sxz[q] += dx * dz;
    syz[q] += dy * dz;
  }
  std::vector<PatchPlane> planes(count);
  for (std::size_t q = 0; q < count; ++q) {
    const double det = sxx[q] * syy[q] - sxy[q] * sxy[q];
    const double a = (sxz[q] * syy[q] - syz[q] * sxy[q]) / det;
    const double b = (sxx[q] * syz[q] - sxy[q] * sxz[q]) / det;
    if (!std::isfinite(a) || !std::isfinite(b) || 3.0 > n[q]) {
      planes[q] = PatchPlane{mx[q], my[q], kNaN, kNaN, kNaN};
    } else {
      planes[q] = PatchPlane{mx[q], my[q], mz[q], a, b};
    }
  }
  return planes;
}

}  // namespace

double height_grain(double v) {
  const double m = std::max(v, 1e-30);
  std::uint64_t bits;
  std::memcpy(&bits, &m, sizeof bits);
  const int e = static_cast<int>((bits >> 52) & 0x7ff);
  return std::ldexp(1.0, e - 1046);
}

namespace {

std::vector<std::uint32_t> match_vertices(const SampleTable& t, const KeyLookup& lookup,
                                          std::span<const std::uint32_t> grown, std::span<const PatchPlane> planes,
                                          double spacing_tenth) {
  const std::size_t n = t.keys.size();
  check(t.heights.size() == n && grown.size() == n, "a sample table's columns have one length");
  std::vector<std::uint32_t> result(n, kNoPatch);
  const double s = t.step;
  for (std::size_t k = 0; k < n; ++k) {
    const double h = t.heights[k];
    if (!std::isfinite(h)) continue;
    const std::int64_t i = t.keys[k].first;
    const std::int64_t j = t.keys[k].second;
    const double x = static_cast<double>(i) * s;
    const double y = static_cast<double>(j) * s;
    double best = std::numeric_limits<double>::infinity();
    std::uint32_t choice = kNoPatch;
    for (std::int64_t dx = -2; dx <= 2; ++dx) {
      for (std::int64_t dy = -2; dy <= 2; ++dy) {
        const std::int64_t m = lookup.find(i + dx, j + dy);
        if (m < 0) continue;
        const std::uint32_t q = grown[static_cast<std::size_t>(m)];
        if (static_cast<std::int32_t>(q) < 0) continue;
        check(q < planes.size(), "a grown patch is in range");
        const double d = std::fabs(h - planes[q].height(x, y));
        if (d < best) {
          best = d;
          choice = q;
        }
      }
    }
    if (6.0 * height_grain(std::fabs(h)) + spacing_tenth >= best) result[k] = choice;
  }
  return result;
}

}  // namespace

std::vector<std::uint32_t> rebuild_match_vertices(const SampleTable& t, std::span<const std::uint32_t> grown,
                                                  std::span<const PatchPlane> planes, double spacing_tenth) {
  const KeyLookup lookup(t);
  return match_vertices(t, lookup, grown, planes, spacing_tenth);
}

namespace {

// A seed: a key whose whole 3 by 3 window is nearly flat, scored by how little it strays.
struct Candidate {
  double score;
  std::uint32_t k;
};

// The key k as a seed, when its whole 3 by 3 window is finite and fits a plane within the
// grain's reach.
std::optional<Candidate> flat_seed(const SampleTable& t, const KeyLookup& lookup, std::size_t k,
                                   double spacing_tenth) {
  const double s = t.step;
  const std::int64_t i = t.keys[k].first;
  const std::int64_t j = t.keys[k].second;
  double z[3][3];
  bool whole = true;
  for (int di = -1; di <= 1 && whole; ++di) {
    for (int dj = -1; dj <= 1; ++dj) {
      const std::int64_t m = lookup.find(i + di, j + dj);
      if (m < 0 || !std::isfinite(t.heights[static_cast<std::size_t>(m)])) {
        whole = false;
        break;
      }
      z[di + 1][dj + 1] = t.heights[static_cast<std::size_t>(m)];
    }
  }
  if (!whole) return std::nullopt;
  double sum = 0.0;
  for (int di = 0; di < 3; ++di)
    for (int dj = 0; dj < 3; ++dj) sum += z[di][dj];
  const double c = sum / 9.0;
  const double a = ((z[2][0] + z[2][1] + z[2][2]) - (z[0][0] + z[0][1] + z[0][2])) / (6.0 * s);
  const double b = ((z[0][2] + z[1][2] + z[2][2]) - (z[0][0] + z[1][0] + z[2][0])) / (6.0 * s);
  double r = 0.0;
  for (int di = -1; di <= 1; ++di) {
    for (int dj = -1; dj <= 1; ++dj) {
      const double fit = c + a * di * s + b * dj * s;
      r = std::max(r, std::fabs(z[di + 1][dj + 1] - fit));
    }
  }
  const double u = height_grain(std::fabs(c));
  if (4.0 * u + spacing_tenth >= r) return Candidate{r / u, static_cast<std::uint32_t>(k)};
  return std::nullopt;
}

// Seeds: nearly flat whole 3 by 3 windows, best first (stable on key order).
std::vector<Candidate> seed_candidates(const SampleTable& t, const KeyLookup& lookup, double spacing_tenth) {
  std::vector<Candidate> candidates;
  for (std::size_t k = 0; k < t.keys.size(); ++k) {
    if (const auto seed = flat_seed(t, lookup, k, spacing_tenth)) candidates.push_back(*seed);
  }
  std::stable_sort(candidates.begin(), candidates.end(),
                   [](const Candidate& l, const Candidate& r) { return total_order_less(l.score, r.score); });
  return candidates;
}

// The per-key state of growing patches from seeds: how far a height may stray from the patch's
// plane, which patch holds each key, and which patch last looked at it.
class PatchGrowth {
 public:
  PatchGrowth(const SampleTable& t, const KeyLookup& lookup, double spacing_tenth)
      : t_(t), lookup_(lookup), reach_(t.keys.size()), grown_(t.keys.size(), kNoPatch),
        visited_(t.keys.size(), kNoPatch) {
    for (std::size_t k = 0; k < t.keys.size(); ++k) {
      const double h = t.heights[k];
      reach_[k] = 4.0 * height_grain(std::isfinite(h) ? std::fabs(h) : 1.0) + spacing_tenth;
    }
  }

  bool held(std::uint32_t k) const { return grown_[k] != kNoPatch; }

  // Grows patch p from the seed k: its window first, then each neighbour of the region that the
  // plane fitted so far predicts within its reach.
  PatchPlane grow(std::uint32_t k, std::uint32_t p) {
    const double s = t_.step;
    const std::int64_t i = t_.keys[k].first;
    const std::int64_t j = t_.keys[k].second;
    const double x0 = static_cast<double>(i) * s;
    const double y0 = static_cast<double>(j) * s;
    const double h0 = t_.heights[k];
    region_.clear();
    PlaneSums sums;
    for (int di = -1; di <= 1; ++di) {
      for (int dj = -1; dj <= 1; ++dj) {
        const std::int64_t m = lookup_.find(i + di, j + dj);
        if (m < 0) fault("a seed's window is whole");
        const auto mu = static_cast<std::size_t>(m);
        visited_[mu] = p;
        if (grown_[mu] == kNoPatch) {
          grown_[mu] = p;
          region_.push_back(static_cast<std::uint32_t>(mu));
        }
        sums.add(static_cast<double>(t_.keys[mu].first) * s - x0, static_cast<double>(t_.keys[mu].second) * s - y0,
                 t_.heights[mu] - h0);
      }
    }
    double c1 = 0.0, a = 0.0, b = 0.0;
    sums.solve(c1, a, b);
    for (std::size_t walk = 0; walk < region_.size(); ++walk) {
      const std::int64_t ia = t_.keys[region_[walk]].first;
      const std::int64_t ja = t_.keys[region_[walk]].second;
      const std::int64_t around[4][2] = {{ia + 1, ja}, {ia - 1, ja}, {ia, ja + 1}, {ia, ja - 1}};
      for (const auto& nb : around) {
        const std::int64_t m = lookup_.find(nb[0], nb[1]);
        if (m < 0) continue;
        const auto mu = static_cast<std::size_t>(m);
        if (grown_[mu] != kNoPatch) continue;
        if (visited_[mu] == p) continue;
        visited_[mu] = p;
        const double hn = t_.heights[mu];
        if (!std::isfinite(hn)) continue;
        const double xn = static_cast<double>(nb[0]) * s;
        const double yn = static_cast<double>(nb[1]) * s;
        const double prediction = h0 + c1 + a * (xn - x0) + b * (yn - y0);
        if (reach_[mu] >= std::fabs(hn - prediction)) {
          grown_[mu] = p;
          region_.push_back(static_cast<std::uint32_t>(mu));
          sums.add(xn - x0, yn - y0, hn - h0);
          sums.solve(c1, a, b);
        }
      }
    }
    return PatchPlane{x0, y0, h0 + c1, a, b};
  }

  std::vector<std::uint32_t>& grown() { return grown_; }

 private:
  const SampleTable& t_;
  const KeyLookup& lookup_;
  std::vector<double> reach_;
  std::vector<std::uint32_t> grown_;
  std::vector<std::uint32_t> visited_;
  std::vector<std::uint32_t> region_;
};

}  // namespace

RebuildResult sampler_rebuild(const SampleTable& t, double spacing_tenth) {
  const std::size_t n = t.keys.size();
  check(t.heights.size() == n, "a sample table's columns have one length");
  check(n < kNoPatch, "a level has fewer samples than patch marks");
  const KeyLookup lookup(t);

  const std::vector<Candidate> candidates = seed_candidates(t, lookup, spacing_tenth);
  // One patch per seed that no patch holds yet.
  PatchGrowth growth(t, lookup, spacing_tenth);
  std::vector<PatchPlane> patches;
  for (const Candidate& cand : candidates) {
    if (growth.held(cand.k)) continue;
    check(patches.size() < kNoPatch - 1, "patch numbers fit 32 bits");
    patches.push_back(growth.grow(cand.k, static_cast<std::uint32_t>(patches.size())));
  }
  std::vector<std::uint32_t>& grown = growth.grown();

  // Match and refit twice.
  RebuildResult result;
  if (patches.empty()) {
    result.matched = std::move(grown);
    return result;
  }
  std::vector<std::uint32_t> match = match_vertices(t, lookup, grown, patches, spacing_tenth);
  std::vector<PatchPlane> planes = refit(t, match, patches.size());
  match = match_vertices(t, lookup, grown, planes, spacing_tenth);
  planes = refit(t, match, patches.size());
  result.matched = match_vertices(t, lookup, grown, planes, spacing_tenth);
  result.patches = std::move(planes);
  return result;
}

}  // namespace qm::mesh
