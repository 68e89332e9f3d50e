#include "mesh/sampling/sampler.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <vector>

#include "base/fault.hpp"
#include "base/numeric.hpp"
#include "base/span.hpp"
#include "mesh/grid/dense_table.hpp"
#include "mesh/sampling/rebuild.hpp"

namespace qm::mesh {

namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

bool fits_i32(std::int64_t v) { return v >= INT32_MIN && v <= INT32_MAX; }

// The key of a point at step n (exact: every sampled point lies on the current lattice).
LatticeKey key_of(const Lattice& l, TerrainPoint p, std::int64_t n) {
  const std::int64_t dx = std::int64_t{p.first} - l.centre_x;
  const std::int64_t dy = std::int64_t{p.second} - l.centre_y;
  check(dx % n == 0 && dy % n == 0, "a sampled point lies on the lattice");
  return {static_cast<std::int32_t>(dx / n), static_cast<std::int32_t>(dy / n)};
}

// The terrain point of a key at step n, when it fits i32 (always, for keys within the radius of
// a cover within the cell limit).
bool point_of(const Lattice& l, std::int64_t i, std::int64_t j, std::int64_t n, TerrainPoint& out) {
  const std::int64_t x = i * n + l.centre_x;
  const std::int64_t y = j * n + l.centre_y;
  if (!fits_i32(x) || !fits_i32(y)) return false;
  out = {static_cast<std::int32_t>(x), static_cast<std::int32_t>(y)};
  return true;
}

std::int64_t step_units(double step) {
  const std::int32_t n = saturate<std::int32_t>(step);
  check(n >= 1, "a lattice step is at least 1");
  return n;
}

}  // namespace

double sampled_height(const Lattice& l, TerrainPoint point, double first_ring) {
  const auto it = l.samples.find(point);
  if (it == l.samples.end()) fault("no entry found for key");
  if (it->second != 0.0) return it->second;  // NaN included
  std::int64_t d = saturate<std::int32_t>(first_ring);
  if (d > 64) return 0.0;
  // A ring at distance 0 is the point itself, which holds 0.0; a negative distance would double
  // away from 64 forever.
  if (d == 0) return 0.0;
  check(d > 0, "a ring distance is not negative");
  static constexpr int kRing[8][2] = {{-1, -1}, {-1, 0}, {-1, 1}, {0, -1}, {0, 1}, {1, -1}, {1, 0}, {1, 1}};
  for (; d <= 64; d *= 2) {
    bool found = false;
    bool low = false;
    for (const auto& o : kRing) {
      const std::int64_t x = point.first + o[0] * d;
      const std::int64_t y = point.second + o[1] * d;
      if (!fits_i32(x) || !fits_i32(y)) continue;
      const auto n = l.samples.find(TerrainPoint{static_cast<std::int32_t>(x), static_cast<std::int32_t>(y)});
      if (n == l.samples.end()) continue;
      found = true;
      if (n->second <= 10.0) low = true;
    }
    if (found) return low ? 0.0 : kNaN;
  }
  return 0.0;
}

namespace {

// The coarse lattice's height at a coarse key: NaN when it was never sampled.
double coarse_height(const Lattice& l, double coarse_step, std::int32_t ci, std::int32_t cj) {
  const std::int64_t n = step_units(coarse_step);
  TerrainPoint p;
  if (!point_of(l, ci, cj, n, p)) return kNaN;
  const auto it = l.samples.find(p);
  if (it == l.samples.end()) return kNaN;
  if (it->second != 0.0) return it->second;  // as sampled_height gives it, without a second look-up
  return sampled_height(l, p, coarse_step);
}

// Marks on lattice keys: a dense square of the keys within `reach` of the centre when it is not
// much larger than the marks expected, else (and for any key outside the square) a hash set.
class KeyMarks {
 public:
  KeyMarks(std::int64_t reach, std::uint64_t expected)
      : reach_(reach), side_(2 * reach + 1), dense_(dense_table_fits(side_, side_, expected)) {
    if (dense_) marks_.assign(static_cast<std::size_t>(side_ * side_), 0);
  }
  void mark(std::int64_t a, std::int64_t b) {
    if (dense_ && std::llabs(a) <= reach_ && std::llabs(b) <= reach_) {
      marks_[slot(a, b)] = 1;
    } else if (fits_i32(a) && fits_i32(b)) {
      others_.emplace(static_cast<std::int32_t>(a), static_cast<std::int32_t>(b));
    }
  }
  bool marked(std::int64_t a, std::int64_t b) const {
    if (dense_ && std::llabs(a) <= reach_ && std::llabs(b) <= reach_) return marks_[slot(a, b)] != 0;
    if (!fits_i32(a) || !fits_i32(b) || others_.empty()) return false;
    return others_.contains(LatticeKey{static_cast<std::int32_t>(a), static_cast<std::int32_t>(b)});
  }

 private:
  std::size_t slot(std::int64_t a, std::int64_t b) const { return static_cast<std::size_t>((a + reach_) * side_ + (b + reach_)); }

  std::int64_t reach_;
  std::int64_t side_;
  bool dense_;
  std::vector<std::uint8_t> marks_;
  HashSet<LatticeKey> others_;
};

}  // namespace

double lattice_height(const HashSet<LatticeKey>& answered_now, const Lattice& l, double coarse_step,
                      std::int32_t ci, std::int32_t cj) {
  const std::int64_t fi = std::int64_t{ci} * 2;
  const std::int64_t fj = std::int64_t{cj} * 2;
  if (fits_i32(fi) && fits_i32(fj) &&
      answered_now.contains(LatticeKey{static_cast<std::int32_t>(fi), static_cast<std::int32_t>(fj)})) {
    return kNaN;
  }
  return coarse_height(l, coarse_step, ci, cj);
}

namespace {

// Takes the host's answers for the pending points into the samples (an answer without a height is
// stored as 0.0) and gives back the raw heights in pending order.
std::vector<double> take_answers(Lattice& l, const HeightAnswers& answers) {
  std::vector<double> raws;
  raws.reserve(l.pending.size());
  l.samples.reserve(l.samples.size() + l.pending.size());
  for (const TerrainPoint& p : l.pending) {
    const double raw = answers.at(p).value_or(0.0);
    l.samples[p] = raw;
    raws.push_back(raw);
  }
  return raws;
}

// A point sampled in this advance, by its key at this level's step.
struct NewPoint {
  LatticeKey key;
  double h;
};

// The bilinear prediction of the key (i, j) from the corners of the coarser lattice around it:
// NaN for a key that is itself a coarse corner.
double coarse_prediction(const Lattice& l, const KeyMarks& answered_now, double coarse, std::int32_t i,
                         std::int32_t j) {
  auto at = [&](std::int32_t a, std::int32_t b) {
    if (answered_now.marked(std::int64_t{a} * 2, std::int64_t{b} * 2)) return kNaN;
    return coarse_height(l, coarse, a, b);
  };
  const std::int32_t ci = floor_div(i, 2);
  const std::int32_t cj = floor_div(j, 2);
  const bool i_odd = (i & 1) != 0;
  const bool j_odd = (j & 1) != 0;
  if (i_odd && j_odd) {
    const double l00 = at(ci, cj);
    const double l10 = at(ci + 1, cj);
    const double l01 = at(ci, cj + 1);
    const double l11 = at(ci + 1, cj + 1);
    return 0.25 * (l00 + l10 + l01 + l11);
  }
  if (i_odd) {
    const double l00 = at(ci, cj);
    const double l10 = at(ci + 1, cj);
    return 0.5 * (l00 + l10);
  }
  if (j_odd) {
    const double l00 = at(ci, cj);
    const double l01 = at(ci, cj + 1);
    return 0.5 * (l00 + l01);
  }
  return kNaN;
}

// From the second level on: the keys of the refined area that no new point within two steps
// contradicts, each new point being predicted from the coarser lattice.
HashSet<LatticeKey> settled_keys(const Lattice& l, const std::vector<double>& raws, std::int64_t n) {
  HashSet<LatticeKey> settled;
  if (!l.refined) fault("a level after the first has a refined area");
  // The keys of this level lie within the radius.
  const std::int64_t rc = l.radius / n;
  std::vector<NewPoint> fresh;
  fresh.reserve(l.pending.size());
  KeyMarks answered_now(rc, l.pending.size());
  for (std::size_t k = 0; k < l.pending.size(); ++k) {
    const TerrainPoint& p = l.pending[k];
    const LatticeKey key = key_of(l, p, n);
    fresh.push_back(NewPoint{key, raws[k] != 0.0 ? raws[k] : sampled_height(l, p, l.step)});
    answered_now.mark(key.first, key.second);
  }
  KeyMarks misses(rc, (fresh.size() + l.refined->size()) * 25);
  const double coarse = 2.0 * l.step;
  for (const NewPoint& np : fresh) {
    const std::int32_t i = np.key.first;
    const std::int32_t j = np.key.second;
    const double prediction = coarse_prediction(l, answered_now, coarse, i, j);
    if (!(l.tolerance >= std::fabs(np.h - prediction))) {
      for (std::int64_t di = -2; di <= 2; ++di) {
        for (std::int64_t dj = -2; dj <= 2; ++dj) misses.mark(i + di, j + dj);
      }
    }
  }
  settled.reserve(l.refined->size());
  for (const LatticeKey& k : *l.refined) {
    if (!misses.marked(k.first, k.second)) settled.insert(k);
  }
  return settled;
}

// A new level's sample table over every point sampled so far, sorted by key.
Level sorted_sample_table(const Lattice& l, std::int64_t n) {
  Level level;
  level.step = l.step;
  struct Row {
    LatticeKey key;
    double h;
  };
  std::vector<Row> rows;
  rows.reserve(l.samples.size());
  for (const auto& [p, raw] : l.samples) {
    rows.push_back(Row{key_of(l, p, n), raw != 0.0 ? raw : sampled_height(l, p, l.step)});
  }
  std::sort(rows.begin(), rows.end(), [](const Row& a, const Row& b) { return a.key < b.key; });
  check(rows.size() < kNoPatch, "a level has fewer samples than patch marks");
  level.keys.reserve(rows.size());
  level.heights.reserve(rows.size());
  level.index.reserve(rows.size());
  for (const Row& r : rows) {
    level.index.emplace(r.key, static_cast<std::uint32_t>(level.keys.size()));
    level.keys.push_back(r.key);
    level.heights.push_back(r.h);
  }
  return level;
}

void fit_patches(Level& level, double spacing_tenth) {
  SpanTimer rebuild_span("sampler.advance.rebuild");
  RebuildResult rebuilt =
      sampler_rebuild(SampleTable{level.keys, level.heights, level.index, level.step}, spacing_tenth);
  level.matched = std::move(rebuilt.matched);
  level.patches = std::move(rebuilt.patches);
}

// The finite samples that no patch explains, within the area the level was sampled over and away
// from settled keys.
std::vector<LatticeKey> unexplained_keys(const Level& level, const std::optional<HashSet<LatticeKey>>& area,
                                         const HashSet<LatticeKey>& settled) {
  std::vector<LatticeKey> unexplained;
  for (std::size_t k = 0; k < level.keys.size(); ++k) {
    const LatticeKey& key = level.keys[k];
    if (!std::isfinite(level.heights[k])) continue;
    if (level.matched[k] != kNoPatch) continue;
    if (area && !area->contains(key)) continue;
    if (settled.contains(key)) continue;
    unexplained.push_back(key);
  }
  return unexplained;
}

// The next level's keys within four new steps of an unexplained sample, marked over the dense
// square of keys within the radius: each key is inserted once and the keys come out already
// sorted by a, then b, as they are handed to `consider`.
template <typename Consider>
void mark_next_dense(const std::vector<LatticeKey>& unexplained, std::int64_t r2, HashSet<LatticeKey>& next,
                     Consider&& consider) {
  const std::int64_t side = 2 * r2 + 1;
  std::vector<std::uint8_t> marks(static_cast<std::size_t>(side * side), 0);
  std::size_t count = 0;
  for (const LatticeKey& u : unexplained) {
    for (std::int64_t di = -4; di <= 4; ++di) {
      for (std::int64_t dj = -4; dj <= 4; ++dj) {
        const std::int64_t a = 2 * std::int64_t{u.first} + di;
        const std::int64_t b = 2 * std::int64_t{u.second} + dj;
        if (std::llabs(a) > r2 || std::llabs(b) > r2) continue;
        auto& m = marks[static_cast<std::size_t>((a + r2) * side + (b + r2))];
        count += m == 0 ? 1 : 0;
        m = 1;
      }
    }
  }
  next.reserve(count);
  for (std::int64_t a = -r2; a <= r2; ++a) {
    for (std::int64_t b = -r2; b <= r2; ++b) {
      if (!marks[static_cast<std::size_t>((a + r2) * side + (b + r2))]) continue;
      const LatticeKey k{static_cast<std::int32_t>(a), static_cast<std::int32_t>(b)};
      next.insert(k);
      consider(k);
    }
  }
}

// The same keys gathered in a hash set, for a square too large for dense marks; the keys are
// handed to `consider` in the set's order.
template <typename Consider>
void mark_next_sparse(const std::vector<LatticeKey>& unexplained, std::int64_t r2, HashSet<LatticeKey>& next,
                      Consider&& consider) {
  next.reserve(unexplained.size() * 16);
  for (const LatticeKey& u : unexplained) {
    for (std::int64_t di = -4; di <= 4; ++di) {
      for (std::int64_t dj = -4; dj <= 4; ++dj) {
        const std::int64_t a = 2 * std::int64_t{u.first} + di;
        const std::int64_t b = 2 * std::int64_t{u.second} + dj;
        if (std::llabs(a) <= r2 && std::llabs(b) <= r2)
          next.emplace(static_cast<std::int32_t>(a), static_cast<std::int32_t>(b));
      }
    }
  }
  for (const LatticeKey& k : next) consider(k);
}

// Opens the next level at step s2: its area is the lattice points within four new steps of an
// unexplained sample, and it asks for those not yet sampled that touch the cover, sorted by key.
void open_next_level(Lattice& l, const std::vector<LatticeKey>& unexplained, double s2) {
  const std::int64_t n2 = step_units(s2);
  const std::int64_t r2 = l.radius / n2;
  HashSet<LatticeKey> next;
  std::vector<LatticeKey> ask;
  auto consider = [&](const LatticeKey& k) {
    TerrainPoint p;
    if (!point_of(l, k.first, k.second, n2, p)) return;
    if (l.samples.contains(p)) return;
    if (!lattice_touches(l.cover, p.first, p.second)) return;
    ask.push_back(k);
  };
  const std::int64_t side = 2 * r2 + 1;
  const std::uint64_t reach = unexplained.size() * 81;
  if (dense_table_fits(side, side, reach)) {
    mark_next_dense(unexplained, r2, next, consider);
  } else {
    mark_next_sparse(unexplained, r2, next, consider);
    std::sort(ask.begin(), ask.end());
  }
  l.pending.clear();
  l.pending.reserve(ask.size());
  for (const LatticeKey& k : ask) {
    TerrainPoint p;
    point_of(l, k.first, k.second, n2, p);
    l.pending.push_back(p);
  }
  l.refined = std::move(next);
  l.step = s2;
  l.level += 1;
}

}  // namespace

AdvanceResult sampler_advance(Lattice& l, const HeightAnswers& answers) {
  // Finished, or still waiting on answers: nothing changes.
  if (l.finished) return AdvanceResult{l.level, l.step, l.pending.size(), AdvanceTag::Done};
  if (!l.pending.empty()) {
    if (answers.empty()) return AdvanceResult{l.pending.size(), 0.0, 0, AdvanceTag::Wait};
    std::uint64_t missing = 0;
    for (const TerrainPoint& p : l.pending) missing += answers.contains(p) ? 0 : 1;
    if (missing > 0) return AdvanceResult{missing, 0.0, 0, AdvanceTag::Wait};
  }
  SpanTimer span("sampler.advance");
  const std::int64_t n = step_units(l.step);

  const std::vector<double> raws = take_answers(l, answers);
  HashSet<LatticeKey> settled;
  if (!l.levels.empty()) settled = settled_keys(l, raws, n);

  Level level = sorted_sample_table(l, n);
  fit_patches(level, l.spacing_tenth);

  std::optional<HashSet<LatticeKey>> area = std::move(l.refined);
  l.refined.reset();
  const std::vector<LatticeKey> unexplained = unexplained_keys(level, area, settled);
  level.settled = std::move(settled);
  level.area = std::move(area);
  l.levels.push_back(std::move(level));

  // The end: no unexplained sample, or the next step would fall below 1.
  const double s2 = l.step * 0.5;
  if (0.999999999999 > s2 || unexplained.empty()) {
    l.finished = 1;
    l.pending.clear();
    return AdvanceResult{l.level, l.step, 0, AdvanceTag::Done};
  }
  open_next_level(l, unexplained, s2);
  return AdvanceResult{l.level, l.step, l.pending.size(), AdvanceTag::Ask};
}

}  // namespace qm::mesh
